#include "buffer.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string contents(const CBuffer& buffer) {
    return std::string(buffer.getBuffer(), static_cast<size_t>(buffer.getSize()));
}

void load(CBuffer& buffer, const std::string& bytes) {
    buffer.loadBuffer(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(ABuffer, CountsExactlyFillingTheFreeSpaceAsOverrun) {
    CBuffer buffer(10);
    load(buffer, "012345");
    EXPECT_TRUE(buffer.willOverrun(4));
    EXPECT_TRUE(buffer.willOverrun(5));
    EXPECT_FALSE(buffer.willOverrun(3));
    EXPECT_FALSE(buffer.willOverrun(0));
    EXPECT_FALSE(buffer.willOverrun(-1));
    EXPECT_FALSE(buffer.willUnderrun(6));
    EXPECT_TRUE(buffer.willUnderrun(7));
}

TEST(ABuffer, KeepsOnlyWhatFitsWhenLoadedPastItsCapacity) {
    CBuffer buffer(10);
    load(buffer, "012345");
    load(buffer, "abcdef");
    EXPECT_EQ(contents(buffer), "012345abcd");
    EXPECT_FALSE(buffer.willOverrun(-1));
    EXPECT_TRUE(buffer.willOverrun(0)) << "a full buffer has no room at all";
    load(buffer, "z");
    EXPECT_EQ(contents(buffer), "012345abcd");
}

TEST(ABuffer, FillsExactlyToItsCapacity) {
    CBuffer buffer(10);
    load(buffer, "0123456789");
    EXPECT_EQ(buffer.getSize(), 10);
    EXPECT_EQ(contents(buffer), "0123456789");
    buffer.flushBuffer(10);
    EXPECT_FALSE(buffer.notEmpty());
    load(buffer, "ab");
    EXPECT_EQ(contents(buffer), "ab");
}

TEST(ABuffer, RemovesBytesFromItsFront) {
    struct SCase {
        const char* description;
        int n;
        std::string left;
    };
    const std::vector<SCase> cases = {
        {"some", 2, "2345"},       {"all but one", 5, "5"}, {"exactly all", 6, ""},
        {"more than held", 7, ""}, {"none", 0, "012345"},   {"negative count", -3, "012345"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        CBuffer buffer(10);
        load(buffer, "012345");
        buffer.flushBuffer(c.n);
        EXPECT_EQ(contents(buffer), c.left);
        load(buffer, "xy");
        EXPECT_EQ(contents(buffer), c.left + "xy") << "appends after what is left";
    }
}

TEST(ABuffer, IgnoresNullAndNegativeLoads) {
    CBuffer buffer(10);
    load(buffer, "ab");
    buffer.loadBuffer(nullptr, 3);
    buffer.loadBuffer("xyz", -1);
    buffer.loadBuffer("xyz", 0);
    EXPECT_EQ(contents(buffer), "ab");
}

TEST(ABuffer, StaysEmptyWithoutCapacity) {
    for (unsigned int capacity : {0u, static_cast<unsigned int>(-5)}) {
        SCOPED_TRACE(capacity);
        CBuffer buffer(capacity);
        EXPECT_EQ(buffer.getCapacity(), 0u);
        EXPECT_TRUE(buffer.willOverrun(0));
        load(buffer, "abc");
        EXPECT_EQ(buffer.getSize(), 0);
        buffer.flushBuffer(1);
        EXPECT_EQ(buffer.discardFrontSentences(1), 0);
        EXPECT_EQ(buffer.getSize(), 0);
    }
}

TEST(ABuffer, DiscardsWholeSentencesFromItsFront) {
    const std::string three = "$A\r\n$BC\r\n$D\r\n";
    struct SCase {
        const char* description;
        std::string held;
        int n;
        int removed;
        std::string left;
    };
    const std::vector<SCase> cases = {
        {"a cut inside the first sentence takes all of it", three, 1, 4, "$BC\r\n$D\r\n"},
        {"a cut between CR and LF takes the LF too", three, 3, 4, "$BC\r\n$D\r\n"},
        {"a cut on a boundary takes exactly n", three, 4, 4, "$BC\r\n$D\r\n"},
        {"one byte past a boundary takes the next sentence", three, 5, 9, "$D\r\n"},
        {"a cut in the last sentence empties the buffer", three, 10, 13, ""},
        {"exactly everything", three, 13, 13, ""},
        {"more than held", three, 100, 13, ""},
        {"nothing asked", three, 0, 0, three},
        {"negative count", three, -4, 0, three},
        {"a bare LF does not end a sentence", "$A\nB\r\n$C\r\n", 1, 6, "$C\r\n"},
        {"a bare CR does not end a sentence", "$A\rB\r\n$C\r\n", 1, 6, "$C\r\n"},
        {"an LF first in the buffer is no end", "\n$A\r\n$C\r\n", 1, 5, "$C\r\n"},
        {"a tail without CR LF goes with the cut sentence", "$A\r\n$BC", 5, 7, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        CBuffer buffer(64);
        load(buffer, c.held);
        EXPECT_EQ(buffer.discardFrontSentences(c.n), c.removed);
        EXPECT_EQ(contents(buffer), c.left);
    }
}

TEST(ABuffer, MakesRoomForTheNextSentenceWhenNearlyFull) {
    // The data path's use: a full queue of 10-byte sentences, cut by a count that is not a
    // multiple of the sentence length, keeps whole sentences only.
    CBuffer buffer(100);
    for (int i = 0; i < 9; ++i) {
        load(buffer, "$DATA," + std::to_string(i) + "*\r\n");
    }
    ASSERT_EQ(buffer.getSize(), 90);
    ASSERT_TRUE(buffer.willOverrun(10));
    EXPECT_EQ(buffer.discardFrontSentences(15), 20);
    EXPECT_EQ(contents(buffer).substr(0, 10), "$DATA,2*\r\n");
    EXPECT_FALSE(buffer.willOverrun(10));
}

} // namespace
