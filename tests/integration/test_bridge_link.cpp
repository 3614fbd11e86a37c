// The bridge as a whole process: status getters around a login exchange, the "$RTRLINK,"
// notices for each cause under both network gates, and the restart and reconnect controls.
#include <ctime>
#include <iterator>
#include <numeric>
#include <sstream>

#include <gtest/gtest.h>

#include "bridge_rig.h"
#include "test_env.h"

namespace {

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

using testenv::BridgeRig;
using testenv::SBridgeOptions;

class ABridge : public testenv::BusTest {
protected:
    // Starts the daemon with `options`; the device is acquired once the status leaves
    // "Serial device not acquired.".
    void start(const SBridgeOptions& options) {
        ASSERT_TRUE(m_rig.start(options));
        ASSERT_TRUE(m_rig.waitForStatus("QUARN serial link is down."));
    }

    // Login exchange, then the notice that ends it.
    void loginExpecting(const std::string& notice) {
        ASSERT_TRUE(m_rig.login()) << m_rig.log();
        ASSERT_TRUE(m_rig.waitForLine(notice)) << m_rig.log();
    }

    void expectNext(const std::string& line) { EXPECT_EQ(m_rig.nextLine(), line) << m_rig.log(); }

    static std::string wanUp() { return std::to_string(BridgeRig::gatewaysim({"wan-up", "7"})); }

