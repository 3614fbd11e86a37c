// Event records, their ids and order, promotion, and wire formats 0 and 1 in both directions.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <syslog.h>

#include "dels_test_support.h"
#include "delstypes.h"

namespace {

using delstest::delsLogOf;

TEST(ADelsEvent, CutsEveryTextTo2048BytesCopiesBinaryDataAndRendersOneLine) {
    const std::string big(3000, 'x');
    EXPECT_EQ(2048u, CDelsEvent(1, DSEV_NORMAL, 0, 0, 3000, big.data()).getAdditionalInfo().size());
    const CDelsEvent fromText(1, DSEV_NORMAL, 0, 0, big.c_str());
    EXPECT_EQ(2080, CDelsMetaEvent(fromText, false, DSEV_NORMAL, 0, 0, 1).getWireFormatLength());
    const std::string binary("a\0\xff\nb", 5);
    EXPECT_EQ(binary, CDelsEvent(1, DSEV_NORMAL, 0, 0, 5, binary.data()).getAdditionalInfo());
    const char* none = nullptr;
    EXPECT_TRUE(CDelsEvent(1, DSEV_NORMAL, 0, 0, 5, nullptr).getAdditionalInfo().empty() &&
                CDelsEvent(1, DSEV_NORMAL, 0, 0, none).getAdditionalInfo().empty());

    std::string line = "> ";
    CDelsEvent(17, 4000000000u, 2, "some text", DSEV_DISCARDABLE, 0x00300005, 1450429507042ULL, 0,
               0x1a)
        .getDescription(line);
    EXPECT_EQ("> 20151218 09:05:07.042, nodeId=          1a, id=3145733, severity=3, "
              "messageId=17, param0=4000000000, param1=2, additionalInfo=some text\n",
              line);
}

TEST(AnEventUniqueness, ComposesTheIdFromLow12SessionAndLow20EventBitsAndOrdersWithoutIt) {
    // The event counter is kept unmasked; how an id splits back is the Lua and confirmation tests'.
    const SEventUniqueness key(static_cast<unsigned short>(0x1001), 0x100001u, 0, 0);
    EXPECT_TRUE(key.id == 0x100001u && key.eventSequence == 0x100001u);
    // Each key is smaller than the next; every field beats all fields after it.
    const SEventUniqueness ordered[] = {
        {static_cast<unsigned short>(9), 9u, 1ULL, 9ULL},
        {static_cast<unsigned short>(10), 0u, 1ULL, 0ULL},
        {static_cast<unsigned short>(10), 1u, 1ULL, 0ULL},
        {static_cast<unsigned short>(10), 1u, 1ULL, 1ULL},
        {static_cast<unsigned short>(0), 0u, 0xFFFFFFFFFFFFFFFFULL, 0ULL}, // compared unsigned
    };
    for (size_t i = 0; i < 5; ++i)
        for (size_t j = 0; j < 5; ++j)
            EXPECT_TRUE((i < j) == (ordered[i] < ordered[j]) &&
                        (i == j) == (ordered[i] == ordered[j]))
                << i << " vs " << j;
    // Built from an event, the key carries the event's own fields; the id is not compared.
    SEventUniqueness fromEvent(CDelsEvent(1, 0, 0, "", DSEV_NORMAL, 0x00500007, 99, 0, 0x42));
    EXPECT_EQ(0x00500007u, fromEvent.id);
    fromEvent.id = 12345;
    EXPECT_EQ(SEventUniqueness(static_cast<unsigned short>(5), 7u, 0x42ULL, 99ULL), fromEvent);
}

TEST(APromotion, TurnsAMessageOneEventIntoFreeTextAndALegacyOneIntoItsParts) {
    std::unique_ptr<CMiscellaneousEvent> misc(promoteToCMiscellaneousEvent(
        CDelsEvent(1, 4, 5, "the text", DSEV_HIGH, 0x100002, 1234, 0, 0)));
    EXPECT_EQ("the text", misc->getFreeFormText());
    EXPECT_THROW(
        delete promoteToCMiscellaneousEvent(CDelsEvent(2, 0, 0, "", DSEV_NORMAL, 0, 0, 0, 0)),
        CDelsEventPromotionError);

    const CWireFormat0LegacyEvent made("disk full, again", 7, "AB3DEF45123");
    EXPECT_EQ("MOI=AB3DEF45123,MessageString=disk full, again", made.getAdditionalInfo());
    struct Case {
        unsigned messageId;
        std::string text, moi, legacy; // the last two on success
        const char* error;             // or null
    } cases[] = {
        {made.getMessageId(), made.getAdditionalInfo(), "AB3DEF45123", "disk full, again", nullptr},
        {1, "MOI=a,MessageString=b", "", "", "Bad message ID"},
        {0, "MOI", "", "", "MOI Definition Bad"},
        {0, "MOI=a", "", "", "Legacy Additional Info Definition Bad"},
        // the form the format 0 decoder builds
        {0, "MOI=a,MessageString", "a", "MessageString", nullptr},
        {0, "MOI=m,power restored", "m", "power restored", nullptr},
        {0, "MOI=m,MessageString=one\ntwo", "m", "one", nullptr},
        {0, "MOI=m,MessageString=a=b,c", "m", "a=b,c", nullptr},
    };
    for (const Case& c : cases) {
        try {
            std::unique_ptr<CWireFormat0LegacyEvent> legacy(promoteToCWireFormat0LegacyEvent(
                CDelsEvent(c.messageId, 7, 0, c.text, DSEV_NORMAL, 0, 0, 0, 0)));
            EXPECT_EQ(nullptr, c.error) << c.text;
            EXPECT_EQ(c.moi, legacy->getLegacyMOI()) << c.text;
            EXPECT_EQ(c.legacy, legacy->getLegacyAdditionalInfo()) << c.text;
            EXPECT_EQ(7, legacy->getLegacyEventType());
        } catch (const CDelsEventPromotionError& e) {
            EXPECT_STREQ(c.error ? c.error : "", e.what()) << c.text;
        }
    }
}

// The error logs itself once, however often it is copied on its way up; a disabled logger is
// silent.
TEST(ADelsDatabaseError, LogsItsTextOnceAndNothingWhileTheLoggerIsDisabled) {
    const std::string logged = delsLogOf([] {
        const CDelsDatabaseError error(5, "database is locked", "END TRANSACTION;", 12);
        const CDelsDatabaseError copy = error;
        CDelsLogger::logger().enable(false);
        CDelsLogger::logger().logError("hidden %d", 1);
        CDelsLogger::logger().enable(true);
    });
    EXPECT_NE(std::string::npos, logged.find("CDelsDatabaseError msg=database is locked, result=5, "
                                             "sql=\"END TRANSACTION;\", line=12\n"))
        << logged;
    EXPECT_EQ(1, std::count(logged.begin(), logged.end(), '\n')) << logged;
}

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
        decode<T>(bytes);
        return "";
    } catch (const CDelsEventParsingError& e) {
        return e.what();
    }
}

