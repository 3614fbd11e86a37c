// How records are built and filed: counting and suppression, merge rules, table bounds, and the
// read accessors built on them.
#include <string>

#include "osv_test_util.h"

using osvtest::SegmentTest;

namespace {

constexpr unsigned kBoth = 3;

template <class TRecord> unsigned file(SOsvContent* osv, TRecord& record) {
    unsigned mask = kBoth;
    osv->update(record, mask);
    return mask;
}

template <class TRecord> TRecord at(uint64_t monotonicMs, TRecord record) {
    record.m_monTimestamp = monotonicMs;
    return record;
}

} // namespace

TEST(ARecord, StampsBothClocksAndCutsStringsToTheirFields) {
    const std::string longText(300, 'x');
    SVyl_wan_LinkStateInfo state(3, 1, longText.c_str());
    EXPECT_TRUE(state.m_valid);
    EXPECT_GT(state.m_todTimestamp, 1600000000000u);
    EXPECT_GT(state.m_monTimestamp, 0u);
    EXPECT_EQ(std::string(state.m_lsString), std::string(255, 'x'));

    SVyl_navigation_AccuracyInfo accuracy(2.5, std::string(40, 'n').c_str());
    EXPECT_EQ(std::string(accuracy.m_sourceName), std::string(31, 'n'));

    SVyl_devices_DevicePresenceInfo nothing(1, nullptr, 0, nullptr);
    EXPECT_STREQ(nothing.m_devNode, "");
    EXPECT_FALSE(SVyl_wan_ConnectionLostInfo().m_valid);
}

TEST(AFixStatusRecord, PacksItsStatusWord) {
    struct Case {
        GpsFixStatusWordAntennaFault fault;
        GpsFixStatusWordFixDimension dimension;
        GpsFixStatusWordPositionalDilutionOfPrecisionCheck pdop;
        unsigned inView, usable;
        uint32_t word;
    } cases[] = {
        {AF_Unknown, FD_Unknown, PDOP_Unknown, 63, 7, 0xFFFF},
        {No_Fault, FD_3D, PDOP_OK, 9, 5, 0x1149},
        {Short_Circuit, FD_2D, PDOP_too_high, 0, 0, 0x4400},
        {No_Fault, FD_2D, PDOP_OK, 64 + 3, 8 + 1, 0x0043}, // out-of-range counts are masked
    };
    for (const Case& c : cases) {
        SVyl_position_InternalGpsFixStatusInfo status(c.fault, c.dimension, true, c.pdop,
                                                      GpsFixStatusWordNumSatInView(c.inView),
                                                      GpsFixStatusWordNumSatUsable(c.usable));
        EXPECT_EQ(status.packedStatusWord(), c.word) << std::hex << c.word;
    }
}

TEST_F(SegmentTest, AnnouncesOnlyTheFirstPresenceAndTheLastAbsenceOfADevice) {
    struct Step {
        bool presence;
        unsigned mask;
        int count;
    } steps[] = {
        {true, kBoth, 1}, {true, 0, 2}, {false, 0, 1}, {false, kBoth, 0}, {false, kBoth, 0}};
    for (const Step& step : steps) {
        unsigned mask;
        int count;
        if (step.presence) {
            SVyl_devices_DevicePresenceInfo record(11, "ttyUSB2", 0, "modem");
            mask = file(m_osv, record);
            count = record.m_nodeCount;
        } else {
            SVyl_devices_DeviceAbsenceInfo record(11, "", 0, "modem");
            mask = file(m_osv, record);
            count = record.m_nodeCount;
            EXPECT_STREQ(record.m_devNode, "ttyUSB2"); // the recorded node
        }
        EXPECT_EQ(mask, step.mask);
        EXPECT_EQ(count, step.count);
        SOsvDeviceInfo info;
        ASSERT_TRUE(m_osv->getDeviceInfo(11, info));
        EXPECT_EQ(info.presenceAs<SVyl_devices_DevicePresenceInfo>().m_nodeCount, step.count);
        EXPECT_EQ(m_osv->isDevicePresent(11), step.count > 0);
    }
}

