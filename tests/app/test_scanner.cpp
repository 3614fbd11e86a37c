#include "quarn_scanner.h"

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

// A scanner holding `sentence` (which must be one complete line starting with "$").
struct SHeld {
    explicit SHeld(const std::string& sentence, unsigned int capacity = 128) : scanner(capacity) {
        scanner.nextScan();
        scanner.scanToBuffer(sentence.data(), static_cast<int>(sentence.size()));
    }
    CQuarnScanner scanner;
};

TEST(AQuarnScanner, CutsSentencesOutOfTheStreamAsTabled) {
    struct SCase {
        const char* description;
        unsigned int capacity;
        std::string input;
        bool complete;
        std::string held;
        int scanned, discarded, left;
    };
    const std::vector<SCase> cases = {
        {"noise first", 64, "xyz\r\n$A\r\n", true, "$A\r\n", 4, 5, 0},
        {"after a reset a CR LF comes first", 64, "$A\r\n", false, "", 0, 4, 0},
        {"two in one chunk: stops after one", 64, "\r\n$A\r\n$B\r\n", true, "$A\r\n", 4, 2, 4},
        {"bare LF inside drops the line", 64, "\r\n$AB\n", false, "", 0, 6, 0},
        {"bare CR inside drops the line", 64, "\r\n$AB\rC\r\n$D\r\n", true, "$D\r\n", 4, 9, 0},
        {"CR CR LF inside restarts a line", 64, "\r\n$AB\r\r\n$D\r\n", true, "$D\r\n", 4, 8, 0},
        {"a line without $ is noise", 64, "\r\nA$B\r\n$C\r\n", true, "$C\r\n", 4, 7, 0},
        {"zero and high bytes", 64, "\r\n$\0\xff\r\n"s, true, "$\0\xff\r\n"s, 5, 2, 0},
        {"exactly the capacity keeps the LF", 8, "\r\n$<end>\r\n", true, "$<end>\r\n", 8, 2, 0},
        {"truncated at the capacity", 8, "\r\n$ABCDEFGHI\r\n", true, "$ABCDEFG", 12, 6, 0},
        {"incomplete waits for more", 64, "\r\n$AB\r", false, "$AB\r", 4, 2, 0},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        CQuarnScanner scanner(c.capacity);
        EXPECT_EQ(scanner.scanToBuffer(c.input.data(), static_cast<int>(c.input.size())), c.left);
        EXPECT_EQ(scanner.scannedComplete(), c.complete);
        EXPECT_EQ(std::string(scanner.getBuffer(), scanner.getSize()), c.held);
        EXPECT_EQ(scanner.amountScanned(), c.scanned);
        EXPECT_EQ(scanner.amountDiscarded(), c.discarded);
        if (c.complete) {
            EXPECT_EQ(scanner.getBuffer()[scanner.getSize()], '\0');
            // A held sentence is not overwritten by further bytes.
            EXPECT_EQ(scanner.scanToBuffer("$B\r\n", 4), 4);
            EXPECT_EQ(std::string(scanner.getBuffer(), scanner.getSize()), c.held);
        }
    }
}

// Every sentence and counter must come out the same however the stream is cut into chunks.
TEST(AQuarnScanner, GivesTheSameSentencesForEverySplitOfTheStream) {
    using SEvent = std::tuple<std::string, int, int>; // sentence, scanned, discarded
    const std::string stream = "garbage\r\n$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n"
                               "$AB\nnoise\r\n$TSCACK,1*00\r\n$<end>\r\n$TOOLONG,0123456789\r\n"
                               "$X\rY\r\n$Z\r\n";
    const std::vector<SEvent> expectedNarrow = {
        {"$GPRMC,123519,A,", 43, 9 + 43 - 16},
        {"$TSCACK,1*00\r\n", 14, 11},
        {"$<end>\r\n", 8, 0},
        {"$TOOLONG,0123456", 21, 5},
        {"$Z\r\n", 4, 6},
    };
    const std::vector<SEvent> expectedWide = {
        {"$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n", 43, 9},
        {"$TSCACK,1*00\r\n", 14, 11},
        {"$<end>\r\n", 8, 0},
        {"$TOOLONG,0123456789\r\n", 21, 0},
        {"$Z\r\n", 4, 6},
    };
    const auto feed = [&](unsigned int capacity, const std::vector<size_t>& cuts) {
        CQuarnScanner scanner(capacity);
        std::vector<SEvent> events;
        size_t from = 0;
        std::vector<size_t> ends = cuts;
        ends.push_back(stream.size());
        for (size_t to : ends) {
            const char* p = stream.data() + from;
            int length = static_cast<int>(to - from);
            while (length > 0) {
                const int left = scanner.scanToBuffer(p, length);
                if (!scanner.scannedComplete()) {
                    EXPECT_EQ(left, 0) << "an incomplete scan consumes the whole chunk";
                    break;
                }
                events.emplace_back(std::string(scanner.getBuffer(), scanner.getSize()),
                                    scanner.amountScanned(), scanner.amountDiscarded());
                scanner.nextScan();
                p += length - left;
                length = left;
            }
            from = to;
        }
        return events;
    };
    for (size_t step = 1; step <= stream.size(); ++step) {
        // Chunks of one size, and a single cut at every byte position.
        std::vector<size_t> chunks;
        for (size_t at = step; at < stream.size(); at += step) {
            chunks.push_back(at);
        }
        for (const std::vector<size_t>& cuts : {chunks, std::vector<size_t>{step}}) {
            SCOPED_TRACE("step " + std::to_string(step) + ", cuts " + std::to_string(cuts.size()));
            EXPECT_EQ(feed(16, cuts), expectedNarrow);
            EXPECT_EQ(feed(64, cuts), expectedWide);
        }
    }
}

