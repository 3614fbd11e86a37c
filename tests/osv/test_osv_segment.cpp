// The segment as a shared object: mapping, initialisation, permissions, the cross-process lock.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "osv_test_util.h"

using osvtest::runChild;
using osvtest::SegmentTest;
using osvtest::waitChild;

namespace {

SVyl_devices_DevicePresenceInfo presence(unsigned dpi, const char* node = "ttyUSB0") {
    return SVyl_devices_DevicePresenceInfo(dpi, node, 0, "modem");
}

} // namespace

TEST(AContentSegment, IsCreatedInitialisedAndWorldReadableWithoutTouchingTheUmask) {
    testenv::TempRoot root;
    mode_t before = ::umask(022);
    SOsvContent* osv = getOsvPointer();
    mode_t after = ::umask(022);
    ::umask(before);
    ASSERT_NE(osv, nullptr);
    EXPECT_EQ(after, 022u);
    EXPECT_EQ(osv->m_osvVersion, 8u);
    EXPECT_TRUE(osv->lock());
    EXPECT_TRUE(osv->lock()); // recursive
    osv->unlock();
    osv->unlock();

    int fd = ::shm_open(osvSegmentName().c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st = {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(st.st_size, 1048576);
    releaseOsvPointer(osv);
}

TEST(AContentSegment, UsesTheNameFromTheEnvironment) {
    testenv::TempRoot root;
    EXPECT_EQ(osvSegmentName(), std::string(::getenv("VYL_OSV_NAME")));
    ::setenv("VYL_OSV_NAME", "", 1);
    EXPECT_EQ(osvSegmentName(), "/vylosv");
}

TEST(AContentSegment, CannotBeMappedUnderAnInvalidName) {
    testenv::TempRoot root;
    ::setenv("VYL_OSV_NAME", "/no/such/dir", 1);
    EXPECT_EQ(getOsvPointer(), nullptr);
    releaseOsvPointer(nullptr);
}

TEST_F(SegmentTest, KeepsItsContentsWhenMappedAgain) {
    auto record = presence(42);
    unsigned mask = 3;
    m_osv->update(record, mask);
    releaseOsvPointer(m_osv);

    m_osv = getOsvPointer();
    ASSERT_NE(m_osv, nullptr);
    EXPECT_TRUE(m_osv->isDevicePresent(42));
    EXPECT_EQ(m_osv->getDeviceNode(42), "ttyUSB0");
}

TEST_F(SegmentTest, IsReinitialisedWhenLaidOutByAnotherVersion) {
    auto record = presence(42);
    unsigned mask = 3;
    m_osv->update(record, mask);
    m_osv->m_osvVersion = 7;
    releaseOsvPointer(m_osv);

    m_osv = getOsvPointer();
    ASSERT_NE(m_osv, nullptr);
    EXPECT_EQ(m_osv->m_osvVersion, 8u);
    EXPECT_TRUE(m_osv->getDpis().empty());
    EXPECT_TRUE(m_osv->lock());
    m_osv->unlock();
}

TEST_F(SegmentTest, CarriesRecordsFiledByAnotherProcessToItsAccessors) {
    auto earlier = presence(42);
    unsigned earlierMask = 3;
    m_osv->update(earlier, earlierMask);
    pid_t child = runChild([] {
        SOsvContent* osv = getOsvPointer();
        if (!osv)
            return 1;
        if (!osv->isDevicePresent(42))
            return 2; // the segment this process found was wiped
        unsigned mask = 3;
        SVyl_devices_DevicePresenceInfo present(7, "ttyACM3", 0, "gsm modem");
        osv->update(present, mask);
        SVyl_devices_WanDeviceDetailGsmInfo gsm(7, "Cell", "8901", "3569", "2620", "+49170");
        osv->update(gsm, mask);
        SVyl_wan_ConnectionActivatedInfo active(10, 7);
        osv->update(active, mask);
        SVyl_vpn_ConnectionStatusInfo vpn(true);
        osv->update(vpn, mask);
        SVyl_process_WatchdogRegistrationInfo registration("gpsd", 4242);
        osv->update(registration, mask);
        releaseOsvPointer(osv);
        return 0;
    });
    ASSERT_EQ(waitChild(child), 0);

    EXPECT_TRUE(m_osv->isDevicePresent(7));
    EXPECT_EQ(m_osv->getDeviceNode(7), "ttyACM3");
    EXPECT_TRUE(m_osv->isDeviceWanGsm(7));
    unsigned active = 0;
    EXPECT_TRUE(m_osv->getActiveWanDpi(active));
    EXPECT_EQ(active, 7u);
    EXPECT_TRUE(m_osv->getVpnConnectionStatus());
    EXPECT_TRUE(m_osv->isRunning(4242));
    std::string name;
    EXPECT_TRUE(m_osv->getProcessName(4242, name));
    EXPECT_EQ(name, "gpsd");
}

TEST_F(SegmentTest, SerialisesFilersInDifferentProcesses) {
    constexpr int kEach = 50000;
    // Both filers start together, released by the closing of the pipe.
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    auto filer = [&start] {
        ::close(start[1]);
        char byte;
        if (::read(start[0], &byte, 1) != 0)
            return 3;
        SOsvContent* osv = getOsvPointer();
        if (!osv)
            return 1;
        for (int i = 0; i < kEach; ++i) {
            auto record = presence(9);
            unsigned mask = 3;
            osv->update(record, mask);
        }
        releaseOsvPointer(osv);
        return 0;
    };
    pid_t first = runChild(filer);
    pid_t second = runChild(filer);
    ::close(start[0]);
    ::close(start[1]);
    ASSERT_EQ(waitChild(first, std::chrono::seconds(60)), 0);
    ASSERT_EQ(waitChild(second, std::chrono::seconds(60)), 0);

    SOsvDeviceInfo info;
    ASSERT_TRUE(m_osv->getDeviceInfo(9, info));
    EXPECT_EQ(info.presenceAs<SVyl_devices_DevicePresenceInfo>().m_nodeCount, 2 * kEach);
}

TEST_F(SegmentTest, RecoversTheLockFromAHolderThatDied) {
    pid_t holder = runChild([] {
        SOsvContent* osv = getOsvPointer();
        if (!osv || !osv->lock())
            return 1;
        return 0; // ends while holding the lock
    });
    ASSERT_EQ(waitChild(holder), 0);

    // Another process gets the lock and files; done in a child so a hang fails the test.
    pid_t reader = runChild([] {
        SOsvContent* osv = getOsvPointer();
        if (!osv)
            return 1;
        auto record = presence(5);
        unsigned mask = 3;
        osv->update(record, mask);
        return osv->isDevicePresent(5) ? 0 : 2;
    });
    EXPECT_EQ(waitChild(reader), 0);

    // The lock stays usable for everyone afterwards.
    EXPECT_TRUE(m_osv->lock());
    m_osv->unlock();
    EXPECT_TRUE(m_osv->isDevicePresent(5));
}