TEST_F(SegmentTest, ForcedAbsenceEndsAllNodesOfADevice) {
    for (int i = 0; i < 3; ++i) {
        SVyl_devices_DevicePresenceInfo record(12, "ttyS1", 0, "");
        file(m_osv, record);
    }
    SVyl_devices_DeviceForceAbsenceInfo gone(12, "", 0, "");
    EXPECT_EQ(file(m_osv, gone), kBoth);
    EXPECT_EQ(gone.m_nodeCount, 0);
    EXPECT_FALSE(m_osv->isDevicePresent(12));
}

TEST_F(SegmentTest, HoldsThirtyTwoDevicesAndFilesNothingForTheThirtyThird) {
    for (unsigned dpi = 1; dpi <= 32; ++dpi) {
        SVyl_devices_DevicePresenceInfo record(dpi, "n", 0, "");
        ASSERT_EQ(file(m_osv, record), kBoth);
    }
    SVyl_devices_DevicePresenceInfo extra(33, "n", 0, "");
    EXPECT_EQ(file(m_osv, extra), 0u); // suppressed: its absence could never be matched
    SVyl_wan_ConnectionActivatedInfo wan(1, 33);
    file(m_osv, wan);
    EXPECT_EQ(m_osv->getDpis().size(), 32u);
    EXPECT_EQ(m_osv->dpiIndex(33), -1);
    EXPECT_FALSE(m_osv->isDevicePresent(33));
    EXPECT_FALSE(m_osv->isWanDeviceActive(33));
    EXPECT_EQ(m_osv->dpiIndex(32), 31);
}

TEST_F(SegmentTest, NeverGivesDpiZeroASlot) {
    SVyl_devices_DevicePresenceInfo record(0, "n", 0, "");
    EXPECT_EQ(file(m_osv, record), kBoth);
    EXPECT_EQ(m_osv->establishDpi(0), -1);
    EXPECT_TRUE(m_osv->getDpis().empty());
}

TEST_F(SegmentTest, MergesBusPresenceWithTheRecordedOneAndDescribesIt) {
    SVyl_devices_DevicePresenceUsbInfo first(20, "ttyUSB0", 0, "", "r", "Modem", "Acme", 0x68c0,
                                             0x1199, "S123");
    EXPECT_EQ(file(m_osv, first), kBoth);
    EXPECT_STREQ(first.m_deviceDescription, "PROD=Modem,MANU=Acme,VID=1199,PID=68c0,SER=S123");
    EXPECT_EQ(first.m_nodeCount, 1);

    // A second node of the same device saying nothing new: merged and silent.
    SVyl_devices_DevicePresenceUsbInfo again(20, "", 0, "", "", "", "", 0, 0, "");
    EXPECT_EQ(file(m_osv, again), 0u);
    EXPECT_STREQ(again.m_devNode, "ttyUSB0");
    EXPECT_STREQ(again.m_serialNoString, "S123");
    EXPECT_EQ(again.m_idVendor, 0x1199u);
    EXPECT_EQ(again.m_nodeCount, 2);

    // A differing serial number is news.
    SVyl_devices_DevicePresenceUsbInfo changed(20, "", 0, "", "", "", "", 0, 0, "S999");
    EXPECT_EQ(file(m_osv, changed), kBoth);
    SOsvDeviceInfo info;
    ASSERT_TRUE(m_osv->getDeviceInfo(20, info));
    EXPECT_EQ(info.m_deviceBusType, ODBT_USB);
    EXPECT_STREQ(info.presenceAs<SVyl_devices_DevicePresenceUsbInfo>().m_serialNoString, "S999");
    EXPECT_EQ(info.presenceAs<SVyl_devices_DevicePresenceUsbInfo>().m_nodeCount, 3);

    SVyl_devices_DevicePresencePciOrCardbusInfo pci(21, "eth1", 0, "", "", "NIC", "Intel", 0x20000,
                                                    0x8086, 0x100e);
    file(m_osv, pci);
    EXPECT_STREQ(pci.m_deviceDescription, "PROD=NIC,MANU=Intel,CLS=20000,VID=8086,DID=100e");
    SVyl_devices_DevicePresencePcmciaInfo card(22, "ttyS4", 0, "", "", "Card", 0x0a, 0x0);
    file(m_osv, card);
    EXPECT_STREQ(card.m_deviceDescription, "PROD=Card,MID=a,CID=0");
    SVyl_devices_DevicePresenceNoBusInfo plain(23, "ttyS0", 0, "ignored", "");
    file(m_osv, plain);
    EXPECT_STREQ(plain.m_deviceDescription, "");
    ASSERT_TRUE(m_osv->getDeviceInfo(23, info));
    EXPECT_EQ(info.m_deviceBusType, ODBT_NO_BUS);
}

