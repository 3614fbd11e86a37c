// Event records of the event store: the event every producer creates, the store's wrapper with
// delivery metadata, the identity key used across nodes, the two specialised event types, and
// the codecs of the two wire formats (format 1 big-endian with a 32-byte header; format 0
// legacy, little-endian and length-prefixed, decoded only). Plain values: any thread, no
// shared state.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "delserrors.h"

struct lua_State;

// Lower is more important. Values 5 to 14 exist on the wire and in stores but carry no name
// for delegation; the fixed underlying type lets a decoder hold any byte it was given.
enum DelsSeverity : int {
    DSEV_CRITICAL = 0,
    DSEV_HIGH = 1,
    DSEV_NORMAL = 2,
    DSEV_DISCARDABLE = 3,
    DSEV_ARCHIVE = 4,
    DSEV_5 = 5,
    DSEV_6 = 6,
    DSEV_7 = 7,
    DSEV_8 = 8,
    DSEV_9 = 9,
    DSEV_10 = 10,
    DSEV_11 = 11,
    DSEV_12 = 12,
    DSEV_13 = 13,
    DSEV_14 = 14,
    DSEV_LIMIT = 15 // end marker, not a severity
};

// The kind of node that opens a store: producers of events (this program) are origins; the
// keyed kinds store events received from other nodes.
enum DelsNodeType : int {
    DNT_ORIGIN = 0,
    DNT_RELAY = 1,
    DNT_SINK = 2,
};

// Longest additional information an event keeps; longer texts are cut, silently.
constexpr unsigned DELS_MAX_ADDITIONAL_INFO = 2048;
// Header of a format 1 indication; the additional information follows it.
constexpr unsigned DELS_WIRE1_HEADER = 32;
// Longest additional information a format 1 indication may carry when not limited to 2048.
constexpr unsigned DELS_WIRE1_MAX_ADDITIONAL_INFO = 32736;

class CDelsEvent {
public:
    // An invalid event: numbers 0, severity normal, no text.
    CDelsEvent();
    // Producers' constructors: stamped now, sequences and node 0; text cut to 2048 bytes. A null
    // text or data pointer gives an empty text.
    CDelsEvent(unsigned messageId, DelsSeverity severity, unsigned param0, unsigned param1,
               const char* text);
    CDelsEvent(unsigned messageId, DelsSeverity severity, unsigned param0, unsigned param1,
               unsigned short length, const void* data);
    // Rebuilds a stored event; `id` is split into the session and event counters.
    CDelsEvent(unsigned messageId, unsigned param0, unsigned param1,
               const std::string& additionalInfo, DelsSeverity severity, unsigned id,
               unsigned long long timestamp, unsigned char timestampErrorBound,
               unsigned long long nodeId);
    virtual ~CDelsEvent() = default;
    CDelsEvent(const CDelsEvent&) = default;
    CDelsEvent& operator=(const CDelsEvent&) = default;

    // Low 12 bits of the session counter above the low 20 bits of the event counter.
    unsigned getId() const {
        return ((m_sessionSequence & 0xFFFFu) << 20) | (m_eventSequence & 0xFFFFFu);
    }
    unsigned getSessionSequence() const { return m_sessionSequence; }
    unsigned getEventSequence() const { return m_eventSequence; }
    unsigned long long getTimestamp() const { return m_timestamp; }
    unsigned char getTimestampErrorBound() const { return m_timestampErrorBound; }
    unsigned long long getNodeId() const { return m_nodeId; }
    DelsSeverity getSeverity() const { return m_generatedSeverity; }
    unsigned getMessageId() const { return m_messageId; }
    unsigned getParam0() const { return m_param0; }
    unsigned getParam1() const { return m_param1; }
    const std::string& getAdditionalInfo() const { return m_additionalInfo; }
    bool getValid() const { return m_valid; }

    // Appends the UTC time, e.g. "20151218 09:05:07.042".
    void getTimestamp(std::string& out) const;
    // Appends one line with every field.
    void getLowLevelDescription(std::string& out) const;
    virtual void getDescription(std::string& out) const;

protected:
    void stampNow();
    void cutAdditionalInfo();

    unsigned m_sessionSequence = 0; // 16 bits used
    unsigned m_eventSequence = 0;
    unsigned long long m_timestamp = 0; // ms since 1970 UTC
    unsigned char m_timestampErrorBound = 0;
    unsigned long long m_nodeId = 0;
    DelsSeverity m_generatedSeverity = DSEV_NORMAL;
    unsigned m_messageId = 0;
    unsigned m_param0 = 0;
    unsigned m_param1 = 0;
    std::string m_additionalInfo;
    bool m_valid = false;
};

// An event as the store keeps and forwards it.
class CDelsMetaEvent : public CDelsEvent {
public:
    CDelsMetaEvent();
    CDelsMetaEvent(CDelsEvent event, bool forwarded, DelsSeverity deliverySeverity,
                   unsigned long long key, unsigned long long sequence, unsigned char wireFormat);
    // Decodes an indication of format 0 or 1 from the first `length` bytes of `buffer`; never
    // reads beyond them. Throws CDelsEventParsingError.
    CDelsMetaEvent(unsigned short length, const unsigned char* buffer);

