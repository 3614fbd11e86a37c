// The watchdog mixin against a fake watchdog service on a private bus: registration, tickles,
// refusals and malformed answers, the back-off while the service is missing, deregistration.
// Timers are driven by hand, so the 2 to 64 second delays pass without waiting.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <giomm/init.h>
#include <gtest/gtest.h>

#include "fake_watchdog.h"
#include "log_capture.h"
#include "qcf_debug.h"
#include "qcf_watched.h"
#include "test_env.h"

namespace {

using testenv::FakeWatchdog;

// Timers that expire only when the test says so.
class ManualTimers {
public:
    CVylWatchdogTimerFactory factory() {
        return [this](const sigc::slot<bool>& slot, unsigned seconds) {
            auto timer = std::make_shared<Timer>();
            timer->seconds = seconds;
            timer->connection = timer->signal.connect(slot);
            m_timers.push_back(timer);
            return timer->connection;
        };
    }

    // Periods of the timers still armed, oldest first.
    std::vector<unsigned> armed() const {
        std::vector<unsigned> seconds;
        for (const auto& timer : m_timers)
            if (timer->connection.connected())
                seconds.push_back(timer->seconds);
        return seconds;
    }

    // Lets the most recently armed timer expire once; false when none is armed.
    bool fireLatest() {
        for (auto it = m_timers.rbegin(); it != m_timers.rend(); ++it) {
            std::shared_ptr<Timer> timer = *it;
            if (!timer->connection.connected())
                continue;
            if (!timer->signal.emit())
                timer->connection.disconnect();
            return true;
        }
        return false;
    }

private:
    struct Timer {
        unsigned seconds = 0;
        sigc::signal<bool> signal;
        sigc::connection connection;
    };
    std::vector<std::shared_ptr<Timer>> m_timers;
};

const char* const kRetry = "Failed to register with watchdog, retrying in ";

class WatchedAppMixin : public testenv::BusTest {
protected:
    void SetUp() override {
        Gio::init();
        GError* error = nullptr;
        GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
            m_bus.address().c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        ASSERT_TRUE(connection) << (error ? error->message : "");
        m_connection = Glib::wrap(connection, false);
    }

    void TearDown() override {
        m_mixin.reset();
        drain();
        m_watchdog.reset();
        m_connection.reset();
    }

    // A fresh watchdog service; it outlives the mixin, so that the final deregistration reaches it.
    FakeWatchdog& startWatchdog() {
        m_watchdog.reset();
        m_watchdog.reset(new FakeWatchdog(m_bus.address()));
        EXPECT_TRUE(m_watchdog->owned());
        return *m_watchdog;
    }

    // Runs whatever the main context still has to do (replies of cancelled calls included).
    static void drain() {
        testenv::waitUntil([] { return !g_main_context_iteration(nullptr, FALSE); },
                           std::chrono::seconds(2));
    }

    void start(int period, bool manualTimers = true) {
        m_mixin.reset(new CVylWatchedAppMixin("tester", m_postDbus, m_postRun, period,
                                              manualTimers ? m_timers.factory()
                                                           : CVylWatchdogTimerFactory()));
    }

    void busUp() { m_postDbus.emit(m_connection); }

    bool waitRegistered() {
        return testenv::waitUntil([this] { return m_mixin->isWatchdogRegistered(); });
    }

    bool waitLog(CVylLogLevel level, const std::string& text) {
        return testenv::waitUntil([&] { return m_log.has(level, text); });
    }

    testenv::LogCapture m_log;
    ManualTimers m_timers;
    CVylConnectionSignal m_postDbus;
    CVylVoidSignal m_postRun;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    std::unique_ptr<CVylWatchedAppMixin> m_mixin;
};

TEST_F(WatchedAppMixin, RegistersUnderItsNameWithTwiceThePeriodAndTicklesAtThePeriod) {
    FakeWatchdog& watchdog = startWatchdog();
    start(150);
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "CVylWatchedAppMixinImpl started"));

    busUp();
    ASSERT_TRUE(waitRegistered());
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "Attempting to register with watchdog as tester"));
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "Connected to watchdog, tickling every 150 s"));
    auto calls = watchdog.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("Register", calls[0].method);
    EXPECT_EQ("tester", calls[0].name);
    EXPECT_EQ(300u, calls[0].period);
    EXPECT_EQ(std::vector<unsigned>{150}, m_timers.armed());

    // Repeated tickles are left to the main-loop timer test: a second expiry before the first
    // answer arrived is skipped on purpose.
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(testenv::waitUntil([&] { return watchdog.count("Tickle") == 1; }));
    EXPECT_EQ("tester", watchdog.calls().back().name);
    EXPECT_EQ(std::vector<unsigned>{150}, m_timers.armed());
    EXPECT_TRUE(m_mixin->isWatchdogRegistered());

    // A second post-D-Bus emission must not register twice.
    busUp();
    drain();
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "connectToWatchdog already connected to watchdog"));
    EXPECT_EQ(1u, watchdog.count("Register"));
}

