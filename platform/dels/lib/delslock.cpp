#include "delslock.h"

#include "delsfiles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool CDelsFileLock::lock(const std::string& path, bool wait) {
    release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw CDelsMutexError("Failed to open file " + path + ". Err " + std::to_string(errno));
    dels::setMode(fd, 0666);
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
