#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <utility>
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
        decode<T>(bytes);
        return "";
    } catch (const CDelsEventParsingError& e) {
        return e.what();
    }
}

void put(Bytes& b, unsigned long long v, unsigned n, bool bigEndian = true) {
    for (unsigned i = 0; i < n; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * (bigEndian ? n - 1 - i : i))));
}

void putText(Bytes& b, const std::string& text) {
    put(b, text.size(), 2, false);
    b.insert(b.end(), text.begin(), text.end());
}

Bytes cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

// A format 1 indication declaring `declared` bytes of text and holding `held` of them.
Bytes indication1(unsigned declared, unsigned held) {
    Bytes b{0x81, 0x03};
    put(b, declared, 2);
    put(b, 0x00A00010, 4);
    put(b, 1450429507042ULL, 6);
    put(b, 0x0102030405ULL, 6);
    b.insert(b.end(), 12, 0);
    b.insert(b.end(), held, 't');
    return b;
}

// A legacy (format 0) indication. The decoder wants 18 bytes plus the strings read so far: with
// the defaults 22, 33, 50 or 64 bytes fail on moc, moi, ts or text.
Bytes legacy(const std::string& moi = "AB3DEF45123", const std::string& ts = "20151218 09:05:07",
             const std::string& text = "power restored", unsigned primitive = 3) {
    Bytes b;
    put(b, primitive, 2, false);
    put(b, 0x0102, 2, false);
    put(b, 0x00300004, 4, false);
    b.push_back(0xEE);
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
        {legacy("m", "t", "x", 259), "wire format 0: unknown primitive: 259"},
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
    EXPECT_EQ(0, event.getWireFormat());
    EXPECT_EQ(0x0102u, event.getParam0());
    EXPECT_EQ(3u, event.getSessionSequence());
    EXPECT_EQ(4u, event.getEventSequence());
    EXPECT_EQ(DSEV_HIGH, event.getSeverity());
    EXPECT_EQ(node | 123, event.getNodeId());
    EXPECT_EQ(1450429507000ULL, event.getTimestamp());
    EXPECT_EQ(2048u, event.getAdditionalInfo().size());
    EXPECT_EQ(0u, event.getAdditionalInfo().find("MOI=AB3DEF45123,zzz"));
    EXPECT_EQ(bytes.size(), event.getWireFormatLength()); // as it came, with the text uncut
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
        for (bool limit : {true, false}) {
            Bytes wire(event.getWireFormatLength());
            ASSERT_EQ(wire.size(), event.wireIndicationLength(limit));
            ASSERT_EQ(wire.size(), event.toWireIndication(wire.data(), c[2], limit));
            const CDelsMetaEvent back = decode<CDelsMetaEvent>(wire);
            EXPECT_EQ(0xFFFFFFFFu, back.getId());
            EXPECT_EQ(c[3], back.getTimestamp()) << std::hex << c[0];
            EXPECT_EQ(c[4], back.getNodeId()) << std::hex << c[1];
            EXPECT_EQ(text, back.getAdditionalInfo());
        }
    }
}

TEST(AConfirmationDecoder, RejectsEachMalformedBufferWithItsOwnText) {
    auto confirm = [](unsigned declared, unsigned held) {
        Bytes b{0x81, 0x04, 0, 0, 0, 100, 0, 3, 0};
        put(b, declared, 2);
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
    const std::string logged = delsLogOf([&] {
        for (const auto& c : cases)
            EXPECT_EQ(c.second, decodeError<SDelsEventReportConfirm>(c.first)) << &c - cases;
        EXPECT_THROW(SDelsEventReportConfirm(11, nullptr), CDelsEventParsingError);
    });
    EXPECT_NE(std::string::npos,
              logged.find("CDelsEventParsingError: msg=Unsupported legacy format 0"));
}

TEST(AConfirmation, RoundTripsFormat1CuttingATextTooLongAndWritesFormat0WithoutCount) {
    for (const std::string& text : {std::string("all good"), std::string(70000, 'h')}) {
        const SDelsEventReportConfirm sent(1, 0xABC12345, 0xFFFF, 0x7F, text.c_str());
        Bytes wire(sent.getWireFormatLength());
        ASSERT_EQ(std::min<size_t>(11 + text.size(), 65535), wire.size());
        ASSERT_EQ(int(wire.size()), sent.toWireConfirmation(wire.data()));
        const SDelsEventReportConfirm back = decode<SDelsEventReportConfirm>(wire);
        EXPECT_EQ(0xABC12345u, back.id);
        EXPECT_EQ(0xFFFF, back.count);
        EXPECT_EQ(0x7F, back.status);
        EXPECT_EQ(text.substr(0, 65524), back.errorText);
        EXPECT_EQ(0xABC, back.sessionSequence);
        EXPECT_EQ(0x12345u, back.eventSequence);
    }
    const SDelsEventReportConfirm old(0, 0x04030201, 5, 9, "ok");
    Bytes wire(old.getWireFormatLength());
    old.toWireConfirmation(wire.data());
    EXPECT_EQ((Bytes{0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 9, 2, 0, 'o', 'k'}), wire);
    EXPECT_EQ(0, SDelsEventReportConfirm(2, 1, 1, 0, "x").getWireFormatLength());
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
    const std::string logged =
        delsLogOf([&] { SDelsEventReportConfirm(1, 101, 2, 0, "").getConfirmedEventIds(ids); });
    EXPECT_EQ(5u, ids.size());
    EXPECT_NE(std::string::npos, logged.find("got duplicate confirmation 102\n")) << logged;
}

} // namespace
