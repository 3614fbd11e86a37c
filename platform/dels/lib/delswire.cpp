// Wire codecs of the event records.
//
// Format 1 (current, big-endian):
//   indication   0x81 0x03 L:2 id:4 timestamp:6 nodeId:6 messageId:4 param0:4 param1:4 text:L
//   confirmation 0x81 0x04 id:4 count:2 status:1 T:2 text:T
// Format 0 (legacy, little-endian), recognised by a clear top bit in the first byte:
//   indication   3:2 type:2 id:4 reserved:1 mocLen:2 moc moiLen:2 moi severity:1 tsLen:2 ts
//                addLen:2 text
//   confirmation 4:2 id:4 status:1 T:2 text  (written only)
//
// Every declared length is checked against the length of the buffer before a byte behind it
// is read; a check that needs a byte the buffer does not have reports the buffer as too short.
#include "delslogger.h"
#include "delstypes.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr unsigned char kFormatFlag = 0x80;
constexpr unsigned char kIndication = 3;
constexpr unsigned char kConfirmation = 4;
constexpr unsigned kWire0Fixed = 18;
constexpr unsigned kConfirm1Fixed = 11;
constexpr unsigned kConfirm0Fixed = 9;
constexpr unsigned long long kLow48 = 0xFFFFFFFFFFFFULL;

enum { KIND_FORMAT = 0, KIND_LENGTH = 1 };

unsigned long long getBE(const unsigned char* p, unsigned n) {
    unsigned long long v = 0;
    for (unsigned i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void putBE(unsigned char* p, unsigned long long v, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
        p[i] = static_cast<unsigned char>(v & 0xFF);
        v >>= 8;
    }
}

unsigned getLE(const unsigned char* p, unsigned n) {
    unsigned v = 0;
    for (unsigned i = n; i-- > 0;) {
        v = (v << 8) | p[i];
    }
    return v;
}

void putLE(unsigned char* p, unsigned v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        p[i] = static_cast<unsigned char>(v & 0xFF);
        v >>= 8;
    }
}

[[noreturn]] void fail(const std::string& message, int kind, unsigned line) {
    throw CDelsEventParsingError(message.c_str(), kind, line);
}

// Node of a legacy event, taken from its managed-object instance name: characters 2, 6 and 7
// above the number written from character 8 on. Missing characters count as 0. The number is
// read as atoi would, but clamped to int instead of overflowing, and enters as its 32-bit
// pattern so that a negative number cannot spill over the characters above it.
unsigned long long legacyNodeId(const std::string& moi) {
    auto at = [&moi](size_t i) -> unsigned long long {
        return i < moi.size() ? static_cast<unsigned char>(moi[i]) : 0;
    };
    long n = 0;
    if (moi.size() > 8) {
        n = strtol(moi.c_str() + 8, nullptr, 10);
        n = std::min<long>(std::max<long>(n, INT_MIN), INT_MAX);
    }
    return (at(2) << 40) | (at(6) << 32) | (at(7) << 24) |
           static_cast<unsigned long long>(static_cast<unsigned>(static_cast<int>(n)));
}

// Seconds of a legacy time text ("%Y%m%d %H:%M:%S"), read as local time of this host: the
// result depends on the host's time zone (TZ). The zone letters appended only satisfy the
// pattern; they do not shift the result. Daylight saving is left for mktime to decide. A text
// that does not parse, or a time before 1970, gives 0.
unsigned long long legacySeconds(const std::string& text) {
    const std::string withZone = text + "PST";
    struct tm broken;
    memset(&broken, 0, sizeof broken);
    if (!strptime(withZone.c_str(), "%Y%m%d %H:%M:%S%Z", &broken)) {
        return 0;
    }
    broken.tm_isdst = -1;
    const time_t seconds = mktime(&broken);
    return seconds > 0 ? static_cast<unsigned long long>(seconds) : 0;
}

} // namespace

CDelsMetaEvent::CDelsMetaEvent(unsigned short length, const unsigned char* buffer)
    : m_wireFormat(0), m_wireFormatLength(0) {
    if (!buffer) {
        fail("NULL buffer", KIND_FORMAT, __LINE__);
    }
    if (length > 0 && (buffer[0] & kFormatFlag)) {
        decodeFormat1(length, buffer);
    } else {
        decodeFormat0(length, buffer);
    }
    m_valid = true;
}

