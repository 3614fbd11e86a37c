// The content segment: mapping, the cross-process lock, and how records are filed.
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "osv.h"
#include "test_env.h"

namespace {

// Files `record` and returns what is left of the broadcast and store bits.
template <class TRecord> unsigned file(SOsvContent* osv, TRecord&& record) {
    unsigned mask = 3;
    osv->update(record, mask);
    return mask;
}

template <class TRecord> TRecord at(uint64_t monotonicMs, TRecord record) {
    record.m_monTimestamp = monotonicMs;
    return record;
}

SVyl_devices_DevicePresenceInfo presence(unsigned dpi) {
    return SVyl_devices_DevicePresenceInfo(dpi, "ttyUSB0", 0, "modem");
}

class SegmentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(m_osv = getOsvPointer(), nullptr); }

    void TearDown() override { releaseOsvPointer(m_osv); }

    testenv::TempRoot m_root;
    SOsvContent* m_osv = nullptr;
};

TEST(AContentSegment, IsCreatedWorldReadableUnderItsNameWithoutTouchingTheUmaskAndResetWhenStale) {
    testenv::TempRoot root;
    const mode_t before = ::umask(022);
    SOsvContent* osv = getOsvPointer();
    const mode_t after = ::umask(before);
    ASSERT_NE(osv, nullptr);
    EXPECT_EQ(after, 022u);
    EXPECT_TRUE(osv->lock() && osv->lock()); // recursive
    osv->unlock(), osv->unlock();
    // Laid out by another version, its contents mean nothing when mapped again.
    file(osv, presence(42));
    osv->m_osvVersion = 7;
    releaseOsvPointer(osv);
    ASSERT_NE(osv = getOsvPointer(), nullptr);
    EXPECT_TRUE(osv->m_osvVersion == 8u && osv->getDpis().empty());
    releaseOsvPointer(osv);

    const std::string name = osvSegmentName();
    EXPECT_EQ(name, std::string(::getenv("VYL_OSV_NAME")));
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    struct stat st = {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_TRUE((st.st_mode & 0777) == 0666u && st.st_size == 1048576);

    ::setenv("VYL_OSV_NAME", "/no/such/dir", 1);
    EXPECT_EQ(getOsvPointer(), nullptr);
    ::setenv("VYL_OSV_NAME", "", 1);
    EXPECT_EQ(osvSegmentName(), "/vylosv");
    ::setenv("VYL_OSV_NAME", name.c_str(), 1); // for the root's clean-up
}

TEST_F(SegmentTest, SerialisesFilersInOtherProcessesThatFindTheSegmentAsItWas) {
    constexpr int kEach = 50000;
    file(m_osv, presence(42));
    // Both filers start together, released by the closing of the pipe.
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    auto filer = [&start] {
        ::close(start[1]);
        char byte;
        SOsvContent* osv = ::read(start[0], &byte, 1) == 0 ? getOsvPointer() : nullptr;
        if (!osv || !osv->isDevicePresent(42))
            return 1; // not mapped, or the segment this process found was wiped
        for (int i = 0; i < kEach; ++i)
            file(osv, presence(9));
        releaseOsvPointer(osv);
        return 0;
    };
    const pid_t first = testenv::forkChild(filer), second = testenv::forkChild(filer);
    ::close(start[0]);
    ::close(start[1]);
    ASSERT_EQ(testenv::childStatus(first, std::chrono::seconds(60)), 0);
    ASSERT_EQ(testenv::childStatus(second, std::chrono::seconds(60)), 0);

    SOsvDeviceInfo info;
    ASSERT_TRUE(m_osv->getDeviceInfo(9, info));
    EXPECT_EQ(info.presenceAs<SVyl_devices_DevicePresenceInfo>().m_nodeCount, 2 * kEach);
}

// A local user sitting on the lock: reads answer "no record" and filings are skipped after a
// bounded wait, instead of hanging the reader. Once the holder dies, the lock is taken over.
TEST_F(SegmentTest, GivesUpWhileAnotherProcessSitsOnTheLockAndRecoversItWhenTheHolderDies) {
    file(m_osv, SVyl_wan_ConnectionActivatedInfo(1, 5));
    int held[2], release[2];
    ASSERT_TRUE(::pipe(held) == 0 && ::pipe(release) == 0);
    const pid_t sitter = testenv::forkChild([&] {
        ::close(release[1]);
        SOsvContent* osv = getOsvPointer();
        char byte = 0;
        if (!osv || !osv->lock() || ::write(held[1], &byte, 1) != 1)
            return 1;
        return ::read(release[0], &byte, 1) == 0 ? 0 : 2; // dies holding the lock
    });
    ::close(release[0]);
    char byte;
    ASSERT_EQ(::read(held[0], &byte, 1), 1);
    SOsvContent::setLockWaitMilliseconds(100);
    EXPECT_FALSE(m_osv->isWanDeviceActive(5));
    file(m_osv, presence(7));
    SOsvContent::setLockWaitMilliseconds(2000);
    ::close(release[1]);
    EXPECT_EQ(testenv::childStatus(sitter), 0);
    ::close(held[0]), ::close(held[1]);
    EXPECT_TRUE(m_osv->isWanDeviceActive(5));
    EXPECT_FALSE(m_osv->isDevicePresent(7)) << "filed without the lock";
    file(m_osv, presence(7));
    EXPECT_TRUE(m_osv->isDevicePresent(7)) << "the lock is usable again";
}

// The segment is readable by everyone: no stack bytes go into it with a record.
TEST_F(SegmentTest, FilesRecordsWithTheirPaddingCleared) {
    alignas(8) unsigned char raw[sizeof(SVyl_wan_ConnectionActivatedInfo)];
    std::memset(raw, 0xAA, sizeof raw);
    file(m_osv, *new (raw) SVyl_wan_ConnectionActivatedInfo(1, 8));
    ASSERT_GE(m_osv->dpiIndex(8), 0);
    const auto* stored = reinterpret_cast<const unsigned char*>(
        &m_osv->m_deviceInfoList[m_osv->dpiIndex(8)].m_wanActivated);
    EXPECT_EQ(stored[17] | stored[18] | stored[19], 0); // between m_valid and m_cost
}

TEST(AFixStatusRecord, PacksItsStatusWord) {
    auto word = [](GpsFixStatusWordAntennaFault fault, GpsFixStatusWordFixDimension dimension,
                   GpsFixStatusWordPositionalDilutionOfPrecisionCheck pdop, unsigned inView,
                   unsigned usable) {
        return SVyl_position_InternalGpsFixStatusInfo(fault, dimension, true, pdop,
                                                      GpsFixStatusWordNumSatInView(inView),
                                                      GpsFixStatusWordNumSatUsable(usable))
            .packedStatusWord();
    };
    EXPECT_EQ(0xFFFFu, word(AF_Unknown, FD_Unknown, PDOP_Unknown, 63, 7));
    EXPECT_EQ(0x0043u, word(No_Fault, FD_2D, PDOP_OK, 64 + 3, 8 + 1)); // counts are masked
}

TEST_F(SegmentTest, AnnouncesOnlyTheFirstPresenceAndTheLastAbsenceOfADevice) {
    const SVyl_devices_DevicePresenceInfo present(11, "ttyUSB2", 0, "modem");
    const SVyl_devices_DeviceAbsenceInfo absent(11, "", 0, "modem");
    const SVyl_devices_DeviceForceAbsenceInfo gone(11, "", 0, "");
    // Files a copy: the mask left and the node count after; absences report the recorded node.
    int step = 0;
    auto expect = [&](auto record, unsigned mask, int count) {
        EXPECT_EQ(file(m_osv, record), mask) << ++step;
        EXPECT_EQ(record.m_nodeCount, count) << step;
        EXPECT_STREQ(record.m_devNode, "ttyUSB2") << step;
        EXPECT_EQ(m_osv->isDevicePresent(11), count > 0) << step;
    };
    expect(present, 3, 1);
    expect(present, 0, 2);
    expect(absent, 0, 1);
    expect(absent, 3, 0);
    expect(absent, 3, 0);
    expect(present, 3, 1);
    expect(present, 0, 2);
    expect(gone, 3, 0);
}

TEST_F(SegmentTest, HoldsThirtyTwoDevicesAndFilesNothingForTheThirtyThird) {
    EXPECT_EQ(file(m_osv, presence(0)), 0u); // no slot, so neither announced nor stored
    EXPECT_TRUE(m_osv->getDpis().empty());
    ASSERT_EQ(file(m_osv, presence(1)), 3u);
    EXPECT_EQ(m_osv->getDpis(), std::vector<unsigned>{1});
    for (unsigned dpi = 2; dpi <= 32; ++dpi)
        ASSERT_EQ(file(m_osv, presence(dpi)), 3u);
    EXPECT_EQ(file(m_osv, presence(33)), 0u); // its absence could never be matched
    file(m_osv, SVyl_wan_ConnectionActivatedInfo(1, 33));
    EXPECT_TRUE(m_osv->getDpis().size() == 32u && !m_osv->isWanDeviceActive(33));
}

TEST_F(SegmentTest, MergesBusPresenceWithTheRecordedOneAndDescribesIt) {
    SVyl_devices_DevicePresenceUsbInfo first(20, "ttyUSB0", 0, "", "r", "Modem", "Acme", 0x68c0,
                                             0x1199, "S123");
    EXPECT_EQ(file(m_osv, first), 3u);
    EXPECT_STREQ(first.m_deviceDescription, "PROD=Modem,MANU=Acme,VID=1199,PID=68c0,SER=S123");
    // A second node of the same device saying nothing new is merged and silent; a new serial is
    // news.
    SVyl_devices_DevicePresenceUsbInfo again(20, "", 0, "", "", "", "", 0, 0, "");
    EXPECT_EQ(file(m_osv, again), 0u);
    EXPECT_TRUE(again.m_nodeCount == 2 && std::string(again.m_serialNoString) == "S123");
    EXPECT_EQ(
        file(m_osv, SVyl_devices_DevicePresenceUsbInfo(20, "", 0, "", "", "", "", 0, 0, "S999")),
        3u);
    // Another bus kind for the same device is news too.
    EXPECT_EQ(file(m_osv, SVyl_devices_DevicePresenceNoBusInfo(20, "", 0, "", "")), 3u);
}

TEST_F(SegmentTest, AddressesSixteenNavigationSourcesByTheFirstThirtyOneCharactersOfTheirNames) {
    const std::string name40 = std::string(31, 'g') + "ABCDEFGHI";
    file(m_osv, SVyl_navigation_LocationFix3DInfo(48.1, 11.5, 520.0, name40.c_str(), 80));
    file(m_osv, SVyl_navigation_GPSNavigationSourceStatusInfo(
                    (std::string(31, 'g') + "zzzzzzzzz").c_str(), "nmea", 2));
    EXPECT_EQ(m_osv->getGpsSourceNames(), std::vector<std::string>{std::string(31, 'g')});
    const int slot = m_osv->navSourceIndex(name40.c_str());
    ASSERT_GE(slot, 0);
    EXPECT_DOUBLE_EQ(double(m_osv->m_navSourceData[slot].m_location.m_altitudeMeters), 520.0);

    for (int k = 1; k <= 16; ++k)
        file(m_osv, SVyl_navigation_AccuracyInfo(1.0, ("src" + std::to_string(k)).c_str()));
    EXPECT_GE(m_osv->navSourceIndex("src15"), 0);
    EXPECT_EQ(m_osv->navSourceIndex("src16"), -1);
}

TEST_F(SegmentTest, TellsTheActiveWanDeviceAndFollowsAProcess) {
    unsigned dpi = 0;
    file(m_osv, at(1000, SVyl_wan_ConnectionActivatedInfo(1, 5)));
    file(m_osv, at(2000, SVyl_wan_ConnectionActivatedInfo(1, 6)));
    EXPECT_TRUE(m_osv->getActiveWanDpi(dpi) && dpi == 6u); // the most recently activated
    file(m_osv, at(3000, SVyl_wan_ConnectionDeactivatedInfo(6)));
    EXPECT_TRUE(m_osv->getActiveWanDpi(dpi) && dpi == 5u);
    // Filed within one millisecond, the later filing is still the later one.
    file(m_osv, at(3000, SVyl_wan_ConnectionDeactivatedInfo(5)));
    file(m_osv, at(3000, SVyl_wan_ConnectionActivatedInfo(1, 5)));
    EXPECT_TRUE(m_osv->isWanDeviceActive(5));

    // A process through registration, restart and a new pid.
    const unsigned pid = 70001; // beyond 16 bits: must not be taken for pid 4465
    file(m_osv, at(100, SVyl_process_WatchdogRegistrationInfo("wand", pid)));
    EXPECT_TRUE(m_osv->isRunning(pid) && !m_osv->isRegistered(pid & 0xFFFF));
    file(m_osv, at(150, SVyl_process_DeviceConfigConflictWarningInfo(2, pid)));
    EXPECT_TRUE(m_osv->hasConfigConflict(pid));
    file(m_osv, at(200, SVyl_process_DeadProcessRestartInfo("wand", pid)));
    // The conflict was reported for the earlier run.
    EXPECT_TRUE(m_osv->isRegistered(pid) && !m_osv->isRunning(pid) &&
                !m_osv->hasConfigConflict(pid));
    // It comes back under a new pid, found by its name.
    file(m_osv, at(300, SVyl_process_WatchdogRegistrationInfo("wand", 812)));
    EXPECT_TRUE(m_osv->isRunning(812) && m_osv->procIndex(pid) == -1);
}

} // namespace