TEST(AQuarnScanner, ClassifiesOnlyCompleteSentences) {
    // Kinds: E end, T TSCACK, G GPRMC, H login header, L login GPRMC, M message header.
    const auto kinds = [](const CQuarnScanner& s) {
        return std::string(s.scannedEnd() ? "E" : "") + (s.scannedTscack() ? "T" : "") +
               (s.scannedGprmcData() ? "G" : "") + (s.scannedServerLoginInfoHeader() ? "H" : "") +
               (s.scannedServerLoginInfoGprmcData() ? "L" : "") + (s.scannedMsgHeader() ? "M" : "");
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"$<end>\r\n", "E"},
        {"$<end>X\r\n", ""},
        {"$TSCACK,1\r\n", "T"},
        {"$TSCACK\r\n", ""},
        {"$GPRMC,\r\n", "G"},
        {"$GPRMC\r\n", ""},
        {"$<MSG.Info.ServerLogin>\r\n", "H"},
        {"$<MSG.Info.ServerLogin>*12\r\n", "HM"},
        {"$LastValidPosition=$GPRMC,1*00\r\n", "L"},
        {"$LastValidPosition=$GPRM\r\n", ""},
        {"$<>*12\r\n", "M"},
        {"$<abc>*1\r\n", ""},
        {"$<abc>12\r\n", ""},
        {"$abc>*12\r\n", ""},
    };
    for (const auto& [sentence, expected] : cases) {
        SCOPED_TRACE(sentence);
        SHeld held(sentence);
        ASSERT_TRUE(held.scanner.scannedComplete());
        EXPECT_EQ(kinds(held.scanner), expected);
        // The same bytes without the final LF are not a sentence yet.
        SHeld partial(sentence.substr(0, sentence.size() - 1));
        EXPECT_EQ(kinds(partial.scanner), "");
    }
}

TEST(AQuarnScanner, ExtractsLoginInformationValues) {
    using Extractor = bool (CQuarnScanner::*)(std::string&) const;
    struct SCase {
        std::string sentence;
        unsigned int capacity;
        Extractor extractor;
        bool found;
        std::string value;
    };
    const std::string untouched = "untouched";
    const std::vector<SCase> cases = {
        {"$DeviceName=A-7\r\n", 64, &CQuarnScanner::scannedServerLoginInfoDeviceName, true, "A-7"},
        {"$Ext=a:1.2.3.4:5\r\n", 64, &CQuarnScanner::scannedServerLoginInfoExt, true,
         "a:1.2.3.4:5"},
        {"$Software=3.1.4\r\n", 64, &CQuarnScanner::scannedServerLoginInfoSoftware, true, "3.1.4"},
        {"$Hardware=R2\r\n", 64, &CQuarnScanner::scannedServerLoginInfoHardware, true, "R2"},
        {"$IMEI=3569380\r\n", 64, &CQuarnScanner::scannedServerLoginInfoImei, true, "3569380"},
        {"$CmdVersion=12\r\n", 64, &CQuarnScanner::scannedServerLoginInfoCmdVersion, true, "12"},
        {"$IMEI=\r\n", 64, &CQuarnScanner::scannedServerLoginInfoImei, true, ""},
        {"$IMEI=1\r\n", 64, &CQuarnScanner::scannedServerLoginInfoExt, false, untouched},
        {"$IMEI\r\n", 64, &CQuarnScanner::scannedServerLoginInfoImei, false, untouched},
        // A zero byte or a truncation leaves less than the CR LF after the prefix.
        {"$IMEI=\0\r\n"s, 64, &CQuarnScanner::scannedServerLoginInfoImei, true, ""},
        {"$IMEI=1\r\n", 7, &CQuarnScanner::scannedServerLoginInfoImei, true, ""},
        {"$IMEI=1\r", 64, &CQuarnScanner::scannedServerLoginInfoImei, false, untouched},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.sentence);
        SHeld held(c.sentence, c.capacity);
        std::string value = untouched;
        EXPECT_EQ((held.scanner.*c.extractor)(value), c.found);
        EXPECT_EQ(value, c.value);
    }
}