    BridgeRig m_rig{m_root};
};

TEST_F(ABridge, AnswersEveryGetterBeforeAndAfterTheLoginExchange) {
    start(SBridgeOptions());
    for (const std::string& method :
         words("getDeviceName getServerName getServerIpAddr getServerPort getSoftwareInfo "
               "getHardwareInfo getImeiInfo getCmdVersionInfo getGPSStatus"))
        EXPECT_EQ(m_rig.callString(method), "") << method;
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    for (const std::string& method :
         words("getCntCharsSerialRx getCntCharsScannedSerialRx getCntCharsDiscardedSerialRx "
               "getCntMsgsRcvdSerialRx getTimeLastMsgSerialRx getCntMsgsSentSerialTx "
               "getTimeLastMsgSerialTx getCntCharsLoginBuffer getCntCharsBuffer "
               "getCntServerCharsRx getSecondsSinceLastRxServerAck getTimeLastServerRx "
               "getCntServerCharsTx getCntServerConnects"))
        EXPECT_EQ(m_rig.callInt(method), 0) << method;
    // Only the wake-up line has gone to the terminal so far.
    EXPECT_EQ(m_rig.callInt("getCntCharsSerialTx"), 2);
    EXPECT_GE(m_rig.callInt("getSecondsSinceLastRxDataToScanner"), 0);

    int before = static_cast<int>(::time(nullptr));
    loginExpecting("$RTRLINK,NW_DIS");
    EXPECT_EQ(m_rig.callString("getCurrentStatus"), "Network connection not available.");
    const char* const learnt[] = {
        "getDeviceName",   "QUARN-7",         "getServerName",     "quarn.example",
        "getServerIpAddr", "10.1.2.3",        "getServerPort",     "7001",
        "getSoftwareInfo", "4.2.1",           "getHardwareInfo",   "rev C",
        "getImeiInfo",     "356938035643809", "getCmdVersionInfo", "17"};
    for (size_t i = 0; i < sizeof learnt / sizeof learnt[0]; i += 2)
        EXPECT_EQ(m_rig.callString(learnt[i]), learnt[i + 1]) << learnt[i];
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    auto block = BridgeRig::loginBlock();
    int sent = std::accumulate(block.begin(), block.end(), 0,
                               [](int n, const std::string& s) { return n + int(s.size()); });
    const std::string ack = "$TSCACK,hello world*00\r\n";
    EXPECT_EQ(m_rig.callInt("getCntMsgsRcvdSerialRx"), int(block.size()) + 1);
    EXPECT_EQ(m_rig.callInt("getCntCharsSerialRx"), sent + int(ack.size()));
    EXPECT_EQ(m_rig.callInt("getCntCharsDiscardedSerialRx"), 0);
    // Wake-up, login request, network notice.
    EXPECT_EQ(m_rig.callInt("getCntCharsSerialTx"), 2 + 28 + 17);
    EXPECT_EQ(m_rig.callInt("getCntMsgsSentSerialTx"), 2);
    EXPECT_GE(m_rig.callInt("getTimeLastMsgSerialTx"), before);
    EXPECT_GE(m_rig.callInt("getTimeLastMsgSerialRx"), before);
    // The header, "$SendACK", the lines with the position line cut to its prefix, the end.
    int position = int(block[5].size());
    EXPECT_EQ(m_rig.callInt("getCntCharsLoginBuffer"), sent - position + 19 + 2 + 10);
    EXPECT_EQ(m_rig.callInt("getCntServerConnects"), 0);
}

TEST_F(ABridge, UnderTheWanGateFollowsWanSignalsAndOnlyLogsVpnOnes) {
    start(SBridgeOptions());
    loginExpecting("$RTRLINK,NW_DIS");

    ASSERT_EQ(BridgeRig::gatewaysim({"vpn", "up"}), 0);
    ASSERT_EQ(wanUp(), "0");
    expectNext("$RTRLINK,NW_CON");
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    EXPECT_TRUE(m_rig.serverReceived("$<end>\r\n"));
    EXPECT_EQ(m_rig.serverData().rfind("$<MSG.Info.ServerLogin>\r\n$SendACK\r\n", 0), 0u)
        << m_rig.serverData();
    EXPECT_EQ(m_rig.callString("getCurrentStatus"), "Connected to QUARN and server.");
    EXPECT_EQ(m_rig.callString("getServerPort"), std::to_string(m_rig.serverPort()));

    // Every activation is told, also when the network was already up.
    ASSERT_EQ(wanUp(), "0");
    expectNext("$RTRLINK,NW_CON");

    // The server going away while the network is up.
    m_rig.closeServerConnection();
    expectNext("$RTRLINK,SRVR_DIS");

    // The network going away: no server notice follows, since the network is down by then.
    ASSERT_EQ(BridgeRig::gatewaysim({"vpn", "down"}), 0);
    ASSERT_EQ(BridgeRig::gatewaysim({"wan-down", "7"}), 0);
    expectNext("$RTRLINK,NW_DIS");
    EXPECT_NE(m_rig.log().find("Tessarc: VPN is down."), std::string::npos);
}

TEST_F(ABridge, UnderTheVpnGateFollowsTheVpnAndOnlyLogsWanSignals) {
    SBridgeOptions options;
    options.gate = "vpnUp";
    start(options);
    loginExpecting("$RTRLINK,NW_DIS");

    ASSERT_EQ(wanUp(), "0");
    ASSERT_EQ(BridgeRig::gatewaysim({"wan-down", "7"}), 0);
    ASSERT_EQ(BridgeRig::gatewaysim({"vpn", "up"}), 0);
    expectNext("$RTRLINK,NW_CON");
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    ASSERT_EQ(BridgeRig::gatewaysim({"vpn", "down"}), 0);
    expectNext("$RTRLINK,NW_DIS");
    EXPECT_TRUE(m_rig.serverClosedByBridge());
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    EXPECT_NE(m_rig.log().find("Tessarc: Wan Deactivated."), std::string::npos);
}

TEST_F(ABridge, WithTheGateOpenAtStartConnectsAndObeysReconnectAndRestartControls) {
    ASSERT_EQ(wanUp(), "0");
    start(SBridgeOptions());
    loginExpecting("$RTRLINK,NW_CON"); // told at the end of the login
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    ASSERT_TRUE(m_rig.serverReceived("$<end>\r\n"));

    // Reconnect: a new connection that starts with the login block again.
    EXPECT_EQ(m_rig.callInt("triggerReconnect", "Control"), 0);
    EXPECT_TRUE(m_rig.serverClosedByBridge());
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_DIS");
    expectNext("$RTRLINK,SRVR_CON");
    EXPECT_TRUE(m_rig.serverReceived("$<end>\r\n"));
    EXPECT_EQ(m_rig.serverData().rfind("$<MSG.Info.ServerLogin>\r\n", 0), 0u);
    EXPECT_EQ(m_rig.callInt("getCntServerConnects"), 2);

    // Restart: stopping the protocol while the network is up tells the terminal first, then
    // the link asks for a login again.
    EXPECT_EQ(m_rig.callInt("triggerRestart", "Control"), 0);
    expectNext("$RTRLINK,NW_DIS");
    EXPECT_TRUE(m_rig.serverClosedByBridge());
    EXPECT_EQ(m_rig.callString("getDeviceName"), "");
    EXPECT_EQ(m_rig.callInt("getCntMsgsRcvdSerialRx"), 0);
    loginExpecting("$RTRLINK,NW_CON");
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    EXPECT_TRUE(m_rig.serverReceived("$DeviceName=QUARN-7\r\n"));
}

} // namespace
