// The bridge as a whole process: status getters around a login exchange, the "$RTRLINK,"
// notices for each cause under both network gates, the restart and reconnect controls, and the
// gateway's position in the server stream, unharmed by signals that do not fit their subscription,
// and the device lock held while the agent is enabled.
#include <ctime>
#include <filesystem>
#include <numeric>
#include <tuple>

#include <gtest/gtest.h>

#include "bridge_rig.h"

namespace {

using testenv::BridgeRig;
using testenv::words;

const std::string kFirst = "$GPRMC,080000.00,A,4807.0380,N,01131.0000,E,0.0,0.0,060126,,,A*60";
const std::string kSecond = "$GPRMC,080001.00,A,4807.0390,N,01131.0010,E,0.1,0.0,060126,,,A*61";

class ABridge : public testenv::BusTest {
protected:
    // The device is acquired once the status leaves "Serial device not acquired.".
    void start(const std::string& gate = "wanUp") {
        ASSERT_TRUE(m_rig.start(gate));
        ASSERT_TRUE(m_rig.waitForStatus("QUARN serial link is down."));
    }
    void loginExpecting(const std::string& notice) {
        ASSERT_TRUE(m_rig.login()) << m_rig.log();
        ASSERT_TRUE(m_rig.waitForLine(notice)) << m_rig.log();
    }
    void expectNext(const std::string& line) { EXPECT_EQ(m_rig.nextLine(), line) << m_rig.log(); }
    static int sim(const std::string& args) { return BridgeRig::gatewaysim(words(args)); }
    // Sends the terminal's position and a data line; true once the server has the line.
    bool sendData(const std::string& line) {
        m_rig.send(BridgeRig::terminalPosition() + line + "\r\n");
        return m_rig.serverReceived(line + "\r\n");
    }
    bool has(const std::string& text) { return m_rig.serverData().find(text) != std::string::npos; }

