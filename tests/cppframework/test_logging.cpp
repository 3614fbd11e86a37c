#include <cstdarg>

#include <gtest/gtest.h>

#include "qcf_debug.h"
#include "test_env.h"

namespace {

// Writes through a CVylDebugLog the way CVylLogger does, without the process singleton.
void write(CVylDebugLog& log, CVylLogLevel level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log.log(level, fmt, args, level == VYL_LOG_FATAL ? 0 : int(CVylDebugLog::NO_EVENT));
    va_end(args);
}

class Logging : public ::testing::Test {
protected:
    void TearDown() override { CVylTimeOfDayRolloverAppender::setClock(nullptr); }

    std::string dir() const { return m_root / "logs"; }
    std::string file(const std::string& name) const {
        return testenv::readFile(dir() + "/2015-12-" + name + ".log");
    }

    testenv::TempRoot m_root;
};

// 2015-12-18 23:59:58 UTC
const time_t kBeforeMidnight = 1450483198;

// Per appender thresholds, the critical log from error up, the 349-character cut, control
// characters escaped (no forged lines) and the first line after UTC midnight starting new dated
// files, on an injected clock.
TEST_F(Logging, ThresholdsCutAndDailyRollOver) {
    time_t clock = kBeforeMidnight;
    CVylTimeOfDayRolloverAppender::setClock([&clock] { return clock; });
    CVylDebugLog log("app", dir().c_str());
    write(log, VYL_LOG_INFO, "default hides info");
    log.setLogThreshold(VYL_LOG_INFO);
    write(log, VYL_LOG_DEBUG, "hidden debug");
    write(log, VYL_LOG_INFO, "plain info");
    write(log, VYL_LOG_WARN, "some warning");
    write(log, VYL_LOG_WARN, "name %s", "x\r\n00:00:00,000 FATAL: forged\x1b[2J\t.");
    write(log, VYL_LOG_ERROR, "an error %d %s", 7, std::string(400, 'x').c_str());
    write(log, VYL_LOG_ERROR, "\x7f%s", std::string(346, 'y').c_str());
    clock += 5; // 00:00:03 next day
    write(log, VYL_LOG_ERROR, "new day");

    std::string app = file("18app");
    std::string critical = file("18critical");
    EXPECT_EQ(app.find("hides"), std::string::npos);
    EXPECT_EQ(app.find("hidden debug"), std::string::npos);
    EXPECT_NE(app.find("INFO: plain info\n"), std::string::npos);
    EXPECT_NE(app.find("WARN: name x\\r\\n00:00:00,000 FATAL: forged\\x1b[2J\\x09.\n"),
              std::string::npos)
        << app;
    std::string cut = "ERROR: an error 7 " + std::string(349 - 11, 'x') + "\n";
    EXPECT_NE(app.find(cut), std::string::npos) << app;
    EXPECT_NE(app.find("ERROR: \\x7f" + std::string(349 - 4, 'y') + "\n"), std::string::npos);
    EXPECT_EQ(critical.find("some warning"), std::string::npos);
    EXPECT_NE(critical.find(cut), std::string::npos);
    EXPECT_EQ(app.find("new day"), std::string::npos);
    EXPECT_NE(file("19app").find("ERROR: new day\n"), std::string::npos);
    EXPECT_NE(file("19critical").find("new day"), std::string::npos);
}

TEST_F(Logging, EventSinkReceivesOnlyLinesWithASeverity) {
    CVylDebugLog log("events", dir().c_str());
    std::vector<std::pair<int, std::string>> events;
    log.setEventSink([&](int severity, const std::string& text) {
        events.emplace_back(severity, text);
        if (text == "boom")
            throw std::runtime_error("store down");
    });
    write(log, VYL_LOG_ERROR, "plain error");
    log.logError("internal %s", "failure");
    write(log, VYL_LOG_FATAL, "boom");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], std::make_pair(1, std::string("internal failure")));
    EXPECT_EQ(events[1], std::make_pair(0, std::string("boom")));
}

TEST(MkPath, CreatesParentsAndAcceptsExistingFolders) {
    testenv::TempRoot root;
    EXPECT_EQ(CVylDebugLog::mkpath((root / "a/b/c").c_str(), 0755), 0);
    EXPECT_EQ(CVylDebugLog::mkpath((root / "a/b/c").c_str(), 0755), 0);
    root.write("file", "x");
    EXPECT_EQ(CVylDebugLog::mkpath((root / "file/sub").c_str(), 0755), -1);
}

} // namespace
