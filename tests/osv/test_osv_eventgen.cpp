// The event generator on a private bus: every operation's signal as a subscribed client sees
// it, its stored event as read back from the SQLite file, and the content segment afterwards;
// then a generator without its store or segment, called from several threads.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <thread>

#include <signal.h>

#include <gtest/gtest.h>

#include "osv_eventgen.h"
#include "platform_events.h"

namespace {

// A signal of the interface "com.ulvaro." + `group` as SignalLog shows it; the object path is the
// interface with "/" for ".".
std::string sig(std::string group, const std::string& member, const std::string& rest) {
    std::string path = "/com/ulvaro/" + group;
    std::replace(path.begin(), path.end(), '.', '/');
    return path + " com.ulvaro." + group + "." + member + " " + rest;
}
const char* const kWan = "wan.IWanStateEvents";
const char* const kDev = "devices.IDeviceEvents";
const char* const kProc = "watchdog.IProcessEvents";
const char* const kBt = "btservice.IPiconetEvents";
const char* const kGps = "navigation.IInternalGps";
const char* const kNav = "navigation.NavigationEvents";
const char* const kVpn = "vpn.IVpnStateEvents";
const char* const kPlatform = "watchdog.IPlatformEvents";

class AnEventGenerator : public testenv::BusTest {};

// How often this process maps the content segment.
int segmentMappings() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find("/dev/shm" + osvSegmentName()) != std::string::npos;
    return count;
}