void putText(Bytes& b, const std::string& text) {
    b.push_back(static_cast<unsigned char>(text.size()));
    b.push_back(static_cast<unsigned char>(text.size() >> 8));
    b.insert(b.end(), text.begin(), text.end());
}

Bytes cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

// A format 1 indication declaring `declared` bytes of text and holding `held` of them.
Bytes indication1(unsigned declared, unsigned held) {
    Bytes b{0x81, 0x03, static_cast<unsigned char>(declared >> 8),
            static_cast<unsigned char>(declared)};
    b.resize(32 + held, 't');
    return b;
}

// A legacy (format 0) indication of primitive 3 + 256 * primitiveHigh. The decoder wants 18
// bytes plus the strings read so far: with the defaults 22, 33, 50 or 64 bytes fail on moc, moi,
// ts or text.
Bytes legacy(const std::string& moi = "AB3DEF45123", const std::string& ts = "20151218 09:05:07",
             const std::string& text = "power restored", unsigned char primitiveHigh = 0) {
    Bytes b{3, primitiveHigh, 0x02, 0x01, 0x04, 0x00, 0x30, 0x00, 0xEE};
    putText(b, "Class");
    putText(b, moi);
    b.push_back(1);
    putText(b, ts);
    putText(b, text);
    return b;
}

