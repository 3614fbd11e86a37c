// A VFS that passes everything to the system's VFS but kills the process at a chosen write (or
// fails that one write).
#include <csignal>
#include <cstring>
#include <sqlite3.h>

#include "dels_test_support.h"

namespace {

int s_countdown = 0;
int s_failure = SQLITE_OK; // what the chosen write returns instead of killing
sqlite3_vfs* s_real = nullptr;
sqlite3_vfs s_vfs;
sqlite3_io_methods s_methods;

struct CrashFile {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_file* real(sqlite3_file* file) {
    return reinterpret_cast<CrashFile*>(file)->real;
}

// SQLITE_OK, or the failure the chosen write reports.
int tick() {
    if (--s_countdown != 0)
        return SQLITE_OK;
    if (s_failure == SQLITE_OK)
        ::raise(SIGKILL);
    return s_failure;
}

using Io = sqlite3_io_methods;

// Method `M` of the real file; with `Faulty`, the countdown runs first.
template <auto M, bool Faulty = false> struct Through;
template <class... A, int (*Io::*M)(sqlite3_file*, A...), bool Faulty> struct Through<M, Faulty> {
    static int call(sqlite3_file* f, A... a) {
        if (int failure = Faulty ? tick() : SQLITE_OK)
            return failure;
        return (real(f)->pMethods->*M)(real(f), a...);
    }
};

int crashOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    CrashFile* wrapper = reinterpret_cast<CrashFile*>(file);
    wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
    int result = s_real->xOpen(s_real, name, wrapper->real, flags, outFlags);
    wrapper->base.pMethods = wrapper->real->pMethods ? &s_methods : nullptr;
    return result;
}

int crashDelete(sqlite3_vfs*, const char* name, int syncDir) {
    if (int failure = tick())
        return failure;
    return s_real->xDelete(s_real, name, syncDir);
}

} // namespace

namespace delstest {

void killAtWrite(int n) {
    failAtWrite(n, SQLITE_OK);
}

void failAtWrite(int n, int failure) {
    s_countdown = n;
    s_failure = failure;
    s_real = sqlite3_vfs_find(nullptr);
    // Version 1 methods: no shared memory and no memory mapping, which a rollback journal
    // does not need.
    s_methods = Io{};
    s_methods.iVersion = 1;
    s_methods.xClose = Through<&Io::xClose>::call;
    s_methods.xRead = Through<&Io::xRead>::call;
    s_methods.xWrite = Through<&Io::xWrite, true>::call;
    s_methods.xTruncate = Through<&Io::xTruncate, true>::call;
    s_methods.xSync = Through<&Io::xSync, true>::call;
    s_methods.xFileSize = Through<&Io::xFileSize>::call;
    s_methods.xLock = Through<&Io::xLock>::call;
    s_methods.xUnlock = Through<&Io::xUnlock>::call;
    s_methods.xCheckReservedLock = Through<&Io::xCheckReservedLock>::call;
    s_methods.xFileControl = Through<&Io::xFileControl>::call;
    s_methods.xSectorSize = Through<&Io::xSectorSize>::call;
    s_methods.xDeviceCharacteristics = Through<&Io::xDeviceCharacteristics>::call;
    s_vfs = *s_real;
    s_vfs.iVersion = 1;
    s_vfs.zName = "crash";
    s_vfs.szOsFile = static_cast<int>(sizeof(CrashFile)) + s_real->szOsFile;
    s_vfs.xOpen = crashOpen;
    s_vfs.xDelete = crashDelete;
    sqlite3_vfs_register(&s_vfs, 1);
}

} // namespace delstest
