// How records are filed: counting and suppression, merge rules, table bounds, and the read
// accessors built on them.
#include <string>

#include "osv_test_util.h"

using osvtest::SegmentTest;

namespace {

constexpr unsigned kBoth = 3;

template <class TRecord> unsigned file(SOsvContent* osv, TRecord&& record) {
    unsigned mask = kBoth;
    osv->update(record, mask);
    return mask;
}

template <class TRecord> TRecord at(uint64_t monotonicMs, TRecord record) {
    record.m_monTimestamp = monotonicMs;
    return record;
}

} // namespace

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
        int kind; // presence, absence, forced absence
        unsigned mask;
        int count;
    } steps[] = {{0, kBoth, 1}, {0, 0, 2},     {1, 0, 1}, {1, kBoth, 0},
                 {1, kBoth, 0}, {0, kBoth, 1}, {0, 0, 2}, {2, kBoth, 0}};
    for (const Step& step : steps) {
        SVyl_devices_DevicePresenceInfo present(11, "ttyUSB2", 0, "modem");
        SVyl_devices_DeviceAbsenceInfo absent(11, "", 0, "modem");
        SVyl_devices_DeviceForceAbsenceInfo gone(11, "", 0, "");
        unsigned mask = step.kind == 0   ? file(m_osv, present)
                        : step.kind == 1 ? file(m_osv, absent)
                                         : file(m_osv, gone);
        int count = step.kind == 0   ? present.m_nodeCount
                    : step.kind == 1 ? absent.m_nodeCount
                                     : gone.m_nodeCount;
        if (step.kind == 1) {
            EXPECT_STREQ(absent.m_devNode, "ttyUSB2"); // the recorded node
        }
        EXPECT_EQ(mask, step.mask) << &step - steps;
        EXPECT_EQ(count, step.count) << &step - steps;
        EXPECT_EQ(m_osv->isDevicePresent(11), step.count > 0);
    }
}

TEST_F(SegmentTest, HoldsThirtyTwoDevicesAndFilesNothingForTheThirtyThird) {
    EXPECT_EQ(file(m_osv, SVyl_devices_DevicePresenceInfo(0, "n", 0, "")), kBoth);
    EXPECT_TRUE(m_osv->getDpis().empty()); // dpi 0 never gets a slot
    for (unsigned dpi = 1; dpi <= 32; ++dpi)
        ASSERT_EQ(file(m_osv, SVyl_devices_DevicePresenceInfo(dpi, "n", 0, "")), kBoth);
    // Suppressed: its absence could never be matched.
    EXPECT_EQ(file(m_osv, SVyl_devices_DevicePresenceInfo(33, "n", 0, "")), 0u);
    file(m_osv, SVyl_wan_ConnectionActivatedInfo(1, 33));
    EXPECT_EQ(m_osv->getDpis().size(), 32u);
    EXPECT_FALSE(m_osv->isDevicePresent(33));
    EXPECT_FALSE(m_osv->isWanDeviceActive(33));
}

TEST_F(SegmentTest, MergesBusPresenceWithTheRecordedOneAndDescribesIt) {
    SVyl_devices_DevicePresenceUsbInfo first(20, "ttyUSB0", 0, "", "r", "Modem", "Acme", 0x68c0,
                                             0x1199, "S123");
    EXPECT_EQ(file(m_osv, first), kBoth);
    EXPECT_STREQ(first.m_deviceDescription, "PROD=Modem,MANU=Acme,VID=1199,PID=68c0,SER=S123");

    // A second node of the same device saying nothing new: merged and silent.
    SVyl_devices_DevicePresenceUsbInfo again(20, "", 0, "", "", "", "", 0, 0, "");
    EXPECT_EQ(file(m_osv, again), 0u);
    EXPECT_STREQ(again.m_devNode, "ttyUSB0");
    EXPECT_STREQ(again.m_serialNoString, "S123");
    EXPECT_EQ(again.m_nodeCount, 2);

    // A differing serial number is news.
    EXPECT_EQ(
        file(m_osv, SVyl_devices_DevicePresenceUsbInfo(20, "", 0, "", "", "", "", 0, 0, "S999")),
        kBoth);
    SOsvDeviceInfo info;
    ASSERT_TRUE(m_osv->getDeviceInfo(20, info));
    EXPECT_STREQ(info.presenceAs<SVyl_devices_DevicePresenceUsbInfo>().m_serialNoString, "S999");

    SVyl_devices_DevicePresencePciOrCardbusInfo pci(21, "eth1", 0, "", "", "NIC", "Intel", 0x20000,
                                                    0x8086, 0x100e);
    file(m_osv, pci);
    EXPECT_STREQ(pci.m_deviceDescription, "PROD=NIC,MANU=Intel,CLS=20000,VID=8086,DID=100e");
}

