#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_lua_interpreter.h"

namespace {

struct LuaInterpreter : testenv::RootLogTest {
    QCF::CLuaInterpreter m_lua;
};

// Each typed evaluation: the value given back, or the exact error line and -1 with the output
// left as it was.
TEST_F(LuaInterpreter, TypedEvaluationsGiveTheValueOrTheirOwnErrorLine) {
    struct Case {
        const char* expr;
        char type; // b(ool) d(ouble) u(nsigned) s(tring)
        int rc;
        std::string value; // expected value in text form when rc is 0
        std::string error; // expected error line when rc is -1
    };
    const std::vector<Case> cases = {
        {"1 + 1", 'd', 0, "2", ""},
        {"1 + 1", 'b', -1, "", "1 + 1 returned a non boolean result"},
        {"2 > 1", 'b', 0, "1", ""},
        {"{}", 'd', -1, "", "{} returned a non double result"},
        {"4294967295", 'u', 0, "4294967295", ""},
        {"-1", 'u', -1, "", "-1 returned a non integer result"},
        {"4294967296", 'u', -1, "", "4294967296 returned a non integer result"},
        {"0/0", 'u', -1, "", "0/0 returned a non integer result"},
        {"'a' .. 'b'", 's', 0, "ab", ""},
        {"1.5", 's', 0, "1.5", ""},
        {"true", 's', -1, "", "true returned a non string result"},
        {"1 +", 'b', -1, "", "Error populating lua statement1 +"},
        {"1 +", 'd', -1, "", "Error populating lua statement 1 +"},
        {"1 +", 'u', -1, "", "Error populating the lua statement 1 +"},
        {"1 +", 's', -1, "", "Error populating lua statement 1 +"},
        {"error('boom', 0)", 'd', -1, "", "error('boom', 0) errored: boom"},
        {"error({})", 's', -1, "", "error({}) errored: (error object is a table value)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.expr) + " as " + c.type);
        m_log.clear();
        bool b = false;
        double d = -7;
        unsigned u = 99;
        std::string s = "untouched";
        int rc = c.type == 'b'   ? m_lua.evaluate(c.expr, b)
                 : c.type == 'd' ? m_lua.evaluate(c.expr, d)
                 : c.type == 'u' ? m_lua.evaluate(c.expr, u)
                                 : m_lua.evaluate(c.expr, s);
        std::string got = c.type == 'b'   ? std::string(b ? "1" : "0")
                          : c.type == 'd' ? testing::PrintToString(d)
                          : c.type == 'u' ? std::to_string(u)
                                          : s;
        EXPECT_EQ(rc, c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(got, c.value);
            EXPECT_TRUE(errors().empty());
        } else {
            ASSERT_EQ(errors().size(), 1u);
            EXPECT_EQ(errors()[0], c.error);
            EXPECT_TRUE(got == "0" || got == "-7" || got == "99" || got == "untouched") << got;
        }
    }
}

TEST_F(LuaInterpreter, StatementsDefineFunctionsThatLaterCallsRunByName) {
    ASSERT_EQ(m_lua.evaluate("function bump() counter = (counter or 0) + 1 end"), 0);
    ASSERT_EQ(m_lua.evaluate("bump"), 0);
    ASSERT_EQ(m_lua.evaluate("bump"), 0);
    double counter = 0;
    ASSERT_EQ(m_lua.evaluate("counter", counter), 0);
    EXPECT_EQ(counter, 2);

    EXPECT_EQ(m_lua.evaluate("function broken( "), -1);
    EXPECT_EQ(m_lua.evaluate("local x = nil; x.y = 1"), -1);
    ASSERT_EQ(m_lua.evaluate("function fails() error('no luck', 0) end"), 0);
    EXPECT_EQ(m_lua.evaluate("fails"), -1);
    EXPECT_EQ(errors(), (std::vector<std::string>{
                            "Error populating the statement function broken( ",
                            "Failed to evaluate lua statement local x = nil; x.y = 1 into global "
                            "space",
                            "fails errored: no luck",
                        }));
}

TEST_F(LuaInterpreter, ErrorsInsideMetamethodsOfTheGlobalTableStayInsideLua) {
    // A hostile _G makes even the name lookup raise; that must come back as a failure.
    ASSERT_EQ(m_lua.evaluate("setmetatable(_G, { __index = function(t, k) error('no ' .. k, 0) "
                             "end })"),
              0);
    EXPECT_EQ(m_lua.evaluate("missing"), -1);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "missing errored: no missing");
}

TEST_F(LuaInterpreter, LeavesTheStackBalanced) {
    // More failing calls than the Lua stack has room for if any of them left a value behind.
    double d = 0;
    bool b;
    std::string s;
    for (int i = 0; i < 2100; ++i) {
        m_lua.evaluate("1 +", d);
        m_lua.evaluate("error('x')", b);
        m_lua.evaluate("{}", s);
        m_lua.evaluate("nosuchfunction(");
    }
    EXPECT_EQ(m_lua.evaluate("select('#', 1, 2, 3)", d), 0);
    EXPECT_EQ(d, 3);
}

} // namespace