TEST_F(WatchedAppMixin, RefusedOrMalformedRegistrationIsRetriedAfterTwoSeconds) {
    struct Row {
        const char* what;
        FakeWatchdog::EAnswer answer;
        const char* errorPart; // also logged as an error, besides the retry line
    };
    const Row rows[] = {
        {"false", FakeWatchdog::FWA_FALSE, nullptr},
        {"D-Bus error", FakeWatchdog::FWA_ERROR, "Refused by the watchdog"},
        {"string reply", FakeWatchdog::FWA_WRONG_TYPE,
         "Watchdog answered Register with '(s)' instead of a boolean"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        m_log.clear();
        m_timers = ManualTimers();
        FakeWatchdog& watchdog = startWatchdog();
        watchdog.answer("Register", row.answer);
        start(10);
        busUp();
        ASSERT_TRUE(waitLog(VYL_LOG_ERROR, std::string(kRetry) + "2000 ms"));
        EXPECT_FALSE(m_mixin->isWatchdogRegistered());
        EXPECT_EQ(std::vector<unsigned>{2}, m_timers.armed());
        if (row.errorPart) {
            EXPECT_TRUE(m_log.contains(VYL_LOG_ERROR, row.errorPart));
        }

        watchdog.answer("Register", FakeWatchdog::FWA_TRUE);
        ASSERT_TRUE(m_timers.fireLatest());
        ASSERT_TRUE(waitRegistered());
        EXPECT_EQ(2u, watchdog.count("Register"));
        EXPECT_EQ(std::vector<unsigned>{10}, m_timers.armed());
        m_mixin.reset();
        drain();
    }
}

TEST_F(WatchedAppMixin, FailedTickleStopsTheTimerAndRegistersAgainAtOnce) {
    struct Row {
        const char* what;
        FakeWatchdog::EAnswer answer;
    };
    const Row rows[] = {
        {"false", FakeWatchdog::FWA_FALSE},
        {"D-Bus error", FakeWatchdog::FWA_ERROR},
        {"string reply", FakeWatchdog::FWA_WRONG_TYPE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        m_log.clear();
        m_timers = ManualTimers();
        FakeWatchdog& watchdog = startWatchdog();
        start(10);
        busUp();
        ASSERT_TRUE(waitRegistered());

        watchdog.answer("Tickle", row.answer);
        ASSERT_TRUE(m_timers.fireLatest());
        ASSERT_TRUE(waitLog(VYL_LOG_ERROR, "Failed to tickle watchdog, retrying"));
        ASSERT_TRUE(testenv::waitUntil(
            [&] { return watchdog.count("Register") == 2 && m_mixin->isWatchdogRegistered(); }));
        // Only the new registration's timer is left; no back-off timer was involved.
        EXPECT_EQ(std::vector<unsigned>{10}, m_timers.armed());
        m_mixin.reset();
        drain();
    }
}

TEST_F(WatchedAppMixin, MissingServiceIsRetriedWithDoublingDelaysUpToSixtyFourSeconds) {
    start(30);
    busUp();
    const unsigned expected[] = {2, 4, 8, 16, 32, 64, 64, 64};
    size_t n = 0;
    for (unsigned seconds : expected) {
        if (n > 0) {
            ASSERT_TRUE(m_timers.fireLatest());
        }
        ++n;
        ASSERT_TRUE(testenv::waitUntil([&] { return m_log.starting(kRetry).size() == n; }));
        EXPECT_EQ(std::string(kRetry) + std::to_string(seconds * 1000) + " ms",
                  m_log.starting(kRetry).back());
        EXPECT_EQ(std::vector<unsigned>{seconds}, m_timers.armed());
    }
    // The bus's own complaint about the missing name is logged too.
    EXPECT_TRUE(m_log.contains(VYL_LOG_ERROR, "com.ulvaro.watchdog"));

    // The service appears: the pending attempt succeeds and the back-off starts over.
    m_log.clear();
    FakeWatchdog& watchdog = startWatchdog();
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(waitRegistered());
    EXPECT_EQ(std::vector<unsigned>{30}, m_timers.armed());

    watchdog.answer("Tickle", FakeWatchdog::FWA_FALSE);
    watchdog.answer("Register", FakeWatchdog::FWA_FALSE);
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(waitLog(VYL_LOG_ERROR, std::string(kRetry) + "2000 ms"));
}

TEST_F(WatchedAppMixin, TicklePeriodZeroNeverTalksToTheWatchdog) {
    FakeWatchdog& watchdog = startWatchdog();
    start(0);
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG,
                          "CVylWatchedAppMixinImpl started, watchdog registration disabled"));
    busUp();
    m_mixin->connectToWatchdog(m_connection);
    m_mixin->tickle();
    m_postRun.emit();
    m_mixin.reset();
    drain();
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "~CVylWatchedAppMixinImpl deleted"));
    EXPECT_TRUE(watchdog.calls().empty());
    EXPECT_TRUE(m_timers.armed().empty());
}