TEST_F(SegmentTest, AddressesOneNavigationSourceByTheFirstThirtyOneCharactersOfItsName) {
    const std::string name40 = std::string(31, 'g') + "ABCDEFGHI";
    const std::string other40 = std::string(31, 'g') + "zzzzzzzzz";
    SVyl_navigation_LocationFix3DInfo fix(48.1, 11.5, 520.0, name40.c_str(), 80);
    SVyl_navigation_GPSNavigationSourceStatusInfo status(other40.c_str(), "nmea", 2);
    file(m_osv, fix);
    file(m_osv, status);
    int slot = m_osv->navSourceIndex(name40.c_str());
    ASSERT_GE(slot, 0);
    EXPECT_EQ(m_osv->navSourceIndex(std::string(31, 'g').c_str()), slot);
    EXPECT_EQ(m_osv->m_navSourceOccupied, 0x8000u);
    EXPECT_EQ(m_osv->getGpsSourceNames(), std::vector<std::string>{std::string(31, 'g')});
    EXPECT_DOUBLE_EQ(double(m_osv->m_navSourceData[slot].m_location.m_altitudeMeters), 520.0);
}

TEST_F(SegmentTest, HoldsSixteenNavigationSourcesAndReusesRemovedOnes) {
    for (int k = 0; k < 16; ++k) {
        SVyl_navigation_AccuracyInfo record(1.0, ("src" + std::to_string(k)).c_str());
        file(m_osv, record);
        EXPECT_EQ(m_osv->m_navSourceData[k].m_gpsStatus.m_status, 0xFFFFu); // free word
    }
    SVyl_navigation_AccuracyInfo extra(9.0, "src16");
    file(m_osv, extra);
    EXPECT_EQ(m_osv->navSourceIndex("src16"), -1);

    m_osv->removeNavSource("src3");
    EXPECT_EQ(m_osv->navSourceIndex("src3"), -1);
    EXPECT_EQ(m_osv->m_navSourceAccuracy[3].m_accuracy.m_valid, false);
    file(m_osv, extra);
    EXPECT_EQ(m_osv->navSourceIndex("src16"), 3);
    EXPECT_DOUBLE_EQ(double(m_osv->m_navSourceAccuracy[3].m_accuracy.m_accuracyMeters), 9.0);
}

