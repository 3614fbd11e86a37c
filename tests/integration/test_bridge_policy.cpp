// The installed system bus policy, loaded into a private dbus-daemon: anyone may read the
// status, only root may use the controls or own the name. Needs root (to switch to another user
// for the client); skipped otherwise.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bridge_rig.h"
#include "test_env.h"
#include "test_process.h"

namespace {

const uid_t kNobody = 65534;

// A system-bus-like configuration: method calls denied unless a policy allows them, replies and
// signals allowed, and the project's policy file included as installed.
std::string busConfig() {
    return testenv::busConfig(
        "    <allow user=\"*\"/>\n"
        "    <deny own=\"*\"/>\n"
        "    <deny send_type=\"method_call\"/>\n"
        "    <allow send_type=\"signal\"/>\n"
        "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
        "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
        "    <allow receive_type=\"method_call\"/>\n"
        "    <allow receive_type=\"method_return\"/>\n"
        "    <allow receive_type=\"error\"/>\n"
        "    <allow receive_type=\"signal\"/>\n"
        "    <allow send_destination=\"org.freedesktop.DBus\"\n"
        "           send_interface=\"org.freedesktop.DBus\"/>\n"
        "    <allow send_destination=\"org.freedesktop.DBus\"\n"
        "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n",
        "  <include>" + std::string(TESSARC_SOURCE_DIR) +
            "/packaging/com.ulvaro.tessarc.conf</include>\n");
}

struct SResult {
    int status = -1;
    std::string output;
};

// Runs `args` (a program on PATH and its arguments) as `uid`, collecting its output.
SResult runAs(uid_t uid, const std::vector<std::string>& args) {
    int pipefd[2];
    if (::pipe(pipefd) != 0)
        return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        ::dup2(pipefd[1], 2);
        ::close(pipefd[0]);
        if (::setgid(uid) != 0 || ::setuid(uid) != 0)
            ::_exit(126);
        testenv::execArgs(args);
    }
    ::close(pipefd[1]);
    SResult result;
    char chunk[512];
    ssize_t n;
    while ((n = ::read(pipefd[0], chunk, sizeof chunk)) > 0)
        result.output.append(chunk, static_cast<size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> gdbusCall(const std::string& address, const std::string& method) {
    return {"gdbus",         "call",
            "--address",     address,
            "--dest",        "com.ulvaro.tessarc",
            "--object-path", "/com/ulvaro/tessarc",
            "--method",      method};
}

class ABusPolicy : public ::testing::Test {
protected:
    testenv::TempRoot m_root;
    testenv::PrivateBus m_bus{busConfig()};
    testenv::BridgeRig m_rig{m_root};
};

TEST_F(ABusPolicy, LetsAnyoneReadTheStatusAndOnlyRootControlOrOwnTheName) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
    testenv::SBridgeOptions options;
    options.enabled = false;
    ASSERT_TRUE(m_rig.start(options));

    SResult status =
        runAs(kNobody, gdbusCall(m_bus.address(), "com.ulvaro.tessarc.Status.getCurrentStatus"));
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_NE(status.output.find("Agent is disabled."), std::string::npos) << status.output;

    for (const char* control : {"triggerRestart", "triggerReconnect"}) {
        SResult refused =
            runAs(kNobody,
                  gdbusCall(m_bus.address(), std::string("com.ulvaro.tessarc.Control.") + control));
        EXPECT_NE(refused.status, 0) << control;
        EXPECT_NE(refused.output.find("AccessDenied"), std::string::npos) << refused.output;
    }
    EXPECT_EQ(m_rig.callInt("triggerRestart", "Control"), 0);

    // Another user cannot take the name, even once it is free.
    m_rig.daemon()->signal(SIGTERM);
    ASSERT_EQ(m_rig.daemon()->wait(), 0);
    SResult own = runAs(kNobody, {"dbus-send", "--address=" + m_bus.address(), "--print-reply",
                                  "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus.RequestName", "string:com.ulvaro.tessarc",
                                  "uint32:0"});
    EXPECT_NE(own.status, 0);
    EXPECT_NE(own.output.find("AccessDenied"), std::string::npos) << own.output;
}

} // namespace