void CDelsMetaEvent::decodeFormat1(unsigned short length, const unsigned char* buffer) {
    m_wireFormat = buffer[0] & 0x7F;
    if (m_wireFormat != 1) {
        fail("unknown wire format: " + std::to_string(m_wireFormat), KIND_FORMAT, __LINE__);
    }
    if (length >= 2 && buffer[1] != kIndication) {
        fail("wire format 1: unknown EventReportIndication: " + std::to_string(buffer[1]),
             KIND_FORMAT, __LINE__);
    }
    if (length < DELS_WIRE1_HEADER) {
        std::string message = "wire format 1: buffer too short Length: " + std::to_string(length);
        if (length > 2) {
            message += " Buffer2: ";
            message += static_cast<char>(buffer[2]);
        }
        fail(message, KIND_LENGTH, __LINE__);
    }
    const unsigned textLength =
        std::min<unsigned>(static_cast<unsigned>(getBE(buffer + 2, 2)), DELS_MAX_ADDITIONAL_INFO);
    if (length < DELS_WIRE1_HEADER + textLength) {
        fail("wire format 1: buffer too short (addinfo) Additional Length: " +
                 std::to_string(textLength),
             KIND_LENGTH, __LINE__);
    }
    const unsigned id = static_cast<unsigned>(getBE(buffer + 4, 4));
    m_sessionSequence = id >> 20;
    m_eventSequence = id & 0xFFFFFu;
    m_timestamp = getBE(buffer + 8, 6);
    m_nodeId = getBE(buffer + 14, 6);
    m_messageId = static_cast<unsigned>(getBE(buffer + 20, 4));
    m_param0 = static_cast<unsigned>(getBE(buffer + 24, 4));
    m_param1 = static_cast<unsigned>(getBE(buffer + 28, 4));
    m_additionalInfo.assign(reinterpret_cast<const char*>(buffer + DELS_WIRE1_HEADER), textLength);
    m_wireFormatLength = static_cast<unsigned short>(DELS_WIRE1_HEADER + textLength);
}

void CDelsMetaEvent::decodeFormat0(unsigned short length, const unsigned char* buffer) {
    m_wireFormat = 0;
    if (length < kWire0Fixed) {
        fail("wire format 0: buffer too short", KIND_LENGTH, __LINE__);
    }
    const unsigned primitive = getLE(buffer, 2);
    if (primitive != kIndication) {
        fail("wire format 0: unknown primitive: " + std::to_string(primitive), KIND_FORMAT,
             __LINE__);
    }
    m_messageId = 0;
    m_param0 = getLE(buffer + 2, 2);
    const unsigned id = getLE(buffer + 4, 4);
    m_sessionSequence = id >> 20;
    m_eventSequence = id & 0xFFFFFu;

    // `need` counts the bytes the fields read so far declare, plus the fixed part; every
    // length field lies within it once the previous check has passed.
    unsigned long need = kWire0Fixed;
    const unsigned mocLength = getLE(buffer + 9, 2);
    need += mocLength;
    if (length < need) {
        fail("wire format 0: buffer too short (moc) moc Length: " + std::to_string(mocLength),
             KIND_LENGTH, __LINE__);
    }
    const unsigned char* p = buffer + 11 + mocLength;
    const unsigned moiLength = getLE(p, 2);
    need += moiLength;
    if (length < need) {
        fail("wire format 0: buffer too short (moi)MOI Length: " + std::to_string(moiLength),
             KIND_LENGTH, __LINE__);
    }
    const std::string moi(reinterpret_cast<const char*>(p + 2), moiLength);
    m_nodeId = legacyNodeId(moi);
    p += 2 + moiLength;
    m_generatedSeverity = static_cast<DelsSeverity>(p[0]);
    const unsigned tsLength = getLE(p + 1, 2);
    need += tsLength;
    if (length < need) {
        fail("wire format 0: buffer too short (ts)ts Length: " + std::to_string(tsLength),
             KIND_LENGTH, __LINE__);
    }
    m_timestamp = legacySeconds(std::string(reinterpret_cast<const char*>(p + 3), tsLength)) * 1000;
    p += 3 + tsLength;
    const unsigned addLength = getLE(p, 2);
    need += addLength;
    if (length < need) {
        fail("wire format 0: buffer too short (addinfo)addinfo Length: " +
                 std::to_string(addLength),
             KIND_LENGTH, __LINE__);
    }
    m_additionalInfo = "MOI=" + moi + ",";
    m_additionalInfo.append(reinterpret_cast<const char*>(p + 2), addLength);
    cutAdditionalInfo();
    m_wireFormatLength = static_cast<unsigned short>(need);
}

unsigned CDelsMetaEvent::wireIndicationLength(bool limitTo2048) const {
    const unsigned limit = limitTo2048 ? DELS_MAX_ADDITIONAL_INFO : DELS_WIRE1_MAX_ADDITIONAL_INFO;
    return DELS_WIRE1_HEADER +
           static_cast<unsigned>(std::min<size_t>(m_additionalInfo.size(), limit));
}

unsigned CDelsMetaEvent::toWireIndication(unsigned char* buffer, unsigned long long nodeId,
                                          bool limitTo2048) const {
    if (!buffer) {
        return 0;
    }
    const unsigned total = wireIndicationLength(limitTo2048);
    const unsigned textLength = total - DELS_WIRE1_HEADER;
    buffer[0] = kFormatFlag | 1;
    buffer[1] = kIndication;
    putBE(buffer + 2, textLength, 2);
    putBE(buffer + 4, getId(), 4);
    putBE(buffer + 8, m_timestamp & kLow48, 6);
    putBE(buffer + 14, (nodeId != 0 ? nodeId : m_nodeId) & kLow48, 6);
    putBE(buffer + 20, m_messageId, 4);
    putBE(buffer + 24, m_param0, 4);
    putBE(buffer + 28, m_param1, 4);
    memcpy(buffer + DELS_WIRE1_HEADER, m_additionalInfo.data(), textLength);
    return total;
}

