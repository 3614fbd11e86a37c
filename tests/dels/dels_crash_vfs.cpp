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

int crashClose(sqlite3_file* f) {
    return real(f)->pMethods->xClose(real(f));
}
int crashRead(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    return real(f)->pMethods->xRead(real(f), buffer, amount, offset);
}
int crashWrite(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
    if (int failure = tick())
        return failure;
    return real(f)->pMethods->xWrite(real(f), buffer, amount, offset);
}
int crashTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (int failure = tick())
        return failure;
    return real(f)->pMethods->xTruncate(real(f), size);
}
int crashSync(sqlite3_file* f, int flags) {
    if (int failure = tick())
        return failure;
    return real(f)->pMethods->xSync(real(f), flags);
}
int crashFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int crashLock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}
int crashUnlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}
int crashReserved(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int crashControl(sqlite3_file* f, int op, void* arg) {
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int crashSector(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int crashDevice(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}

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
    s_methods = {1,
                 crashClose,
                 crashRead,
                 crashWrite,
                 crashTruncate,
                 crashSync,
                 crashFileSize,
                 crashLock,
                 crashUnlock,
                 crashReserved,
                 crashControl,
                 crashSector,
                 crashDevice,
                 nullptr,
                 nullptr,
                 nullptr,
                 nullptr,
                 nullptr,
                 nullptr};
    s_vfs = *s_real;
    s_vfs.iVersion = 1;
    s_vfs.zName = "crash";
    s_vfs.szOsFile = static_cast<int>(sizeof(CrashFile)) + s_real->szOsFile;
    s_vfs.xOpen = crashOpen;
    s_vfs.xDelete = crashDelete;
    sqlite3_vfs_register(&s_vfs, 1);
}

} // namespace delstest
