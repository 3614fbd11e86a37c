#include "delstypes.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <sys/time.h>

CDelsEvent::CDelsEvent() = default;

CDelsEvent::CDelsEvent(unsigned messageId, DelsSeverity severity, unsigned param0, unsigned param1,
                       const char* text)
    : m_generatedSeverity(severity), m_messageId(messageId), m_param0(param0), m_param1(param1),
      m_valid(true) {
    if (text) {
        m_additionalInfo.assign(text, strnlen(text, DELS_MAX_ADDITIONAL_INFO));
    }
    stampNow();
}

CDelsEvent::CDelsEvent(unsigned messageId, DelsSeverity severity, unsigned param0, unsigned param1,
                       unsigned short length, const void* data)
    : m_generatedSeverity(severity), m_messageId(messageId), m_param0(param0), m_param1(param1),
      m_valid(true) {
    if (data && length > 0) {
        m_additionalInfo.assign(static_cast<const char*>(data),
                                std::min<size_t>(length, DELS_MAX_ADDITIONAL_INFO));
    }
    stampNow();
}

CDelsEvent::CDelsEvent(unsigned messageId, unsigned param0, unsigned param1,
                       const std::string& additionalInfo, DelsSeverity severity, unsigned id,
                       unsigned long long timestamp, unsigned char timestampErrorBound,
                       unsigned long long nodeId)
    : m_sessionSequence(id >> 20), m_eventSequence(id & 0xFFFFFu), m_timestamp(timestamp),
      m_timestampErrorBound(timestampErrorBound), m_nodeId(nodeId), m_generatedSeverity(severity),
      m_messageId(messageId), m_param0(param0), m_param1(param1),
      m_additionalInfo(additionalInfo, 0, DELS_MAX_ADDITIONAL_INFO), m_valid(true) {}

void CDelsEvent::stampNow() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    m_timestamp = static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
                  static_cast<unsigned long long>(now.tv_usec) / 1000ULL;
    m_timestampErrorBound = 0;
}

void CDelsEvent::cutAdditionalInfo() {
    if (m_additionalInfo.size() > DELS_MAX_ADDITIONAL_INFO) {
        m_additionalInfo.resize(DELS_MAX_ADDITIONAL_INFO);
    }
}

void CDelsEvent::getTimestamp(std::string& out) const {
    const time_t seconds = static_cast<time_t>(m_timestamp / 1000ULL);
    const int millis = static_cast<int>(m_timestamp % 1000ULL);
    struct tm utc;
    char text[64];
    if (gmtime_r(&seconds, &utc) && strftime(text, sizeof text, "%Y%m%d %H:%M:%S", &utc) > 0) {
        out += text;
    } else {
        // Beyond the calendar the C library can represent: the raw second count still
        // identifies the event.
        out += std::to_string(m_timestamp / 1000ULL);
    }
    snprintf(text, sizeof text, ".%03d", millis);
    out += text;
}

void CDelsEvent::getLowLevelDescription(std::string& out) const {
    getTimestamp(out);
    char text[256];
    snprintf(text, sizeof text,
             ", nodeId=%12llx, id=%u, severity=%d, messageId=%u, param0=%u, param1=%u"
             ", additionalInfo=",
             m_nodeId, getId(), static_cast<int>(m_generatedSeverity), m_messageId, m_param0,
             m_param1);
    out += text;
    out += m_additionalInfo;
    out += '\n';
}

void CDelsEvent::getDescription(std::string& out) const {
    getLowLevelDescription(out);
}

CDelsMetaEvent::CDelsMetaEvent() {
    normalise();
}

CDelsMetaEvent::CDelsMetaEvent(CDelsEvent event, bool forwarded, DelsSeverity deliverySeverity,
                               unsigned long long key, unsigned long long sequence,
                               unsigned char wireFormat)
    : CDelsEvent(std::move(event)), m_forwarded(forwarded), m_deliverySeverity(deliverySeverity),
      m_key(key), m_sequence(sequence), m_wireFormat(wireFormat) {
    normalise();
}

void CDelsMetaEvent::normalise() {
    cutAdditionalInfo();
    m_wireFormatLength = static_cast<unsigned short>(DELS_WIRE1_HEADER + m_additionalInfo.size());
}

