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

TEST(ABuffer, GuardsItsEdges) {
    CBuffer buffer(10);
    load(buffer, "012345");
    EXPECT_TRUE(buffer.willOverrun(4)) << "exactly filling the free space counts as overrun";
    EXPECT_FALSE(buffer.willOverrun(3));
    EXPECT_FALSE(buffer.willOverrun(-1));
    EXPECT_FALSE(buffer.willUnderrun(6));
    EXPECT_TRUE(buffer.willUnderrun(7));
    buffer.loadBuffer(nullptr, 3);
    buffer.loadBuffer("xyz", -1);
    load(buffer, "abcdef");
    EXPECT_EQ(contents(buffer), "012345abcd") << "keeps only what fits";
    EXPECT_TRUE(buffer.willOverrun(0)) << "a full buffer has no room at all";
    load(buffer, "z");
    EXPECT_EQ(contents(buffer), "012345abcd");
    buffer.flushBuffer(10);
    load(buffer, "0123456789");
    EXPECT_EQ(contents(buffer), "0123456789") << "fills exactly to its capacity";
}

TEST(ABuffer, RemovesBytesFromItsFront) {
    const std::vector<std::pair<int, std::string>> cases = {
        {2, "2345"}, {6, ""}, {7, ""}, {-3, "012345"}};
    for (const auto& [n, left] : cases) {
        SCOPED_TRACE(n);
        CBuffer buffer(10);
        load(buffer, "012345");
        buffer.flushBuffer(n);
        EXPECT_EQ(contents(buffer), left);
        load(buffer, "xy");
        EXPECT_EQ(contents(buffer), left + "xy") << "appends after what is left";
    }
}

TEST(ABuffer, StaysEmptyWithoutCapacity) {
    for (unsigned int capacity : {0u, static_cast<unsigned int>(-5)}) {
        SCOPED_TRACE(capacity);
        CBuffer buffer(capacity);
        EXPECT_TRUE(buffer.willOverrun(0));
        load(buffer, "abc");
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
    };
    const std::vector<SCase> cases = {
        {"a cut inside the first sentence takes all of it", three, 1, 4},
        {"a cut between CR and LF takes the LF too", three, 3, 4},
        {"a cut on a boundary takes exactly n", three, 4, 4},
        {"one byte past a boundary takes the next sentence", three, 5, 9},
        {"more than held", three, 100, 13},
        {"negative count", three, -4, 0},
        {"a bare CR does not end a sentence", "$A\rB\r\n$C\r\n", 1, 6},
        {"an LF first in the buffer is no end", "\n$A\r\n$C\r\n", 1, 5},
        {"a tail without CR LF goes with the cut sentence", "$A\r\n$BC", 5, 7},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.description);
        CBuffer buffer(64);
        load(buffer, c.held);
        EXPECT_EQ(buffer.discardFrontSentences(c.n), c.removed);
        EXPECT_EQ(contents(buffer), c.held.substr(static_cast<size_t>(c.removed)));
    }
}

} // namespace
