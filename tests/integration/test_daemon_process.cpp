// The daemon as a whole process: name, PID file, logs, single instance, signals, options.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include "bridge_document.h"
#include "fake_watchdog.h"
#include "platform_events.h"
#include "tessarc_config.h"
#include "test_process.h"

namespace {

const char* const kBusName = "com.ulvaro.tessarc";

class DaemonProcess : public testenv::BusTest {
protected:
    std::string pidFile() const { return m_root / "run/vyl/tessarc.pid"; }
    std::string logFile(const char* name) const {
        return m_root / ("var/log/vyl/" + testenv::utcDate() + name);
    }

    // `wrapper`: a program and its arguments that run the daemon (its path appended).
    std::unique_ptr<testenv::Process> start(std::vector<std::string> wrapper = {}) {
        std::vector<std::string> args{"--daemon", "--loglevel=debug"};
        if (!wrapper.empty())
            args.insert(args.begin(), TESSARC_BIN_DIR "/tessarc");
        args.insert(args.begin(), wrapper.begin() + (wrapper.empty() ? 0 : 1), wrapper.end());
        // A careless parent: the daemon must not inherit an open umask for its files.
        mode_t previous = ::umask(0);
        auto daemon =
            std::make_unique<testenv::Process>(wrapper.empty() ? "tessarc" : wrapper.front(), args);
        ::umask(previous);
        auto bus = testenv::sessionConnection();
        bool owned = testenv::waitUntil(
            [&] { return !daemon->running() || testenv::nameHasOwner(bus, kBusName); });
        EXPECT_TRUE(owned && daemon->running()) << daemon->output();
        return daemon;
    }
};

TEST_F(DaemonProcess, OwnsItsNameWritesPidFileAndLogsRegistersWithTheWatchdogAndStopsOnSigterm) {
    testenv::FakeWatchdog watchdog(m_bus.address());
    auto daemon = start();
    // Registered as "tessarc" with twice its 300 s tickle period.
    ASSERT_TRUE(testenv::waitUntil([&] { return watchdog.count("Register") == 1; }));
    EXPECT_EQ(watchdog.calls()[0].name, "tessarc");
    EXPECT_EQ(watchdog.calls()[0].period, 600u);
    EXPECT_EQ(testenv::callString(testenv::sessionConnection(), kBusName, "/com/ulvaro/tessarc",
                                  "com.ulvaro.tessarc.Status", "getCurrentStatus"),
              "Agent is disabled.");
    EXPECT_EQ(testenv::readFile(pidFile()), std::to_string(daemon->pid()));
    // Without a configuration file the built-in document is written verbatim, and committed.
    // The other tests configure the bridge from their own copy of it: that must be the same.
    EXPECT_EQ(testenv::readFile(m_root / "etc/vyl/tessarc.yaml"), testenv::kBridgeDocument);
    EXPECT_EQ(testenv::readFile(m_root / "var/lib/vyl/config-repo/tessarc.yaml"),
              g_tessarcDefaultYaml);
    struct stat st;
    for (const std::string& file : {pidFile(), logFile("tessarc.log"), logFile("critical.log")}) {
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0022, 0u) << file << " must not be writable by others";
    }
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    EXPECT_NE(::access(pidFile().c_str(), F_OK), 0) << "PID file left behind";
    EXPECT_EQ(watchdog.count("Deregister"), 1u);
}