TEST_F(WatchedAppMixin, PostRunDeregistersOnceAndDisarmsTheTickle) {
    FakeWatchdog& watchdog = startWatchdog();
    start(10);
    busUp();
    ASSERT_TRUE(waitRegistered());
    ASSERT_EQ(1u, watchdog.registered().count("tester"));

    m_postRun.emit();
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "Deregistering from watchdog"));
    EXPECT_EQ(1u, watchdog.count("Deregister"));
    EXPECT_TRUE(watchdog.registered().empty());
    EXPECT_FALSE(m_mixin->isWatchdogRegistered());
    EXPECT_TRUE(m_timers.armed().empty());

    m_postRun.emit();
    m_mixin.reset();
    EXPECT_EQ(1u, watchdog.count("Deregister"));
    EXPECT_EQ(0u, watchdog.count("Tickle"));
}

TEST_F(WatchedAppMixin, DestructionDeregistersAndLogsARefusalAsWarning) {
    FakeWatchdog& watchdog = startWatchdog();
    watchdog.answer("Deregister", FakeWatchdog::FWA_ERROR);
    start(10);
    busUp();
    ASSERT_TRUE(waitRegistered());
    m_mixin.reset();
    EXPECT_EQ(1u, watchdog.count("Deregister"));
    EXPECT_TRUE(m_log.contains(VYL_LOG_WARN, "Refused by the watchdog"));
    EXPECT_TRUE(m_log.has(VYL_LOG_DEBUG, "~CVylWatchedAppMixinImpl deleted"));
}

TEST_F(WatchedAppMixin, UnregisteredApplicationStopsRetryingAtPostRunWithoutDeregistering) {
    start(10);
    busUp();
    ASSERT_TRUE(waitLog(VYL_LOG_ERROR, std::string(kRetry) + "2000 ms"));
    FakeWatchdog& watchdog = startWatchdog();
    m_postRun.emit();
    EXPECT_TRUE(m_timers.armed().empty());
    EXPECT_FALSE(m_log.has(VYL_LOG_DEBUG, "Deregistering from watchdog"));
    EXPECT_TRUE(watchdog.calls().empty());
}

TEST_F(WatchedAppMixin, SilentWatchdogLeavesOneCallOutstandingAndDestructionIsSafe) {
    FakeWatchdog& watchdog = startWatchdog();
    watchdog.answer("Register", FakeWatchdog::FWA_SILENT);
    start(10);
    busUp();
    ASSERT_TRUE(testenv::waitUntil([&] { return watchdog.count("Register") == 1; }));
    busUp();
    drain();
    EXPECT_EQ(1u, watchdog.count("Register"));
    EXPECT_FALSE(m_mixin->isWatchdogRegistered());
    EXPECT_TRUE(m_timers.armed().empty());

    // The outstanding registration may have been accepted: shutdown withdraws it.
    m_postRun.emit();
    EXPECT_EQ(1u, watchdog.count("Deregister"));
    m_mixin.reset();
    // The held call is answered only now, after its caller is gone.
}

TEST_F(WatchedAppMixin, SlowTickleIsNotRepeatedWhileOutstanding) {
    FakeWatchdog& watchdog = startWatchdog();
    watchdog.answer("Tickle", FakeWatchdog::FWA_SILENT);
    start(10);
    busUp();
    ASSERT_TRUE(waitRegistered());
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(testenv::waitUntil([&] { return watchdog.count("Tickle") == 1; }));
    ASSERT_TRUE(m_timers.fireLatest());
    drain();
    EXPECT_EQ(1u, watchdog.count("Tickle"));
    EXPECT_TRUE(m_mixin->isWatchdogRegistered());
}

TEST_F(WatchedAppMixin, MainLoopTimersTickleEveryPeriod) {
    FakeWatchdog& watchdog = startWatchdog();
    start(1, false);
    busUp();
    ASSERT_TRUE(waitRegistered());
    EXPECT_TRUE(testenv::waitUntil([&] { return watchdog.count("Tickle") >= 2; },
                                   std::chrono::seconds(10)));
}

} // namespace