TEST_F(SegmentTest, AddressesOneNavigationSourceByTheFirstThirtyOneCharactersOfItsName) {
    const std::string name40 = std::string(31, 'g') + "ABCDEFGHI";
    const std::string other40 = std::string(31, 'g') + "zzzzzzzzz";
    file(m_osv, SVyl_navigation_LocationFix3DInfo(48.1, 11.5, 520.0, name40.c_str(), 80));
    file(m_osv, SVyl_navigation_GPSNavigationSourceStatusInfo(other40.c_str(), "nmea", 2));
    int slot = m_osv->navSourceIndex(name40.c_str());
    ASSERT_GE(slot, 0);
    EXPECT_EQ(m_osv->m_navSourceOccupied, 0x8000u);
    EXPECT_EQ(m_osv->getGpsSourceNames(), std::vector<std::string>{std::string(31, 'g')});
    EXPECT_DOUBLE_EQ(double(m_osv->m_navSourceData[slot].m_location.m_altitudeMeters), 520.0);
}

TEST_F(SegmentTest, HoldsSixteenNavigationSourcesAndReusesRemovedOnes) {
    for (int k = 0; k < 16; ++k)
        file(m_osv, SVyl_navigation_AccuracyInfo(1.0, ("src" + std::to_string(k)).c_str()));
    SVyl_navigation_AccuracyInfo extra(9.0, "src16");
    file(m_osv, extra);
    EXPECT_EQ(m_osv->navSourceIndex("src16"), -1);

    m_osv->removeNavSource("src3");
    EXPECT_EQ(m_osv->navSourceIndex("src3"), -1);
    file(m_osv, extra);
    EXPECT_EQ(m_osv->navSourceIndex("src16"), 3);
    EXPECT_DOUBLE_EQ(double(m_osv->m_navSourceAccuracy[3].m_accuracy.m_accuracyMeters), 9.0);
}

TEST_F(SegmentTest, TellsTheActiveWanDeviceByItsLatestActivationAndKeepsItsLinkState) {
    unsigned dpi = 0;
    file(m_osv, at(1000, SVyl_wan_ConnectionActivatedInfo(1, 5)));
    file(m_osv, at(2000, SVyl_wan_ConnectionActivatedInfo(1, 6)));
    ASSERT_TRUE(m_osv->getActiveWanDpi(dpi));
    EXPECT_EQ(dpi, 6u); // the most recently activated

    file(m_osv, at(3000, SVyl_wan_ConnectionDeactivatedInfo(6)));
    ASSERT_TRUE(m_osv->getActiveWanDpi(dpi));
    EXPECT_EQ(dpi, 5u);

    file(m_osv, at(4000, SVyl_wan_ConnectionDeactivatedInfo(5)));
    EXPECT_FALSE(m_osv->hasActiveWan());

    file(m_osv, SVyl_wan_LinkStateInfo(5, 4, std::string(300, 'x').c_str()));
    unsigned state = 0;
    std::string text;
    ASSERT_TRUE(m_osv->getWanLinkState(5, state, text));
    EXPECT_EQ(state, 4u);
    EXPECT_EQ(text, std::string(255, 'x')); // cut to its field
}

TEST_F(SegmentTest, FollowsAProcessThroughRegistrationRestartAndDeregistration) {
    const unsigned pid = 70001; // beyond 16 bits: must not be taken for pid 4465
    file(m_osv, at(100, SVyl_process_WatchdogRegistrationInfo("wand", pid)));
    EXPECT_TRUE(m_osv->isRunning(pid));
    EXPECT_FALSE(m_osv->isRegistered(pid & 0xFFFF));

    file(m_osv, at(150, SVyl_process_DeviceConfigConflictWarningInfo(2, pid)));
    EXPECT_TRUE(m_osv->hasConfigConflict(pid));
    file(m_osv, at(200, SVyl_process_DeadProcessRestartInfo("wand", pid)));
    EXPECT_TRUE(m_osv->isRegistered(pid));
    EXPECT_FALSE(m_osv->isRunning(pid));
    EXPECT_FALSE(m_osv->hasConfigConflict(pid)); // reported for the earlier run

    // It comes back under a new pid, found by its name.
    file(m_osv, at(300, SVyl_process_WatchdogRegistrationInfo("wand", 812)));
    EXPECT_TRUE(m_osv->isRunning(812));
    EXPECT_EQ(m_osv->procIndex(pid), -1);
    file(m_osv, at(400, SVyl_process_WatchdogDeregistrationInfo(812)));
    EXPECT_FALSE(m_osv->isRegistered(812));
}

TEST_F(SegmentTest, TracksBluetoothConnectionsByDeviceAndHandle) {
    file(m_osv, at(10, SVyl_bluetooth_nodeConnectedInfo("AA:BB:CC:DD:EE:FF", 0x2a, 3, 0)));
    std::string address;
    ASSERT_TRUE(m_osv->getBtNodeAddress(3, 0x2a, address));
    EXPECT_EQ(address, "AA:BB:CC:DD:EE:FF");
    EXPECT_FALSE(m_osv->isBtNodeConnectionPresent(3, 0x2b));
    file(m_osv, at(20, SVyl_bluetooth_nodeDisconnectedInfo("", 0x2a, 3, 0)));
    EXPECT_FALSE(m_osv->isBtNodeConnectionPresent(3, 0x2a));
}