TEST_F(SegmentTest, TellsTheActiveWanDeviceByItsLatestActivationAndDeactivation) {
    unsigned dpi = 0;
    EXPECT_FALSE(m_osv->getActiveWanDpi(dpi));

    auto up5 = at(1000, SVyl_wan_ConnectionActivatedInfo(1, 5));
    auto up6 = at(2000, SVyl_wan_ConnectionActivatedInfo(1, 6));
    file(m_osv, up5);
    file(m_osv, up6);
    ASSERT_TRUE(m_osv->getActiveWanDpi(dpi));
    EXPECT_EQ(dpi, 6u); // the most recently activated

    auto down6 = at(3000, SVyl_wan_ConnectionDeactivatedInfo(6));
    file(m_osv, down6);
    ASSERT_TRUE(m_osv->getActiveWanDpi(dpi));
    EXPECT_EQ(dpi, 5u);

    auto down5 = at(4000, SVyl_wan_ConnectionDeactivatedInfo(5));
    file(m_osv, down5);
    EXPECT_FALSE(m_osv->getActiveWanDpi(dpi));
    EXPECT_FALSE(m_osv->hasActiveWan());
    auto activity = m_osv->getWanActivity();
    ASSERT_EQ(activity.size(), 2u);
    EXPECT_EQ(uint64_t(activity[0].m_activated.m_monTimestamp), 1000u);
    EXPECT_EQ(uint64_t(activity[0].m_deactivated.m_monTimestamp), 4000u);
    EXPECT_TRUE(m_osv->isDeviceWan(5));
}

TEST_F(SegmentTest, ReadsBackWanDetailsLocksAndLinkState) {
    SVyl_devices_WanDeviceDetailWifiInfo wifi("00:11:22:33:44:55", 8, "wlan0");
    file(m_osv, wifi);
    EXPECT_TRUE(m_osv->isDeviceWanWifi(8));
    EXPECT_FALSE(m_osv->isDeviceWanGsm(8));
    SOsvDeviceInfo info;
    WANLinkClassficationCodes code;
    ASSERT_TRUE(m_osv->getWanDeviceInfo(8, info, code));
    EXPECT_EQ(code, WANLinkClassficationCodes::WIFI);
    EXPECT_STREQ(info.wanDetailsAs<SVyl_devices_WanDeviceDetailWifiInfo>().m_bssid,
                 "00:11:22:33:44:55");

    auto lock = at(100, SVyl_devices_DeviceLockSuccessInfo(8, 300));
    file(m_osv, lock);
    EXPECT_TRUE(m_osv->isDeviceLocked(8));
    auto unlock = at(200, SVyl_devices_DeviceUnlockInfo(8, 300));
    file(m_osv, unlock);
    EXPECT_FALSE(m_osv->isDeviceLocked(8));

    SVyl_wan_LinkStateInfo link(8, 4, "up");
    file(m_osv, link);
    unsigned state = 0;
    std::string text;
    ASSERT_TRUE(m_osv->getWanLinkState(8, state, text));
    EXPECT_EQ(state, 4u);
    EXPECT_EQ(text, "up");
    EXPECT_EQ(m_osv->getWanDeviceClass(99), -1);
}

TEST_F(SegmentTest, FollowsAProcessThroughRegistrationRestartAndDeregistration) {
    const unsigned pid = 70001; // beyond 16 bits: must not be taken for pid 4465
    auto reg = at(100, SVyl_process_WatchdogRegistrationInfo("wand", pid));
    file(m_osv, reg);
    EXPECT_TRUE(m_osv->isRegistered(pid));
    EXPECT_TRUE(m_osv->isRunning(pid));
    EXPECT_FALSE(m_osv->isRegistered(pid & 0xFFFF));
    EXPECT_EQ(m_osv->getProcs(), std::vector<unsigned>{pid});

    auto conflict = at(150, SVyl_process_DeviceConfigConflictWarningInfo(2, pid));
    file(m_osv, conflict);
    EXPECT_TRUE(m_osv->hasConfigConflict(pid));

    auto restart = at(200, SVyl_process_DeadProcessRestartInfo("wand", pid));
    file(m_osv, restart);
    EXPECT_TRUE(m_osv->isRegistered(pid));
    EXPECT_FALSE(m_osv->isRunning(pid));
    EXPECT_FALSE(m_osv->hasConfigConflict(pid)); // reported for the earlier run

    // It comes back under a new pid, found by its name.
    auto back = at(300, SVyl_process_WatchdogRegistrationInfo("wand", 812));
    file(m_osv, back);
    EXPECT_TRUE(m_osv->isRunning(812));
    EXPECT_EQ(m_osv->procIndex(pid), -1);

    auto lock = SVyl_devices_DeviceLockSuccessInfo(4, 812);
    file(m_osv, lock);
    EXPECT_EQ(m_osv->procDpiIndex(812, 4), 0);

    auto dereg = at(400, SVyl_process_WatchdogDeregistrationInfo(812));
    file(m_osv, dereg);
    EXPECT_FALSE(m_osv->isRegistered(812));
    EXPECT_FALSE(m_osv->isRunning(812));
}

