// The segment as a shared object: mapping, initialisation, permissions, the cross-process lock.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "osv_test_util.h"

using osvtest::runChild;
using osvtest::SegmentTest;
using osvtest::waitChild;

namespace {

bool filePresence(SOsvContent* osv, unsigned dpi) {
    SVyl_devices_DevicePresenceInfo record(dpi, "ttyUSB0", 0, "modem");
    unsigned mask = 3;
    osv->update(record, mask);
    return osv->isDevicePresent(dpi);
}

} // namespace

TEST(AContentSegment, IsCreatedWorldReadableUnderItsNameWithoutTouchingTheUmask) {
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
    releaseOsvPointer(osv);

    const std::string name = osvSegmentName();
    EXPECT_EQ(name, std::string(::getenv("VYL_OSV_NAME")));
    int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st = {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(st.st_size, 1048576);

    ::setenv("VYL_OSV_NAME", "/no/such/dir", 1);
    EXPECT_EQ(getOsvPointer(), nullptr);
    ::setenv("VYL_OSV_NAME", "", 1);
    EXPECT_EQ(osvSegmentName(), "/vylosv");
    ::setenv("VYL_OSV_NAME", name.c_str(), 1); // for the root's clean-up
}

TEST_F(SegmentTest, KeepsItsContentsWhenMappedAgainUnlessLaidOutByAnotherVersion) {
    filePresence(m_osv, 42);
    releaseOsvPointer(m_osv);
    m_osv = getOsvPointer();
    ASSERT_NE(m_osv, nullptr);
    EXPECT_EQ(m_osv->getDeviceNode(42), "ttyUSB0");

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
    filePresence(m_osv, 42);
    pid_t child = runChild([] {
        SOsvContent* osv = getOsvPointer();
        if (!osv || !osv->isDevicePresent(42))
            return 1; // not mapped, or the segment this process found was wiped
        unsigned mask = 3;
        SVyl_devices_DevicePresenceInfo present(7, "ttyACM3", 0, "gsm modem");
        osv->update(present, mask);
        SVyl_process_WatchdogRegistrationInfo registration("gpsd", 4242);
        osv->update(registration, mask);
        releaseOsvPointer(osv);
        return 0;
    });
    ASSERT_EQ(waitChild(child), 0);
    EXPECT_EQ(m_osv->getDeviceNode(7), "ttyACM3");
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
        SOsvContent* osv = ::read(start[0], &byte, 1) == 0 ? getOsvPointer() : nullptr;
        if (!osv)
            return 1;
        for (int i = 0; i < kEach; ++i)
            filePresence(osv, 9);
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
        return osv && osv->lock() ? 0 : 1; // ends while holding the lock
    });
    ASSERT_EQ(waitChild(holder), 0);

    // Another process gets the lock and files; done in a child so a hang fails the test.
    pid_t filer = runChild([] {
        SOsvContent* osv = getOsvPointer();
        return osv && filePresence(osv, 5) ? 0 : 1;
    });
    EXPECT_EQ(waitChild(filer), 0);
    // The lock stays usable for everyone afterwards.
    EXPECT_TRUE(m_osv->lock());
    m_osv->unlock();
    EXPECT_TRUE(m_osv->isDevicePresent(5));
}