    BridgeRig m_rig{m_root};
};

TEST_F(ABridge, AnswersEveryGetterBeforeAndAfterTheLoginExchange) {
    start();
    for (const std::string& method :
         words("getDeviceName getServerName getSoftwareInfo "
               "getHardwareInfo getImeiInfo getCmdVersionInfo getGPSStatus"))
        EXPECT_EQ(m_rig.callString(method), "") << method;
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
    auto learnt = words("getDeviceName QUARN-7 getServerName quarn.example getSoftwareInfo "
                        "4.2.1 getImeiInfo 356938035643809 getCmdVersionInfo 17");
    for (size_t i = 0; i < learnt.size(); i += 2)
        EXPECT_EQ(m_rig.callString(learnt[i]), learnt[i + 1]) << learnt[i];
    EXPECT_EQ(m_rig.callString("getHardwareInfo"), "rev C");
    // The rig's overrides stay the address in use after the terminal named its own.
    EXPECT_EQ(m_rig.callString("getServerIpAddr"), "127.0.0.1");
    EXPECT_EQ(m_rig.callString("getServerPort"), std::to_string(m_rig.serverPort()));
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    auto block = BridgeRig::loginBlock();
    int sent = std::accumulate(block.begin(), block.end(), 0,
                               [](int n, const std::string& s) { return n + int(s.size()); });
    EXPECT_GE(m_rig.callInt("getTimeLastMsgSerialTx"), before);
    EXPECT_GE(m_rig.callInt("getTimeLastMsgSerialRx"), before);
    // To the terminal: wake-up, login request, network notice. In the login buffer: the header,
    // "$SendACK", the lines with the position line cut to its prefix, the end.
    for (const auto& c : std::vector<std::pair<std::string, int>>{
             {"getCntMsgsRcvdSerialRx", int(block.size()) + 1},
             {"getCntCharsSerialRx", sent + int(sizeof "$TSCACK,hello world*00\r\n") - 1},
             {"getCntCharsDiscardedSerialRx", 0},
             {"getCntCharsSerialTx", 2 + 28 + 17},
             {"getCntMsgsSentSerialTx", 2},
             {"getCntCharsLoginBuffer", sent - int(block[5].size()) + 19 + 2 + 10},
             {"getCntServerConnects", 0}})
        EXPECT_EQ(m_rig.callInt(c.first), c.second) << c.first;
}

TEST_F(ABridge, UnderTheWanGateFollowsWanSignalsAndOnlyLogsVpnOnes) {
    start();
    loginExpecting("$RTRLINK,NW_DIS");
    ASSERT_EQ(sim("vpn up"), 0);
    ASSERT_EQ(sim("wan-up 7"), 0);
    expectNext("$RTRLINK,NW_CON");
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    EXPECT_TRUE(m_rig.serverReceived("$<end>\r\n"));
    EXPECT_EQ(m_rig.serverData().rfind("$<MSG.Info.ServerLogin>\r\n$SendACK\r\n", 0), 0u)
        << m_rig.serverData();
    EXPECT_EQ(m_rig.callString("getCurrentStatus"), "Connected to QUARN and server.");
    EXPECT_EQ(m_rig.callString("getServerPort"), std::to_string(m_rig.serverPort()));
    // Without a gateway position the terminal's is dropped, from the login block too.
    EXPECT_TRUE(has("$LastValidPosition=\r\n$IMEI=")) << m_rig.serverData();
    ASSERT_TRUE(sendData("$PFAL,Data,0*00"));
    EXPECT_FALSE(has("$GPRMC"));
    // Every activation is told, also when the network was already up.
    ASSERT_EQ(sim("wan-up 7"), 0);
    expectNext("$RTRLINK,NW_CON");
    m_rig.closeServerConnection();
    expectNext("$RTRLINK,SRVR_DIS");
    // The network going away: no server notice follows, since the network is down by then.
    ASSERT_EQ(sim("vpn down"), 0);
    ASSERT_EQ(sim("wan-down 7"), 0);
    expectNext("$RTRLINK,NW_DIS");
    EXPECT_NE(m_rig.log().find("Tessarc: VPN is down."), std::string::npos);
}

TEST_F(ABridge, UnderTheVpnGateFollowsTheVpnOnlyLogsWanSignalsAndLocksItsDeviceWhileEnabled) {
    start("vpnUp");
    auto locks = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(m_root / "var/lock"))
            if (entry.path().filename().string().rfind("LCK..", 0) == 0)
                found.push_back(testenv::readFile(entry.path()));
        return found;
    };
    std::string pid = testenv::readFile(m_root / "run/vyl/tessarc.pid");
    EXPECT_EQ(locks(), std::vector<std::string>{std::string(10 - pid.size(), ' ') + pid + "\n"});

    loginExpecting("$RTRLINK,NW_DIS");
    ASSERT_EQ(sim("wan-up 7"), 0);
    ASSERT_EQ(sim("wan-down 7"), 0);
    ASSERT_EQ(sim("vpn up"), 0);
    expectNext("$RTRLINK,NW_CON");
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    ASSERT_EQ(sim("vpn down"), 0);
    expectNext("$RTRLINK,NW_DIS");
    EXPECT_TRUE(m_rig.serverClosedByBridge());
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    EXPECT_NE(m_rig.log().find("Tessarc: Wan Deactivated."), std::string::npos);

    // A configuration change that disables the agent releases the device.
    std::string config = testenv::readFile(m_root / "etc/vyl/tessarc.yaml");
    m_root.write("etc/vyl/tessarc.yaml",
                 config.replace(config.find("enabled: yes"), 12, "enabled: no"));
    auto sender = testenv::sessionConnection();
    g_dbus_connection_emit_signal(
        sender->gobj(), nullptr,
        "/com/ulvaro/configuration/IConfigurationEvent/ConfigurationChanged",
        "com.ulvaro.configuration.IConfigurationEvent", "ConfigurationChanged",
        g_variant_new("(sss)", "test", "tessarc.yaml", "changed"), nullptr);
    g_dbus_connection_flush_sync(sender->gobj(), nullptr, nullptr);
    EXPECT_TRUE(m_rig.waitForStatus("Agent is disabled."));
    EXPECT_TRUE(testenv::waitUntil([&] { return locks().empty(); })) << m_rig.log();
}

