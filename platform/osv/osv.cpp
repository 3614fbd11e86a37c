// Mapping, lock and slot tables of the shared content segment.
#include "osv.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Offset into m_reserved of the lock on hosts whose pthread_mutex_t does not fit m_mutex; keeps
// it on an 8-byte boundary of the page-aligned mapping.
constexpr std::size_t kWideMutexOffset = 4;
static_assert((511380 + kWideMutexOffset) % alignof(pthread_mutex_t) == 0, "wide lock alignment");
static_assert(kWideMutexOffset + sizeof(pthread_mutex_t) <= 537196, "wide lock fits");
// Offset into m_reserved of the latest monotonic stamp filed (u64), after the wide lock.
constexpr std::size_t kLastStampOffset = 52;
static_assert(kWideMutexOffset + sizeof(pthread_mutex_t) <= kLastStampOffset, "stamp after lock");
static_assert((511380 + kLastStampOffset) % 8 == 0, "stamp alignment");

std::atomic<unsigned> s_lockWaitMs{2000};
// Set while an operation of this thread has given up waiting for the lock.
thread_local bool s_gaveUp = false;

// The facility goes with the line: openlog would change the identity and facility of every later
// line of the process.
void logLockFailure() {
    ::syslog(LOG_LOCAL3 | LOG_ERR, "OSV shared memory lock failed \n");
}

bool initialiseLock(SOsvContent* content) {
    pthread_mutexattr_t* attr = &content->m_mutexattr;
    if (::pthread_mutexattr_init(attr) != 0)
        return false;
    ::pthread_mutexattr_settype(attr, PTHREAD_MUTEX_RECURSIVE);
    ::pthread_mutexattr_setrobust(attr, PTHREAD_MUTEX_ROBUST);
    ::pthread_mutexattr_setpshared(attr, PTHREAD_PROCESS_SHARED);
    return ::pthread_mutex_init(content->mutex(), attr) == 0;
}

// Occupancy maps are `width` bits wide and count slot 0 at the top bit.
uint32_t slotBit(int width, int slot) {
    return 1u << (width - 1 - slot);
}

bool isSet(uint32_t bitmap, int width, int slot) {
    return (bitmap & slotBit(width, slot)) != 0;
}

// Marks the first free slot of the map taken; -1 when full.
template <class Bits> int claimSlot(Bits& bitmap, int width) {
    for (int i = 0; i < width; ++i) {
        if (!isSet(bitmap, width, i)) {
            bitmap = static_cast<Bits>(bitmap | slotBit(width, i));
            return i;
        }
    }
    return -1;
}

// The slot already `found`, else a newly claimed one set up by `init`; -1 when the map is full.
template <class Bits, class Init> int findOrClaim(int found, Bits& bitmap, int width, Init init) {
    if (found >= 0)
        return found;
    const int slot = claimSlot(bitmap, width);
    if (slot >= 0)
        init(slot);
    return slot;
}

template <class T> void zero(T& object) {
    std::memset(static_cast<void*>(&object), 0, sizeof(T));
}

} // namespace

std::string osvSegmentName() {
    const char* name = ::getenv("VYL_OSV_NAME");
    return name && *name ? std::string(name) : std::string(OSV_DEFAULT_NAME);
}

