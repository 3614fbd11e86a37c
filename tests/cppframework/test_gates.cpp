#include <gio/gio.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_gt.h"
#include "test_process.h"

namespace {

using QCF::CGatesAndTriggers;
using QCF::CGatesAndTriggersRegistration;

// Parses `yaml` (a mapping of gates) into `gt`; asserts that the document itself parsed.
void parse(CGatesAndTriggers& gt, const std::string& yaml) {
    std::string error;
    ASSERT_EQ(gt._yamlParseBuf(yaml, &error), 0) << error;
}

class Gates : public testenv::RootLogTest {};

TEST_F(Gates, EvaluateToTheirBooleanOrLogWhyTheyCountAsFalse) {
    CGatesAndTriggers gt;
    parse(gt, "open: {body: 'local a = 2', retval: 'a * 2 == 4'}\n"
              "number: {retval: '1 + 1'}\n"
              "broken: {retval: 'nil .. 1'}\n"
              "unparsable: {retval: '1 +'}\n"
              "multi: {body: \"x = 1\\n  y = x + 1\", retval: 'y == 2'}\n"
              "forever: {body: 'while true do end', retval: 'true'}\n"
              "long: {body: 'for i = 1, 2e7 do end', retval: 'true'}\n"
              "stubborn: {body: 'for i = 1, 3 do pcall(function() while true do end end) end',"
              " retval: 'true'}\n");
    ASSERT_TRUE(gt.valid());
    ASSERT_EQ(errors(), std::vector<std::string>{"Error populating the lua gate unparsable"});
    const std::pair<const char*, std::string> cases[] = {
        {"open", ""},
        {"multi", ""},
        {"number", "Gate number returned a non boolean result"},
        {"broken",
         "Gate broken errored: [string \"broken\"]:2: attempt to concatenate a nil value"},
        {"unparsable", "Gate unparsable is not a lua function"},
        // Bounded: the limit holds even against a script that catches the error.
        {"forever", "Gate forever errored: instruction limit exceeded"},
        {"long", "Gate long errored: instruction limit exceeded"},
        {"stubborn", "Gate stubborn errored: instruction limit exceeded"},
    };
    for (const auto& c : cases) {
        m_log.clear();
        EXPECT_EQ(gt.evalGate(c.first), c.second.empty()) << c.first;
        EXPECT_EQ(errors(), c.second.empty() ? std::vector<std::string>()
                                             : std::vector<std::string>{c.second});
    }
    // A gate without retval invalidates the whole map, and so does a name that would replace a
    // Lua global the gates rely on.
    parse(gt, "good: {retval: 'true'}\nbad: {body: 'x = 1'}\n");
    EXPECT_FALSE(gt.valid());
    for (const char* name : {"osv", "yaml", "string", "pcall", "cfg", "s"}) {
        m_log.clear();
        parse(gt, std::string(name) + ": {retval: 'true'}\nfine: {retval: 'osv ~= nil'}\n");
        EXPECT_FALSE(gt.valid()) << name;
        EXPECT_EQ(errors(), std::vector<std::string>{"Gate name " + std::string(name) +
                                                     " is reserved: it would replace the Lua "
                                                     "global of that name"});
        EXPECT_TRUE(gt.evalGate("fine")) << name;
    }
}

TEST_F(Gates, CopiesBuildTheirOwnLuaState) {
    CGatesAndTriggers original;
    parse(original, "g: {body: 'n = (n or 0) + 1', retval: 'n == 1'}\n");
    CGatesAndTriggers assigned;
    assigned = original;
    EXPECT_TRUE(original.evalGate("g"));
    EXPECT_TRUE(assigned.evalGate("g")); // its own counter
    EXPECT_FALSE(original.evalGate("g"));
}

TEST_F(Gates, ReadTheConfigurationFileAsCfg) {
    // The quote in the file name must not break the Lua chunk that reads it.
    m_root.write("etc/vyl/it's.yaml", "limits: {speed: 5}\nname: it's\n");
    std::unique_ptr<CGatesAndTriggers> gt(
        CGatesAndTriggers::create((m_root / "etc/vyl/it's.yaml").c_str()));
    parse(*gt, "fast: {retval: \"cfg.limits.speed == 5 and cfg.name == \\\"it's\\\"\"}\n");
    EXPECT_TRUE(gt->evalGate("fast"));
    // Parsing clears the node first; the file (and so `cfg`) must survive that.
    parse(*gt, "again: {retval: 'cfg.limits.speed == 5'}\n");
    EXPECT_TRUE(gt->evalGate("again"));
    EXPECT_TRUE(errors().empty());
}

TEST_F(Gates, PollingTableUsesTheGreatestCommonDivisorOfThePeriods) {
    struct Case {
        const char* a; // poll values of gates a and b
        const char* b;
        double period;
        QCF::tPeriodToGateSet table;
    } cases[] = {
        {"1", "1.5", 0.5, {{2, {"a"}}, {3, {"b"}}}},
        {"2.5", "4", 0.5, {{5, {"a"}}, {8, {"b"}}}},
        {"1.1", "2.2", 1.1, {{1, {"a"}}, {2, {"b"}}}},
        {"0.26", "0.01", 0.1, {{3, {"a"}}, {1, {"b"}}}},
        {"0", "~", 0, {}},
        // Capped at the longest interval the timer takes, instead of wrapping past it.
        {"4294967.3", "~", 4294967.2, {{1, {"a"}}}},
    };
    for (const Case& c : cases) {
        CGatesAndTriggers gt;
        parse(gt, std::string("a: {retval: 'true', poll: ") + c.a +
                      "}\nb: {retval: 'true', poll: " + c.b + "}\n");
        double period = -1;
        QCF::tPeriodToGateSet table{{99, {"stale"}}};
        gt.getPollingParameters(period, table);
        EXPECT_DOUBLE_EQ(period, c.period) << c.a << " " << c.b;
        EXPECT_EQ(table, c.table) << c.a << " " << c.b;
    }
}

// A registration with a timer the test steps itself.
TEST_F(Gates, RegistrationPollsEachTriggerAtItsOwnMultipleOfTheBaseTick) {
    sigc::signal<void, const std::string&> signal;
    std::vector<std::string> fired;
    signal.connect([&fired](const std::string& name) { fired.push_back(name); });
    unsigned interval = 0;
    sigc::slot<bool> tick;
    CGatesAndTriggersRegistration registration(signal, [&](unsigned ms, const sigc::slot<bool>& t) {
        interval = ms;
        tick = t;
        return sigc::connection(tick);
    });
    CGatesAndTriggers gt;
    parse(gt, "second: {retval: 'true', poll: 1}\n"
              "slow: {retval: 'true', poll: 1.5}\n"
              "closed: {retval: 'false', poll: 1}\n");
    // Polled gates are triggers: evaluated at once at registration when asked to.
    registration.registerGatesAndTriggers(gt, true, {});
    ASSERT_EQ(interval, 500u);
    EXPECT_EQ(fired, (std::vector<std::string>{"second", "slow"}));
    fired.clear();
    for (int n = 1; n <= 6; ++n) {
        fired.push_back(std::to_string(n));
        registration.pollOnce();
    }
    EXPECT_EQ(fired, (std::vector<std::string>{"1", "2", "second", "3", "slow", "4", "second", "5",
                                               "6", "second", "slow"}));
    registration.deregisterGatesAndTriggers();
    EXPECT_FALSE(registration.pollTimerRunning());

    // A handler that deregisters stops the announcements of the same tick.
    parse(gt, "a: {retval: 'true', poll: 1}\nb: {retval: 'true', poll: 1}\n");
    registration.registerGatesAndTriggers(gt, false, {});
    signal.connect([&](const std::string&) { registration.deregisterGatesAndTriggers(); });
    fired.clear();
    registration.pollOnce();
    EXPECT_EQ(fired, std::vector<std::string>{"a"});
    registration.pollOnce();
    EXPECT_EQ(fired, std::vector<std::string>{"a"});
}

using DbusTriggers = testenv::BusTest;

TEST_F(DbusTriggers, ASignalOnTheBusReevaluatesItsGates) {
    testenv::LogCapture log;
    Glib::RefPtr<Gio::DBus::Connection> listener = testenv::sessionConnection();
    Glib::RefPtr<Gio::DBus::Connection> sender = testenv::sessionConnection();
    CGatesAndTriggers gt;
    parse(gt, "pinged: {retval: 'true', dbus: [com.example.Test.Ping]}\n"
              "quiet: {retval: 'false', dbus: [com.example.Test.Ping]}\n"
              "malformed: {retval: 'true', dbus: ['bad name.X', '.Y']}\n");
    std::vector<std::string> fired;
    sigc::signal<void, const std::string&> signal;
    signal.connect([&fired](const std::string& name) { fired.push_back(name); });
    CGatesAndTriggersRegistration registration(signal);
    registration.registerGatesAndTriggers(gt, false, listener);
    EXPECT_EQ(registration.dbusSubscriptionCount(), 1u);
    EXPECT_EQ(log.atLeast(VYL_LOG_ERROR),
              (std::vector<std::string>{
                  "Ignoring malformed DBUS signal .Y of gates and triggers",
                  "Ignoring malformed DBUS signal bad name.X of gates and triggers",
              }));

    ASSERT_TRUE(testenv::settle(listener));
    for (const char* member : {"Other", "Ping"})
        g_dbus_connection_emit_signal(sender->gobj(), nullptr, "/com/example/Test",
                                      "com.example.Test", member, g_variant_new("(s)", "junk"),
                                      nullptr);
    ASSERT_TRUE(testenv::waitUntil([&fired] { return !fired.empty(); }));
    EXPECT_EQ(fired, std::vector<std::string>{"pinged"});
    registration.deregisterGatesAndTriggers();
    EXPECT_EQ(registration.dbusSubscriptionCount(), 0u);

    // A connection that has gone away counts as none.
    listener->close_sync();
    // GDBus marks the connection closed from its worker thread, possibly after the call returns.
    ASSERT_TRUE(testenv::waitUntil([&] { return listener->is_closed(); }));
    log.clear();
    CGatesAndTriggersRegistration late;
    late.registerGatesAndTriggers(gt, false, listener);
    EXPECT_EQ(late.dbusSubscriptionCount(), 0u);
    ASSERT_FALSE(log.atLeast(VYL_LOG_ERROR).empty());
    EXPECT_EQ(log.atLeast(VYL_LOG_ERROR).front(),
              "Could not subscribe to DBUS signal. DBUS Connection is closed");
}

} // namespace
