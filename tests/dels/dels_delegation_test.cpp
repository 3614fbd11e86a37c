// Delegation functions over stored events: the built-ins, their order, and functions that fail.
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lua.hpp>

#include "dels_test_support.h"
#include "delscleanup.h"
#include "delsdelegation.h"

namespace {

typedef std::vector<DelsDelegationPair> Pairs;

// Stored events of message 305, ids 1, 2, ... newest first, with these delivery severities.
std::list<CDelsMetaEvent> stored(const std::vector<int>& severities) {
    std::list<CDelsMetaEvent> events;
    unsigned id = 1;
    for (int severity : severities) {
        CDelsEvent event(305, 7, 0, "x", DSEV_NORMAL, id, 1000 - id, 0, 0);
        events.emplace_back(event, false, static_cast<DelsSeverity>(severity), 0, 0, 1);
        ++id;
    }
    return events;
}

CDelsDelegation& interpreter() {
    static CDelsDelegation* s_delegation = [] {
        CDelsDelegation* delegation = new CDelsDelegation();
        lua_State* L = delegation->luaState();
        luaL_dostring(L,
                      "function rogue( evts, skip ) return { {999, 2}, {1, 15}, {1, 'x'},"
                      " 'junk', {2, 0} } end\n"
                      "function spin( evts, skip ) while true do end end\n"
                      "function hog( evts, skip ) local s = 'x' while true do s = s .. s end end\n"
                      "function nothing( evts, skip ) return 5 end\n");
        return delegation;
    }();
    return *s_delegation;
}

// Every kind of built-in (drop, boost, set, from-to) by its name, and functions that fail.
TEST(ADelegation, ComputesThePairsOfEachReferenceAndSurvivesFunctionsThatFail) {
    ASSERT_EQ(33u, CDelsDelegation::builtins().size()); // 4 drops, 4 boosts, 5 targets, 20 pairs
    const struct {
        std::vector<std::string> references;
        std::vector<int> severities;
        Pairs expected;
        const char* logged;
    } cases[] = {
        {{"dropBy1/1"},
         {2, 2, 4},
         {{2, DSEV_DISCARDABLE}},
         "dropBy1 makes 1 severity adjustments."},
        // Set order: boostBy1 before dropBy1; both see the stored severities.
        {{"dropBy1", "boostBy1"},
         {2, 2, 4},
         {{1, DSEV_HIGH},
          {2, DSEV_HIGH},
          {3, DSEV_DISCARDABLE},
          {1, DSEV_DISCARDABLE},
          {2, DSEV_DISCARDABLE}},
         "dropBy1 makes 2 severity adjustments."},
        {{"fromNormalToArchive"}, {2, 3, 2}, {{1, DSEV_ARCHIVE}, {3, DSEV_ARCHIVE}}, nullptr},
        {{"toArchive/0"}, {4, 2}, {{2, DSEV_ARCHIVE}}, nullptr},
        {{"boostBy4/1"}, {4, 3, 0}, {{2, DSEV_CRITICAL}}, nullptr},
        {{"dropBy1/5"}, {2, 2}, {}, "dropBy1 makes 0 severity adjustments."},
        {{"dropBy2/1"}, {0, 1, 3}, {{2, DSEV_DISCARDABLE}, {3, DSEV_ARCHIVE}}, nullptr},
        {{"toNormal"}, {0, 2, 4}, {{1, DSEV_NORMAL}, {3, DSEV_NORMAL}}, nullptr},
        {{"fromHighToCritical"}, {1, 2, 1}, {{1, DSEV_CRITICAL}, {3, DSEV_CRITICAL}}, nullptr},
        {{"fromArchiveToDiscardable"}, {4, 3}, {{1, DSEV_DISCARDABLE}}, nullptr},
        {{"nosuch"}, {2}, {}, "nosuch is not a valid Lua function"},
        // Pairs for events it was not shown, severities out of range and non-pairs are ignored.
        {{"rogue"}, {2, 2}, {{2, DSEV_CRITICAL}}, "rogue: adjustment of id 999 to 2 ignored"},
        // A non-string error value gets a text; the other functions still run.
        {{"error", "toHigh"},
         {2},
         {{1, DSEV_HIGH}},
         "when executing delegation function error: (error object is not a string)"},
        {{"spin", "toHigh"}, {2}, {{1, DSEV_HIGH}}, "stopped after 10000000 instructions"},
        {{"hog"}, {2}, {}, "Lua error 4 when executing delegation function hog: not enough memory"},
        {{"nothing"}, {2}, {}, "Lua delegation function nothing returned bogus value"},
    };
    for (const auto& c : cases) {
        SDelsDeliverySeverityAdjustment adjustment(305, 0);
        for (const auto& reference : c.references)
            adjustment.add(reference);
        std::list<DelsDelegationPair> out;
        const std::string log = delstest::delsLogOf(
            [&] { EXPECT_TRUE(interpreter().prepare(stored(c.severities), adjustment, out)); });
        EXPECT_EQ(c.expected, Pairs(out.begin(), out.end())) << c.references[0];
        if (c.logged) {
            EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        }
        EXPECT_EQ(0, lua_gettop(interpreter().luaState()));
    }
}

TEST(ADelegation, HandsEveryFieldOfAnEventToLua) {
    lua_State* L = interpreter().luaState();
    const std::string text("a\0b", 3);
    CDelsMetaEvent event(
        CDelsEvent(9, 4000000000u, 6, text, DSEV_HIGH, 0xABC12345, 1450429507042ULL, 2, 0x1a), true,
        DSEV_ARCHIVE, 77, 88, 1);
    event._pushLua(L);
    lua_setglobal(L, "e");
    luaL_dostring(L, "local t = {} for _, k in ipairs({'id', 'sessionSequence', 'eventSequence',"
                     " 'nodeId', 'generatedSeverity', 'messageId', 'param0', 'param1', 'timestamp',"
                     " 'timestampErrorBound', 'deliverySeverity', 'key', 'sequence', 'wireFormat',"
                     " 'wireFormatLength'}) do t[#t + 1] = string.format('%.0f', e[k]) end"
                     " return table.concat(t, ' ') .. ' ' .. tostring(e.forwarded) .. ' ' .."
                     " #e.additionalInfo");
    EXPECT_STREQ("2881561413 2748 74565 26 1 9 4000000000 6 1450429507042 2 4 77 88 1 35 true 3",
                 lua_tostring(L, -1));
    lua_settop(L, 0);
}

TEST(ACleanupEstimate, KeepsTheWorkedNumbersAndStaysExactIn64Bits) {
    const struct {
        unsigned long long count, fileSize;
        unsigned maxKiB;
        unsigned long long trim;
        bool tooBig;
    } cases[] = {
        // The worked numbers of 66227 and 70000 events are ASource's cleanup scenario.
        // 20 million rows against 2 GiB: 2280000000 bytes used, beyond 32 bits.
        {20000000, 1ULL << 31, 2u << 20, 6430829, false},
        // A limit of 4 GiB (and more) does not wrap.
        {1000, 5ULL << 32, 5u << 22, 0, false},
        // Large texts: 500 events fit the estimate but fill 100 KiB against 64 KiB: 43 % go.
        {500, 100 * 1024, 64, 213, true},
        {0, 0, 0, 0, false},
    };
    for (const auto& c : cases) {
        SDelsCleanupEstimate e(c.count, c.fileSize, c.maxKiB);
        EXPECT_EQ(c.trim, e.trimCount) << c.count;
        EXPECT_EQ(c.tooBig, e.tooBig) << c.count;
    }
    EXPECT_EQ(7549747u, SDelsCleanupEstimate(0, 0, 8192).target);
}

} // namespace