void setZone(const char* zone) {
    zone ? setenv("TZ", zone, 1) : unsetenv("TZ");
    tzset();
}

TEST(AnIndicationDecoder, RejectsEachMalformedBufferWithItsOwnText) {
    const Bytes good = legacy();
    const std::pair<Bytes, std::string> cases[] = {
        // bytes, error text ("" = decodes)
        {{}, "wire format 0: buffer too short"},
        {{0x81, 0x03}, "wire format 1: buffer too short Length: 2"},
        {{0xFF}, "unknown wire format: 127"},
        {{0x81, 0x04, 0, 0}, "wire format 1: unknown EventReportIndication: 4"},
        {cut(indication1(0x4100, 0), 31), "wire format 1: buffer too short Length: 31 Buffer2: A"},
        {indication1(5, 5), ""},
        {indication1(5, 4), "wire format 1: buffer too short (addinfo) Additional Length: 5"},
        {indication1(3000, 2047), // L is cut to 2048 first
         "wire format 1: buffer too short (addinfo) Additional Length: 2048"},
        {cut(good, 17), "wire format 0: buffer too short"},
        {legacy("m", "t", "x", 1), "wire format 0: unknown primitive: 259"},
        {cut(good, 22), "wire format 0: buffer too short (moc) moc Length: 5"},
        {cut(good, 33), "wire format 0: buffer too short (moi)MOI Length: 11"},
        {cut(good, 50), "wire format 0: buffer too short (ts)ts Length: 17"},
        {cut(good, 64), "wire format 0: buffer too short (addinfo)addinfo Length: 14"},
        {good, ""},
    };
    const std::string logged = delsLogOf([&] {
        for (const auto& c : cases)
            EXPECT_EQ(c.second, decodeError<CDelsMetaEvent>(c.first)) << &c - cases;
        EXPECT_THROW(CDelsMetaEvent(10, nullptr), CDelsEventParsingError);
    });
    EXPECT_NE(std::string::npos, logged.find("CDelsEventParsingError: msg=wire format 0: unknown "
                                             "primitive: 259, line="))
        << logged;
    EXPECT_NE(std::string::npos, logged.find("CDelsEventParsingError: msg=NULL buffer"));
}

TEST(AnIndicationDecoder, ReadsALegacyEventInLocalTimeWithItsNodeFromTheMoi) {
    const Bytes bytes = legacy("AB3DEF45123", "20151218 09:05:07", std::string(3000, 'z'));
    const unsigned long long node = (0x33ULL << 40) | (0x34ULL << 32) | (0x35ULL << 24);
    setZone("UTC0");
    const CDelsMetaEvent event = decode<CDelsMetaEvent>(bytes);
    // The length is the buffer's as it came, with the text uncut.
    EXPECT_EQ(
        std::make_tuple(0, 0x0102u, 3u, 4u, DSEV_HIGH, node | 123, 1450429507000ULL, bytes.size()),
        std::make_tuple(event.getWireFormat(), event.getParam0(), event.getSessionSequence(),
                        event.getEventSequence(), event.getSeverity(), event.getNodeId(),
                        event.getTimestamp(), size_t(event.getWireFormatLength())));
    EXPECT_EQ(2048u, event.getAdditionalInfo().size());
    EXPECT_EQ(0u, event.getAdditionalInfo().find("MOI=AB3DEF45123,zzz"));
    for (const char* ts : {"", "yesterday", "19600101 00:00:00"})
        EXPECT_EQ(0u, decode<CDelsMetaEvent>(legacy("m", ts)).getTimestamp()) << ts;
    setZone("EST5");
    EXPECT_EQ(1450429507000ULL + 5 * 3600 * 1000, decode<CDelsMetaEvent>(bytes).getTimestamp());
    setZone(nullptr);

    const std::pair<std::string, unsigned long long> cases[] = {
        {"AB3DEF4", (0x33ULL << 40) | (0x34ULL << 32)}, // missing characters count as 0
        {"AB3DEF45-1", node | 0xFFFFFFFFULL},
        {"AB3DEF45 99999999999", node | 0x7FFFFFFF},
        {"AB\377DEF45", (0xFFULL << 40) | (0x34ULL << 32) | (0x35ULL << 24)},
        {std::string("AB3DEF45\00077", 11), node},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, decode<CDelsMetaEvent>(legacy(c.first)).getNodeId()) << c.first;
}

