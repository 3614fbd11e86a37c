// Helpers for the content segment tests: a mapped private segment per test and child processes
// waited for with a deadline.
#pragma once

#include <chrono>
#include <functional>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "osv.h"
#include "test_env.h"

namespace osvtest {

// Runs `body` in a child process; its return value is the child's exit status.
inline pid_t runChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

// Exit status of the child, or -1 when it did not end (it is then killed) or died by a signal.
inline int waitChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    int status = 0;
    bool ended =
        testenv::waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A test with its own segment name, mapped for the test's duration.
class SegmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_osv = getOsvPointer();
        ASSERT_NE(m_osv, nullptr);
    }
    void TearDown() override { releaseOsvPointer(m_osv); }

    testenv::TempRoot m_root;
    SOsvContent* m_osv = nullptr;
};

} // namespace osvtest
