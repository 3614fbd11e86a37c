#include "vyl_devlock.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_env.h"

namespace {

std::string pidText(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

double bootTime() {
    struct timespec real, boot;
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return (real.tv_sec - boot.tv_sec) + (real.tv_nsec - boot.tv_nsec) / 1e9;
}

void setMtime(const std::string& path, double when) {
    struct timespec times[2] = {{static_cast<time_t>(when), 0}, {static_cast<time_t>(when), 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// A child process that runs `work` once the parent opens the gate, reports its result through a
// pipe and then stays alive until released.
class CChild {
public:
    template <typename Work> explicit CChild(Work work) {
        int p[6]; // gate, result, release
        if (::pipe(p) != 0 || ::pipe(p + 2) != 0 || ::pipe(p + 4) != 0)
            throw std::runtime_error("pipe");
        if ((m_pid = ::fork()) == 0) {
            // Siblings' pipe ends must not keep this child's pipes open, nor the reverse.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != p[0] && fd != p[3] && fd != p[4])
                    ::close(fd);
            char c;
            (void)!::read(p[0], &c, 1);
            const int value = work();
            (void)!::write(p[3], &value, sizeof value);
            (void)!::read(p[4], &c, 1);
            ::_exit(0);
        }
        ::close(p[0]), ::close(p[3]), ::close(p[4]);
        m_fd = {p[1], p[2], p[5]};
    }
    ~CChild() {
        for (int fd : m_fd)
            ::close(fd);
        ::waitpid(m_pid, nullptr, 0);
    }
    pid_t pid() const { return m_pid; }
    void open() { closeOnce(0); }
    void release() { closeOnce(2); }
    int result() {
        open();
        int value = -1000;
        EXPECT_EQ(static_cast<ssize_t>(sizeof value), ::read(m_fd[1], &value, sizeof value));
        return value;
    }

private:
    void closeOnce(int i) {
        ::close(m_fd[i]);
        m_fd[i] = -1;
    }
    pid_t m_pid = -1;
    std::array<int, 3> m_fd;
};

pid_t deadPid() {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

class ADeviceLock : public ::testing::Test {
protected:
    testenv::TempRoot m_root;
    std::string m_dev = m_root / "dev/ttyUSB0";
    std::string m_lock = m_root / "var/lock/LCK..ttyUSB0";

    void plant(const std::string& content) { m_root.write("var/lock/LCK..ttyUSB0", content); }
    std::string content() const { return testenv::readFile(m_lock); }
};

TEST_F(ADeviceLock, WritesTheOwnPidIsIdempotentForItsOwnerAndRefusesNoDevices) {
    ASSERT_EQ(0, dev_lock(m_dev.c_str()));
    EXPECT_EQ(pidText(::getpid()), content());
    EXPECT_EQ(0, dev_lock("/dev/ttyUSB0")) << "the lock is named after the tty, not the path";
    EXPECT_EQ(0, dev_unlock(m_dev.c_str(), 0));
    EXPECT_EQ(0, dev_unlock(m_dev.c_str(), 0)) << "nothing left to unlock";

    // Through a link, the lock is the tty's it points at.
    m_root.write("dev/ttyUSB0", "");
    ASSERT_EQ(0, ::symlink("ttyUSB0", (m_root / "dev/adapter").c_str()));
    ASSERT_EQ(0, dev_lock((m_root / "dev/adapter").c_str()));
    EXPECT_EQ(pidText(::getpid()), content());
    // Unlocked under the name it was locked by, also once the link has vanished.
    ASSERT_EQ(0, ::unlink((m_root / "dev/adapter").c_str()));
    EXPECT_EQ(0, dev_unlock((m_root / "dev/adapter").c_str(), 0));
    EXPECT_EQ("", content()) << "lock left behind";

    for (const char* name : {static_cast<const char*>(nullptr), "", "/dev/", "/dev/.."})
        EXPECT_TRUE(dev_lock(name) == -1 && dev_unlock(name, 0) == -1) << (name ? name : "null");
    EXPECT_EQ(-1, dev_unlock(m_dev.c_str(), -3));
}

// A live holder keeps its lock; once it is a zombie (its PID still answers kill(pid, 0)) the
// lock is taken over.
TEST_F(ADeviceLock, ReportsALiveHolderAndTakesOverFromAZombie) {
    const std::string dev = m_dev;
    auto child = std::make_unique<CChild>([dev] { return dev_lock(dev.c_str()); });
    ASSERT_EQ(0, child->result());
    EXPECT_EQ(child->pid(), dev_lock(m_dev.c_str()));
    EXPECT_EQ(child->pid(), dev_unlock(m_dev.c_str(), 0)); // not named: kept
    child->release();
    siginfo_t info;
    ASSERT_EQ(0, ::waitid(P_PID, child->pid(), &info, WEXITED | WNOWAIT));
    EXPECT_EQ(0, dev_lock(m_dev.c_str()));
    EXPECT_EQ(pidText(::getpid()), content());
}

TEST_F(ADeviceLock, TakesOverStaleLocksAndALinkPlantedAsLock) {
    for (const std::string& text : {pidText(deadPid()), std::string("hello\n"), std::string(),
                                    std::string("99999999999\n"), std::string("  123 abc\n")}) {
        plant(text);
        EXPECT_EQ(0, dev_lock(m_dev.c_str())) << text;
        EXPECT_EQ(pidText(::getpid()), content()) << text;
        ::unlink(m_lock.c_str());
    }
    m_root.write("secret", "keep");
    ASSERT_EQ(0, ::symlink((m_root / "secret").c_str(), m_lock.c_str()));
    EXPECT_EQ(0, dev_lock(m_dev.c_str()));
    EXPECT_EQ(pidText(::getpid()), content());
    EXPECT_EQ("keep", testenv::readFile(m_root / "secret"));
}

// After a reboot, or once a PID is reused, the PID in a lock may belong to an unrelated live
// process: a lock older than the boot or than that process is stale.
TEST_F(ADeviceLock, TakesOverALockOlderThanItsLiveHolder) {
    CChild unrelated([] { return 0; });
    ASSERT_EQ(0, unrelated.result());
    plant(pidText(unrelated.pid()));
    EXPECT_EQ(unrelated.pid(), dev_lock(m_dev.c_str())) << "written now: a genuine holder";
    setMtime(m_lock, bootTime() - 3600);
    EXPECT_EQ(0, dev_lock(m_dev.c_str()));

    const double written = static_cast<double>(::time(nullptr)) - 10;
    if (written < bootTime() + 5)
        GTEST_SKIP() << "system booted too recently";
    plant(pidText(unrelated.pid()));
    setMtime(m_lock, written);
    EXPECT_EQ(0, dev_lock(m_dev.c_str()));
}

// Of racing processes exactly one takes a stale lock; a live holder's lock goes when named.
TEST_F(ADeviceLock, LetsExactlyOneOfRacingProcessesTakeAStaleLock) {
    plant(pidText(deadPid()));
    std::string dev = m_dev;
    std::vector<std::unique_ptr<CChild>> racers;
    for (int i = 0; i < 8; ++i)
        racers.emplace_back(new CChild([dev] { return static_cast<int>(dev_lock(dev.c_str())); }));
    for (auto& racer : racers)
        racer->open();
    std::vector<int> results;
    pid_t winner = 0;
    for (auto& racer : racers)
        if (results.push_back(racer->result()), results.back() == 0)
            winner = racer->pid();
    ASSERT_EQ(1, std::count(results.begin(), results.end(), 0));
    for (int result : results)
        EXPECT_TRUE(result == 0 || result == winner) << result;
    EXPECT_EQ(pidText(winner), content());
    EXPECT_EQ(0, dev_unlock(m_dev.c_str(), winner));
    EXPECT_NE(0, ::access(m_lock.c_str(), F_OK));
}

} // namespace
