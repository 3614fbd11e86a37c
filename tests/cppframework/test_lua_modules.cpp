#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lua.hpp>

#include "log_capture.h"
#include "osv.h"
#include "qcf_debug.h"
#include "qcf_lua_interpreter.h"
#include "qcf_lua_modules.h"
#include "test_env.h"

namespace {

class LuaModules : public testenv::RootLogTest {
protected:
    // Evaluates a Lua expression into text ("nil" etc. for other types via tostring).
    std::string text(QCF::CLuaInterpreter& lua, const std::string& expr) {
        std::string out = "<failed>";
        lua.evaluate("tostring(" + expr + ")", out);
        return out;
    }
};

TEST_F(LuaModules, VylGivesThePlatformIdentity) {
    m_root.write("etc/vyl/platform", "21 Test Gateway\n");
    QCF::CLuaInterpreter lua;
    EXPECT_EQ(text(lua, "vyl.platform"), "21");
    EXPECT_EQ(text(lua, "vyl.platformName"), "Test Gateway");
}

// Files WAN and VPN records into the test's own segment with chosen monotonic stamps, so that
// "newer" does not depend on two records landing in different milliseconds.
class Segment {
public:
    Segment() : m_content(getOsvPointer()) {}
    ~Segment() { releaseOsvPointer(m_content); }
    bool ok() const { return m_content != nullptr; }
    template <typename Record> void file(Record record, uint64_t at = 0) {
        record.m_monTimestamp = at;
        unsigned mask = 3;
        m_content->update(record, mask);
    }
    void activate(unsigned dpi, uint64_t at) { file(SVyl_wan_ConnectionActivatedInfo(0, dpi), at); }
    void deactivate(unsigned dpi, uint64_t at) {
        file(SVyl_wan_ConnectionDeactivatedInfo(dpi), at);
    }
    void vpn(bool up) { file(SVyl_vpn_ConnectionStatusInfo(up)); }

private:
    SOsvContent* m_content;
};

TEST_F(LuaModules, OsvFollowsTheSegmentAtEveryRead) {
    Segment segment;
    ASSERT_TRUE(segment.ok());
    QCF::CLuaInterpreter lua;
    struct Step {
        const char* what;
        std::function<void()> change;
        const char* active;
        const char* vpn;
    };
    const std::vector<Step> steps = {
        {"nothing filed", [] {}, "nil", "false"},
        {"dpi 3 activated", [&] { segment.activate(3, 100); }, "3", "false"},
        {"vpn up", [&] { segment.vpn(true); }, "3", "true"},
        {"dpi 5 activated later", [&] { segment.activate(5, 200); }, "5", "true"},
        {"dpi 5 deactivated", [&] { segment.deactivate(5, 300); }, "3", "true"},
        {"dpi 3 deactivated", [&] { segment.deactivate(3, 400); }, "nil", "true"},
        {"dpi 3 deactivation not newer", [&] { segment.activate(3, 400); }, "nil", "true"},
        {"vpn down", [&] { segment.vpn(false); }, "nil", "false"},
    };
    for (const Step& step : steps) {
        step.change();
        EXPECT_EQ(text(lua, "osv.wan.active"), step.active) << step.what;
        EXPECT_EQ(text(lua, "osv.vpn.connected()"), step.vpn) << step.what;
    }
    EXPECT_EQ(text(lua, "osv.wan.other"), "nil");
    EXPECT_TRUE(errors().empty());
}

TEST_F(LuaModules, YamlLoadTurnsNestedDocumentsIntoTables) {
    QCF::CLuaInterpreter lua;
    ASSERT_EQ(lua.evaluate("doc = yaml.load([==["
                           "ports: [{dev: ttyS0, baud: 9600}, {baud: 0x10}]\n"
                           "flags: [False, ~, 'true', 1.5e3, -.inf]\n"
                           "3: three\n"
                           "empty: {}\n]==])"),
              0);
    struct Case {
        const char* expr;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"#doc.ports", "2"},
        {"doc.ports[1].dev", "ttyS0"},
        {"doc.ports[1].baud + 1", "9601"},
        {"doc.ports[2].baud", "16"},
        {"doc.flags[1]", "false"},
        {"doc.flags[2]", "nil"},
        {"type(doc.flags[3])", "string"},
        {"doc.flags[4]", "1500"},
        {"doc.flags[5] < -1e308", "true"},
        {"doc[3]", "three"},
        {"next(doc.empty)", "nil"},
        {"yaml.load('')", "nil"},
        {"yaml.load('just text')", "just text"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(text(lua, c.expr), c.expected) << c.expr;
    EXPECT_TRUE(errors().empty());
}

TEST_F(LuaModules, YamlLoadRaisesALuaErrorForBrokenText) {
    // Each level doubles the size: 2^20 leaves from a few hundred bytes of text.
    std::string bomb = "l0: &l0 [x, x]\n";
    for (int i = 1; i <= 20; ++i)
        bomb += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [*l" +
                std::to_string(i - 1) + ", *l" + std::to_string(i - 1) + "]\n";
    QCF::CLuaInterpreter lua;
    std::string message;
    ASSERT_EQ(lua.evaluate("select(2, pcall(yaml.load, [==[" + bomb + "]==]))", message), 0);
    EXPECT_EQ(message, "yaml.load: document too large");
    const std::vector<std::string> broken = {
        "a: [1, 2\n",
        "key: \"bad \\q escape\"\n",
        std::string(3000, '[') + std::string(3000, ']'), // deeper than any parser should go
        "a: &x [*x, *x]\n",
    };
    for (const std::string& doc : broken) {
        SCOPED_TRACE(doc.substr(0, 40));
        ASSERT_EQ(lua.evaluate("select(2, pcall(yaml.load, [==[" + doc + "]==]))", message), 0);
        EXPECT_EQ(message.rfind("yaml.load: ", 0), 0u) << message;
    }
}

TEST_F(LuaModules, PreloadWithoutThePackageLibraryFailsCleanly) {
    lua_State* L = luaL_newstate();
    ASSERT_NE(L, nullptr);
    EXPECT_FALSE(QCF::preloadPlatformLuaModules(L));
    EXPECT_EQ(lua_gettop(L), 0);
    lua_close(L);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_NE(errors()[0].find("no package library"), std::string::npos) << errors()[0];
}

} // namespace
