#include <string>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_debug.h"
#include "qcf_gt.h"
#include "test_env.h"
#include "test_process.h"

namespace {

using QCF::CGatesAndTriggers;
using QCF::CGatesAndTriggersRegistration;

class Gates : public testenv::RootLogTest {
protected:
    // Parses `yaml` (a mapping of gates) into `gt`; asserts that the document itself parsed.
    static void parse(CGatesAndTriggers& gt, const std::string& yaml) {
        std::string error;
        ASSERT_EQ(gt._yamlParseBuf(yaml, &error), 0) << error;
    }
};

TEST_F(Gates, EvaluateToTheirBooleanOrLogWhyTheyCountAsFalse) {
    CGatesAndTriggers gt;
    parse(gt, "open: {body: 'local a = 2', retval: 'a * 2 == 4'}\n"
              "shut: {retval: 'false'}\n"
              "number: {retval: '1 + 1'}\n"
              "broken: {retval: 'nil .. 1'}\n"
              "unparsable: {retval: '1 +'}\n"
              "multi: {body: \"x = 1\\n  y = x + 1\", retval: 'y == 2'}\n");
    ASSERT_TRUE(gt.valid());
    ASSERT_EQ(errors(), std::vector<std::string>{"Error populating the lua gate unparsable"});
    m_log.clear();

    struct Case {
        const char* gate;
        bool result;
        std::string error; // empty: no error line
    };
    const std::vector<Case> cases = {
        {"open", true, ""},
        {"shut", false, ""},
        {"multi", true, ""},
        {"number", false, "Gate number returned a non boolean result"},
        {"broken", false,
         "Gate broken errored: [string \"broken\"]:2: attempt to concatenate a "
         "nil value"},
        {"unparsable", false, "Gate unparsable is not a lua function"},
        {"absent", false, "Gate absent is not a lua function"},
    };
    for (const Case& c : cases) {
        m_log.clear();
        EXPECT_EQ(gt.evalGate(c.gate), c.result) << c.gate;
        if (c.error.empty())
            EXPECT_TRUE(errors().empty()) << c.gate << ": " << errors()[0];
        else
            EXPECT_EQ(errors(), std::vector<std::string>{c.error}) << c.gate;
    }
}

TEST_F(Gates, AGateWithoutRetvalInvalidatesTheWholeMap) {
    CGatesAndTriggers gt;
    parse(gt, "good: {retval: 'true'}\nbad: {body: 'x = 1'}\n");
    EXPECT_FALSE(gt.valid());
    parse(gt, "good: {retval: 'true'}\n");
    EXPECT_TRUE(gt.valid());
}

TEST_F(Gates, CopiesAndAssignmentsBuildTheirOwnLuaState) {
    CGatesAndTriggers original;
    parse(original, "g: {body: 'n = (n or 0) + 1', retval: 'n == 1'}\n");
    std::unique_ptr<CGatesAndTriggers> copy(static_cast<CGatesAndTriggers*>(original.clone()));
    EXPECT_TRUE(*copy == original);
    EXPECT_TRUE(original.evalGate("g"));
    EXPECT_TRUE(copy->evalGate("g")); // its own counter
    CGatesAndTriggers assigned;
    assigned = original;
    EXPECT_TRUE(assigned.evalGate("g"));
    EXPECT_FALSE(original.evalGate("g"));
    original.clear();
    EXPECT_FALSE(original.evalGate("g")); // no state: false without a word
    EXPECT_TRUE(errors().empty());
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
    // A missing file leaves cfg unset, silently.
    std::unique_ptr<CGatesAndTriggers> missing(CGatesAndTriggers::create("/nonexistent/it's.yaml"));
    parse(*missing, "nocfg: {retval: 'cfg == nil'}\n");
    EXPECT_TRUE(missing->evalGate("nocfg"));
    EXPECT_TRUE(errors().empty());
}

TEST_F(Gates, TriggersAreGatesWithSignalsOrAPositivePoll) {
    CGatesAndTriggers gt;
    parse(gt, "plain: {retval: 'true'}\n"
              "zero: {retval: 'true', poll: 0}\n"
              "polled: {retval: 'true', poll: 2}\n"
              "signalled: {retval: 'true', dbus: [a.b.C, x.Y]}\n"
              "both: {retval: 'true', dbus: [x.Y], poll: 1}\n");
    QCF::tGateSet triggers;
    gt.getTriggers(triggers);
    EXPECT_EQ(triggers, (QCF::tGateSet{"both", "polled", "signalled"}));
    QCF::tDbusSignalToGateSet signals;
    gt.getDbusSignals(signals);
    EXPECT_EQ(signals, (QCF::tDbusSignalToGateSet{{"a.b.C", {"signalled"}},
                                                  {"x.Y", {"both", "signalled"}}}));
}

TEST_F(Gates, PollingTableUsesTheGreatestCommonDivisorOfThePeriods) {
    struct Case {
        const char* polls; // YAML mapping of gates
        double period;
        QCF::tPeriodToGateSet table;
    };
    const std::vector<Case> cases = {
        {"a: {retval: 'true', poll: 1}\nb: {retval: 'true', poll: 1.5}\n",
         0.5,
         {{2, {"a"}}, {3, {"b"}}}},
        {"a: {retval: 'true', poll: 2.5}\nb: {retval: 'true', poll: 4}\n",
         0.5,
         {{5, {"a"}}, {8, {"b"}}}},
        {"a: {retval: 'true', poll: 1.1}\nb: {retval: 'true', poll: 2.2}\n",
         1.1,
         {{1, {"a"}}, {2, {"b"}}}},
        {"a: {retval: 'true', poll: 3}\nb: {retval: 'true', poll: 3}\n", 3, {{1, {"a", "b"}}}},
        {"a: {retval: 'true', poll: 0.01}\n", 0.1, {{1, {"a"}}}},
        {"a: {retval: 'true', poll: 0}\nb: {retval: 'true'}\n", 0, {}},
    };
    for (const Case& c : cases) {
        CGatesAndTriggers gt;
        parse(gt, c.polls);
        double period = -1;
        QCF::tPeriodToGateSet table{{99, {"stale"}}};
        gt.getPollingParameters(period, table);
        EXPECT_DOUBLE_EQ(period, c.period) << c.polls;
        EXPECT_EQ(table, c.table) << c.polls;
    }
}

// A registration with a timer the test steps itself.
class Registration : public Gates {
protected:
    Registration()
        : m_registration(m_signal, [this](unsigned intervalMs, const sigc::slot<bool>& tick) {
              m_intervals.push_back(intervalMs);
              m_tick = tick;
              return sigc::connection(m_tick);
          }) {
        m_signal.connect([this](const std::string& name) { m_fired.push_back(name); });
    }