// The first run under a file-size limit (64 bytes: the PID file fits, the log and the
// configuration do not): writes past it fail and are handled instead of killing the daemon.
TEST_F(DaemonProcess, TakesOverAStaleOrUnreadablePidFileAndOutlivesTheFileSizeLimit) {
    const pid_t dead = testenv::forkChild([] { return 0; });
    testenv::childStatus(dead);
    const std::pair<std::string, std::vector<std::string>> runs[] = {
        {std::to_string(dead), {"prlimit", "--fsize=64"}}, {"garbage\n", {}}};
    for (const auto& [stale, wrapper] : runs) {
        m_root.write("run/vyl/tessarc.pid", stale);
        auto daemon = start(wrapper);
        EXPECT_EQ(testenv::readFile(pidFile()), std::to_string(daemon->pid())) << stale;
        daemon->signal(SIGINT);
        EXPECT_EQ(daemon->wait(), 0);
    }
    // Its own PID: PID 1 of a container whose PID file survived a restart.
    if (::geteuid() != 0)
        return;
    m_root.write("run/vyl/tessarc.pid", "1");
    auto contained = start({"unshare", "--pid", "--fork", "--kill-child=SIGTERM"});
    EXPECT_EQ(testenv::readFile(pidFile()), "1");
    contained->signal(SIGKILL); // unshare hands the daemon a SIGTERM as it dies
    EXPECT_TRUE(testenv::waitUntil([&] { return ::access(pidFile().c_str(), F_OK) != 0; }));
}

// Without --daemon the process detaches; the test adopts it (subreaper) to see how it ends.
TEST_F(DaemonProcess, DetachedEndsOnSigtermRefusesASecondInstanceAndLeavesAFatalEventOnBusLoss) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto bus = testenv::sessionConnection();
    auto detach = [&] {
        mode_t previous = ::umask(0); // a careless parent, as in start()
        testenv::Process launcher("tessarc", {});
        ::umask(previous);
        EXPECT_EQ(launcher.wait(), 0);
        bool owned = testenv::waitUntil([&] { return testenv::nameHasOwner(bus, kBusName); });
        return owned ? std::stoi(testenv::readFile(pidFile())) : -1;
    };
    pid_t daemon = detach();
    ASSERT_GT(daemon, 0);
    // Nothing of the launcher's output stays open: a caller reading it to its end would hang.
    char output[32] = {};
    EXPECT_GT(::readlink(("/proc/" + std::to_string(daemon) + "/fd/2").c_str(), output,
                         sizeof output - 1),
              0);
    EXPECT_STREQ(output, "/dev/null");
    EXPECT_EQ(detach(), daemon);
    EXPECT_EQ(testenv::childStatus(-1), 255) << "second instance";
    EXPECT_NE(testenv::readFile(logFile("critical.log")).find("it already exists"),
              std::string::npos);
    ::kill(daemon, SIGTERM);
    EXPECT_EQ(testenv::childStatus(daemon), 0);
    EXPECT_NE(::access(pidFile().c_str(), F_OK), 0) << "PID file left behind";
    EXPECT_NE(testenv::readFile(logFile("tessarc.log")).find("tessarc Stopped"), std::string::npos);

    // The bus going away ends the daemon with status 1, for a restart; the fatal line it logged
    // on the way out is in the event database afterwards (queued events are written before the
    // process ends), and the database keeps its mode.
    daemon = detach();
    ASSERT_GT(daemon, 0);
    ::kill(m_bus.pid(), SIGKILL);
    EXPECT_EQ(testenv::childStatus(daemon), 1) << "a lost bus must end the daemon for a restart";
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    const std::string db = m_root / "var/lib/dels/dels.db";
    const std::string fatal = "274 0 " + std::to_string(daemon) + " ";
    int found = 0;
    for (const std::string& event : testenv::storedEvents(db))
        found +=
            event.rfind(fatal, 0) == 0 && event.find("D-Bus connection lost") != std::string::npos;
    EXPECT_EQ(found, 1) << testenv::readFile(logFile("critical.log"));
    struct stat st;
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
}

TEST_F(DaemonProcess, BadOptionPrintsHelpAndExitsZero) {
    testenv::Process daemon("tessarc", {"--no-such-option"});
    EXPECT_EQ(daemon.wait(), 0);
    std::string out = daemon.output();
    EXPECT_NE(out.find("--no-such-option"), std::string::npos) << out;
    EXPECT_NE(out.find("Log Level: trace, debug, info, warn, error"), std::string::npos) << out;
}

} // namespace
