// The event source over a real database: batching and notification, delegation in the store,
// the size cleanup, and writers in other processes that are killed or starved of disk.
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "delssource.h"
#include "test_env.h"

namespace {

// A second connection of the test's own, for looking at and locking the database.
class Peek {
public:
    explicit Peek(const std::string& path) { sqlite3_open(path.c_str(), &m_db); }
    ~Peek() { sqlite3_close(m_db); }
    long long number(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        long long value = -1;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            value = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        return value;
    }
    std::string text(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
            value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
        return value;
    }
    bool exec(const std::string& sql) {
        return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }

private:
    sqlite3* m_db = nullptr;
};

class ASource : public ::testing::Test {
protected:
    testenv::TempRoot m_root;
    std::string m_path = m_root / "dels.db";
};

TEST_F(ASource, WritesQueuedEventsInBatchesOf256AndStoresEverythingWhenDestroyedAtOnce) {
    std::unique_ptr<CDelsEventSource> source(
        CDelsEventSource::create(m_path, DNT_ORIGIN, true, false));
    const int reader = ::open((m_path + ".delsEventUpdate").c_str(), O_RDONLY | O_NONBLOCK);
    Peek peek(m_path);
    // While the test holds the database, the thread cannot begin: all 300 wait in the queue.
    ASSERT_TRUE(peek.exec("BEGIN EXCLUSIVE"));
    for (unsigned i = 0; i < 300; ++i) {
        CDelsEvent event(42, DSEV_NORMAL, i, 0, "queued");
        source->sendEvent(event);
    }
    ASSERT_TRUE(peek.exec("COMMIT"));
    source.reset();
    EXPECT_EQ(300, peek.number("SELECT COUNT(DISTINCT param0) FROM events WHERE messageId = 42"));
    char bytes[8];
    EXPECT_EQ(2, ::read(reader, bytes, sizeof bytes));
    ::close(reader);
}

} // namespace