    sigc::signal<void, const std::string&> m_signal;
    std::vector<unsigned> m_intervals;
    sigc::slot<bool> m_tick;
    std::vector<std::string> m_fired;
    CGatesAndTriggersRegistration m_registration;
};

TEST_F(Registration, PollsEachTriggerAtItsOwnMultipleOfTheBaseTick) {
    CGatesAndTriggers gt;
    parse(gt, "second: {retval: 'true', poll: 1}\n"
              "slow: {retval: 'true', poll: 1.5}\n"
              "closed: {retval: 'false', poll: 1}\n");
    m_registration.registerGatesAndTriggers(gt, false, {});
    ASSERT_EQ(m_intervals, std::vector<unsigned>{500});
    EXPECT_TRUE(m_fired.empty());
    for (int tick = 1; tick <= 6; ++tick) {
        m_fired.push_back("tick " + std::to_string(tick));
        m_registration.pollOnce();
    }
    EXPECT_EQ(m_fired,
              (std::vector<std::string>{"tick 1", "tick 2", "second", "tick 3", "slow", "tick 4",
                                        "second", "tick 5", "tick 6", "second", "slow"}));
    EXPECT_EQ(m_registration.pollCount(), 6u);
}

TEST_F(Registration, EvaluateNowAnnouncesOnlyTriggersThatAreTrue) {
    CGatesAndTriggers gt;
    parse(gt, "onRequest: {retval: 'true'}\n"
              "polledTrue: {retval: 'true', poll: 2}\n"
              "polledFalse: {retval: 'false', poll: 2}\n");
    m_registration.registerGatesAndTriggers(gt, true, {});
    EXPECT_EQ(m_fired, std::vector<std::string>{"polledTrue"});
}

TEST_F(Registration, NoPollingMeansNoTimerAndDeregistrationStopsIt) {
    CGatesAndTriggers gt;
    parse(gt, "a: {retval: 'true', poll: 0}\n");
    m_registration.registerGatesAndTriggers(gt, false, {});
    EXPECT_TRUE(m_intervals.empty());
    EXPECT_FALSE(m_registration.pollTimerRunning());

    parse(gt, "a: {retval: 'true', poll: 2.5}\nb: {retval: 'true', poll: 4}\n");
    m_registration.registerGatesAndTriggers(gt, false, {});
    ASSERT_EQ(m_intervals, std::vector<unsigned>{500});
    EXPECT_TRUE(m_registration.pollTimerRunning());
    m_registration.deregisterGatesAndTriggers();
    EXPECT_FALSE(m_registration.pollTimerRunning());
    EXPECT_FALSE(m_registration.isRegistered());
    EXPECT_TRUE(m_registration.periodGateSet().empty());
    m_registration.pollOnce();
    EXPECT_TRUE(m_fired.empty());
}

TEST_F(Registration, SignalsWithoutAConnectionAreLoggedNotSubscribed) {
    CGatesAndTriggers gt;
    parse(gt, "a: {retval: 'true', dbus: [com.example.Iface.Member, nodot]}\n");
    m_registration.registerGatesAndTriggers(gt, false, {});
    EXPECT_EQ(errors(), std::vector<std::string>{
                            "Could not subscribe to DBUS signal. DBUS Connection is closed"});
    EXPECT_EQ(m_registration.dbusSubscriptionCount(), 0u);
}

TEST_F(Registration, AHandlerThatDeregistersStopsFurtherAnnouncements) {
    CGatesAndTriggers gt;
    parse(gt, "a: {retval: 'true', poll: 1}\nb: {retval: 'true', poll: 1}\n");
    m_registration.registerGatesAndTriggers(gt, false, {});
    m_signal.connect([this](const std::string&) { m_registration.deregisterGatesAndTriggers(); });
    m_registration.pollOnce();
    EXPECT_EQ(m_fired, std::vector<std::string>{"a"});
}

class DbusTriggers : public testenv::BusTest {
protected:
    testenv::LogCapture m_log;
};

TEST_F(DbusTriggers, ASignalOnTheBusReevaluatesItsGates) {
    Glib::RefPtr<Gio::DBus::Connection> listener = testenv::sessionConnection();
    Glib::RefPtr<Gio::DBus::Connection> sender = testenv::sessionConnection();

    CGatesAndTriggers gt;
    ASSERT_EQ(gt._yamlParseBuf("pinged: {retval: 'true', dbus: [com.example.Test.Ping]}\n"
                               "quiet: {retval: 'false', dbus: [com.example.Test.Ping]}\n"
                               "malformed: {retval: 'true', dbus: ['bad name.X', '.Y']}\n"),
              0);
    std::vector<std::string> fired;
    sigc::signal<void, const std::string&> signal;
    signal.connect([&fired](const std::string& name) { fired.push_back(name); });
    CGatesAndTriggersRegistration registration(signal);
    registration.registerGatesAndTriggers(gt, false, listener);
    EXPECT_EQ(registration.dbusSubscriptionCount(), 1u);
    EXPECT_EQ(m_log.atLeast(VYL_LOG_ERROR),
              (std::vector<std::string>{
                  "Ignoring malformed DBUS signal .Y of gates and triggers",
                  "Ignoring malformed DBUS signal bad name.X of gates and triggers",
              }));

    auto settle = [&listener] { ASSERT_TRUE(testenv::settle(listener)); };
    auto emit = [&sender](const char* member) {
        g_dbus_connection_emit_signal(sender->gobj(), nullptr, "/com/example/Test",
                                      "com.example.Test", member, g_variant_new("(s)", "junk"),
                                      nullptr);
    };
    settle();
    emit("Other");
    emit("Ping");
    ASSERT_TRUE(testenv::waitUntil([&fired] { return !fired.empty(); }));
    EXPECT_EQ(fired, std::vector<std::string>{"pinged"});

    // After deregistration the same signal reaches a sentinel registration but not this one.
    std::vector<std::string> sentinelFired;
    sigc::signal<void, const std::string&> sentinelSignal;
    sentinelSignal.connect([&](const std::string& name) { sentinelFired.push_back(name); });
    CGatesAndTriggersRegistration sentinel(sentinelSignal);
    sentinel.registerGatesAndTriggers(gt, false, listener);
    registration.deregisterGatesAndTriggers();
    EXPECT_EQ(registration.dbusSubscriptionCount(), 0u);
    settle();
    emit("Ping");
    ASSERT_TRUE(testenv::waitUntil([&] { return !sentinelFired.empty(); }));
    EXPECT_EQ(fired, std::vector<std::string>{"pinged"});

    // A connection that has gone away counts as none.
    listener->close_sync();
    m_log.clear();
    CGatesAndTriggersRegistration late;
    late.registerGatesAndTriggers(gt, false, listener);
    EXPECT_EQ(late.dbusSubscriptionCount(), 0u);
    std::vector<std::string> errors = m_log.atLeast(VYL_LOG_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), "Could not subscribe to DBUS signal. DBUS Connection is closed");
}

} // namespace
