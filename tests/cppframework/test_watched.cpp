// The watchdog mixin against a fake watchdog service on a private bus: registration, tickles,
// refusals and malformed answers, the back-off while the service is missing, deregistration.
// Timers are driven by hand, so the 2 to 64 second delays pass without waiting.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "fake_watchdog.h"
#include "log_capture.h"
#include "qcf_debug.h"
#include "qcf_watched.h"
#include "test_env.h"
#include "test_process.h"

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
    void SetUp() override { m_connection = testenv::sessionConnection(); }

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

    bool waitRetry(unsigned ms) {
        return testenv::waitUntil(
            [&] { return m_log.has(VYL_LOG_ERROR, kRetry + std::to_string(ms) + " ms"); });
    }

    testenv::LogCapture m_log;
    ManualTimers m_timers;
    CVylConnectionSignal m_postDbus;
    CVylVoidSignal m_postRun;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    std::unique_ptr<CVylWatchedAppMixin> m_mixin;
};

TEST_F(WatchedAppMixin, RegistersWithTwiceThePeriodTicklesAtThePeriodDeregistersAtPostRun) {
    FakeWatchdog& watchdog = startWatchdog();
    start(150);
    busUp();
    ASSERT_TRUE(waitRegistered());
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
    EXPECT_EQ(1u, watchdog.count("Register"));
}

// A refused or malformed registration is retried after two seconds; a refused or malformed
// tickle stops the tickle timer and registers again at once.
TEST_F(WatchedAppMixin, RefusalsAndMalformedAnswersLeadToANewRegistration) {
    const std::pair<FakeWatchdog::EAnswer, const char*> rows[] = {
        {FakeWatchdog::FWA_FALSE, ""},
        {FakeWatchdog::FWA_ERROR, "Refused by the watchdog"},
        {FakeWatchdog::FWA_WRONG_TYPE,
         "Watchdog answered Register with '(s)' instead of a boolean"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        m_log.clear();
        m_timers = ManualTimers();
        FakeWatchdog& watchdog = startWatchdog();
        watchdog.answer("Register", row.first);
        start(10);
        busUp();
        ASSERT_TRUE(waitRetry(2000));
        EXPECT_FALSE(m_mixin->isWatchdogRegistered());
        EXPECT_EQ(std::vector<unsigned>{2}, m_timers.armed());
        EXPECT_TRUE(m_log.contains(VYL_LOG_ERROR, row.second));

        watchdog.answer("Register", FakeWatchdog::FWA_TRUE);
        ASSERT_TRUE(m_timers.fireLatest());
        ASSERT_TRUE(waitRegistered());
        EXPECT_EQ(std::vector<unsigned>{10}, m_timers.armed());

        watchdog.answer("Tickle", row.first);
        ASSERT_TRUE(m_timers.fireLatest());
        ASSERT_TRUE(testenv::waitUntil(
            [&] { return watchdog.count("Register") == 3 && m_mixin->isWatchdogRegistered(); }));
        EXPECT_TRUE(m_log.has(VYL_LOG_ERROR, "Failed to tickle watchdog, retrying"));
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

    // The service appears: the pending attempt succeeds and the back-off starts over.
    m_log.clear();
    FakeWatchdog& watchdog = startWatchdog();
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(waitRegistered());
    EXPECT_EQ(std::vector<unsigned>{30}, m_timers.armed());

    watchdog.answer("Tickle", FakeWatchdog::FWA_FALSE);
    watchdog.answer("Register", FakeWatchdog::FWA_FALSE);
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(waitRetry(2000));
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