std::vector<unsigned char> CDelsMetaEvent::toWireIndication(unsigned long long nodeId,
                                                            bool limitTo2048) const {
    std::vector<unsigned char> wire(wireIndicationLength(limitTo2048));
    toWireIndication(wire.data(), nodeId, limitTo2048);
    return wire;
}

SDelsEventReportConfirm::SDelsEventReportConfirm(unsigned char wireFormat_, unsigned id_,
                                                 unsigned short count_, unsigned char status_,
                                                 const char* text)
    : wireFormat(wireFormat_), id(id_), count(count_), status(status_),
      errorText(text ? std::string(text, strnlen(text, MAX_TEXT)) : std::string()), valid(true),
      sessionSequence(static_cast<unsigned short>((id_ >> 20) & 0xFFF)),
      eventSequence(id_ & 0xFFFFFu) {}

SDelsEventReportConfirm::SDelsEventReportConfirm(unsigned short length,
                                                 const unsigned char* buffer) {
    if (!buffer) {
        fail("NULL buffer", KIND_FORMAT, __LINE__);
    }
    if (length == 0) {
        fail("wire format 1: confirm buffer too short", KIND_LENGTH, __LINE__);
    }
    if (!(buffer[0] & kFormatFlag)) {
        fail("Unsupported legacy format 0", KIND_FORMAT, __LINE__);
    }
    wireFormat = buffer[0] & 0x7F;
    if (wireFormat != 1) {
        fail("unknown wire format: " + std::to_string(wireFormat), KIND_FORMAT, __LINE__);
    }
    if (length >= 2 && buffer[1] != kConfirmation) {
        fail("wire format 1: unknown message type: " + std::to_string(buffer[1]), KIND_FORMAT,
             __LINE__);
    }
    if (length < kConfirm1Fixed) {
        fail("wire format 1: confirm buffer too short", KIND_LENGTH, __LINE__);
    }
    id = static_cast<unsigned>(getBE(buffer + 2, 4));
    sessionSequence = static_cast<unsigned short>((id >> 20) & 0xFFF);
    eventSequence = id & 0xFFFFFu;
    count = static_cast<unsigned short>(getBE(buffer + 6, 2));
    status = buffer[8];
    const unsigned textLength = static_cast<unsigned>(getBE(buffer + 9, 2));
    if (kConfirm1Fixed + textLength > length) {
        fail("wire format 1: confirm buffer too short (error string)", KIND_LENGTH, __LINE__);
    }
    errorText.assign(reinterpret_cast<const char*>(buffer + kConfirm1Fixed), textLength);
    valid = true;
}

unsigned short SDelsEventReportConfirm::getWireFormatLength() const {
    const size_t text = std::min<size_t>(errorText.size(), MAX_TEXT);
    switch (wireFormat) {
    case 0:
        return static_cast<unsigned short>(kConfirm0Fixed + text);
    case 1:
        return static_cast<unsigned short>(kConfirm1Fixed + text);
    default:
        return 0;
    }
}

unsigned short SDelsEventReportConfirm::toWireConfirmation(unsigned char* buffer) const {
    if (!buffer) {
        return 0;
    }
    const unsigned text = static_cast<unsigned>(std::min<size_t>(errorText.size(), MAX_TEXT));
    if (wireFormat == 0) {
        putLE(buffer, kConfirmation, 2);
        putLE(buffer + 2, ((sessionSequence & 0xFFFu) << 20) | (eventSequence & 0xFFFFFu), 4);
        buffer[6] = status;
        putLE(buffer + 7, text, 2);
        memcpy(buffer + kConfirm0Fixed, errorText.data(), text);
        return static_cast<unsigned short>(kConfirm0Fixed + text);
    }
    if (wireFormat == 1) {
        buffer[0] = kFormatFlag | 1;
        buffer[1] = kConfirmation;
        putBE(buffer + 2, id, 4);
        putBE(buffer + 6, count, 2);
        buffer[8] = status;
        putBE(buffer + 9, text, 2);
        memcpy(buffer + kConfirm1Fixed, errorText.data(), text);
        return static_cast<unsigned short>(kConfirm1Fixed + text);
    }
    return 0;
}

void SDelsEventReportConfirm::getConfirmedEventIds(std::set<SEventUniqueness>& ids) const {
    for (unsigned i = 0; i < count; ++i) {
        if (!ids.insert(SEventUniqueness(id + i, 0ULL, 0ULL)).second) {
            CDelsLogger::logger().logDebug("got duplicate confirmation %u", id + i);
        }
    }
}
