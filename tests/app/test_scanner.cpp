#include "quarn_scanner.h"

#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

struct SScanResult {
    bool complete = false;
    std::string held; // the sentence as stored, when complete
    int size = 0;
    int scanned = 0;
    int discarded = 0;
    int left = 0;
    bool truncated = false;
};

SScanResult scanOnce(CQuarnScanner& scanner, const std::string& input) {
    SScanResult r;
    r.left = scanner.scanToBuffer(input.data(), static_cast<int>(input.size()));
    r.complete = scanner.scannedComplete();
    r.size = scanner.getSize();
    r.scanned = scanner.amountScanned();
    r.discarded = scanner.amountDiscarded();
    r.truncated = scanner.scannedTruncatedMsg();
    if (r.complete) {
        r.held.assign(scanner.getBuffer(), static_cast<size_t>(scanner.getSize()));
        EXPECT_EQ(scanner.getBuffer()[scanner.getSize()], '\0') << "terminator after the sentence";
    }
    return r;
}

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
        SScanResult expected;
    };
    const std::vector<SCase> cases = {
        {"CR LF before the sentence is discarded",
         64,
         "\r\n$A*41\r\n",
         {true, "$A*41\r\n", 7, 7, 2, 0, false}},
        {"noise before a sentence", 64, "xyz\r\n$A\r\n", {true, "$A\r\n", 4, 4, 5, 0, false}},
        {"a sentence right after a reset needs a CR LF first",
         64,
         "$A\r\n",
         {false, "", 0, 0, 4, 0, false}},
        {"two sentences in one chunk: scan stops after the first",
         64,
         "\r\n$A\r\n$B\r\n",
         {true, "$A\r\n", 4, 4, 2, 4, false}},
        {"bare LF inside a sentence discards it whole",
         64,
         "\r\n$AB\n",
         {false, "", 0, 0, 6, 0, false}},
        {"bare CR inside a sentence discards it whole",
         64,
         "\r\n$AB\rC\r\n$D\r\n",
         {true, "$D\r\n", 4, 4, 9, 0, false}},
        {"CR CR LF inside a sentence restarts at the line",
         64,
         "\r\n$AB\r\r\n$D\r\n",
         {true, "$D\r\n", 4, 4, 8, 0, false}},
        {"repeated CR before LF still starts a line",
         64,
         "\r\r\r\n$A\r\n",
         {true, "$A\r\n", 4, 4, 4, 0, false}},
        {"empty lines before the sentence",
         64,
         "\r\n\r\n\r\n$A\r\n",
         {true, "$A\r\n", 4, 4, 6, 0, false}},
        {"a bare LF does not start a line", 64, "x\n$A\r\n", {false, "", 0, 0, 6, 0, false}},
        {"a line not starting with $ is noise",
         64,
         "\r\nA$B\r\n$C\r\n",
         {true, "$C\r\n", 4, 4, 7, 0, false}},
        {"shortest sentence", 64, "\r\n$\r\n", {true, "$\r\n", 3, 3, 2, 0, false}},
        {"zero bytes and high bytes are sentence bytes",
         64,
         "\r\n$\0\xff\r\n"s,
         {true, "$\0\xff\r\n"s, 5, 5, 2, 0, false}},
        {"sentence exactly as long as the buffer keeps its LF",
         8,
         "\r\n$<end>\r\n",
         {true, "$<end>\r\n", 8, 8, 2, 0, false}},
        {"sentence longer than the buffer is truncated at the capacity",
         8,
         "\r\n$ABCDEFGHI\r\n",
         {true, "$ABCDEFG", 8, 12, 6, 0, true}},
        {"one-byte buffer keeps only the $", 1, "\r\n$A\r\n", {true, "$", 1, 4, 5, 0, true}},
        {"incomplete sentence waits for more", 64, "\r\n$AB", {false, "", 3, 3, 2, 0, false}},
        {"sentence ended by CR only waits for the LF",
         64,
         "\r\n$AB\r",
         {false, "", 4, 4, 2, 0, false}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        CQuarnScanner scanner(c.capacity);
        const SScanResult r = scanOnce(scanner, c.input);
        EXPECT_EQ(r.complete, c.expected.complete);
        EXPECT_EQ(r.held, c.expected.held);
        EXPECT_EQ(r.size, c.expected.size);
        EXPECT_EQ(r.scanned, c.expected.scanned);
        EXPECT_EQ(r.discarded, c.expected.discarded);
        EXPECT_EQ(r.left, c.expected.left);
        EXPECT_EQ(r.truncated, c.expected.truncated);
    }
}