TEST_F(ABridge, WithTheGateOpenAtStartObeysControlsAndPutsTheGatewaysPositionInTheStream) {
    ASSERT_EQ(sim("wan-up 7"), 0);
    start();
    // Other sentences of the GPS service are not positions.
    ASSERT_EQ(sim("gps " + kFirst), 0);
    ASSERT_EQ(sim("gps $GPGGA,080000.00,4807.038,N,01131.000,E,1,08*47"), 0);
    EXPECT_TRUE(testenv::waitUntil([&] { return m_rig.callString("getGPSStatus") == kFirst; }));
    loginExpecting("$RTRLINK,NW_CON"); // told at the end of the login
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_CON");
    EXPECT_TRUE(m_rig.serverReceived("$<end>\r\n"));
    // Reconnect: a new connection that starts with the login block again.
    EXPECT_EQ(m_rig.callInt("triggerReconnect", "Control"), 0);
    EXPECT_TRUE(m_rig.serverClosedByBridge());
    ASSERT_TRUE(m_rig.acceptServer());
    expectNext("$RTRLINK,SRVR_DIS");
    expectNext("$RTRLINK,SRVR_CON");
    EXPECT_TRUE(m_rig.serverReceived("$<end>\r\n"));
    EXPECT_EQ(m_rig.serverData().rfind("$<MSG.Info.ServerLogin>\r\n", 0), 0u);
    EXPECT_TRUE(has("$LastValidPosition=" + kFirst + "\r\n$IMEI=")) << m_rig.serverData();
    EXPECT_EQ(m_rig.callInt("getCntServerConnects"), 2);

    // Wrong types and counts for each subscription, and GPS texts that would break the server
    // stream's framing or smuggle lines into it.
    auto bus = testenv::sessionConnection();
    const char* const nav = "com.ulvaro.NavigationEvents.IExclusiveSerialGpsSource";
    const char* const wan = "com.ulvaro.wan.IWanStateEvents";
    std::vector<std::tuple<const char*, const char*, GVariant*>> signals{
        {wan, "ConnectionActivated", g_variant_new("(s)", "x")},
        {wan, "ConnectionDeactivated", g_variant_new("(b)", TRUE)},
        {wan, "ConnectionDeactivated", nullptr},
        {"com.ulvaro.vpn.IVpnStateEvents", "ConnectionStatus", g_variant_new("(u)", 1u)},
        {nav, "GpsRawNMEA", g_variant_new("(s)", "$GPRMC,1*00\r\n")}};
    for (const std::string& text : std::vector<std::string>{
             "$GPRMC,1,A*00\r\n$EVIL,injected*00\r\n", "$GPRMC,2,A*00\n$EVIL,lf*00\r\n",
             "$GPRMC,3,A*00", "$GPRMC,5,A\x01*00\r\n",
             "$GPRMC," + std::string(300, '9') + "*00\r\n", "$GPRMC,\xc3\xa9*00\r\n"})
        signals.emplace_back(nav, "GpsRawNMEA", g_variant_new("(ss)", "evil", text.c_str()));
    for (const auto& s : signals)
        EXPECT_TRUE(g_dbus_connection_emit_signal(bus->gobj(), nullptr, "/x", std::get<0>(s),
                                                  std::get<1>(s), std::get<2>(s), nullptr));
    g_dbus_connection_flush_sync(bus->gobj(), nullptr, nullptr);
    // A good signal after the bad ones shows they were all handled (or dropped) by now.
    ASSERT_EQ(sim("wan-up 3"), 0);
    EXPECT_EQ(m_rig.nextLine(), "$RTRLINK,NW_CON") << "a malformed deactivation had an effect";
    const std::string log = m_rig.log();
    size_t dropped = 0;
    for (size_t at = log.find(" dropped: arguments "); at != std::string::npos;
         at = log.find(" dropped: arguments ", at + 1))
        ++dropped;
    EXPECT_EQ(dropped, 5u) << "each body of the wrong form is dropped with a line of its own";
    EXPECT_EQ(m_rig.callString("getGPSStatus"), kFirst);
    EXPECT_TRUE(sendData("$PFAL,Data,1*00"));
    EXPECT_FALSE(has("EVIL")) << m_rig.serverData();
    EXPECT_TRUE(has(kFirst + "\r\n$PFAL,Data,1"));
    EXPECT_NE(m_rig.log().find("ignoring malformed GPRMC sentence from evil"), std::string::npos);
    ASSERT_EQ(sim("gps " + kSecond), 0);
    EXPECT_TRUE(testenv::waitUntil([&] { return m_rig.callString("getGPSStatus") == kSecond; }));
    EXPECT_TRUE(sendData("$PFAL,Data,2*00"));
    EXPECT_TRUE(has(kSecond + "\r\n$PFAL,Data,2"));
    EXPECT_FALSE(has("111111.00"));

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

// A gate that never returns is cut off at each evaluation (at start, polled) and counts as
// closed; the daemon goes on answering the bus and stops on SIGTERM.
TEST_F(ABridge, SurvivesAPolledGateThatNeverReturns) {
    std::string document = testenv::bridgeDocumentWith({});
    const std::string wanUp = "    retval: osv.wan.active ~= nil\n";
    document.replace(document.find(wanUp), wanUp.size(),
                     "    retval: '(function() while true do end end)()'\n    poll: 0.5\n");
    m_root.write("etc/vyl/tessarc.yaml", document);
    ASSERT_TRUE(m_rig.startDaemon());
    EXPECT_TRUE(testenv::waitUntil([&] {
        return m_rig.log().find("Gate wanUp errored: instruction limit exceeded") !=
               std::string::npos;
    })) << m_rig.log();
    EXPECT_EQ(m_rig.callString("getWANStatus"), "down");
    m_rig.daemon().signal(SIGTERM);
    EXPECT_EQ(m_rig.daemon().wait(), 0);
}

} // namespace
