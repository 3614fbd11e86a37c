// The installed system bus policy, loaded into a private dbus-daemon: anyone may read the
// status, only root may use the controls or own the name, and broadcast signals get through. Needs
// root (to switch to another user for the client); skipped otherwise.

#include "bridge_rig.h"

namespace {

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
        "    <allow receive_type=\"method_call\"/><allow receive_type=\"method_return\"/>\n"
        "    <allow receive_type=\"error\"/><allow receive_type=\"signal\"/>\n"
        "    <allow send_destination=\"org.freedesktop.DBus\"\n"
        "           send_interface=\"org.freedesktop.DBus\"/>\n"
        "    <allow send_destination=\"org.freedesktop.DBus\"\n"
        "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n",
        "  <include>" + std::string(TESSARC_SOURCE_DIR) +
            "/packaging/com.ulvaro.tessarc.conf</include>\n");
}

// Runs `command` (a program on PATH and its arguments) as nobody: exit status and output.
std::pair<int, std::string> asNobody(const std::string& command) {
    testenv::Process client(
        "setpriv", testenv::words("--reuid=65534 --regid=65534 --clear-groups " + command));
    int status = client.wait();
    return {status, client.output()};
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
    ASSERT_TRUE(m_rig.start("wanUp", false));
    const std::string call = "gdbus call --address " + m_bus.address() +
                             " --dest com.ulvaro.tessarc --object-path /com/ulvaro/tessarc"
                             " --method com.ulvaro.tessarc.";
    auto status = asNobody(call + "Status.getCurrentStatus");
    EXPECT_EQ(status.first, 0) << status.second;
    EXPECT_NE(status.second.find("Agent is disabled."), std::string::npos) << status.second;
    for (const char* control : {"triggerRestart", "triggerReconnect"}) {
        auto refused = asNobody(call + "Control." + control);
        EXPECT_NE(refused.first, 0) << control;
        EXPECT_NE(refused.second.find("AccessDenied"), std::string::npos) << refused.second;
    }
    EXPECT_EQ(m_rig.callInt("triggerRestart", "Control"), 0);

    // Broadcast signals still reach the daemon: its monitors live on them.
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    EXPECT_EQ(testenv::BridgeRig::gatewaysim({"wan-up", "7"}), 0);
    EXPECT_TRUE(testenv::waitUntil([&] { return m_rig.callString("getWANStatus") == "up"; }))
        << m_rig.log();

    // Another user cannot take the name, even once it is free.
    m_rig.daemon().signal(SIGTERM);
    ASSERT_EQ(m_rig.daemon().wait(), 0);
    auto own = asNobody("dbus-send --address=" + m_bus.address() +
                        " --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus"
                        " org.freedesktop.DBus.RequestName string:com.ulvaro.tessarc uint32:0");
    EXPECT_NE(own.first, 0);
    EXPECT_NE(own.second.find("AccessDenied"), std::string::npos) << own.second;
}

} // namespace
