#include "delsfiles.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dels {

void setMode(int fd, mode_t mode) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != mode && st.st_uid == ::geteuid())
        ::fchmod(fd, mode);
}

void setMode(const std::string& path, mode_t mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) != mode && st.st_uid == ::geteuid())
        ::chmod(path.c_str(), mode);
}

sem_t* openSemaphore(const std::string& name, unsigned value, mode_t mode) {
    // Only the creator knows that the umask masked the mode: it opens exclusively, then sets the
    // mode of the file glibc keeps the semaphore in. A semaphore removed between the two opens
    // is created again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        sem_t* sem = ::sem_open(name.c_str(), O_CREAT | O_EXCL, mode, value);
        if (sem != SEM_FAILED) {
            size_t start = name.find_first_not_of('/');
            setMode("/dev/shm/sem." + name.substr(start == name.npos ? 0 : start), mode);
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

void notify(int fd) {
    sigset_t pipeSignal, previous, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE);
    if (::write(fd, "1", 1) < 0 && errno == EPIPE && !wasPending) {
        // Take back the signal this write raised, so that unblocking does not deliver it.
        const struct timespec now = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void drain(int fd) {
    char buffer[8];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace dels