TEST(AQuarnScanner, ValidatesTheChecksumAndReportsBothValues) {
    const int kUntouched = 0x100; // no byte value: marks an output that was not written
    struct SCase {
        std::string sentence;
        unsigned int capacity;
        bool valid;
        int computed;
        int appended;
    };
    const std::vector<SCase> cases = {
        {"$J*4a\r\n", 128, true, 0x4a, 0x4a},
        {"$A*42\r\n", 128, false, 0x41, 0x42},
        {"$\xff*ff\r\n", 128, true, 0xff, 0xff},
        {"$ABCDE\r\n", 128, false, 0x41 ^ 0x42, kUntouched},
        {"$A*4G\r\n", 128, false, 0x41, kUntouched},
        {"$*00\r\n", 128, true, 0x00, 0x00},
        {"$A*\r\n", 128, false, 0x00, kUntouched},
        {"$A\r\n", 128, false, kUntouched, kUntouched},
        {"$A*41XXXXXXXX\r\n", 8, false, kUntouched, kUntouched},
        {"$A*41\r", 128, false, kUntouched, kUntouched},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.sentence);
        SHeld held(c.sentence, c.capacity);
        // Sentinels that none of the tabled values equals.
        char computed = 0x5a;
        char appended = 0x5b;
        EXPECT_EQ(held.scanner.scannedLrcCsValidated(&computed, &appended), c.valid);
        EXPECT_EQ(static_cast<unsigned char>(computed),
                  c.computed == kUntouched ? 0x5a : c.computed);
        EXPECT_EQ(static_cast<unsigned char>(appended),
                  c.appended == kUntouched ? 0x5b : c.appended);
        EXPECT_EQ(held.scanner.scannedLrcCsValidated(nullptr, nullptr), c.valid);
    }
}

TEST(AQuarnScanner, WithoutABufferOrInputConsumesNothingAndAnswersFalse) {
    // 0 and what a negative configured size turns into.
    for (unsigned int capacity : {0u, static_cast<unsigned int>(-1), 0x80000000u}) {
        SCOPED_TRACE(capacity);
        CQuarnScanner scanner(capacity);
        EXPECT_EQ(scanner.getBuffer(), nullptr);
        scanner.nextScan();
        EXPECT_EQ(scanner.scanToBuffer("$<end>\r\n", 8), 8);
        scanner.putCharToBuffer('$');
        EXPECT_EQ(scanner.getSize(), 0);
        EXPECT_FALSE(scanner.scannedComplete() || scanner.scannedEnd());
        std::string value;
        EXPECT_FALSE(scanner.scannedServerLoginInfoImei(value));
        EXPECT_FALSE(scanner.scannedLrcCsValidated(nullptr, nullptr));
    }
    CQuarnScanner scanner(16);
    EXPECT_EQ(scanner.scanToBuffer(nullptr, 5), 5);
    EXPECT_EQ(scanner.scanToBuffer("x", -3), -3);
    EXPECT_EQ(scanner.amountDiscarded(), 0);
}

TEST(AQuarnScanner, SaturatesItsCountersInsteadOfWrapping) {
    // Days of noise without a sentence, and a sentence that never ends.
    const std::string noise(64u << 20, 'x');
    CQuarnScanner scanner(16);
    for (int i = 0; i < 33; ++i) {
        scanner.scanToBuffer(noise.data(), static_cast<int>(noise.size()));
    }
    EXPECT_EQ(scanner.amountDiscarded(), INT_MAX);

    scanner.nextScan();
    scanner.scanToBuffer("$", 1);
    for (int i = 0; i < 33; ++i) {
        scanner.scanToBuffer(noise.data(), static_cast<int>(noise.size()));
    }
    EXPECT_EQ(scanner.amountScanned(), INT_MAX);
    scanner.scanToBuffer("\r\n", 2);
    EXPECT_TRUE(scanner.scannedComplete() && scanner.scannedTruncatedMsg());
}

} // namespace
