// Test support for the event store: a folder of database files with the store's semaphores
// removed afterwards, SQL inspection with SQLite itself, child processes, the store's syslog
// lines, and a VFS that kills its process at a chosen write. Test main thread only.
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <sqlite3.h>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "delsaccess.h"
#include "delslogger.h"
#include "test_env.h"

namespace delstest {

// What the store's logger writes while `body` runs: syslog copies every line to stderr
// (LOG_PERROR), which gtest captures.
template <class Body> std::string delsLogOf(Body body) {
    CDelsLogger::logger().resetParams("DELS", LOG_PID | LOG_PERROR, LOG_LOCAL0);
    testing::internal::CaptureStderr();
    body();
    CDelsLogger::logger().resetParams("DELS", LOG_PID, LOG_LOCAL0);
    return testing::internal::GetCapturedStderr();
}

// A temporary folder for database files; the semaphores of the paths handed out are unlinked
// with it.
class StoreDir {
public:
    StoreDir() {
        char tmpl[] = "/tmp/tessarc-dels-XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        m_dir = tmpl;
    }
    ~StoreDir() {
        for (const auto& path : m_paths)
            ::sem_unlink(CDelsAccess::semaphoreName(path).c_str());
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    StoreDir(const StoreDir&) = delete;
    StoreDir& operator=(const StoreDir&) = delete;

    const std::string& dir() const { return m_dir; }
    // A database path in the folder.
    std::string db(const std::string& name = "dels.db") {
        std::string path = m_dir + "/" + name;
        m_paths.insert(path);
        return path;
    }

private:
    std::string m_dir;
    std::set<std::string> m_paths;
};

// Every row of `sql` on `path`, columns joined by "|", rows by "\n"; "error: ..." on failure.
inline std::string query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "error: open";
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* stmt = nullptr;
    int result = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    while (result == SQLITE_OK || result == SQLITE_ROW) {
        if ((result = sqlite3_step(stmt)) != SQLITE_ROW)
            break;
        if (!out.empty())
            out += "\n";
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            const unsigned char* text = sqlite3_column_text(stmt, i);
            out += (i ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "");
        }
    }
    if (result != SQLITE_DONE)
        out = std::string("error: ") + sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

// Runs `sql` (several statements) on `path`; "" or the error message.
inline std::string exec(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    char* error = nullptr;
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    return message;
}

using testenv::childStatus;
using testenv::forkChild;

// Installs, as the default VFS of this process, a wrapper of the system's VFS that kills the
// process (SIGKILL) just before its `n`th write, sync, truncation or deletion of any file: a
// power cut at a chosen step. For child processes.
void killAtWrite(int n);
// The same, but the `n`th write reports `failure` (SQLITE_IOERR_WRITE, SQLITE_FULL, ...) instead.
void failAtWrite(int n, int failure);

} // namespace delstest
