#include "buffer.h"

#include <string>
#include <tuple>
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
    buffer.flushBuffer(-3);
    buffer.flushBuffer(2);
    load(buffer, "xy");
    EXPECT_EQ(contents(buffer), "2345abcdxy") << "fills exactly to its capacity";
    buffer.flushBuffer(11);
    EXPECT_EQ(buffer.getSize(), 0);
    // 0 and what a negative configured size turns into: no room, nothing held.
    for (unsigned int capacity : {0u, static_cast<unsigned int>(-5)}) {
        CBuffer none(capacity);
        load(none, "abc");
        none.flushBuffer(1);
        EXPECT_TRUE(none.willOverrun(0));
        EXPECT_EQ(none.discardFrontSentences(1) + none.getSize(), 0) << capacity;
    }
}

TEST(ABuffer, DiscardsWholeSentencesFromItsFront) {
    // Held bytes, bytes asked for, bytes removed: a cut inside a sentence (even between its CR
    // and LF) takes all of it, a bare CR or a leading LF ends nothing.
    const std::vector<std::tuple<std::string, int, int>> cases = {
        {"$A\r\n$BC\r\n$D\r\n", 3, 4},  {"$A\r\n$BC\r\n$D\r\n", 5, 9},
        {"$A\r\n$BC\r\n$D\r\n", -4, 0}, {"$A\rB\r\n$C\r\n", 1, 6},
        {"\n$A\r\n$C\r\n", 1, 5},       {"$A\r\n$BC", 5, 7},
        {"$A\r\n$BC\r\n$D\r\n", 4, 4},  {"$A\nB\r\n$C\r\n", 1, 6},
    };
    for (const auto& [held, n, removed] : cases) {
        SCOPED_TRACE(held + std::to_string(n));
        CBuffer buffer(64);
        load(buffer, held);
        EXPECT_EQ(buffer.discardFrontSentences(n), removed);
        EXPECT_EQ(contents(buffer), held.substr(static_cast<size_t>(removed)));
    }
}

} // namespace