TEST(AQuarnScanner, AcceptsTheNextSentenceAtOnceAfterNextScan) {
    CQuarnScanner scanner(64);
    const std::string input = "\r\n$A\r\n$B\r\n";
    const int left = scanner.scanToBuffer(input.data(), static_cast<int>(input.size()));
    ASSERT_EQ(left, 4);
    scanner.nextScan();
    EXPECT_EQ(scanner.scanToBuffer(input.data() + input.size() - left, left), 0);
    ASSERT_TRUE(scanner.scannedComplete());
    EXPECT_EQ(std::string(scanner.getBuffer()), "$B\r\n");
    EXPECT_EQ(scanner.amountDiscarded(), 0);
}

TEST(AQuarnScanner, StopsConsumingOnceASentenceIsHeld) {
    CQuarnScanner scanner(64);
    const std::string input = "\r\n$A\r\n";
    scanner.scanToBuffer(input.data(), static_cast<int>(input.size()));
    EXPECT_EQ(scanner.scanToBuffer("$B\r\n", 4), 4);
    EXPECT_EQ(std::string(scanner.getBuffer()), "$A\r\n");
}

// Every sentence and counter must come out the same however the stream is cut into chunks.
class AQuarnScannerFedInChunks : public ::testing::Test {
protected:
    struct SEvent {
        std::string sentence;
        int scanned;
        int discarded;
        bool truncated;
        bool operator==(const SEvent& o) const {
            return sentence == o.sentence && scanned == o.scanned && discarded == o.discarded &&
                   truncated == o.truncated;
        }
    };

    static std::vector<SEvent> feed(CQuarnScanner& scanner, const std::string& stream,
                                    const std::vector<size_t>& cuts) {
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
                events.push_back({std::string(scanner.getBuffer(), scanner.getSize()),
                                  scanner.amountScanned(), scanner.amountDiscarded(),
                                  scanner.scannedTruncatedMsg()});
                scanner.nextScan();
                p += length - left;
                length = left;
            }
            from = to;
        }
        return events;
    }

    // Each split must give the sentences and counters of the whole stream, at both capacities.
    void expectAsWhole(const std::vector<size_t>& cuts) {
        CQuarnScanner narrow(16);
        EXPECT_TRUE(feed(narrow, m_stream, cuts) == m_expectedNarrow);
        CQuarnScanner wide(64);
        EXPECT_TRUE(feed(wide, m_stream, cuts) == m_expectedWide);
    }

    const std::string m_stream = "garbage\r\n$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n"
                                 "$AB\nnoise\r\n$TSCACK,1*00\r\n$<end>\r\n$TOOLONG,0123456789\r\n"
                                 "$X\rY\r\n$Z\r\n";
    const std::vector<SEvent> m_expectedNarrow = {
        {"$GPRMC,123519,A,", 43, 9 + 43 - 16, true},
        {"$TSCACK,1*00\r\n", 14, 11, false},
        {"$<end>\r\n", 8, 0, false},
        {"$TOOLONG,0123456", 21, 5, true},
        {"$Z\r\n", 4, 6, false},
    };
    const std::vector<SEvent> m_expectedWide = {
        {"$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n", 43, 9, false},
        {"$TSCACK,1*00\r\n", 14, 11, false},
        {"$<end>\r\n", 8, 0, false},
        {"$TOOLONG,0123456789\r\n", 21, 0, false},
        {"$Z\r\n", 4, 6, false},
    };
};