SEventUniqueness::SEventUniqueness(unsigned id_, unsigned long long nodeId_,
                                   unsigned long long timestamp_)
    : id(id_), nodeId(nodeId_), timestamp(timestamp_),
      sessionSequence(static_cast<unsigned short>(id_ >> 20)), eventSequence(id_ & 0xFFFFFu) {}

SEventUniqueness::SEventUniqueness(unsigned short sessionSequence_, unsigned eventSequence_,
                                   unsigned long long nodeId_, unsigned long long timestamp_)
    : id((static_cast<unsigned>(sessionSequence_) << 20) | (eventSequence_ & 0xFFFFFu)),
      nodeId(nodeId_), timestamp(timestamp_), sessionSequence(sessionSequence_),
      eventSequence(eventSequence_) {}

SEventUniqueness::SEventUniqueness(const CDelsEvent& event)
    : id(event.getId()), nodeId(event.getNodeId()), timestamp(event.getTimestamp()),
      sessionSequence(static_cast<unsigned short>(event.getSessionSequence())),
      eventSequence(event.getEventSequence()) {}

bool SEventUniqueness::operator==(const SEventUniqueness& other) const {
    return sessionSequence == other.sessionSequence && eventSequence == other.eventSequence &&
           nodeId == other.nodeId && timestamp == other.timestamp;
}

bool SEventUniqueness::operator<(const SEventUniqueness& other) const {
    if (nodeId != other.nodeId) {
        return nodeId < other.nodeId;
    }
    if (sessionSequence != other.sessionSequence) {
        return sessionSequence < other.sessionSequence;
    }
    if (eventSequence != other.eventSequence) {
        return eventSequence < other.eventSequence;
    }
    return timestamp < other.timestamp;
}

CMiscellaneousEvent::CMiscellaneousEvent(const char* text, DelsSeverity severity)
    : CDelsEvent(1, severity, 0, 0, text) {}

CWireFormat0LegacyEvent::CWireFormat0LegacyEvent(const char* text, unsigned short legacyEventType,
                                                 const char* moi)
    : CDelsEvent(0, DSEV_NORMAL, legacyEventType, 0, ""), m_legacyAdditionalInfo(text ? text : ""),
      m_legacyMOI(moi ? moi : "") {
    m_additionalInfo = "MOI=" + m_legacyMOI + ",MessageString=" + m_legacyAdditionalInfo;
    // The legacy parts stay whole in their own fields; the combined text keeps the limit every
    // event's text has.
    cutAdditionalInfo();
}

CWireFormat0LegacyEvent::CWireFormat0LegacyEvent(const CDelsEvent& event, const std::string& moi,
                                                 const std::string& text)
    : CDelsEvent(event), m_legacyAdditionalInfo(text), m_legacyMOI(moi) {}

CMiscellaneousEvent* promoteToCMiscellaneousEvent(const CDelsEvent& event) {
    if (event.getMessageId() != 1) {
        throw CDelsEventPromotionError("Bad message ID");
    }
    return new CMiscellaneousEvent(event);
}

CWireFormat0LegacyEvent* promoteToCWireFormat0LegacyEvent(const CDelsEvent& event) {
    if (event.getMessageId() != 0) {
        throw CDelsEventPromotionError("Bad message ID");
    }
    // Two forms reach this point: "MOI=<moi>,MessageString=<text>" as a legacy event is built
    // here, and "MOI=<moi>,<text>" as the format 0 decoder builds it from the wire.
    static const std::string kMessageString = "MessageString=";
    std::istringstream in(event.getAdditionalInfo());
    std::string key;
    std::getline(in, key, '=');
    if (key != "MOI" || !in.good()) {
        throw CDelsEventPromotionError("MOI Definition Bad");
    }
    std::string moi;
    std::getline(in, moi, ',');
    if (!in.good()) {
        throw CDelsEventPromotionError("Legacy Additional Info Definition Bad");
    }
    std::string text;
    std::getline(in, text, '\n');
    if (text.compare(0, kMessageString.size(), kMessageString) == 0) {
        text.erase(0, kMessageString.size());
    }
    return new CWireFormat0LegacyEvent(event, moi, text);
}
