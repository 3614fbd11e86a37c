#include "vyl_devlock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "locations.h"
#include "vyl_fs.h"

// When is a lock stale?
//
// A lock names its holder by PID only, so a PID that is alive proves little: lock folders on
// persistent storage keep their files across reboots, and after a reboot the recorded PID often
// belongs to some unrelated live process. That left devices locked forever in the field. The
// holder necessarily existed when it wrote its lock, so a lock is taken for stale when
//   - its content is not a PID, or the PID has no live (non-zombie) process;
//   - the file was last written before the system booted (locks never survive a reboot); or
//   - the process now owning the PID started after the file was written (the PID was reused).
// Both time rules compare the file's mtime with the wall clock's idea of boot and process start,
// with a second of slack for tick granularity. They assume the wall clock was not stepped forward
// past the lock's time while the holder ran (the gateway keeps time in its RTC); after such a step
// a held lock could be taken for stale.

namespace {

const char* const kLockDir = "var/lock";
const pid_t kGarbage = 0; // the lock's content is not a PID
const double kSlackSeconds = 1.0;

struct SLockFile {
    pid_t pid = kGarbage;
    struct stat st = {};
};

std::string lockName(const char* devname) {
    if (!devname || !*devname)
        return std::string();
    std::string path = devname;
    if (path.back() == '/')
        return std::string();
    // A link such as /dev/serial/by-id/... locks the tty it points at, as other lockers see it.
    if (char* real = ::realpath(devname, nullptr)) {
        path = real;
        ::free(real);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return std::string();
    }
    std::string base = path.substr(path.rfind('/') + 1);
    if (base.empty() || base == "." || base == ".." || base.size() > NAME_MAX - 5)
        return std::string();
    return base;
}

double seconds(const struct timespec& ts) {
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Wall-clock time of boot, to the nanosecond (/proc/stat's btime is whole seconds).
double bootTime() {
    struct timespec real, boot;
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return seconds(real) - seconds(boot);
}

// State letter and wall-clock start time of `pid` from /proc; false when unreadable.
bool processStat(pid_t pid, char& state, double& started) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!in || !std::getline(in, line))
        return false;
    // The command name may hold blanks and parentheses; the fields resume after the last ')'.
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long startTicks = 0;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 3)
            state = field.empty() ? '?' : field[0];
        else if (index == 22)
            startTicks = std::strtoull(field.c_str(), nullptr, 10);
    }
    if (!fields)
        return false;
    long ticks = ::sysconf(_SC_CLK_TCK);
    started =
        bootTime() + static_cast<double>(startTicks) / static_cast<double>(ticks > 0 ? ticks : 100);
    return true;
}

// Why the lock is stale, or null when `lock.pid` is its genuine live holder.
const char* staleReason(const SLockFile& lock) {
    if (lock.pid == kGarbage)
        return "content is not a PID";
    if (::kill(lock.pid, 0) != 0 && errno != EPERM)
        return "holder is gone";
    double written = seconds(lock.st.st_mtim);
    if (written < bootTime() - kSlackSeconds)
        return "written before the system booted";
    char state = '?';
    double started = 0;
    if (processStat(lock.pid, state, started)) {
        if (state == 'Z' || state == 'X')
            return "holder is gone";
        if (started > written + kSlackSeconds)
            return "PID now belongs to a process started after the lock was written";
    }
    return nullptr;
}

// Parses "%10d\n" (and the looser forms other lockers write: no padding, no line end).
pid_t parsePid(const char* text, size_t size) {
    size_t pos = 0;
    while (pos < size && (text[pos] == ' ' || text[pos] == '\t'))
        ++pos;
    size_t digits = pos;
    long long value = 0;
    while (pos < size && text[pos] >= '0' && text[pos] <= '9' && pos - digits < 10)
        value = value * 10 + (text[pos++] - '0');
    if (pos == digits)
        return kGarbage;
    while (pos < size && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n'))
        ++pos;
    if (pos != size || value <= 0 || value > INT_MAX)
        return kGarbage;
    return static_cast<pid_t>(value);
}

// 1: the lock exists and was read; 0: there is none; -1: error.
int readLock(const std::string& path, SLockFile& lock) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        if (errno == ELOOP) { // a link planted in the lock folder is no lock of ours
            lock.pid = kGarbage;
            return ::lstat(path.c_str(), &lock.st) == 0 ? 1 : -1;
        }
        syslog(LOG_ERR, "vyl: cannot read lock %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    char text[64];
    ssize_t got = -1;
    if (::fstat(fd, &lock.st) == 0 && S_ISREG(lock.st.st_mode)) {
        do
            got = ::read(fd, text, sizeof text);
        while (got < 0 && errno == EINTR);
    }
    ::close(fd);
    lock.pid = got > 0 && static_cast<size_t>(got) < sizeof text ? parsePid(text, got) : kGarbage;
    return 1;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

// Creates the lock atomically: a complete temporary file linked into place, so no reader ever
// sees a half-written lock and of two racing creators exactly one wins.
// 0: created; 1: a lock exists already; -1: error.
int createLock(const std::string& dir, const std::string& path) {
    char content[16];
    std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
    std::string tmpl = dir + "/LTMP.XXXXXX";
    int fd = ::mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0) {
        syslog(LOG_ERR, "vyl: cannot create lock in %s: %s", dir.c_str(), strerror(errno));
        return -1;
    }
    bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, content, std::strlen(content));
    if (::close(fd) != 0)
        written = false;
    int result = -1;
    if (!written) {
        syslog(LOG_ERR, "vyl: cannot write lock %s: %s", tmpl.c_str(), strerror(errno));
    } else if (::link(tmpl.c_str(), path.c_str()) == 0) {
        result = 0;
    } else if (errno == EEXIST) {
        result = 1;
    } else {
        int linkErrno = errno;
        struct stat st;
        // NFS may report a failed link that did happen.
        if (::stat(tmpl.c_str(), &st) == 0 && st.st_nlink == 2) {
            result = 0;
        } else if (linkErrno == EPERM || linkErrno == EOPNOTSUPP || linkErrno == ENOSYS) {
            // No hard links on this file system: exclusive creation still lets one creator win.
            int lockFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (lockFd >= 0) {
                bool ok = writeAll(lockFd, content, std::strlen(content));
                ok = ::close(lockFd) == 0 && ok;
                result = ok ? 0 : -1;
                if (!ok)
                    ::unlink(path.c_str());
            } else {
                result = errno == EEXIST ? 1 : -1;
            }
        } else {
            syslog(LOG_ERR, "vyl: cannot link lock %s: %s", path.c_str(), strerror(linkErrno));
        }
    }
    ::unlink(tmpl.c_str());
    return result;
}

