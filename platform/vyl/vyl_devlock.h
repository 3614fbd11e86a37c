// Advisory device locks in the UUCP convention that lockdev, minicom and friends share: a file
// "LCK..<name>" in $VYL_ROOT/var/lock holding the owner's PID as "%10d\n". Callable from any
// thread; racing processes of this library are serialised by an flock on the lock folder.
#pragma once

#include <string>
#include <sys/types.h>

// Locks `devname` ("/dev/ttyS0", "$VYL_ROOT/dev/ttyS0" or a bare "ttyS0") for this process.
// 0: locked now or already ours; > 0: the PID of the live process holding it; < 0: error.
// A lock whose holder is gone, whose content is not a PID, or which cannot belong to its PID's
// current process (written before that process started, e.g. in an earlier boot) is taken over.
pid_t dev_lock(const char* devname);

// Removes the lock of `devname` held by `pid` (0 means this process): the very lock file that
// dev_lock created for that name in this process, even when the name was a link that has gone
// since. Stale locks are removed too. 0: no lock remains; > 0: the PID of another live holder,
// whose lock is left alone; -1: error.
pid_t dev_unlock(const char* devname, pid_t pid);

namespace vyl {

// The lock file path used for `devname`, empty when the name cannot be locked.
std::string devLockPath(const char* devname);

} // namespace vyl