TEST_F(AQuarnScannerFedInChunks, GivesTheSameSentencesForEveryTwoChunkSplit) {
    for (size_t cut = 0; cut <= m_stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        expectAsWhole({cut});
    }
}

TEST_F(AQuarnScannerFedInChunks, GivesTheSameSentencesForEveryChunkSize) {
    for (size_t chunk = 1; chunk <= m_stream.size(); ++chunk) {
        SCOPED_TRACE("chunk size " + std::to_string(chunk));
        std::vector<size_t> cuts;
        for (size_t at = chunk; at < m_stream.size(); at += chunk) {
            cuts.push_back(at);
        }
        expectAsWhole(cuts);
    }
}

TEST(AQuarnScanner, ClassifiesOnlyCompleteSentences) {
    struct SCase {
        std::string sentence;
        bool end, tscack, gprmc, loginHeader, loginGprmc, msgHeader;
    };
    const std::vector<SCase> cases = {
        {"$<end>\r\n", true, false, false, false, false, false},
        {"$<end>X\r\n", false, false, false, false, false, false},
        {"$<end\r\n", false, false, false, false, false, false},
        {"$TSCACK,1\r\n", false, true, false, false, false, false},
        {"$TSCACK\r\n", false, false, false, false, false, false},
        {"$GPRMC,\r\n", false, false, true, false, false, false},
        {"$GPRMC\r\n", false, false, false, false, false, false},
        {"$<MSG.Info.ServerLogin>\r\n", false, false, false, true, false, false},
        {"$<MSG.Info.ServerLogin>*12\r\n", false, false, false, true, false, true},
        {"$LastValidPosition=$GPRMC,1*00\r\n", false, false, false, false, true, false},
        {"$LastValidPosition=$GPRM\r\n", false, false, false, false, false, false},
        {"$<>*12\r\n", false, false, false, false, false, true},
        {"$<abc>*7F\r\n", false, false, false, false, false, true},
        {"$<abc>*1\r\n", false, false, false, false, false, false},
        {"$<abc>12\r\n", false, false, false, false, false, false},
        {"$abc>*12\r\n", false, false, false, false, false, false},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.sentence);
        SHeld held(c.sentence);
        ASSERT_TRUE(held.scanner.scannedComplete());
        EXPECT_EQ(held.scanner.scannedEnd(), c.end);
        EXPECT_EQ(held.scanner.scannedTscack(), c.tscack);
        EXPECT_EQ(held.scanner.scannedGprmcData(), c.gprmc);
        EXPECT_EQ(held.scanner.scannedServerLoginInfoHeader(), c.loginHeader);
        EXPECT_EQ(held.scanner.scannedServerLoginInfoGprmcData(), c.loginGprmc);
        EXPECT_EQ(held.scanner.scannedMsgHeader(), c.msgHeader);

        // The same bytes without the final LF are not a sentence yet.
        CQuarnScanner partial(64);
        partial.nextScan();
        partial.scanToBuffer(c.sentence.data(), static_cast<int>(c.sentence.size()) - 1);
        EXPECT_FALSE(partial.scannedEnd() || partial.scannedTscack() ||
                     partial.scannedGprmcData() || partial.scannedServerLoginInfoHeader() ||
                     partial.scannedServerLoginInfoGprmcData() || partial.scannedMsgHeader());
    }
}

