// Cross-process locks of the event store: an advisory flock on a companion file of the database,
// and a mutex made of a named POSIX semaphore. Failures throw CDelsMutexError. A lock object
// belongs to one thread.
#pragma once

#include <semaphore.h>
#include <string>

#include "delserrors.h"

class CDelsFileLock {
public:
    CDelsFileLock() = default;
    // Waits until the lock is held.
    explicit CDelsFileLock(const std::string& path) { lock(path, true); }
    ~CDelsFileLock() { release(); }
    CDelsFileLock(const CDelsFileLock&) = delete;
    CDelsFileLock& operator=(const CDelsFileLock&) = delete;

    // Creates the file (mode 0666) when missing. False only when `wait` is false and another
    // holder has the lock; a lock this object already held is released first.
    bool lock(const std::string& path, bool wait);
    void release();
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Opens the semaphore `name` (created with value 1, mode 0666) and waits on it; the destructor
// posts it. The semaphore is never unlinked.
class CDelsNamedMutex {
public:
    explicit CDelsNamedMutex(const std::string& name);
    ~CDelsNamedMutex();
    CDelsNamedMutex(const CDelsNamedMutex&) = delete;
    CDelsNamedMutex& operator=(const CDelsNamedMutex&) = delete;

private:
    sem_t* m_sem = SEM_FAILED;
};