TEST(ALegacyEventFromTheWire, EncodesIntoItsBufferLength) {
    // Without a time text the legacy buffer is shorter than the event's format 1 indication.
    const CDelsMetaEvent event = decode<CDelsMetaEvent>(legacy("AB3DEF45123", "", "power on"));
    EXPECT_GT(event.getBufferLength(), event.getWireFormatLength());
    std::unique_ptr<unsigned char[]> exact(new unsigned char[event.getBufferLength()]);
    EXPECT_EQ(event.getBufferLength(), event.toWireIndication(exact.get(), 0, false));
    const Bytes wire = event.toWireIndication(0, true);
    EXPECT_EQ(event.getAdditionalInfo(), decode<CDelsMetaEvent>(wire).getAdditionalInfo());
}

TEST(AnIndicationEncoder, WritesTheHeaderBigEndianAndRoundTripsFormat1) {
    const CDelsMetaEvent plain(CDelsEvent(0x01020304, 0x05060708, 0x090A0B0C, "hi", DSEV_NORMAL,
                                          0x11223344, 0x0000A1A2A3A4A5A6ULL, 0, 0xB1B2B3B4B5B6ULL),
                               false, DSEV_NORMAL, 0, 0, 1);
    Bytes header(plain.wireIndicationLength(true));
    plain.toWireIndication(header.data(), 0, true);
    const Bytes expected{0x81, 0x03, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0xA1, 0xA2, 0xA3, 0xA4,
                         0xA5, 0xA6, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0x01, 0x02, 0x03, 0x04,
                         0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 'h',  'i'};
    EXPECT_EQ(expected, header);
    // The decoder reads the same hand-written bytes back into their own fields.
    const CDelsMetaEvent read = decode<CDelsMetaEvent>(expected);
    EXPECT_EQ(std::make_tuple(0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x11223344u, 0xA1A2A3A4A5A6ULL,
                              0xB1B2B3B4B5B6ULL, std::string("hi")),
              std::make_tuple(read.getMessageId(), read.getParam0(), read.getParam1(), read.getId(),
                              read.getTimestamp(), read.getNodeId(), read.getAdditionalInfo()));

    // timestamp, node, node argument; what comes back
    const unsigned long long cases[][5] = {
        {0xABCD123456789ABCULL, 0xFEDC000000000001ULL, 0, 0x123456789ABCULL, 1}, // 48 bits
        {5, 0x1111, 0x1000000002222ULL, 5, 0x2222}, // the argument wins, also cut to 48 bits
    };
    const std::string text("\0\xff", 2);
    for (const auto& c : cases) {
        const CDelsMetaEvent event(
            CDelsEvent(1, 2, 3, text, DSEV_CRITICAL, 0xFFFFFFFF, c[0], 0, c[1]), false,
            DSEV_CRITICAL, 0, 0, 1);
        Bytes wire(event.getWireFormatLength());
        ASSERT_EQ(wire.size(), event.toWireIndication(wire.data(), c[2], true));
        const CDelsMetaEvent back = decode<CDelsMetaEvent>(wire);
        EXPECT_EQ(std::make_tuple(0xFFFFFFFFu, c[3], c[4], text),
                  std::make_tuple(back.getId(), back.getTimestamp(), back.getNodeId(),
                                  back.getAdditionalInfo()));
    }
}

