#include "delslock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The umask has masked the mode the file was created with; the owner puts it right. A file of
// another owner keeps the mode that owner gave it.
void fixMode(int fd, mode_t mode) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != mode && st.st_uid == ::geteuid())
        ::fchmod(fd, mode);
}

} // namespace

bool CDelsFileLock::lock(const std::string& path, bool wait) {
    release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw CDelsMutexError("Failed to open file " + path + ". Err " + std::to_string(errno));
    fixMode(fd, 0666);
    int result;
    do {
        result = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        m_fd = fd;
        return true;
    }
    int error = errno;
    ::close(fd);
    if (!wait && error == EWOULDBLOCK)
        return false;
    throw CDelsMutexError("Failed to lock file " + path + ". Err " + std::to_string(error));
}

void CDelsFileLock::release() {
    if (m_fd < 0)
        return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

namespace dels {

sem_t* openSemaphore(const std::string& name, unsigned value, mode_t mode) {
    // Only the creator knows that the umask masked the mode: it opens exclusively, then sets the
    // mode of the file glibc keeps the semaphore in. A semaphore removed between the two opens
    // is created again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        sem_t* sem = ::sem_open(name.c_str(), O_CREAT | O_EXCL, mode, value);
        if (sem != SEM_FAILED) {
            size_t start = name.find_first_not_of('/');
            ::chmod(("/dev/shm/sem." + name.substr(start == name.npos ? 0 : start)).c_str(), mode);
            return sem;
        }
        if (errno != EEXIST)
            return SEM_FAILED;
        sem = ::sem_open(name.c_str(), 0);
        if (sem != SEM_FAILED || errno != ENOENT)
            return sem;
    }
    return SEM_FAILED;
}

} // namespace dels

CDelsNamedMutex::CDelsNamedMutex(const std::string& name) {
    m_sem = dels::openSemaphore(name, 1, 0666);
    if (m_sem == SEM_FAILED)
        throw CDelsMutexError("Failed to open mutex " + name + ". Err " + std::to_string(errno));
    int result;
    do {
        result = ::sem_wait(m_sem);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        int error = errno;
        ::sem_close(m_sem);
        throw CDelsMutexError("Failed to lock mutex " + name + ". Err " + std::to_string(error));
    }
}

CDelsNamedMutex::~CDelsNamedMutex() {
    ::sem_post(m_sem);
    ::sem_close(m_sem);
}
