#include <gtest/gtest.h>
#include <lua.hpp>

#include "log_capture.h"
#include "osv.h"
#include "qcf_lua_interpreter.h"
#include "qcf_lua_modules.h"

namespace {

class LuaModules : public testenv::RootLogTest {
protected:
    // A Lua expression's value through tostring.
    std::string text(const std::string& expr) {
        std::string out = "<failed>";
        m_lua.evaluate("tostring(" + expr + ")", out);
        return out;
    }
    QCF::CLuaInterpreter m_lua;
};

TEST_F(LuaModules, VylGivesThePlatformIdentity) {
    m_root.write("etc/vyl/platform", "21 Test Gateway\n");
    QCF::CLuaInterpreter lua; // reads the identity when it is made
    std::string name;
    ASSERT_EQ(lua.evaluate("vyl.platform .. ' ' .. vyl.platformName", name), 0);
    EXPECT_EQ(name, "21 Test Gateway");
}

// Records are filed with chosen monotonic stamps, so that "newer" does not depend on two records
// landing in different milliseconds.
TEST_F(LuaModules, OsvFollowsTheSegmentAtEveryRead) {
    SOsvContent* content = getOsvPointer();
    ASSERT_NE(content, nullptr);
    auto file = [content](auto record, uint64_t at) {
        record.m_monTimestamp = at;
        unsigned mask = 3;
        content->update(record, mask);
    };
    auto activate = [&](unsigned dpi, uint64_t at) {
        file(SVyl_wan_ConnectionActivatedInfo(0, dpi), at);
    };
    auto deactivate = [&](unsigned dpi, uint64_t at) {
        file(SVyl_wan_ConnectionDeactivatedInfo(dpi), at);
    };
    auto vpn = [&](bool up) { file(SVyl_vpn_ConnectionStatusInfo(up), 0); };
    const struct {
        std::function<void()> change;
        const char* active;
        const char* vpn;
    } steps[] = {
        {[] {}, "nil", "false"},
        {[&] { activate(3, 100); }, "3", "false"},
        {[&] { vpn(true); }, "3", "true"},
        {[&] { activate(5, 200); }, "5", "true"},
        {[&] { deactivate(5, 300); }, "3", "true"},
        {[&] { deactivate(3, 400); }, "nil", "true"},
        {[&] { activate(3, 400); }, "3", "true"}, // filed later within the same millisecond
        {[&] { vpn(false); }, "3", "false"},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(text("osv.wan.active"), step.active) << &step - steps;
        EXPECT_EQ(text("osv.vpn.connected()"), step.vpn) << &step - steps;
    }
    EXPECT_EQ(text("osv.wan.other"), "nil");
    EXPECT_TRUE(errors().empty());
    releaseOsvPointer(content);
}

TEST_F(LuaModules, YamlLoadTurnsNestedDocumentsIntoTables) {
    ASSERT_EQ(m_lua.evaluate("doc = yaml.load([==["
                             "ports: [{dev: ttyS0, baud: 9600}, {baud: 0x10}]\n"
                             "flags: [False, ~, 'true', 1.5e3, -.inf]\n"
                             "3: three\n"
                             "empty: {}\n]==])"),
              0);
    const std::pair<const char*, const char*> cases[] = {
        {"doc.ports[1].dev", "ttyS0"}, {"doc.ports[1].baud + 1", "9601"},
        {"doc.ports[2].baud", "16"},   {"doc.flags[1]", "false"},
        {"doc.flags[2]", "nil"},       {"type(doc.flags[3])", "string"},
        {"doc.flags[4]", "1500"},      {"doc.flags[5] < -1e308", "true"},
        {"doc[3]", "three"},           {"next(doc.empty)", "nil"},
        {"yaml.load('')", "nil"},      {"yaml.load('just text')", "just text"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.first), c.second) << c.first;
    EXPECT_TRUE(errors().empty());
}

TEST_F(LuaModules, YamlLoadRaisesALuaErrorForBrokenText) {
    // Each level doubles the size: 2^20 leaves from a few hundred bytes of text.
    std::string bomb = "l0: &l0 [x, x]\n";
    for (int i = 1; i <= 20; ++i)
        bomb += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [*l" +
                std::to_string(i - 1) + ", *l" + std::to_string(i - 1) + "]\n";
    for (const std::string& doc :
         {bomb, std::string("a: [1, 2\n"), std::string("a: &x [*x, *x]\n")}) {
        std::string message;
        ASSERT_EQ(m_lua.evaluate("select(2, pcall(yaml.load, [==[" + doc + "]==]))", message), 0);
        EXPECT_EQ(message.rfind("yaml.load: ", 0), 0u) << message;
        EXPECT_TRUE(doc != bomb || message == "yaml.load: document too large") << message;
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