TEST(AQuarnScanner, ExtractsLoginInformationValues) {
    using Extractor = bool (CQuarnScanner::*)(std::string&) const;
    struct SCase {
        const char* description;
        std::string sentence;
        unsigned int capacity;
        Extractor extractor;
        bool found;
        std::string value;
    };
    const std::string untouched = "untouched";
    const std::vector<SCase> cases = {
        {"device name", "$DeviceName=AVI-7\r\n", 64,
         &CQuarnScanner::scannedServerLoginInfoDeviceName, true, "AVI-7"},
        {"extension", "$Ext=srv.example:10.0.0.1:4711\r\n", 64,
         &CQuarnScanner::scannedServerLoginInfoExt, true, "srv.example:10.0.0.1:4711"},
        {"software", "$Software=3.1.4\r\n", 64, &CQuarnScanner::scannedServerLoginInfoSoftware,
         true, "3.1.4"},
        {"hardware", "$Hardware=R2\r\n", 64, &CQuarnScanner::scannedServerLoginInfoHardware, true,
         "R2"},
        {"IMEI", "$IMEI=356938035643809\r\n", 64, &CQuarnScanner::scannedServerLoginInfoImei, true,
         "356938035643809"},
        {"command version", "$CmdVersion=12\r\n", 64,
         &CQuarnScanner::scannedServerLoginInfoCmdVersion, true, "12"},
        {"empty value", "$IMEI=\r\n", 64, &CQuarnScanner::scannedServerLoginInfoImei, true, ""},
        {"value keeps its own = and $", "$Ext=a=$b\r\n", 64,
         &CQuarnScanner::scannedServerLoginInfoExt, true, "a=$b"},
        {"other prefix leaves the value alone", "$IMEI=1\r\n", 64,
         &CQuarnScanner::scannedServerLoginInfoExt, false, untouched},
        {"prefix without = is not the line", "$IMEI\r\n", 64,
         &CQuarnScanner::scannedServerLoginInfoImei, false, untouched},
        {"prefix is case sensitive", "$imei=1\r\n", 64, &CQuarnScanner::scannedServerLoginInfoImei,
         false, untouched},
        {"zero byte right after the prefix gives an empty value", "$IMEI=\0\r\n"s, 64,
         &CQuarnScanner::scannedServerLoginInfoImei, true, ""},
        {"value cut short by the buffer", "$IMEI=1\r\n", 7,
         &CQuarnScanner::scannedServerLoginInfoImei, true, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        SHeld held(c.sentence, c.capacity);
        ASSERT_TRUE(held.scanner.scannedComplete());
        std::string value = untouched;
        EXPECT_EQ((held.scanner.*c.extractor)(value), c.found);
        EXPECT_EQ(value, c.value);
    }
    CQuarnScanner incomplete(64);
    incomplete.nextScan();
    incomplete.scanToBuffer("$IMEI=1\r", 8);
    std::string value = untouched;
    EXPECT_FALSE(incomplete.scannedServerLoginInfoImei(value));
    EXPECT_EQ(value, untouched);
}

TEST(AQuarnScanner, ValidatesTheChecksumAndReportsBothValues) {
    const int kUntouched = 0x100; // no byte value: marks an output that was not written
    struct SCase {
        const char* description;
        std::string sentence;
        bool valid;
        int computed;
        int appended;
    };
    const std::vector<SCase> cases = {
        {"single byte", "$A*41\r\n", true, 0x41, 0x41},
        {"real GPRMC line",
         "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n", true, 0x6a,
         0x6a},
        {"GPRMC line with a wrong sum",
         "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6B\r\n", false, 0x6a,
         0x6b},
        {"lower-case hex digits", "$J*4a\r\n", true, 0x4a, 0x4a},
        {"upper-case hex digits", "$J*4A\r\n", true, 0x4a, 0x4a},
        {"mismatch reports both", "$A*42\r\n", false, 0x41, 0x42},
        {"high bytes are unsigned", "$\xff*ff\r\n", true, 0xff, 0xff},
        {"missing * reports only the computed value", "$ABCDE\r\n", false, 0x41 ^ 0x42, kUntouched},
        {"non-hex digit reports only the computed value", "$A*4G\r\n", false, 0x41, kUntouched},
        {"no payload", "$*00\r\n", true, 0x00, 0x00},
        {"five bytes: the * would be the $", "$A*\r\n", false, 0x00, kUntouched},
        {"four bytes or fewer: nothing reported", "$A\r\n", false, kUntouched, kUntouched},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        SHeld held(c.sentence);
        ASSERT_TRUE(held.scanner.scannedComplete());
        // Sentinels that none of the tabled values equals.
        char computed = 0x5a;
        char appended = 0x5b;
        const bool valid = held.scanner.scannedLrcCsValidated(&computed, &appended);
        EXPECT_EQ(valid, c.valid);
        if (c.computed == kUntouched) {
            EXPECT_EQ(computed, 0x5a);
        } else {
            EXPECT_EQ(static_cast<unsigned char>(computed), c.computed);
        }
        if (c.appended == kUntouched) {
            EXPECT_EQ(appended, 0x5b);
        } else {
            EXPECT_EQ(static_cast<unsigned char>(appended), c.appended);
        }
        EXPECT_EQ(held.scanner.scannedLrcCsValidated(nullptr, nullptr), c.valid);
    }
}

TEST(AQuarnScanner, RefusesTheChecksumOfTruncatedOrIncompleteSentences) {
    SHeld truncated("$A*41XXXXXXXX\r\n", 8);
    ASSERT_TRUE(truncated.scanner.scannedTruncatedMsg());
    char computed = 1;
    char appended = 2;
    EXPECT_FALSE(truncated.scanner.scannedLrcCsValidated(&computed, &appended));

    CQuarnScanner incomplete(64);
    incomplete.nextScan();
    incomplete.scanToBuffer("$A*41\r", 6);
    EXPECT_FALSE(incomplete.scannedLrcCsValidated(&computed, &appended));
    EXPECT_EQ(computed, 1);
    EXPECT_EQ(appended, 2);
}

TEST(AQuarnScanner, WithoutABufferConsumesNothingAndAnswersFalse) {
    // 0 and what a negative configured size turns into.
    for (unsigned int capacity : {0u, static_cast<unsigned int>(-1), 0x80000000u}) {
        SCOPED_TRACE(capacity);
        CQuarnScanner scanner(capacity);
        EXPECT_EQ(scanner.getBuffer(), nullptr);
        EXPECT_EQ(scanner.getCapacity(), 0u);
        scanner.nextScan();
        const std::string input = "$<end>\r\n";
        EXPECT_EQ(scanner.scanToBuffer(input.data(), static_cast<int>(input.size())), 8);
        scanner.putCharToBuffer('$');
        EXPECT_EQ(scanner.getSize(), 0);
        EXPECT_FALSE(scanner.scannedComplete());
        EXPECT_FALSE(scanner.scannedEnd());
        EXPECT_FALSE(scanner.scannedMsgHeader());
        std::string value;
        EXPECT_FALSE(scanner.scannedServerLoginInfoImei(value));
        char computed = 0;
        EXPECT_FALSE(scanner.scannedLrcCsValidated(&computed, nullptr));
    }
}

TEST(AQuarnScanner, HandlesNullAndEmptyInput) {
    CQuarnScanner scanner(16);
    EXPECT_EQ(scanner.scanToBuffer(nullptr, 5), 5);
    EXPECT_EQ(scanner.scanToBuffer("x", 0), 0);
    EXPECT_EQ(scanner.scanToBuffer("x", -3), -3);
    EXPECT_EQ(scanner.amountDiscarded(), 0);
}

TEST(AQuarnScanner, RecreatesAndDestroysItsBuffer) {
    CQuarnScanner scanner(4);
    scanner.createBuffer(32);
    EXPECT_EQ(scanner.getCapacity(), 32u);
    const std::string input = "\r\n$0123456789ABCDEF\r\n";
    scanner.scanToBuffer(input.data(), static_cast<int>(input.size()));
    EXPECT_TRUE(scanner.scannedComplete());
    EXPECT_FALSE(scanner.scannedTruncatedMsg());
    scanner.destroyBuffer();
    EXPECT_EQ(scanner.getCapacity(), 0u);
    EXPECT_EQ(scanner.getBuffer(), nullptr);
    EXPECT_FALSE(scanner.scannedComplete());
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
    EXPECT_EQ(scanner.getSize(), 16);
    scanner.scanToBuffer("\r\n", 2);
    EXPECT_TRUE(scanner.scannedComplete());
    EXPECT_TRUE(scanner.scannedTruncatedMsg());
}

} // namespace