SOsvContent* getOsvPointer() {
    const std::string name = osvSegmentName();
    // The object is created 0666 so that every platform process, whoever it runs as, can map it.
    // The mode is set on the object itself: the process umask stays as it was.
    int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st = {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0666)
        ::fchmod(fd, 0666); // fails harmlessly when another user created it
    // Two processes mapping a fresh object at once must not both initialise the lock.
    ::flock(fd, LOCK_EX);
    void* mapped = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && (static_cast<std::size_t>(st.st_size) == OSV_SEGMENT_SIZE ||
                                  ::ftruncate(fd, static_cast<off_t>(OSV_SEGMENT_SIZE)) == 0))
        mapped = ::mmap(nullptr, OSV_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    SOsvContent* content = nullptr;
    if (mapped != MAP_FAILED) {
        content = static_cast<SOsvContent*>(mapped);
        if (content->m_osvVersion != OSV_VERSION) {
            // Never initialised, or laid out by another version: its contents mean nothing here.
            std::memset(mapped, 0, OSV_SEGMENT_SIZE);
            if (!initialiseLock(content)) {
                ::munmap(mapped, OSV_SEGMENT_SIZE);
                content = nullptr;
            } else {
                __atomic_store_n(&content->m_osvVersion, OSV_VERSION, __ATOMIC_RELEASE);
            }
        }
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return content;
}

void releaseOsvPointer(SOsvContent* content) {
    if (content)
        ::munmap(content, OSV_SEGMENT_SIZE);
}

// ---- lock ----

pthread_mutex_t* SOsvContent::mutex() {
    if (sizeof(pthread_mutex_t) <= sizeof(m_mutex))
        return reinterpret_cast<pthread_mutex_t*>(m_mutex);
    return reinterpret_cast<pthread_mutex_t*>(m_reserved + kWideMutexOffset);
}

bool SOsvContent::lock() {
    if (s_gaveUp)
        return false;
    struct timespec deadline;
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    unsigned waitMs = s_lockWaitMs.load();
    deadline.tv_sec += waitMs / 1000;
    deadline.tv_nsec += static_cast<long>(waitMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc = ::pthread_mutex_timedlock(mutex(), &deadline);
    if (rc == EOWNERDEAD) {
        // A holder died mid-update; records are copied whole, so the worst left behind is one
        // stale record. Take the lock over rather than leaving every process locked out.
        ::pthread_mutex_consistent(mutex());
        return true;
    }
    if (rc != 0) {
        logLockFailure();
        s_gaveUp = true;
        return false;
    }
    return true;
}

void SOsvContent::unlock() {
    ::pthread_mutex_unlock(mutex());
}

void SOsvContent::setLockWaitMilliseconds(unsigned milliseconds) {
    s_lockWaitMs = milliseconds;
}

void SOsvContent::stampAfterLast(SVylTimestampedInfo& record) {
    uint64_t last;
    std::memcpy(&last, m_reserved + kLastStampOffset, sizeof last);
    if (record.m_monTimestamp <= last)
        record.m_monTimestamp = last + 1;
    std::memcpy(m_reserved + kLastStampOffset, &record.m_monTimestamp, sizeof last);
}

COsvLock::COsvLock(SOsvContent* content) : m_content(content) {
    bool before = s_gaveUp;
    m_locked = m_content->lock();
    m_gaveUp = !m_locked && !before && s_gaveUp;
}

COsvLock::~COsvLock() {
    if (m_locked)
        m_content->unlock();
    if (m_gaveUp)
        s_gaveUp = false;
}

// ---- devices ----

int SOsvContent::dpiIndex(unsigned dpi) {
    if (dpi == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    for (int i = 0; i < OSV_MAX_DEVICES; ++i)
        if (isSet(m_dpiOccupied, OSV_MAX_DEVICES, i) && m_deviceInfoList[i].m_dpi == dpi)
            return i;
    return -1;
}

int SOsvContent::establishDpi(unsigned dpi) {
    // dpi 0 names no device: a slot for it could never be found again.
    if (dpi == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    return findOrClaim(dpiIndex(dpi), m_dpiOccupied, OSV_MAX_DEVICES, [&](int index) {
        zero(m_deviceInfoList[index]);
        m_deviceInfoList[index].m_dpi = dpi;
    });
}

// ---- processes ----

unsigned SOsvContent::fullPid(int procSlot) const {
    // The slot keeps 16 bits of the pid; the latest registration or restart record carrying
    // those bits has all of it, so pids above 65535 do not collide.
    const SOsvProcessInfo& slot = m_procInfoList[procSlot];
    const SVylTimestampedInfo* best = nullptr;
    unsigned pid = slot.m_pid;
    if (slot.m_watchdogRegistration.m_valid &&
        (slot.m_watchdogRegistration.m_processPID & 0xFFFFu) == slot.m_pid) {
        best = &slot.m_watchdogRegistration;
        pid = slot.m_watchdogRegistration.m_processPID;
    }
    if (slot.m_processRestart.m_valid &&
        (slot.m_processRestart.m_processPID & 0xFFFFu) == slot.m_pid &&
        (!best || slot.m_processRestart.m_monTimestamp > best->m_monTimestamp))
        pid = slot.m_processRestart.m_processPID;
    return pid;
}

int SOsvContent::procIndex(unsigned pid) {
    if (pid == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    for (int i = 0; i < OSV_MAX_PROCESSES; ++i)
        if (isSet(m_procOccupied, OSV_MAX_PROCESSES, i) &&
            m_procInfoList[i].m_pid == (pid & 0xFFFFu) && fullPid(i) == pid)
            return i;
    return -1;
}

int SOsvContent::procIndex(const char* name) {
    char key[sizeof(SOsvProcessInfo::m_processName)];
    osvCopyString(key, name);
    COsvLock guard(this);
    if (!guard)
        return -1;
    for (int i = 0; i < OSV_MAX_PROCESSES; ++i)
        if (isSet(m_procOccupied, OSV_MAX_PROCESSES, i) &&
            std::strncmp(m_procInfoList[i].m_processName, key, sizeof key) == 0)
            return i;
    return -1;
}

int SOsvContent::establishProc(unsigned pid, const char* name) {
    COsvLock guard(this);
    if (!guard)
        return -1;
    const int index =
        findOrClaim(procIndex(name), m_procOccupied, OSV_MAX_PROCESSES, [&](int slot) {
            zero(m_procInfoList[slot]);
            osvCopyString(m_procInfoList[slot].m_processName, name);
        });
    if (index < 0)
        return -1;
    m_procInfoList[index].m_pid = static_cast<uint16_t>(pid);
    return index;
}

int SOsvContent::procDpiIndex(unsigned pid, unsigned dpi) {
    if (dpi == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    int proc = procIndex(pid);
    if (proc < 0)
        return -1;
    const SOsvProcessInfo& slot = m_procInfoList[proc];
    for (int j = 0; j < OSV_MAX_PROCESS_DEVICES; ++j)
        if (isSet(slot.m_dpiOccupied, OSV_MAX_PROCESS_DEVICES, j) &&
            slot.m_deviceInfo[j].m_dpi == dpi)
            return j;
    return -1;
}

int SOsvContent::establishProcDpi(unsigned pid, unsigned dpi) {
    if (dpi == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    int proc = procIndex(pid);
    if (proc < 0)
        return -1;
    SOsvProcessInfo& slot = m_procInfoList[proc];
    return findOrClaim(procDpiIndex(pid, dpi), slot.m_dpiOccupied, OSV_MAX_PROCESS_DEVICES,
                       [&](int entry) {
                           zero(slot.m_deviceInfo[entry]);
                           slot.m_deviceInfo[entry].m_dpi = dpi;
                       });
}

SOsvProcessDeviceInfo* SOsvContent::procDeviceEntry(unsigned pid, unsigned dpi, bool establish) {
    int entry = establish ? establishProcDpi(pid, dpi) : procDpiIndex(pid, dpi);
    if (entry < 0)
        return nullptr;
    return &m_procInfoList[procIndex(pid)].m_deviceInfo[entry];
}

// ---- Bluetooth ----

int SOsvContent::btDpiIndex(unsigned dpi) {
    if (dpi == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    for (int i = 0; i < OSV_MAX_BT_DEVICES; ++i)
        if (isSet(m_btDpiOccupied, OSV_MAX_BT_DEVICES, i) && m_bluetoothInfoList[i][0].m_dpi == dpi)
            return i;
    return -1;
}

int SOsvContent::btConnHandleIndex(int btIndex, unsigned short handle) {
    if (btIndex < 0 || btIndex >= OSV_MAX_BT_DEVICES)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    for (int j = 0; j < OSV_MAX_BT_CONNECTIONS; ++j)
        if (isSet(m_btConnHandleOccupied[btIndex], OSV_MAX_BT_CONNECTIONS, j) &&
            m_bluetoothInfoList[btIndex][j].m_connHandle == handle)
            return j;
    return -1;
}

int SOsvContent::establishBtNodeConnection(unsigned dpi, unsigned short handle) {
    if (dpi == 0)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    const int device =
        findOrClaim(btDpiIndex(dpi), m_btDpiOccupied, OSV_MAX_BT_DEVICES, [&](int index) {
            m_btConnHandleOccupied[index] = 0;
            // Every connection slot of the device carries its dpi; slot 0 is the key.
            for (SOsvBluetoothInfo& slot : m_bluetoothInfoList[index]) {
                zero(slot);
                slot.m_dpi = dpi;
            }
        });
    if (device < 0)
        return -1;
    return findOrClaim(btConnHandleIndex(device, handle), m_btConnHandleOccupied[device],
                       OSV_MAX_BT_CONNECTIONS, [&](int connection) {
                           SOsvBluetoothInfo& slot = m_bluetoothInfoList[device][connection];
                           zero(slot);
                           slot.m_dpi = dpi;
                           slot.m_connHandle = handle;
                       });
}

// ---- navigation sources ----

int SOsvContent::findNavSource(const char* name) const {
    // Records carry at most 31 characters of a name; a longer name given here means the same
    // source as its first 31 characters.
    char key[sizeof(SOsvNavSourceInfo::m_sourceName)];
    osvCopyString(key, name);
    if (!key[0])
        return -1;
    for (int k = 0; k < OSV_MAX_NAV_SOURCES; ++k)
        if (isSet(m_navSourceOccupied, OSV_MAX_NAV_SOURCES, k) &&
            std::strncmp(m_navSourceData[k].m_sourceName, key, sizeof key) == 0)
            return k;
    return -1;
}

void SOsvContent::clearNavSource(int index) {
    zero(m_navSourceData[index]);
    zero(m_navSourceAccuracy[index]);
    m_navSourceData[index].m_gpsStatus.m_status = OSV_NAV_SOURCE_FREE_WORD;
}

int SOsvContent::navSourceIndex(const char* name) {
    COsvLock guard(this);
    if (!guard)
        return -1;
    return findNavSource(name);
}

int SOsvContent::establishNavSource(const char* name) {
    if (!name || !*name)
        return -1;
    COsvLock guard(this);
    if (!guard)
        return -1;
    return findOrClaim(findNavSource(name), m_navSourceOccupied, OSV_MAX_NAV_SOURCES,
                       [&](int index) {
                           clearNavSource(index);
                           osvCopyString(m_navSourceData[index].m_sourceName, name);
                       });
}

void SOsvContent::removeNavSource(const char* name) {
    COsvLock guard(this);
    if (!guard)
        return;
    int index = findNavSource(name);
    if (index < 0)
        return;
    clearNavSource(index);
    m_navSourceOccupied =
        static_cast<uint16_t>(m_navSourceOccupied & ~slotBit(OSV_MAX_NAV_SOURCES, index));
}
