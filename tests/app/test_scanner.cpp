#include "quarn_scanner.h"

#include <algorithm>
#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A scanner holding `sentence` (which must be one complete line starting with "$").
struct SHeld {
    explicit SHeld(const std::string& sentence, unsigned int capacity = 128) : scanner(capacity) {
        scanner.nextScan();
        scanner.scanToBuffer(sentence.data(), static_cast<int>(sentence.size()));
    }
    CQuarnScanner scanner;
};

// Each input is fed in chunks of every size from one byte up: the outcome must not depend on
// where the stream was cut. `left` counts the bytes not consumed.
TEST(AQuarnScanner, CutsSentencesOutOfTheStreamAsTabled) {
    const std::string fix = "$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n";
    const std::vector<
        std::tuple<const char*, unsigned int, bool, std::string, std::string, int, int, size_t>>
        cases = {
            {"noise first", 64, true, "xyz\r\n$A\r\n", "$A\r\n", 4, 5, 0},
            {"a long sentence after noise", 64, true, "garbage\r\n" + fix, fix, 43, 9, 0},
            {"after a reset a CR LF comes first", 64, false, "$A\r\n", "", 0, 4, 0},
            {"two in one chunk: stops after one", 64, true, "\r\n$A\r\n$B\r\n", "$A\r\n", 4, 2, 4},
            {"bare LF inside drops the line", 64, false, "\r\n$AB\n", "", 0, 6, 0},
            {"bare CR inside drops the line", 64, true, "\r\n$AB\rC\r\n$D\r\n", "$D\r\n", 4, 9, 0},
            {"exactly the capacity keeps the LF", 8, true, "\r\n$<end>\r\n", "$<end>\r\n", 8, 2, 0},
            {"truncated at the capacity", 8, true, "\r\n$ABCDEFGHI\r\n", "$ABCDEFG", 12, 6, 0},
            {"incomplete waits for more", 64, false, "\r\n$AB\r", "$AB\r", 4, 2, 0},
        };
    for (const auto& [description, capacity, complete, input, held, scanned, discarded, left] :
         cases) {
        for (size_t step = 1; step <= input.size(); ++step) {
            SCOPED_TRACE(std::string(description) + ", chunks of " + std::to_string(step));
            CQuarnScanner scanner(capacity);
            size_t consumed = 0;
            for (size_t at = 0; at < input.size() && !scanner.scannedComplete(); at += step) {
                const int n = static_cast<int>(std::min(step, input.size() - at));
                consumed += static_cast<size_t>(n - scanner.scanToBuffer(input.data() + at, n));
            }
            EXPECT_EQ(scanner.scannedComplete(), complete);
            EXPECT_EQ(input.size() - consumed, left);
            EXPECT_EQ(std::string(scanner.getBuffer(), scanner.getSize()), held);
            EXPECT_EQ(scanner.amountScanned(), scanned);
            EXPECT_EQ(scanner.amountDiscarded(), discarded);
            if (scanner.scannedComplete()) {
                // A held sentence is not overwritten by further bytes.
                EXPECT_EQ(scanner.scanToBuffer("$B\r\n", 4), 4);
                EXPECT_EQ(std::string(scanner.getBuffer(), scanner.getSize()), held);
            }
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

// Each value of a whole login block reaches the bridge's getters in tests/integration; here the
// edges of one extractor.
TEST(AQuarnScanner, ExtractsLoginInformationValues) {
    using S = CQuarnScanner;
    const std::string untouched = "untouched";
    const std::vector<
        std::tuple<std::string, unsigned int, bool (S::*)(std::string&) const, std::string>>
        cases = {
            {"$IMEI=3569380\r\n", 64, &S::scannedServerLoginInfoImei, "3569380"},
            {"$IMEI=\r\n", 64, &S::scannedServerLoginInfoImei, ""},
            {"$IMEI=1\r\n", 64, &S::scannedServerLoginInfoExt, untouched},
            {"$IMEI\r\n", 64, &S::scannedServerLoginInfoImei, untouched},
            {"$IMEI=1\r\n", 7, &S::scannedServerLoginInfoImei, ""}, // truncated: no CR LF
        };
    for (const auto& [sentence, capacity, extractor, expected] : cases) {
        SCOPED_TRACE(sentence);
        SHeld held(sentence, capacity);
        std::string value = untouched;
        EXPECT_EQ((held.scanner.*extractor)(value), expected != untouched);
        EXPECT_EQ(value, expected);
    }
}

TEST(AQuarnScanner, ValidatesTheChecksumAndReportsBothValues) {
    // Outputs start as sentinels (0x5a, 0x5b) that stay where nothing was written.
    const std::vector<std::tuple<std::string, unsigned int, bool, int, int>> cases = {
        {"$J*4a\r\n", 128, true, 0x4a, 0x4a},          {"$A*42\r\n", 128, false, 0x41, 0x42},
        {"$ABCDE\r\n", 128, false, 0x41 ^ 0x42, 0x5b}, {"$A*4G\r\n", 128, false, 0x41, 0x5b},
        {"$A*\r\n", 128, false, 0x00, 0x5b},           {"$A*41XXXXXXXX\r\n", 8, false, 0x5a, 0x5b},
    };
    for (const auto& [sentence, capacity, valid, computed, appended] : cases) {
        SCOPED_TRACE(sentence);
        SHeld held(sentence, capacity);
        char c = 0x5a, a = 0x5b;
        EXPECT_EQ(held.scanner.scannedLrcCsValidated(&c, &a), valid);
        EXPECT_EQ(static_cast<unsigned char>(c), computed);
        EXPECT_EQ(static_cast<unsigned char>(a), appended);
        EXPECT_EQ(held.scanner.scannedLrcCsValidated(nullptr, nullptr), valid);
    }
}

// Without a buffer nothing is held, and days of noise or a sentence that never ends saturate
// the counters instead of wrapping them.
TEST(AQuarnScanner, CopesWithoutABufferAndWithEndlessInput) {
    // 0 and what negative configured sizes turn into.
    for (unsigned int capacity : {0u, static_cast<unsigned int>(-1), 0x80000000u}) {
        SCOPED_TRACE(capacity);
        CQuarnScanner scanner(capacity);
        scanner.nextScan();
        EXPECT_EQ(scanner.scanToBuffer("$<end>\r\n", 8), 8);
        scanner.putCharToBuffer('$');
        EXPECT_EQ(scanner.getSize(), 0);
        EXPECT_FALSE(scanner.scannedComplete() || scanner.scannedLrcCsValidated(nullptr, nullptr));
    }
    CQuarnScanner scanner(16);
    EXPECT_EQ(scanner.scanToBuffer(nullptr, 5), 5);
    EXPECT_EQ(scanner.scanToBuffer("x", -3), -3);
    const std::string noise(64u << 20, 'x');
    const auto flood = [&] {
        for (int i = 0; i < 33; ++i)
            scanner.scanToBuffer(noise.data(), static_cast<int>(noise.size()));
    };
    flood();
    EXPECT_EQ(scanner.amountDiscarded(), INT_MAX);
    scanner.nextScan();
    scanner.scanToBuffer("$", 1);
    flood();
    EXPECT_EQ(scanner.amountScanned(), INT_MAX);
    scanner.scanToBuffer("\r\n", 2);
    EXPECT_TRUE(scanner.scannedComplete() && scanner.scannedTruncatedMsg());
}

} // namespace
