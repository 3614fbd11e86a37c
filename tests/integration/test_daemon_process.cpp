// The daemon as a whole process: name, PID file, logs, single instance, signals, options.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

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

    std::unique_ptr<testenv::Process> start() {
        // A careless parent: the daemon must not inherit an open umask for its files.
        mode_t previous = ::umask(0);
        auto daemon = std::make_unique<testenv::Process>(
            "tessarc", std::vector<std::string>{"--daemon", "--loglevel=debug"});
        ::umask(previous);
        auto bus = testenv::sessionConnection();
        bool owned = testenv::waitUntil(
            [&] { return !daemon->running() || testenv::nameHasOwner(bus, kBusName); });
        EXPECT_TRUE(owned && daemon->running()) << daemon->output();
        return daemon;
    }
};

TEST_F(DaemonProcess, OwnsItsNameWritesPidFileAndLogsRefusesASecondInstanceAndStopsOnSigterm) {
    auto daemon = start();
    EXPECT_EQ(testenv::callString(testenv::sessionConnection(), kBusName, "/com/ulvaro/tessarc",
                                  "com.ulvaro.tessarc.Status", "getCurrentStatus"),
              "Agent is disabled.");
    EXPECT_EQ(testenv::readFile(pidFile()), std::to_string(daemon->pid()));
    // Without a configuration file the built-in document is written verbatim, and committed.
    EXPECT_EQ(testenv::readFile(m_root / "etc/vyl/tessarc.yaml"), g_tessarcDefaultYaml);
    EXPECT_EQ(testenv::readFile(m_root / "var/lib/vyl/config-repo/tessarc.yaml"),
              g_tessarcDefaultYaml);
    struct stat st;
    for (const std::string& file : {pidFile(), logFile("tessarc.log"), logFile("critical.log")}) {
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0022, 0u) << file << " must not be writable by others";
    }
    testenv::Process second("tessarc", {"--daemon"});
    EXPECT_EQ(second.wait(), 255);
    EXPECT_NE(testenv::readFile(logFile("critical.log")).find("it already exists"),
              std::string::npos);
    EXPECT_EQ(testenv::readFile(pidFile()), std::to_string(daemon->pid()));
    ASSERT_TRUE(daemon->running());
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    EXPECT_NE(::access(pidFile().c_str(), F_OK), 0) << "PID file left behind";
}

TEST_F(DaemonProcess, TakesOverAStaleOrUnreadablePidFile) {
    pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    for (const std::string& stale : {std::to_string(dead), std::string("garbage\n")}) {
        m_root.write("run/vyl/tessarc.pid", stale);
        auto daemon = start();
        EXPECT_EQ(testenv::readFile(pidFile()), std::to_string(daemon->pid())) << stale;
        daemon->signal(SIGINT);
        EXPECT_EQ(daemon->wait(), 0);
    }
}

// The bus going away ends the daemon with status 1; the fatal line it logged on the way out is
// in the event database afterwards (queued events are written before the process ends), and the
// database keeps its mode.
TEST_F(DaemonProcess, LeavesItsFatalLineAsAnEventWhenItsBusIsLost) {
    auto daemon = start();
    ::kill(m_bus.pid(), SIGKILL);
    EXPECT_EQ(daemon->wait(), 1) << daemon->output();
    const std::string db = m_root / "var/lib/dels/dels.db";
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle,
                                 "SELECT COUNT(*) FROM events WHERE messageId = 274 AND "
                                 "generatedSeverity = 0 AND param0 = ?1 AND "
                                 "CAST(additionalInfo AS TEXT) LIKE '%D-Bus connection lost%'",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    sqlite3_bind_int64(stmt, 1, daemon->pid());
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 1) << testenv::readFile(logFile("critical.log"));
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
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
