// The gateway's position in the server stream, and signals that do not fit their subscription
// (wrong argument types and counts, GPS texts built to break the stream's line framing), all
// survived without effect.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include "bridge_rig.h"
#include "test_env.h"

namespace {

using testenv::BridgeRig;
using testenv::SBridgeOptions;

const char* const kNav = "com.ulvaro.NavigationEvents.IExclusiveSerialGpsSource";
const std::string kFirst = "$GPRMC,080000.00,A,4807.0380,N,01131.0000,E,0.0,0.0,060126,,,A*60";
const std::string kSecond = "$GPRMC,080001.00,A,4807.0390,N,01131.0010,E,0.1,0.0,060126,,,A*61";

class ABridgePosition : public testenv::BusTest {
protected:
    void SetUp() override {
        ASSERT_EQ(BridgeRig::gatewaysim({"wan-up", "3"}), 0);
        ASSERT_TRUE(m_rig.start(SBridgeOptions()));
        m_bus = testenv::sessionConnection();
    }

    void linkUp() {
        ASSERT_TRUE(m_rig.login()) << m_rig.log();
        ASSERT_TRUE(m_rig.waitForLine("$RTRLINK,NW_CON")) << m_rig.log();
        ASSERT_TRUE(m_rig.acceptServer());
        ASSERT_TRUE(m_rig.waitForLine("$RTRLINK,SRVR_CON"));
        ASSERT_TRUE(m_rig.serverReceived("$<end>\r\n"));
    }

    // Waits until the daemon reports `sentence` as its position.
    bool positionIs(const std::string& sentence) {
        return testenv::waitUntil([&] { return m_rig.callString("getGPSStatus") == sentence; });
    }

    void emit(const char* interface, const char* member, GVariant* body) {
        ASSERT_TRUE(g_dbus_connection_emit_signal(m_bus->gobj(), nullptr, "/x", interface, member,
                                                  body, nullptr));
        g_dbus_connection_flush_sync(m_bus->gobj(), nullptr, nullptr);
    }

    BridgeRig m_rig{m_root};
    Glib::RefPtr<Gio::DBus::Connection> m_bus;
};

TEST_F(ABridgePosition, PutsTheGatewaysPositionInPlaceOfTheTerminalsAndSurvivesMalformedSignals) {
    ASSERT_EQ(BridgeRig::gatewaysim({"gps", kFirst}), 0);
    // Other sentences of the GPS service are not positions.
    ASSERT_EQ(BridgeRig::gatewaysim({"gps", "$GPGGA,080000.00,4807.038,N,01131.000,E,1,08*47"}), 0);
    ASSERT_TRUE(positionIs(kFirst));
    linkUp();
    EXPECT_NE(m_rig.serverData().find("$LastValidPosition=" + kFirst + "\r\n$IMEI="),
              std::string::npos)
        << m_rig.serverData();

    // Wrong types and counts for each subscription.
    const char* const wan = "com.ulvaro.wan.IWanStateEvents";
    emit(wan, "ConnectionActivated", g_variant_new("(s)", "x"));
    emit(wan, "ConnectionDeactivated", g_variant_new("(b)", TRUE));
    emit(wan, "ConnectionDeactivated", nullptr);
    emit("com.ulvaro.vpn.IVpnStateEvents", "ConnectionStatus", g_variant_new("(u)", 1u));
    emit(kNav, "GpsRawNMEA", g_variant_new("(s)", "$GPRMC,1*00\r\n"));
    // Texts that would break the server stream's framing or smuggle lines into it.
    const std::string injections[] = {"$GPRMC,1,A*00\r\n$EVIL,injected*00\r\n",
                                      "$GPRMC,2,A*00\n$EVIL,lf*00\r\n",
                                      "$GPRMC,3,A*00",
                                      "$GPRMC,5,A\x01*00\r\n",
                                      "$GPRMC," + std::string(300, '9') + "*00\r\n",
                                      "$GPRMC,\xc3\xa9*00\r\n"};
    for (const auto& text : injections)
        emit(kNav, "GpsRawNMEA", g_variant_new("(ss)", "evil", text.c_str()));

    // A good signal after the bad ones shows they were all handled (or dropped) by now.
    ASSERT_EQ(BridgeRig::gatewaysim({"wan-up", "3"}), 0);
    EXPECT_EQ(m_rig.nextLine(), "$RTRLINK,NW_CON") << "a malformed deactivation had an effect";
    EXPECT_EQ(m_rig.callString("getGPSStatus"), kFirst);

    m_rig.send(BridgeRig::terminalPosition() + std::string("$PFAL,Data,1*00\r\n"));
    ASSERT_TRUE(m_rig.serverReceived("$PFAL,Data,1*00\r\n"));
    EXPECT_EQ(m_rig.serverData().find("EVIL"), std::string::npos) << m_rig.serverData();
    EXPECT_NE(m_rig.serverData().find(kFirst + "\r\n$PFAL,Data,1"), std::string::npos);
    EXPECT_NE(m_rig.log().find("ignoring malformed GPRMC sentence from evil"), std::string::npos);

    ASSERT_EQ(BridgeRig::gatewaysim({"gps", kSecond}), 0);
    ASSERT_TRUE(positionIs(kSecond));
    m_rig.send(BridgeRig::terminalPosition() + std::string("$PFAL,Data,2*00\r\n"));
    ASSERT_TRUE(m_rig.serverReceived("$PFAL,Data,2*00\r\n"));
    EXPECT_NE(m_rig.serverData().find(kSecond + "\r\n$PFAL,Data,2"), std::string::npos);
    EXPECT_EQ(m_rig.serverData().find("111111.00"), std::string::npos);
}

TEST_F(ABridgePosition, WithoutAGatewayPositionDropsTheTerminalsAndEndsTheLoginLine) {
    linkUp();
    EXPECT_NE(m_rig.serverData().find("$LastValidPosition=\r\n$IMEI="), std::string::npos)
        << m_rig.serverData();
    m_rig.send(BridgeRig::terminalPosition() + std::string("$PFAL,Data,3*00\r\n"));
    ASSERT_TRUE(m_rig.serverReceived("$PFAL,Data,3*00\r\n"));
    EXPECT_EQ(m_rig.serverData().find("$GPRMC"), std::string::npos);
    EXPECT_EQ(m_rig.callString("getGPSStatus"), "");
}

} // namespace