TEST_F(AnEventGenerator, FilesBroadcastsAndStoresEveryOperation) {
    const std::string cut(300, 'x');
    std::string accented;
    for (int i = 0; i < 150; ++i)
        accented += "\xc3\xa9"; // é
    // Cut at 255 bytes: 127 whole characters and half of the next, which is replaced.
    const std::string repaired = accented.substr(0, 254) + "\xef\xbf\xbd";
    testenv::SignalLog signals;
    SOsvContent* osv = getOsvPointer();
    ASSERT_NE(osv, nullptr);
    SOsvContent& o = *osv;
    std::vector<std::string> expectedEvents;
    // After each call: the signals it sent (one sent by mistake shows up in the next call's
    // share), the event it stored ("messageId severity param0 param1 text", "" for none) and
    // what the segment shows.
    int call = 0;
    auto then = [&](const std::vector<std::string>& sent, const std::string& stored = "",
                    bool filed = true) {
        ++call;
        EXPECT_EQ(signals.take(sent.size()), sent) << "call " << call;
        EXPECT_TRUE(filed) << "call " << call;
        if (!stored.empty())
            expectedEvents.push_back(stored);
    };
    unsigned number = 0;
    double real = 0;
    std::string text;
    SOsvDeviceInfo info;
    {
        CVylEventGenerator g(true, true, false);
        // WAN
        g.wan_ConnectionEstablished(3, 7, DSEV_ARCHIVE);
        then({sig(kWan, "ConnectionEstablished", "(uu) (3, 7)")}, "512 0 7 0 ",
             o.isWanDeviceConnected(7));
        g.wan_ConnectionActivated(0, 7, DSEV_NORMAL);
        then({sig(kWan, "ConnectionActivated", "(uu) (0, 7)")}, "514 0 7 0 ",
             o.isWanDeviceActive(7));
        g.wan_ConnectionDeactivated(7, DSEV_NORMAL);
        then({sig(kWan, "ConnectionDeactivated", "(u) (7,)")}, "515 0 7 0 ",
             !o.isWanDeviceActive(7));
        g.wan_ConnectionLost(7, DSEV_NORMAL);
        then({sig(kWan, "ConnectionLost", "(u) (7,)")}, "513 0 7 0 ", !o.isWanDeviceConnected(7));
        g.wan_ConnectionIPv4Address(0x0A000001, 7, "10.0.0.1", DSEV_NORMAL);
        then({sig(kWan, "ConnectionIPv4Address", "(us) (7, '10.0.0.1')")}, "516 0 7 167772161 ",
             o.getWanIpv4Address(7, number, text) && number == 0x0A000001 && text == "10.0.0.1");
        g.wan_WirelessSignalStrength(-71.5, 7, 12.25, DSEV_CRITICAL);
        then({sig(kWan, "WirelessSignalStrength", "(dud) (-71.5, 7, 12.25)")},
             "517 2 7 0 dBm=-71.5,SNR=12.25", o.getWanSignalStrength(7, real) && real == -71.5);
        g.wan_WirelessSignalStrength(-100.123456, 7, 0.1, DSEV_NORMAL);
        then({sig(kWan, "WirelessSignalStrength", "(dud) (-100.123456, 7, 0.10000000000000001)")},
             "517 2 7 0 dBm=-100.123,SNR=0.1");
        g.wan_LinkState(7, 2, accented.c_str(), DSEV_CRITICAL);
        then({sig(kWan, "LinkState", "(uus) (7, 2, '" + repaired + "')")}, "518 2 7 2 ",
             o.getWanLinkState(7, number, text) && number == 2 && text.size() == 255);
        g.wan_DeadGatewayDetect(7, DSEV_NORMAL);
        then({sig(kWan, "DeadGatewayDetect", "(u) (7,)")}, "519 1 7 0 ",
             o.getDeviceInfo(7, info) && info.m_wanDeadGateway.m_valid);
        // processes
        g.process_WatchdogRegistration("modemd", 4242, DSEV_ARCHIVE);
        then({sig(kProc, "WatchdogRegistration", "(us) (4242, 'modemd')")}, "276 4 4242 0 modemd",
             o.isRegistered(4242) && o.getProcs() == std::vector<unsigned>{4242});
        g.process_DeviceConfigConflictWarning(2, 4242, DSEV_NORMAL);
        then({sig(kDev, "DeviceConfigConflictWarning", "(uu) (2, 4242)")}, "287 1 4242 2 ",
             o.m_procInfoList[o.procIndex(4242u)].m_deviceConfictWarning.m_matchCount == 2);
        g.process_WatchdogDeregistration(4242, DSEV_DISCARDABLE);
        then({sig(kProc, "WatchdogDeregistration", "(u) (4242,)")}, "277 3 4242 0 ",
             !o.isRegistered(4242));
        g.process_DeadProcessRestart(cut.c_str(), 4243, DSEV_NORMAL);
        then({sig(kProc, "DeadProcessRestart", "(us) (4243, '" + cut.substr(0, 255) + "')")},
             "275 1 4243 0 " + cut);
        // devices: a second presence and all but the last absence are the segment's alone
        g.devices_DevicePresence("ttyUSB0", "modem", 9, DSEV_NORMAL);
        then({sig(kDev, "DevicePresence", "(su) ('ttyUSB0', 9)")}, "267 0 9 0 modem",
             o.getDeviceNode(9) == "ttyUSB0");
        g.devices_DevicePresence("ttyUSB1", "modem", 9, DSEV_NORMAL);
        then({}, "", o.isDevicePresent(9));
        g.devices_DeviceAbsence("ttyUSB1", "gone", 9, DSEV_NORMAL);
        then({}, "", o.isDevicePresent(9));
        g.devices_DeviceAbsence("other", "gone", 9, DSEV_NORMAL);
        then({sig(kDev, "DeviceAbsence", "(su) ('ttyUSB0', 9)")}, "268 0 9 0 gone",
             !o.isDevicePresent(9));
        g.devices_DeviceForceAbsence("ttyUSB5", "pulled", 10, DSEV_NORMAL);
        then({sig(kDev, "DeviceForceAbsence", "(su) ('ttyUSB5', 10)")}, "268 0 10 0 pulled");
        g.devices_WanDeviceDetailGsm(11, "Modem", "8988", "3566", "", "+4912", DSEV_NORMAL);
        then({sig(kDev, "WanDeviceDetailGsm",
                  "(usssss) (11, 'Modem', '', '3566', '8988', '+4912')")},
             "524 0 11 1 friendlyName=Modem,IMEI=3566,ICCID=8988,MSISDN=+4912",
             o.isDeviceWanGsm(11));
        g.devices_WanDeviceDetailCdma(12, "E", "C", "I", "M", "S", "D", DSEV_NORMAL);
        then({sig(kDev, "WanDeviceDetailCdma", "(ussssss) (12, 'C', 'S', 'M', 'I', 'E', 'D')")},
             "524 0 12 2 friendlyName=C,IMSI=S,IMEI=M,ICCID=I,ESN=E,MEID=D", o.isDeviceWanCdma(12));
        g.devices_WanDeviceDetailWifi("00:11", 13, nullptr, DSEV_NORMAL);
        then({sig(kDev, "WanDeviceDetailWifi", "(uss) (13, '', '00:11')")},
             "524 0 13 3 friendlyName=,BSSID=00:11", o.isDeviceWanWifi(13));
        g.devices_WanDeviceDetailWimax(14, "W", DSEV_NORMAL);
        then({sig(kDev, "WanDeviceDetailWimax", "(us) (14, 'W')")}, "524 0 14 4 friendlyName=W",
             o.isDeviceWanWimax(14));
        g.devices_WanDeviceDetailEthernet(15, "E", DSEV_NORMAL);
        then({sig(kDev, "WanDeviceDetailEthernet", "(us) (15, 'E')")}, "524 0 15 5 friendlyName=E",
             o.isDeviceWanEthernet(15));
        g.devices_WanDeviceDetailUnknown(16, "U", DSEV_NORMAL);
        then({sig(kDev, "WanDeviceDetailUnknown", "(us) (16, 'U')")}, "524 0 16 0 friendlyName=U",
             o.isDeviceWanUnknown(16));
        g.devices_DeviceLockSuccess(17, 4242, DSEV_CRITICAL);
        then({sig(kDev, "DeviceLockSuccess", "(uu) (17, 4242)")}, "284 2 17 4242 ",
             o.isDeviceLocked(17));
        g.devices_DeviceLockFail(17, 4243, DSEV_CRITICAL);
        then({sig(kDev, "DeviceLockFail", "(uu) (17, 4243)")}, "285 2 17 4243 ",
             o.isDeviceLocked(17));
        g.devices_DeviceUnlock(17, 4242, DSEV_CRITICAL);
        then({sig(kDev, "DeviceUnlock", "(uu) (17, 4242)")}, "286 2 17 4242 ",
             !o.isDeviceLocked(17));
        g.devices_DevicePresenceNoBus("ttyS3", 18, "r", DSEV_NORMAL);
        then({sig(kDev, "DevicePresence", "(su) ('ttyS3', 18)"),
              sig(kDev, "DevicePresenceNoBus", "(us) (18, 'r')")},
             "267 0 18 0 ", o.isDevicePresent(18));
        g.devices_DevicePresenceUsb("ttyACM0", "r", "Prod", "Manu", "S1", 19, 0x2008, 0x557,
                                    DSEV_NORMAL);
        then({sig(kDev, "DevicePresence", "(su) ('ttyACM0', 19)"),
              sig(kDev, "DevicePresenceUsb",
                  "(ussuuss) (19, 'Prod', 'Manu', 8200, 1367, 'S1', 'r')")},
             "267 0 19 0 PROD=Prod,MANU=Manu,VID=557,PID=2008,SER=S1");
        g.devices_DevicePresencePciOrCardbus("eth1", "r", "P", "M", 20, 2, 0x8086, 0x10d3,
                                             DSEV_NORMAL);
        then({sig(kDev, "DevicePresence", "(su) ('eth1', 20)"),
              sig(kDev, "DevicePresencePciOrCardbus",
                  "(ussuuus) (20, 'P', 'M', 2, 32902, 4307, 'r')")},
             "267 0 20 0 PROD=P,MANU=M,CLS=2,VID=8086,DID=10d3");
        g.devices_DevicePresencePcmcia(0x1234, "pc0", 21, "r", 0x56, "Card", {});
        then({sig(kDev, "DevicePresence", "(su) ('pc0', 21)"),
              sig(kDev, "DevicePresencePcmcia", "(usuus) (21, 'Card', 86, 4660, 'r')")},
             "267 0 21 0 PROD=Card,MID=56,CID=1234");
        g.devices_SDKModemIndex(11, 2);
        then({sig(kDev, "SDKModemIndex", "(uu) (11, 2)")}, "",
             o.getDeviceSDKModemIndex(11, number) && number == 2);
        // Bluetooth, platform, internal GPS, VPN
        g.bluetooth_nodeConnected("AA:BB", 5, 22, 1, DSEV_NORMAL);
        then({sig(kBt, "nodeConnected", "(uuqs) (1, 22, 5, 'AA:BB')")}, "288 1 22 5 AA:BB",
             o.getBtDpis() == std::vector<unsigned>{22} &&
                 o.getBtConnHandles(22) == std::vector<unsigned short>{5});
        g.bluetooth_nodeDisconnected("AA:BB", 5, 22, 1, DSEV_NORMAL);
        then({sig(kBt, "nodeDisconnected", "(usuq) (1, 'AA:BB', 22, 5)")}, "289 1 22 5 ",
             !o.isBtNodeConnectionPresent(22, 5));
        g.platform_IgnitionStateReport(true, 30, DSEV_NORMAL);
        then({sig(kPlatform, "IgnitionStateReport", "(bu) (true, 30)")}, "775 0 1 30 ",
             o.isIgnitionOn() && o.getShutdownDelaySecsRemaining() == 30);
        g.position_InternalGpsLocation(45.5, -73.25, DSEV_HIGH);
        then({sig(kGps, "InternalGpsLocation", "(dd) (45.5, -73.25)")},
             "772 1 381681664 " + std::to_string(uint32_t(-614465536)) + " ",
             o.m_locationInfo.m_internalLocation.m_lat == 45.5);
        // Out of range from exactly 256 degrees up; truncated toward zero down to the lowest
        // value, half a step below -256.
        g.position_InternalGpsLocation(NAN, 256.0, DSEV_NORMAL);
        then({sig(kGps, "InternalGpsLocation", "(dd) (nan, 256.0)")}, "772 2 0 0 ");
        g.position_InternalGpsLocation(-256.0 - 1.0 / 16777216, -1e-7, DSEV_NORMAL);
        then({sig(kGps, "InternalGpsLocation",
                  "(dd) (-256.00000005960464, -9.9999999999999995e-08)")},
             "772 2 2147483648 0 ");
        g.position_InternalGpsSpeed(55, DSEV_NORMAL);
        then({sig(kGps, "InternalGpsSpeed", "(u) (55,)")}, "773 2 55 0 ");
        g.position_InternalGpsFixStatus(No_Fault, FD_3D, true, PDOP_OK,
                                        GpsFixStatusWordNumSatInView(9),
                                        GpsFixStatusWordNumSatUsable(5), DSEV_CRITICAL);
        then({sig(kGps, "InternalGpsFixStatus", "(uubuuu) (0, 1, true, 0, 9, 5)")}, "774 0 1 4425 ",
             o.hasGpsFix() && o.getSatellitesUsableCount() == 5);
        g.position_InternalGpsFixStatus(GpsFixStatusWordAntennaFault(2), FD_3D, false,
                                        GpsFixStatusWordPositionalDilutionOfPrecisionCheck(3),
                                        GpsFixStatusWordNumSatInView(9),
                                        GpsFixStatusWordNumSatUsable(5), DSEV_NORMAL);
        then({sig(kGps, "InternalGpsFixStatus", "(uubuuu) (2, 1, false, 3, 9, 5)")},
             "774 2 0 54601 ", !o.hasGpsFix());
        g.position_InternalGpsAccuracy(1.5f, DSEV_DISCARDABLE);
        then({sig(kGps, "InternalGpsAccuracy", "(d) (1.5,)")}, "783 3 1069547520 0 ");
        g.position_InternalGpsSBAS(1, 2, DSEV_NORMAL);
        then({sig(kGps, "InternalGpsSBAS", "(uu) (1, 2)")}, "782 2 1 2 ");
        g.vpn_AddressUpdate(0xC0A80001, DSEV_NORMAL);
        then({sig(kVpn, "AddressUpdate", "(u) (3232235521,)")}, "264 0 3232235521 0 ",
             o.getVpnAddr(number) && number == 0xC0A80001);
        g.vpn_ConnectionStatus(true, DSEV_NORMAL);
        then({sig(kVpn, "ConnectionStatus", "(b) (true,)")}, "263 0 1 0 ",
             o.getVpnConnectionStatus());
        // navigation: never stored
        g.navigation_LocationFix3D(1.5, 2.5, 3.5, "src", 4);
        then({sig(kNav, "LocationFix3D", "(dddsu) (1.5, 2.5, 3.5, 'src', 4)")}, "",
             o.navSourceIndex("src") >= 0);
        g.navigation_SpeedHeading2D(10.0, 90.0, "src", 5);
        then({sig(kNav, "SpeedHeading2D", "(ddsu) (10.0, 90.0, 'src', 5)")});
        g.navigation_SBASStatus(1, 0, "src");
        then({sig(kNav, "SBASStatus", "(uus) (1, 0, 'src')")});
        g.navigation_BestNavigationSBAS(3, 1);
        then({sig(kNav, "BestNavigationSBAS", "(uu) (3, 1)")});
        g.navigation_Accuracy(2.25, "src");
        then({sig(kNav, "Accuracy", "(ds) (2.25, 'src')")});
        g.navigation_BestAccuracy(0.5);
        then({sig(kNav, "BestAccuracy", "(d) (0.5,)")});
        g.navigation_NavigationSourceStatus("src", 7, "ok");
        then({sig(kNav, "NavigationSourceStatus", "(sus) ('src', 7, 'ok')")});
        g.navigation_GPSNavigationSourceStatus("gps0", "nmea", 1);
        then({sig(kNav, "GPSNavigationSourceStatus", "(ssu) ('gps0', 'nmea', 1)")}, "",
             o.getFirstGpsSourceName(text) && text == "gps0");
        g.navigation_BestLocationFix3D(1.0, 2.0, 3.0);
        then({sig(kNav, "BestLocationFix3D", "(ddd) (1.0, 2.0, 3.0)")}, "",
             o.getLatitude(real) && real == 1.0);
        g.navigation_BestSpeedHeading2D(4.0, 5.0);
        then({sig(kNav, "BestSpeedHeading2D", "(dd) (4.0, 5.0)")}, "",
             o.getHeading(real) && real == 5.0);
        // Once for this test, once for the generator, however many happenings it filed.
        EXPECT_EQ(segmentMappings(), 2);
    }
    releaseOsvPointer(osv);
    // The generator is gone, so its source has written everything it queued.
    EXPECT_EQ(testenv::storedEvents(m_root / "var/lib/dels/dels.db"), expectedEvents);
}