TEST_F(SegmentTest, TracksBluetoothConnectionsByDeviceAndHandle) {
    auto connected = at(10, SVyl_bluetooth_nodeConnectedInfo("AA:BB:CC:DD:EE:FF", 0x2a, 3, 0));
    file(m_osv, connected);
    EXPECT_TRUE(m_osv->isBtNodeConnectionPresent(3, 0x2a));
    std::string address;
    ASSERT_TRUE(m_osv->getBtNodeAddress(3, 0x2a, address));
    EXPECT_EQ(address, "AA:BB:CC:DD:EE:FF");
    EXPECT_EQ(m_osv->getBtDpis(), std::vector<unsigned>{3});
    EXPECT_EQ(m_osv->getBtConnHandles(3), std::vector<unsigned short>{0x2a});

    auto gone = at(20, SVyl_bluetooth_nodeDisconnectedInfo("", 0x2a, 3, 0));
    file(m_osv, gone);
    EXPECT_FALSE(m_osv->isBtNodeConnectionPresent(3, 0x2a));
    EXPECT_TRUE(m_osv->getBtConnHandles(3).empty());
}

TEST_F(SegmentTest, ReadsTheFixedPlaces) {
    EXPECT_FALSE(m_osv->getVpnConnectionStatus());
    EXPECT_EQ(m_osv->getAntennaFault(), AF_Unknown);

    SVyl_vpn_ConnectionStatusInfo up(true);
    SVyl_vpn_AddressUpdateInfo addr(0x0a000001);
    SVyl_platform_IgnitionStateReportInfo ignition(true, 90);
    SVyl_navigation_BestLocationFix3DInfo best(52.5, 13.4, 34.0);
    SVyl_position_InternalGpsFixStatusInfo fix(No_Fault, FD_3D, true, PDOP_OK,
                                               GpsFixStatusWordNumSatInView(9),
                                               GpsFixStatusWordNumSatUsable(5));
    file(m_osv, up);
    file(m_osv, addr);
    file(m_osv, ignition);
    file(m_osv, best);
    file(m_osv, fix);

    EXPECT_TRUE(m_osv->getVpnConnectionStatus());
    unsigned vpnAddr = 0;
    ASSERT_TRUE(m_osv->getVpnAddr(vpnAddr));
    EXPECT_EQ(vpnAddr, 0x0a000001u);
    EXPECT_TRUE(m_osv->isIgnitionOn());
    EXPECT_EQ(m_osv->getShutdownDelaySecsRemaining(), 90u);
    double altitude = 0;
    ASSERT_TRUE(m_osv->getAltitudeMeters(altitude));
    EXPECT_DOUBLE_EQ(altitude, 34.0);
    EXPECT_TRUE(m_osv->hasGpsFix());
    EXPECT_EQ(m_osv->getSatellitesInViewCount(), 9u);
    EXPECT_EQ(m_osv->getFixDimension(), FD_3D);

    SVyl_vpn_ConnectionStatusInfo down(false);
    file(m_osv, down);
    EXPECT_FALSE(m_osv->getVpnConnectionStatus());
}