TEST(AConfirmationDecoder, RejectsEachMalformedBufferWithItsOwnText) {
    auto confirm = [](unsigned char declared, unsigned held) {
        Bytes b{0x81, 0x04, 0, 0, 0, 100, 0, 3, 0, 0, declared};
        b.insert(b.end(), held, 'e');
        return b;
    };
    const std::pair<Bytes, std::string> cases[] = {
        {{}, "wire format 1: confirm buffer too short"},
        {{0x04, 0x00, 0, 0, 0, 0, 0, 0, 0}, "Unsupported legacy format 0"},
        {{0x83, 0x04}, "unknown wire format: 3"},
        {{0x81, 0x03}, "wire format 1: unknown message type: 3"},
        {cut(confirm(0, 0), 10), "wire format 1: confirm buffer too short"},
        {confirm(4, 4), ""},
        {confirm(4, 3), "wire format 1: confirm buffer too short (error string)"},
    };
    delsLogOf([&] {
        for (const auto& c : cases)
            EXPECT_EQ(c.second, decodeError<SDelsEventReportConfirm>(c.first)) << &c - cases;
        EXPECT_THROW(SDelsEventReportConfirm(11, nullptr), CDelsEventParsingError);
    });
}

TEST(AConfirmation, RoundTripsFormat1CuttingATextTooLongAndWritesFormat0WithoutCount) {
    for (const std::string& text : {std::string("all good"), std::string(70000, 'h')}) {
        const SDelsEventReportConfirm sent(1, 0xABC12345, 0xFFFF, 0x7F, text.c_str());
        Bytes wire(sent.getWireFormatLength());
        ASSERT_EQ(std::min<size_t>(11 + text.size(), 65535), wire.size());
        ASSERT_EQ(int(wire.size()), sent.toWireConfirmation(wire.data()));
        const SDelsEventReportConfirm back = decode<SDelsEventReportConfirm>(wire);
        EXPECT_EQ(std::make_tuple(0xABC12345u, 0xFFFF, 0x7F, 0xABC, 0x12345u),
                  std::make_tuple(back.id, back.count, back.status, back.sessionSequence,
                                  back.eventSequence));
        EXPECT_EQ(text.substr(0, 65524), back.errorText);
    }
    const SDelsEventReportConfirm old(0, 0x04030201, 5, 9, "ok");
    Bytes wire(old.getWireFormatLength());
    old.toWireConfirmation(wire.data());
    EXPECT_EQ((Bytes{0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 9, 2, 0, 'o', 'k'}), wire);
    EXPECT_EQ(0, SDelsEventReportConfirm(2, 1, 1, 0, "x").getWireFormatLength());
}

TEST(AConfirmation, ListsEveryConfirmedIdAndLogsDuplicates) {
    std::set<SEventUniqueness> ids;
    // Counting across the event counter's top carries into the session counter.
    SDelsEventReportConfirm(1, 0x1FFFFF, 2, 0, "").getConfirmedEventIds(ids);
    SDelsEventReportConfirm(1, 100, 2, 0, "").getConfirmedEventIds(ids);
    const std::string logged =
        delsLogOf([&] { SDelsEventReportConfirm(1, 101, 2, 0, "").getConfirmedEventIds(ids); });
    EXPECT_EQ((std::set<SEventUniqueness>{{0x1FFFFFu, 0ULL, 0ULL},
                                          {static_cast<unsigned short>(2), 0u, 0ULL, 0ULL},
                                          {100u, 0ULL, 0ULL},
                                          {101u, 0ULL, 0ULL},
                                          {102u, 0ULL, 0ULL}}),
              ids);
    EXPECT_NE(std::string::npos, logged.find("got duplicate confirmation 101\n")) << logged;
}

} // namespace
