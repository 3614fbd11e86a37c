// File helpers shared by the store's units: exact modes whatever the inherited umask, named
// semaphores, and the one-byte notifications on the store's FIFOs. Any thread.
#pragma once

#include <semaphore.h>
#include <string>
#include <sys/types.h>

namespace dels {

// Gives the open file `fd` exactly `mode` when this process owns it (a file of another owner
// keeps the mode its owner gave it).
void setMode(int fd, mode_t mode);
void setMode(const std::string& path, mode_t mode);

// Opens the named semaphore `name`, creating it with `value` and exactly `mode`; SEM_FAILED
// with errno set on failure.
sem_t* openSemaphore(const std::string& name, unsigned value, mode_t mode);

// Writes one "1" to a non-blocking FIFO; a full FIFO drops it. SIGPIPE is blocked for the write
// only, in this thread only.
void notify(int fd);
// Reads whatever is waiting in a non-blocking FIFO.
void drain(int fd);

} // namespace dels
