#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dels_log_capture.h"
#include "delstypes.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The decoders get a heap block of exactly the buffer's size, so that the sanitizer build
// catches any read behind it.
template <typename T> T decode(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return T(static_cast<unsigned short>(bytes.size()), exact.get());
}

// The error text of decoding `bytes` as T, or "" when it decodes.
template <typename T> std::string decodeError(const Bytes& bytes) {
    try {
        const T decoded = decode<T>(bytes);
        EXPECT_TRUE(decoded.valid_());
        return "";
    } catch (const CDelsEventParsingError& e) {
        return e.what();
    }
}

void putBE(Bytes& b, unsigned long long v, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

void putLE(Bytes& b, unsigned v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

// A format 1 indication declaring `declared` bytes of text and holding `held` of them.
Bytes indication1(unsigned declared, unsigned held, unsigned char byte2Override = 0,
                  bool override2 = false) {
    Bytes b{0x81, 0x03};
    putBE(b, declared, 2);
    putBE(b, 0x00A00010, 4);
    putBE(b, 1450429507042ULL, 6);
    putBE(b, 0x0102030405ULL, 6);
    putBE(b, 9, 4);
    putBE(b, 10, 4);
    putBE(b, 11, 4);
    b.insert(b.end(), held, 't');
    if (override2) {
        b[2] = byte2Override;
    }
    return b;
}

struct Legacy {
    unsigned primitive = 3;
    unsigned type = 0x0102;
    unsigned id = 0x00300004;
    std::string moc = "Class";
    std::string moi = "AB3DEF45123";
    unsigned char severity = 1;
    std::string ts = "20151218 09:05:07";
    std::string text = "power restored";

    size_t mocEnd() const { return 18 + moc.size(); }
    size_t moiEnd() const { return mocEnd() + moi.size(); }
    size_t tsEnd() const { return moiEnd() + ts.size(); }
    size_t end() const { return tsEnd() + text.size(); }

    Bytes bytes() const {
        Bytes b;
        putLE(b, primitive, 2);
        putLE(b, type, 2);
        putLE(b, id, 4);
        b.push_back(0xEE);
        putLE(b, static_cast<unsigned>(moc.size()), 2);
        b.insert(b.end(), moc.begin(), moc.end());
        putLE(b, static_cast<unsigned>(moi.size()), 2);
        b.insert(b.end(), moi.begin(), moi.end());
        b.push_back(severity);
        putLE(b, static_cast<unsigned>(ts.size()), 2);
        b.insert(b.end(), ts.begin(), ts.end());
        putLE(b, static_cast<unsigned>(text.size()), 2);
        b.insert(b.end(), text.begin(), text.end());
        return b;
    }
};

Bytes cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

// Lets decodeError<> check validity uniformly.
struct Indication : CDelsMetaEvent {
    Indication(unsigned short n, const unsigned char* p) : CDelsMetaEvent(n, p) {}
    bool valid_() const { return getValid(); }
};
struct Confirm : SDelsEventReportConfirm {
    Confirm(unsigned short n, const unsigned char* p) : SDelsEventReportConfirm(n, p) {}
    bool valid_() const { return valid; }
};

class ZoneSetting {
public:
    explicit ZoneSetting(const char* zone) {
        const char* old = getenv("TZ");
        m_had = old != nullptr;
        if (m_had) {
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneSetting() {
        if (m_had) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_had;
    std::string m_old;
};

TEST(AnIndicationDecoder, RejectsEachMalformedBufferWithItsOwnText) {
    Legacy l;
    Legacy noMoc;
    noMoc.moc.clear();
    Legacy other;
    other.primitive = 0x0103;
    const Bytes good = l.bytes();
    struct Case {
        const char* what;
        Bytes bytes;
        std::string error; // "" = decodes
    } cases[] = {
        {"empty", {}, "wire format 0: buffer too short"},
        {"format flag alone", {0x81}, "wire format 1: buffer too short Length: 1"},
        {"format 1 type alone", {0x81, 0x03}, "wire format 1: buffer too short Length: 2"},
        {"format 0 with the flag", {0x80, 0x03}, "unknown wire format: 0"},
        {"format 2",
         [] {
             Bytes b = indication1(0, 0);
             b[0] = 0x82;
             return b;
         }(),
         "unknown wire format: 2"},
        {"format 127", {0xFF}, "unknown wire format: 127"},
        {"confirmation sent as indication",
         {0x81, 0x04, 0, 0},
         "wire format 1: unknown EventReportIndication: 4"},
        {"31 bytes", cut(indication1(0, 0, 'A', true), 31),
         "wire format 1: buffer too short Length: 31 Buffer2: A"},
        {"32 bytes, no text", indication1(0, 0), ""},
        {"exactly 32 + L", indication1(5, 5), ""},
        {"one less than 32 + L", indication1(5, 4),
         "wire format 1: buffer too short (addinfo) Additional Length: 5"},
        {"L cut to 2048 fits", indication1(3000, 2048), ""},
        {"L cut to 2048, one short", indication1(3000, 2047),
         "wire format 1: buffer too short (addinfo) Additional Length: 2048"},
        {"largest L, no text", indication1(0xFFFF, 0),
         "wire format 1: buffer too short (addinfo) Additional Length: 2048"},
        {"legacy 17 bytes", cut(good, 17), "wire format 0: buffer too short"},
        {"legacy primitive 4",
         [] {
             Legacy x;
             x.primitive = 4;
             return x.bytes();
         }(),
         "wire format 0: unknown primitive: 4"},
        {"legacy primitive 259", other.bytes(), "wire format 0: unknown primitive: 259"},
        {"legacy moc one short", cut(good, l.mocEnd() - 1),
         "wire format 0: buffer too short (moc) moc Length: 5"},
        {"legacy moi one short", cut(good, l.moiEnd() - 1),
         "wire format 0: buffer too short (moi)MOI Length: 11"},
        {"legacy ts one short", cut(good, l.tsEnd() - 1),
         "wire format 0: buffer too short (ts)ts Length: 17"},
        {"legacy text one short", cut(good, l.end() - 1),
         "wire format 0: buffer too short (addinfo)addinfo Length: 14"},
        {"legacy exact", good, ""},
        {"legacy all empty",
         [] {
             Legacy x;
             x.moc = x.moi = x.ts = x.text = "";
             return x.bytes();
         }(),
         ""},
        {"legacy no moc, 18 bytes short of moi", cut(noMoc.bytes(), 17),
         "wire format 0: buffer too short"},
    };
    DelsLogCapture log;
    for (const Case& c : cases) {
        EXPECT_EQ(c.error, decodeError<Indication>(c.bytes)) << c.what;
    }
    const std::string logged = log.take();
    EXPECT_NE(std::string::npos,
              logged.find("CDelsEventParsingError: msg=wire format 0: unknown primitive: 4, line="))
        << logged;
}

TEST(AnIndicationDecoder, RejectsANullBuffer) {
    DelsLogCapture log;
    try {
        CDelsMetaEvent event(10, nullptr);
        FAIL() << "decoded a null buffer";
    } catch (const CDelsEventParsingError& e) {
        EXPECT_STREQ("NULL buffer", e.what());
    }
    EXPECT_NE(std::string::npos, log.take().find("CDelsEventParsingError: msg=NULL buffer"));
}

TEST(AnIndicationDecoder, ReadsEveryFieldOfFormat1) {
    const Indication event = decode<Indication>(indication1(3000, 2048));
    EXPECT_TRUE(event.getValid());
    EXPECT_EQ(1, event.getWireFormat());
    EXPECT_EQ(0xAu, event.getSessionSequence());
    EXPECT_EQ(0x10u, event.getEventSequence());
    EXPECT_EQ(1450429507042ULL, event.getTimestamp());
    EXPECT_EQ(0x0102030405ULL, event.getNodeId());
    EXPECT_EQ(9u, event.getMessageId());
    EXPECT_EQ(10u, event.getParam0());
    EXPECT_EQ(11u, event.getParam1());
    EXPECT_EQ(std::string(2048, 't'), event.getAdditionalInfo());
    EXPECT_EQ(2080, event.getWireFormatLength());
    EXPECT_EQ(DSEV_NORMAL, event.getSeverity());
    EXPECT_EQ(DSEV_NORMAL, event.getDeliverySeverity());
    EXPECT_FALSE(event.forwarded());
}

TEST(AnIndicationDecoder, ReadsALegacyEventInLocalTime) {
    Legacy l;
    l.text = std::string(3000, 'z');
    const Bytes bytes = l.bytes();
    {
        ZoneSetting zone("UTC0");
        const Indication event = decode<Indication>(bytes);
        EXPECT_EQ(0, event.getWireFormat());
        EXPECT_EQ(0u, event.getMessageId());
        EXPECT_EQ(0x0102u, event.getParam0());
        EXPECT_EQ(3u, event.getSessionSequence());
        EXPECT_EQ(4u, event.getEventSequence());
        EXPECT_EQ(DSEV_HIGH, event.getSeverity());
        EXPECT_EQ((0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24) | 123, event.getNodeId());
        EXPECT_EQ(1450429507000ULL, event.getTimestamp());
        EXPECT_EQ(2048u, event.getAdditionalInfo().size());
        EXPECT_EQ(0u, event.getAdditionalInfo().find("MOI=AB3DEF45123,zzz"));
        // The length of the buffer as it came, with the text uncut.
        EXPECT_EQ(bytes.size(), event.getWireFormatLength());
    }
    {
        ZoneSetting zone("EST5");
        EXPECT_EQ(1450429507000ULL + 5 * 3600 * 1000, decode<Indication>(bytes).getTimestamp());
    }
}

TEST(AnIndicationDecoder, DerivesTheLegacyNodeFromTheMoi) {
    struct Case {
        std::string moi;
        unsigned long long node;
    } cases[] = {
        {"AB3DEF45123", (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24) | 123},
        {"AB3DEF45", (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24)},
        {"AB3DEF45x9", (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24)},
        {"AB3DEF4", (0x33ULL << 40) | (0x34ULL << 32)}, // missing characters count as 0
        {"AB3", 0x33ULL << 40},
        {"", 0},
        {"AB3DEF45-1", (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24) | 0xFFFFFFFFULL},
        {"AB3DEF45 99999999999", (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24) | 0x7FFFFFFF},
        {std::string("AB\xFF"
                     "DEF45",
                     8),
         (0xFFULL << 40) | (0x34ULL << 32) | (0x35ULL << 24)},
        {std::string("AB3DEF45\0"
                     "77",
                     11),
         (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24)},
    };
    for (const Case& c : cases) {
        Legacy l;
        l.moi = c.moi;
        EXPECT_EQ(c.node, decode<Indication>(l.bytes()).getNodeId()) << c.moi;
    }
}

TEST(AnIndicationDecoder, GivesTimestampZeroForAnUnreadableLegacyTime) {
    ZoneSetting zone("UTC0");
    for (const char* ts : {"", "yesterday", "2015121", "19600101 00:00:00"}) {
        Legacy l;
        l.ts = ts;
        EXPECT_EQ(0u, decode<Indication>(l.bytes()).getTimestamp()) << ts;
    }
}

TEST(AnIndicationEncoder, RoundTripsFormat1) {
    struct Case {
        const char* what;
        unsigned id;
        unsigned long long timestamp, nodeId, nodeArgument, wantNode, wantTimestamp;
        std::string text;
    } cases[] = {
        {"plain", 0x12345678, 1450429507042ULL, 0x1a, 0, 0x1a, 1450429507042ULL, "abc"},
        {"empty text", 0, 0, 0, 0, 0, 0, ""},
        {"48-bit truncation", 0xFFFFFFFF, 0xABCD123456789ABCULL, 0xFEDC000000000001ULL, 0,
         0x000000000001ULL, 0x123456789ABCULL, std::string("\0\xff", 2)},
        {"node argument wins", 7, 5, 0x1111, 0x2222, 0x2222, 5, "n"},
        {"node argument truncated", 7, 5, 0x1111, 0x1000000002222ULL, 0x2222, 5, "n"},
        {"longest text", 1, 2, 3, 0, 3, 2, std::string(2048, 'q')},
    };
    for (const Case& c : cases) {
        const CDelsMetaEvent event(CDelsEvent(0xDEADBEEF, 0x80000000, 0x7FFFFFFF, c.text,
                                              DSEV_CRITICAL, c.id, c.timestamp, 0, c.nodeId),
                                   false, DSEV_CRITICAL, 0, 0, 1);
        for (bool limit : {true, false}) {
            Bytes wire(event.getWireFormatLength());
            ASSERT_EQ(wire.size(), event.wireIndicationLength(limit)) << c.what;
            ASSERT_EQ(wire.size(), event.toWireIndication(wire.data(), c.nodeArgument, limit));
            const Indication back = decode<Indication>(wire);
            EXPECT_EQ(c.id, back.getId()) << c.what;
            EXPECT_EQ(c.wantTimestamp, back.getTimestamp()) << c.what;
            EXPECT_EQ(c.wantNode, back.getNodeId()) << c.what;
            EXPECT_EQ(0xDEADBEEFu, back.getMessageId()) << c.what;
            EXPECT_EQ(0x80000000u, back.getParam0()) << c.what;
            EXPECT_EQ(0x7FFFFFFFu, back.getParam1()) << c.what;
            EXPECT_EQ(c.text, back.getAdditionalInfo()) << c.what;
            EXPECT_EQ(event.getWireFormatLength(), back.getWireFormatLength()) << c.what;
        }
    }
}

TEST(AnIndicationEncoder, WritesTheHeaderBigEndian) {
    const CDelsMetaEvent event(CDelsEvent(0x01020304, 0x05060708, 0x090A0B0C, "hi", DSEV_NORMAL,
                                          0x11223344, 0x0000A1A2A3A4A5A6ULL, 0, 0xB1B2B3B4B5B6ULL),
                               false, DSEV_NORMAL, 0, 0, 1);
    Bytes wire(event.wireIndicationLength(true));
    event.toWireIndication(wire.data(), 0, true);
    const Bytes expected{0x81, 0x03, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0xA1, 0xA2, 0xA3, 0xA4,
                         0xA5, 0xA6, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0x01, 0x02, 0x03, 0x04,
                         0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 'h',  'i'};
    EXPECT_EQ(expected, wire);
}

TEST(AConfirmationDecoder, RejectsEachMalformedBufferWithItsOwnText) {
    auto confirm = [](unsigned declared, unsigned held) {
        Bytes b{0x81, 0x04};
        putBE(b, 100, 4);
        putBE(b, 3, 2);
        b.push_back(0);
        putBE(b, declared, 2);
        b.insert(b.end(), held, 'e');
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
        std::string error;
    } cases[] = {
        {"empty", {}, "wire format 1: confirm buffer too short"},
        {"format flag alone", {0x81}, "wire format 1: confirm buffer too short"},
        {"legacy", {0x04, 0x00, 0, 0, 0, 0, 0, 0, 0}, "Unsupported legacy format 0"},
        {"format 3", {0x83, 0x04}, "unknown wire format: 3"},
        {"indication sent as confirmation", {0x81, 0x03}, "wire format 1: unknown message type: 3"},
        {"10 bytes", cut(confirm(0, 0), 10), "wire format 1: confirm buffer too short"},
        {"11 bytes, no text", confirm(0, 0), ""},
        {"exactly 11 + T", confirm(4, 4), ""},
        {"one less than 11 + T", confirm(4, 3),
         "wire format 1: confirm buffer too short (error string)"},
        {"largest T", confirm(0xFFFF, 10),
         "wire format 1: confirm buffer too short (error string)"},
    };
    DelsLogCapture log;
    for (const Case& c : cases) {
        EXPECT_EQ(c.error, decodeError<Confirm>(c.bytes)) << c.what;
    }
    try {
        SDelsEventReportConfirm none(11, nullptr);
        FAIL() << "decoded a null buffer";
    } catch (const CDelsEventParsingError& e) {
        EXPECT_STREQ("NULL buffer", e.what());
    }
    EXPECT_NE(std::string::npos,
              log.take().find("CDelsEventParsingError: msg=Unsupported legacy format 0"));
}

TEST(AConfirmation, RoundTripsFormat1) {
    const SDelsEventReportConfirm sent(1, 0xABC12345, 0xFFFF, 0x7F, "all good");
    EXPECT_EQ(0xABC, sent.sessionSequence);
    EXPECT_EQ(0x12345u, sent.eventSequence);
    Bytes wire(sent.getWireFormatLength());
    ASSERT_EQ(19u, wire.size());
    ASSERT_EQ(19, sent.toWireConfirmation(wire.data()));
    const Confirm back = decode<Confirm>(wire);
    EXPECT_TRUE(back.valid);
    EXPECT_EQ(1, back.wireFormat);
    EXPECT_EQ(0xABC12345u, back.id);
    EXPECT_EQ(0xFFFF, back.count);
    EXPECT_EQ(0x7F, back.status);
    EXPECT_EQ("all good", back.errorText);
    EXPECT_EQ(0xABC, back.sessionSequence);
    EXPECT_EQ(0x12345u, back.eventSequence);
}

TEST(AConfirmation, WritesFormat0WithoutCountAndNothingForOtherFormats) {
    const SDelsEventReportConfirm legacy(0, 0x04030201, 5, 9, "ok");
    Bytes wire(legacy.getWireFormatLength());
    ASSERT_EQ(11u, wire.size());
    legacy.toWireConfirmation(wire.data());
    EXPECT_EQ((Bytes{0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 9, 2, 0, 'o', 'k'}), wire);
    EXPECT_EQ("Unsupported legacy format 0", decodeError<Confirm>(wire));

    const SDelsEventReportConfirm other(2, 1, 1, 0, "x");
    EXPECT_EQ(0, other.getWireFormatLength());
    unsigned char untouched[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(0, other.toWireConfirmation(untouched));
    EXPECT_EQ(0xAA, untouched[0]);
}

TEST(AConfirmation, CutsATextTooLongForItsLengthField) {
    const std::string huge(70000, 'h');
    const SDelsEventReportConfirm sent(1, 1, 1, 0, huge.c_str());
    EXPECT_EQ(65535, sent.getWireFormatLength());
    Bytes wire(sent.getWireFormatLength());
    sent.toWireConfirmation(wire.data());
    EXPECT_EQ(huge.substr(0, 65524), decode<Confirm>(wire).errorText);
}

TEST(AConfirmation, ListsEveryConfirmedIdAndLogsDuplicates) {
    std::set<SEventUniqueness> ids;
    SDelsEventReportConfirm(1, 100, 3, 0, "").getConfirmedEventIds(ids);
    EXPECT_EQ(
        (std::set<SEventUniqueness>{{100u, 0ULL, 0ULL}, {101u, 0ULL, 0ULL}, {102u, 0ULL, 0ULL}}),
        ids);

    // Counting across the event counter's top carries into the session counter.
    SDelsEventReportConfirm(1, 0x1FFFFF, 2, 0, "").getConfirmedEventIds(ids);
    EXPECT_EQ(1u, ids.count(SEventUniqueness(static_cast<unsigned short>(2), 0u, 0ULL, 0ULL)));

    DelsLogCapture log;
    SDelsEventReportConfirm(1, 101, 2, 0, "").getConfirmedEventIds(ids);
    const std::string logged = log.take();
    EXPECT_EQ(5u, ids.size());
    EXPECT_NE(std::string::npos, logged.find("got duplicate confirmation 101\n")) << logged;
    EXPECT_NE(std::string::npos, logged.find("got duplicate confirmation 102\n")) << logged;

    std::set<SEventUniqueness> none;
    SDelsEventReportConfirm(1, 100, 0, 0, "").getConfirmedEventIds(none);
    EXPECT_TRUE(none.empty());
}

} // namespace