TEST_F(AnEventGenerator, WithoutItsStoreOrSegmentKeepsBroadcastingFromSeveralThreads) {
    testenv::SignalLog signals;
    {
        // Made before the settings it is to follow: it opens nothing until first used.
        CVylEventGenerator generator(true, true, true);
        m_root.write("var/lib/dels", "a file where the database folder should be");
        const auto oldName = testenv::swapEnv("VYL_OSV_NAME", std::string("/no/such/segment"));
        std::vector<std::thread> callers;
        for (unsigned t = 0; t < 4; ++t)
            callers.emplace_back([&generator, t] {
                for (unsigned i = 0; i < 50; ++i)
                    generator.wan_ConnectionLost(t * 100 + i, DSEV_NORMAL);
            });
        for (auto& caller : callers)
            caller.join();
        EXPECT_EQ(signals.take(200).size(), 200u);

        // The bus going away leaves the process running.
        GDBusConnection* shared = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_NE(shared, nullptr);
        ASSERT_EQ(::kill(m_bus.pid(), SIGKILL), 0);
        EXPECT_TRUE(testenv::waitUntil([shared] {
            g_main_context_iteration(nullptr, FALSE);
            return g_dbus_connection_is_closed(shared);
        }));
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_object_unref(shared);
        generator.wan_ConnectionLost(1, DSEV_NORMAL);
        testenv::swapEnv("VYL_OSV_NAME", oldName);
    }
    SOsvContent* osv = getOsvPointer();
    ASSERT_NE(osv, nullptr);
    EXPECT_TRUE(osv->getDpis().empty());
    releaseOsvPointer(osv);
}

} // namespace
