// The application base in-process: quit before run, signal delivery, bus connection retry. The
// PID file is followed through the whole daemon in tests/integration.
#include <csignal>
#include <cstdlib>

#include <glibmm/main.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_app.h"

namespace {

class CountingApp : public CVylAppBase {
public:
    CountingApp()
        : CVylAppBase("basetest", nullptr, nullptr, VYL_LOG_DEBUG, OAT_CMD_LINE_UTILITY) {}
    void handleSignal(int sig) override {
        signals.push_back(sig);
        if (signals.size() == 2)
            quit();
    }
    std::vector<int> signals;
};

TEST(AppBase, QuitBeforeRunReturnsWithoutRunningAnyHook) {
    testenv::TempRoot root;
    CountingApp app;
    bool preDbus = false;
    app.preDbusSignal().connect([&] { preDbus = true; });
    app.quit();
    EXPECT_EQ(app.run(), 0);
    EXPECT_FALSE(preDbus);
}

TEST(AppBase, TwoSignalsArrivingTogetherAreHandledOneByOne) {
    testenv::TempRoot root;
    testenv::PrivateBus bus;
    CountingApp app;
    app.postDbusSignal().connect([&](Glib::RefPtr<Gio::DBus::Connection>) {
        ::raise(SIGHUP);
        ::raise(SIGTERM);
    });
    EXPECT_EQ(app.run(), 0);
    EXPECT_EQ(app.signals, (std::vector<int>{SIGHUP, SIGTERM}));
}

TEST(AppBase, UnreachableBusIsRetriedAndHooksRunOnlyOnceConnected) {
    testenv::TempRoot root;
    testenv::PrivateBus bus;
    std::string address = bus.address();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-bus")).c_str(), 1);
    CVylAppBase::setDbusRetrySeconds(1);

    CountingApp app;
    int attempts = 0;
    int hooks = 0;
    testenv::LogCapture log([&](CVylLogLevel, const std::string& line) {
        if (line == "Attempting to connect to dbus" && ++attempts == 2)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    });
    app.postDbusSignal().connect([&](Glib::RefPtr<Gio::DBus::Connection>) {
        ++hooks;
        app.quit();
    });
    app.run();
    CVylAppBase::setDbusRetrySeconds(60);
    EXPECT_EQ(attempts, 2) << "the first attempt fails, the timed retry connects";
    EXPECT_EQ(hooks, 1);
}

} // namespace
