// The daemon and the gateway simulator meeting through the platform's events: the daemon's lock,
// lock-failure and unlock events on the bus and in the event database, and WAN happenings of the
// simulator reaching the daemon's gate through the content segment and its monitor through the
// signal.
#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "bridge_rig.h"
#include "platform_events.h"
#include "vyl_devlock.h"

namespace {

using testenv::BridgeRig;

class PlatformEvents : public testenv::BusTest {
protected:
    bool stored(const std::string& event) {
        return testenv::waitUntil([&] {
            for (const std::string& row : testenv::storedEvents(m_root / "var/lib/dels/dels.db"))
                if (row == event)
                    return true;
            return false;
        });
    }

    BridgeRig m_rig{m_root};
};

TEST_F(PlatformEvents, ReachTheDaemonAndComeFromItsDeviceLocks) {
    const std::string ttyS0 = std::to_string(0x01000000);
    // The network is up before the daemon starts: only the segment can tell its gate.
    ASSERT_EQ(BridgeRig::gatewaysim({"wan-up", "7"}), 0);
    // Another live process (the bus daemon) holds the terminal's port.
    const std::string lock = vyl::devLockPath((m_root / "dev/ttyS0").c_str());
    std::ofstream(lock) << m_bus.pid() << "\n";
    testenv::SignalLog signals;
    ASSERT_TRUE(m_rig.start());
    const std::string pid = std::to_string(m_rig.daemon().pid());
    const std::string device = ttyS0 + ", " + pid;
    EXPECT_EQ(m_rig.callString("getWANStatus"), "up");

    EXPECT_TRUE(stored("285 2 " + ttyS0 + " " + pid + " "));
    EXPECT_TRUE(signals.waitFor("IDeviceEvents.DeviceLockFail (uu) (" + device + ")"));
    ::unlink(lock.c_str());
    EXPECT_TRUE(stored("284 2 " + ttyS0 + " " + pid + " "));
    EXPECT_TRUE(signals.waitFor("IDeviceEvents.DeviceLockSuccess (uu) (" + device + ")"));
    ASSERT_TRUE(m_rig.waitForStatus("QUARN serial link is down."));

    // The port going away: the daemon releases it.
    ASSERT_EQ(BridgeRig::gatewaysim({"device-absent", "ttyS0", ttyS0}), 0);
    EXPECT_TRUE(stored("286 2 " + ttyS0 + " " + pid + " "));
    EXPECT_TRUE(signals.waitFor("IDeviceEvents.DeviceUnlock (uu) (" + device + ")"));

    // The monitor follows the signal.
    ASSERT_EQ(BridgeRig::gatewaysim({"wan", "ConnectionDeactivated", "dpi=7"}), 0);
    EXPECT_TRUE(testenv::waitUntil([&] { return m_rig.callString("getWANStatus") == "down"; }));
    EXPECT_TRUE(stored("514 0 7 0 "));
    EXPECT_TRUE(stored("515 0 7 0 "));
    EXPECT_TRUE(stored("268 0 " + ttyS0 + " 0 "));
    // Bad input to the simulator is refused (2) before anything is announced; a simulator
    // without the segment announces but fails (1).
    signals.take(0);
    for (const char* refused :
         {"wan ConnectionLost dpi=seven", "wan ConnectionLost colour=7",
          "wan ConnectionLost dpi=-18446744073709551615", "wan ConnectionLost dpi=8 severity=15",
          "wan WirelessSignalStrength dbm=", "vpn ConnectionStatus up=maybe",
          "bluetooth nodeConnected connHandle=65536", "wan NoSuchOperation", "wan-up",
          "wan-up 7 8"})
        EXPECT_EQ(BridgeRig::gatewaysim(testenv::words(refused)), 2) << refused;
    EXPECT_EQ(BridgeRig::gatewaysim(testenv::words("bluetooth nodeConnected connHandle=65535")), 0);
    const auto segment = testenv::swapEnv("VYL_OSV_NAME", std::string("/no/such/segment"));
    EXPECT_EQ(BridgeRig::gatewaysim({"wan", "DeadGatewayDetect", "dpi=9"}), 1);
    testenv::swapEnv("VYL_OSV_NAME", segment);
    EXPECT_EQ(BridgeRig::gatewaysim({"wan", "ConnectionLost", "dpi=8"}), 0);
    ASSERT_TRUE(signals.waitFor("ConnectionLost (u) (8,)"));
    auto seen = signals.take(0);
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& s) {
                                return s.find("ConnectionLost") != std::string::npos;
                            }),
              1);
    // Its generator's bus, store and segment all in use, the daemon still ends cleanly.
    m_rig.daemon().signal(SIGTERM);
    EXPECT_EQ(m_rig.daemon().wait(), 0) << m_rig.daemon().output();
}

} // namespace