    // Writes a format 1 indication: wireIndicationLength(limitTo2048) bytes, never more than
    // getBufferLength(). A non-zero `nodeId` replaces the event's own node. Returns the number
    // of bytes written.
    unsigned toWireIndication(unsigned char* buffer, unsigned long long nodeId,
                              bool limitTo2048) const;
    // The same indication in a buffer of its own size.
    std::vector<unsigned char> toWireIndication(unsigned long long nodeId, bool limitTo2048) const;
    // Bytes toWireIndication writes. For an event decoded from format 0 this differs from
    // getWireFormatLength(), which is the size of the buffer it came in.
    unsigned wireIndicationLength(bool limitTo2048) const;

    bool forwarded() const { return m_forwarded; }
    DelsSeverity getDeliverySeverity() const { return m_deliverySeverity; }
    unsigned long long getKey() const { return m_key; }
    unsigned long long getSequence() const { return m_sequence; }
    unsigned char getWireFormat() const { return m_wireFormat; }
    unsigned short getWireFormatLength() const { return m_wireFormatLength; }
    // Size of a buffer that any toWireIndication call fits in. Equal to getWireFormatLength()
    // except for an event decoded from format 0, whose indication in format 1 is longer than
    // the legacy buffer it came in.
    unsigned short getBufferLength() const {
        return static_cast<unsigned short>(wireIndicationLength(false));
    }

    // Pushes the event as one Lua table for delegation functions (fields as the columns).
    void _pushLua(lua_State* L) const;

private:
    void normalise();
    void decodeFormat1(unsigned short length, const unsigned char* buffer);
    void decodeFormat0(unsigned short length, const unsigned char* buffer);

    bool m_forwarded = false;
    DelsSeverity m_deliverySeverity = DSEV_NORMAL;
    unsigned long long m_key = 0;
    unsigned long long m_sequence = 0;
    unsigned char m_wireFormat = 1;
    unsigned short m_wireFormatLength = DELS_WIRE1_HEADER;
};

// Identity of an event in sets and look-ups. `id` is carried but neither compared nor ordered.
struct SEventUniqueness {
    SEventUniqueness(unsigned id, unsigned long long nodeId, unsigned long long timestamp);
    SEventUniqueness(unsigned short sessionSequence, unsigned eventSequence,
                     unsigned long long nodeId, unsigned long long timestamp);
    explicit SEventUniqueness(const CDelsEvent& event);

    bool operator==(const SEventUniqueness& other) const;
    bool operator!=(const SEventUniqueness& other) const { return !(*this == other); }
    // By node, then session, event counter and timestamp.
    bool operator<(const SEventUniqueness& other) const;

    unsigned id;
    unsigned long long nodeId;
    unsigned long long timestamp;
    unsigned short sessionSequence;
    unsigned eventSequence;
};

// Message 1: a line of free text.
class CMiscellaneousEvent : public CDelsEvent {
public:
    CMiscellaneousEvent(const char* text, DelsSeverity severity);
    explicit CMiscellaneousEvent(const CDelsEvent& event) : CDelsEvent(event) {}

    std::string getFreeFormText() const { return m_additionalInfo; }
};

// Message 0: an event of the legacy format, its text being "MOI=<moi>,MessageString=<text>".
class CWireFormat0LegacyEvent : public CDelsEvent {
public:
    // Null text or moi count as empty.
    CWireFormat0LegacyEvent(const char* text, unsigned short legacyEventType, const char* moi);
    CWireFormat0LegacyEvent(const CDelsEvent& event, const std::string& moi,
                            const std::string& text);

    unsigned short getLegacyEventType() const { return static_cast<unsigned short>(m_param0); }
    const std::string& getLegacyAdditionalInfo() const { return m_legacyAdditionalInfo; }
    const std::string& getLegacyMOI() const { return m_legacyMOI; }

private:
    std::string m_legacyAdditionalInfo;
    std::string m_legacyMOI;
};

// Both return a new object owned by the caller, or throw CDelsEventPromotionError.
CMiscellaneousEvent* promoteToCMiscellaneousEvent(const CDelsEvent& event);
CWireFormat0LegacyEvent* promoteToCWireFormat0LegacyEvent(const CDelsEvent& event);

// Acknowledgement of `count` consecutive event ids starting at `id`. Written in format 0 or 1,
// decoded in format 1 only.
struct SDelsEventReportConfirm {
    // Longest text that still lets both the text length field and the whole confirmation fit
    // in 16 bits; longer texts are cut.
    static constexpr unsigned MAX_TEXT = 65535 - 11;

    SDelsEventReportConfirm(unsigned char wireFormat, unsigned id, unsigned short count,
                            unsigned char status, const char* text);
    // Decodes the first `length` bytes of `buffer`; throws CDelsEventParsingError.
    SDelsEventReportConfirm(unsigned short length, const unsigned char* buffer);

    // Bytes toWireConfirmation writes; 0 for a format other than 0 and 1.
    unsigned short getWireFormatLength() const;
    // Returns the number of bytes written.
    unsigned short toWireConfirmation(unsigned char* buffer) const;
    // Adds one key per confirmed id (node and timestamp 0).
    void getConfirmedEventIds(std::set<SEventUniqueness>& ids) const;

    unsigned char wireFormat = 0;
    unsigned id = 0;
    unsigned short count = 0;
    unsigned char status = 0;
    std::string errorText;
    bool valid = false;
    unsigned short sessionSequence = 0;
    unsigned eventSequence = 0;
};