// Serialises this library's lockers across processes, so that two of them cannot both remove
// the same stale lock and then each create a lock of their own.
class CFolderGuard {
public:
    explicit CFolderGuard(const std::string& dir)
        : m_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (m_fd < 0)
            return;
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                // Without the guard, link() still keeps creation exclusive.
                syslog(LOG_WARNING, "vyl: cannot serialise locks in %s: %s", dir.c_str(),
                       strerror(errno));
                break;
            }
        }
    }
    ~CFolderGuard() {
        if (m_fd >= 0)
            ::close(m_fd); // releases the flock
    }
    CFolderGuard(const CFolderGuard&) = delete;
    CFolderGuard& operator=(const CFolderGuard&) = delete;
    bool opened() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Lock files this process created, by the device name it was given. A name that is a link
// locks the tty behind it; once the link is gone (the adapter unplugged) the name no longer
// leads there, and unlocking by the name alone would miss the lock and leave it behind.
std::mutex s_lockedMutex;
std::map<std::string, std::string> s_locked;

void rememberLock(const char* devname, const std::string& path) {
    std::lock_guard<std::mutex> guard(s_lockedMutex);
    s_locked[devname] = path;
}

std::string lockPathOf(const char* devname) {
    std::lock_guard<std::mutex> guard(s_lockedMutex);
    auto it = devname ? s_locked.find(devname) : s_locked.end();
    return it != s_locked.end() ? it->second : vyl::devLockPath(devname);
}

void forgetLock(const char* devname) {
    std::lock_guard<std::mutex> guard(s_lockedMutex);
    s_locked.erase(devname);
}

bool removeLock(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    syslog(LOG_ERR, "vyl: cannot remove lock %s: %s", path.c_str(), strerror(errno));
    return false;
}

} // namespace

namespace vyl {

std::string devLockPath(const char* devname) {
    std::string name = lockName(devname);
    return name.empty() ? name : rootPath(kLockDir) + "/LCK.." + name;
}

} // namespace vyl

pid_t dev_lock(const char* devname) {
    std::string path = vyl::devLockPath(devname);
    if (path.empty()) {
        syslog(LOG_ERR, "vyl: cannot lock device \"%s\": not a device name",
               devname ? devname : "(null)");
        return -1;
    }
    std::string dir = vyl::rootPath(kLockDir);
    if (vyl::makeDirs(dir, 0755) != 0) {
        syslog(LOG_ERR, "vyl: cannot create lock folder %s: %s", dir.c_str(), strerror(errno));
        return -1;
    }
    CFolderGuard guard(dir);
    // Lockers outside this library may race us between removal and creation: look again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        SLockFile lock;
        int found = readLock(path, lock);
        if (found < 0)
            return -1;
        if (found > 0) {
            const char* reason = staleReason(lock);
            if (!reason) {
                if (lock.pid != ::getpid())
                    return lock.pid;
                rememberLock(devname, path);
                return 0;
            }
            syslog(LOG_NOTICE, "vyl: taking over stale lock %s of PID %d: %s", path.c_str(),
                   static_cast<int>(lock.pid), reason);
            if (!removeLock(path))
                return -1;
        }
        int created = createLock(dir, path);
        if (created == 0)
            rememberLock(devname, path);
        if (created <= 0)
            return created;
    }
    syslog(LOG_ERR, "vyl: lock %s keeps reappearing, giving up", path.c_str());
    return -1;
}

pid_t dev_unlock(const char* devname, pid_t pid) {
    std::string path = lockPathOf(devname);
    if (path.empty() || pid < 0) {
        syslog(LOG_ERR, "vyl: cannot unlock device \"%s\" for PID %d: bad argument",
               devname ? devname : "(null)", static_cast<int>(pid));
        return -1;
    }
    std::string dir = vyl::rootPath(kLockDir);
    CFolderGuard guard(dir);
    if (!guard.opened() && errno == ENOENT)
        return 0; // no lock folder, no lock
    SLockFile lock;
    int found = readLock(path, lock);
    if (found == 0)
        forgetLock(devname);
    if (found <= 0)
        return found;
    pid_t owner = pid != 0 ? pid : ::getpid();
    if (lock.pid != owner) {
        const char* reason = staleReason(lock);
        if (!reason)
            return lock.pid;
        syslog(LOG_NOTICE, "vyl: removing stale lock %s of PID %d: %s", path.c_str(),
               static_cast<int>(lock.pid), reason);
    }
    if (!removeLock(path))
        return -1;
    forgetLock(devname);
    return 0;
}
