// The watchdog mixin against a fake watchdog service on a private bus. Timers are driven by hand,
// so the 2 to 64 second delays pass without waiting.
#include <chrono>

#include <gtest/gtest.h>

#include "fake_watchdog.h"
#include "log_capture.h"
#include "qcf_watched.h"
#include "test_process.h"

namespace {

using testenv::FakeWatchdog;

// Timers that expire only when the test says so.
struct ManualTimers {
    struct Timer {
        unsigned seconds;
        sigc::signal<bool> signal;
        sigc::connection connection;
    };
    std::vector<std::shared_ptr<Timer>> timers;

    CVylWatchdogTimerFactory factory() {
        return [this](const sigc::slot<bool>& slot, unsigned seconds) {
            timers.push_back(std::make_shared<Timer>());
            timers.back()->seconds = seconds;
            return timers.back()->connection = timers.back()->signal.connect(slot);
        };
    }
    std::vector<unsigned> armed() const {
        std::vector<unsigned> seconds;
        for (const auto& timer : timers)
            if (timer->connection.connected())
                seconds.push_back(timer->seconds);
        return seconds;
    }
    // Lets the most recently armed timer expire once.
    bool fireLatest() {
        for (auto it = timers.rbegin(); it != timers.rend(); ++it) {
            std::shared_ptr<Timer> timer = *it;
            if (timer->connection.connected()) {
                if (!timer->signal.emit())
                    timer->connection.disconnect();
                return true;
            }
        }
        return false;
    }
};

const char* const kRetry = "Failed to register with watchdog, retrying in ";

class WatchedAppMixin : public testenv::BusTest {
protected:
    void TearDown() override {
        m_mixin.reset();
        drain(); // the watchdog outlives the mixin, so that the final deregistration reaches it
    }
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
    void start(int period) {
        m_mixin.reset(
            new CVylWatchedAppMixin("tester", m_postDbus, m_postRun, period, m_timers.factory()));
        m_postDbus.emit(m_connection);
    }
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
    Glib::RefPtr<Gio::DBus::Connection> m_connection = testenv::sessionConnection();
    std::unique_ptr<FakeWatchdog> m_watchdog;
    std::unique_ptr<CVylWatchedAppMixin> m_mixin;
};

// The name and period of the registration are checked on the whole daemon in tests/integration.
TEST_F(WatchedAppMixin, TicklesAtThePeriodOneAtATimeAndRegistersOnce) {
    FakeWatchdog& watchdog = startWatchdog();
    start(150);
    ASSERT_TRUE(waitRegistered());
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(testenv::waitUntil([&] { return watchdog.count("Tickle") == 1; }));
    EXPECT_EQ(std::vector<unsigned>{150}, m_timers.armed());
    m_postDbus.emit(m_connection); // a second emission must not register twice
    drain();

    // A slow tickle is not repeated while it is outstanding. The answer to the first may still
    // be on its way (the main context can fall idle before it arrives), so the timer fires until
    // the second tickle goes out.
    watchdog.answer("Tickle", FakeWatchdog::FWA_SILENT);
    ASSERT_TRUE(
        testenv::waitUntil([&] { return m_timers.fireLatest() && watchdog.count("Tickle") == 2; }));
    ASSERT_TRUE(m_timers.fireLatest());
    // The withdrawal at shutdown is answered only after whatever was sent before it arrived.
    m_postRun.emit();
    EXPECT_EQ(1u, watchdog.count("Deregister"));
    EXPECT_EQ(2u, watchdog.count("Tickle"));
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
        ASSERT_TRUE(waitRetry(2000));
        EXPECT_EQ(std::vector<unsigned>{2}, m_timers.armed());
        EXPECT_GT(m_log.count(VYL_LOG_ERROR, row.second), 0);

        watchdog.answer("Register", FakeWatchdog::FWA_TRUE);
        ASSERT_TRUE(m_timers.fireLatest());
        ASSERT_TRUE(waitRegistered());

        watchdog.answer("Tickle", row.first);
        ASSERT_TRUE(m_timers.fireLatest());
        ASSERT_TRUE(testenv::waitUntil(
            [&] { return watchdog.count("Register") == 3 && m_mixin->isWatchdogRegistered(); }));
        EXPECT_TRUE(m_log.has(VYL_LOG_ERROR, "Failed to tickle watchdog, retrying"));
        EXPECT_EQ(std::vector<unsigned>{10}, m_timers.armed()); // no back-off timer involved
        m_mixin.reset();
        drain();
    }
}

TEST_F(WatchedAppMixin, MissingServiceIsRetriedWithDoublingDelaysUpToSixtyFourSeconds) {
    start(30);
    size_t n = 0;
    for (unsigned seconds : {2u, 4u, 8u, 16u, 32u, 64u, 64u}) {
        ASSERT_TRUE(n++ == 0 || m_timers.fireLatest());
        ASSERT_TRUE(testenv::waitUntil([&] { return m_log.starting(kRetry).size() == n; }));
        EXPECT_EQ(kRetry + std::to_string(seconds * 1000) + " ms", m_log.starting(kRetry).back());
        EXPECT_EQ(std::vector<unsigned>{seconds}, m_timers.armed());
    }

    // The service appears: the pending attempt succeeds and the back-off starts over.
    m_log.clear();
    FakeWatchdog& watchdog = startWatchdog();
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(waitRegistered());
    watchdog.answer("Tickle", FakeWatchdog::FWA_FALSE);
    watchdog.answer("Register", FakeWatchdog::FWA_FALSE);
    ASSERT_TRUE(m_timers.fireLatest());
    ASSERT_TRUE(waitRetry(2000));
}

TEST_F(WatchedAppMixin, SilentRegistrationIsNotRepeatedAndWithdrawnAtShutdown) {
    FakeWatchdog& watchdog = startWatchdog();
    watchdog.answer("Register", FakeWatchdog::FWA_SILENT);
    start(10);
    ASSERT_TRUE(testenv::waitUntil([&] { return watchdog.count("Register") == 1; }));
    m_postDbus.emit(m_connection);
    drain();
    EXPECT_EQ(1u, watchdog.count("Register"));
    EXPECT_TRUE(m_timers.armed().empty());

    // The outstanding registration may have been accepted: shutdown withdraws it. The held call
    // is answered only after its caller is gone.
    m_postRun.emit();
    EXPECT_EQ(1u, watchdog.count("Deregister"));
}

} // namespace
