// The event source over a real database: batching and notification, delegation in the store,
// the size cleanup, and writers in other processes that are killed or starved of disk.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sched.h>
#include <semaphore.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dels_test_support.h"
#include "delssource.h"

namespace {

// SQL on the database, through connections of the test's own.
struct Peek {
    explicit Peek(const std::string& path_) : path(path_) {}
    long long number(const std::string& sql) { return std::atoll(text(sql).c_str()); }
    std::string text(const std::string& sql) { return delstest::query(path, sql); }
    bool exec(const std::string& sql) { return delstest::exec(path, sql).empty(); }
    // `count` rows of `values` (x counting from 1) into the events table's `columns`.
    bool fill(int count, const std::string& columns, const std::string& values) {
        return exec("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
                    std::to_string(count) + ") INSERT INTO events (" + columns + ") SELECT " +
                    values + " FROM c;");
    }
    std::string path;
};

class ASource : public ::testing::Test {
protected:
    // Stores a configuration through a store object of its own.
    void configure(const std::string& path, DelsNodeType type, unsigned maxKiB,
                   const SDelsDeliverySeverityAdjustment* adjustment = nullptr) {
        CDelsEventReceiver store(path, type, true);
        SDelsNodeConfig config;
        config.maxDbSizeKiB = maxKiB;
        if (adjustment)
            config.setDSA(adjustment->messageId, *adjustment);
        store.setConfiguration(config);
    }
    // `count` events; param0 goes up by `step` from one to the next.
    static void send(CDelsEventSource& source, unsigned messageId, unsigned param0, int count = 1,
                     unsigned step = 0) {
        for (int i = 0; i < count; ++i, param0 += step) {
            CDelsEvent event(messageId, DSEV_NORMAL, param0, 0, "x");
            source.sendEvent(event);
        }
    }

    delstest::StoreDir m_dir;
    std::string m_path = m_dir.db();
};

TEST_F(ASource, WritesQueuedEventsInBatchesOf256AndStoresEverythingWhenDestroyedAtOnce) {
    int reader = -1;
    // Events queued while the test holds the database, and the transactions that store them.
    const struct { int events, transactions; } rows[] = {{300, 2}, {256, 1}, {257, 2}};
    int sent = 0;
    for (const auto& row : rows) {
        std::unique_ptr<CDelsEventSource> source(
            CDelsEventSource::create(m_path, DNT_ORIGIN, true, false));
        if (reader < 0)
            reader = ::open((m_path + ".delsEventUpdate").c_str(), O_RDONLY | O_NONBLOCK);
        sqlite3* holder = nullptr;
        sqlite3_open(m_path.c_str(), &holder);
        // While the test holds the database, the thread cannot begin: all wait in the queue.
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
        send(*source, 42, sent, row.events, 1);
        sqlite3_close(holder);
        source.reset();
        sent += row.events;
        EXPECT_EQ(sent, Peek(m_path).number(
                            "SELECT COUNT(DISTINCT param0) FROM events WHERE messageId = 42"));
        char bytes[8];
        EXPECT_EQ(row.transactions, ::read(reader, bytes, sizeof bytes)) << row.events;
    }
    ::close(reader);

    // Held for good: the destruction gives up after the drain limit instead of waiting out the
    // lock (a minute).
    sqlite3* holder = nullptr;
    sqlite3_open(m_path.c_str(), &holder);
    const pid_t child = delstest::forkChild([&] {
        CDelsEventSourceInternal source(m_path, DNT_ORIGIN, true, false);
        ::raise(SIGSTOP); // while the test takes the database
        send(source, 43, 0);
        return 0;
    });
    int stopped = 0;
    ASSERT_EQ(child, ::waitpid(child, &stopped, WUNTRACED));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
    ::kill(child, SIGCONT);
    EXPECT_EQ(0, delstest::childStatus(child));
    sqlite3_close(holder);
    EXPECT_EQ(0, Peek(m_path).number("SELECT COUNT(*) FROM events WHERE messageId = 43"));
}

TEST_F(ASource, WritesItsQueueBeforeAForkSoThatNoProcessWritesAnEventTwice) {
    std::unique_ptr<CDelsEventSource> source(
        CDelsEventSource::create(m_path, DNT_ORIGIN, true, false));
    send(*source, 11, 0, 300);
    EXPECT_EQ(0, delstest::childStatus(delstest::forkChild([&] {
                  send(*source, 11, 1, 300);
                  source.reset();
                  return 0;
              })));
    source.reset();
    EXPECT_EQ("0|300\n1|300", Peek(m_path).text("SELECT param0, COUNT(*) FROM events GROUP BY "
                                                "param0 ORDER BY param0"));
}

TEST_F(ASource, DelegatesOnParam0AndStoresWhileItsConfigurationIsBrokenOrItsFifoFull) {
    SDelsDeliverySeverityAdjustment dropOlder(305, SDelsDeliverySeverityAdjustment::EM_PARAM0);
    dropOlder.add("dropBy1");
    configure(m_path, DNT_ORIGIN, 8192, &dropOlder);
    std::unique_ptr<CDelsEventSource> source(
        CDelsEventSource::create(m_path, DNT_ORIGIN, true, true));
    send(*source, 305, 7, 3);
    send(*source, 305, 8);
    Peek peek(m_path);
    EXPECT_EQ("4,3,2,2", peek.text("SELECT group_concat(deliverySeverity) FROM (SELECT "
                                   "deliverySeverity FROM events ORDER BY id)"));
    // A reader that never drains the notifications, and a stored configuration nobody can read:
    // events are still stored (with the last configuration that could be read).
    const int writer = ::open((m_path + ".delsEventUpdate").c_str(), O_WRONLY | O_NONBLOCK);
    while (::write(writer, "1111111111111111", 16) > 0) {
    }
    ::close(writer);
    ASSERT_TRUE(peek.exec("UPDATE yamlConfiguration SET yaml = 'maxDbSizeKiB: [';"));
    sem_t* count = ::sem_open(CDelsAccess::semaphoreName(m_path).c_str(), 0);
    ::sem_post(count);
    ::sem_close(count);
    send(*source, 305, 7, 2);
    EXPECT_EQ(6, peek.number("SELECT COUNT(*) FROM events"));
    EXPECT_EQ("4,4,4,2,3,2", peek.text("SELECT group_concat(deliverySeverity) FROM (SELECT "
                                       "deliverySeverity FROM events ORDER BY id)"));
}

// The worked numbers of the default limit: forwarded events go first (all of them), then the
// unforwarded ones least important first, critical ones last.
TEST_F(ASource, CleansAnOriginDatabaseByTheEstimateForwardedEventsFirstCriticalLast) {
    CDelsEventReceiver store(m_path, DNT_ORIGIN, true);
    Peek peek(m_path);
    auto add = [&](int count, int severity, int forwarded) {
        const std::string values = std::to_string(forwarded) + ", " + std::to_string(severity);
        ASSERT_TRUE(peek.fill(count, "timestamp, forwarded, generatedSeverity, deliverySeverity",
                              "x, " + values + ", " + std::to_string(severity)));
    };
    add(1000, DSEV_NORMAL, 1);
    add(1000, DSEV_CRITICAL, 0);
    add(6000, DSEV_DISCARDABLE, 0);
    add(58225, DSEV_NORMAL, 0);
    const struct {
        int add;
        long long count, forwarded, discardable, critical;
    } steps[] = {
        {0, 66225, 1000, 6000, 1000},
        {1, 66226, 1000, 6000, 1000},
        {1, 65227, 0, 6000, 1000}, // trim 2: all forwarded events go, nothing else
        {4773, 62033, 0, 0, 1000}, // 70000: trim 7967
    };
    for (const auto& step : steps) {
        if (step.add)
            add(step.add, DSEV_NORMAL, 0);
        store.checkSizeAndCleanDB(nullptr);
        EXPECT_EQ(step.count, peek.number("SELECT COUNT(*) FROM events"));
        EXPECT_EQ(step.forwarded, peek.number("SELECT COUNT(*) FROM events WHERE forwarded"));
        EXPECT_EQ(step.discardable,
                  peek.number("SELECT COUNT(*) FROM events WHERE generatedSeverity = 3"));
        EXPECT_EQ(step.critical,
                  peek.number("SELECT COUNT(*) FROM events WHERE generatedSeverity = 0"));
    }
    // 900 events over a limit of 64 KiB trim 807: every normal and high one before any critical.
    ASSERT_TRUE(peek.exec("DELETE FROM events;"));
    for (int severity : {DSEV_CRITICAL, DSEV_HIGH, DSEV_NORMAL})
        add(300, severity, 0);
    SDelsNodeConfig small;
    small.maxDbSizeKiB = 64;
    store.setConfiguration(small);
    store.checkSizeAndCleanDB(nullptr);
    EXPECT_EQ("0|93", peek.text("SELECT generatedSeverity, COUNT(*) FROM events GROUP BY 1"));
}

TEST_F(ASource, KeepsTheEventsAfterAKeyedNodesForwardingPositionOnlyWhenTheCopyWorked) {
    const std::string path = m_dir.db("keyed.db");
    configure(path, DNT_RELAY, 64);
    CDelsEventReceiver store(path, DNT_RELAY, true);
    Peek peek(path);
    ASSERT_TRUE(peek.fill(2000, "id, timestamp", "x, x"));
    // Left over from a pass that was cut short: not copied back into the table.
    ASSERT_TRUE(peek.exec("INSERT INTO eventstemp (id, timestamp) VALUES (9999, 9999);"));
    const std::string state = m_dir.dir() + "/agent.state";
    const struct {
        const char* content;
        long long count, lowestKey;
    } steps[] = {
        {"peer=10.0.0.1\nlastEventId=1500\n", 1500, 501},
        {"lastEventId=800\nlastEventId=5\n", 1200, 801},
        {"lastEventId=\n", 1200, 801}, // empty: skipped
        {"lastEventId=99999999999999999999999\n", 0, -1},
    };
    for (const auto& step : steps) {
        std::ofstream(state) << step.content;
        store.checkSizeAndCleanDB(state.c_str());
        EXPECT_EQ(step.count, peek.number("SELECT COUNT(*) FROM events")) << step.content;
        EXPECT_EQ(step.lowestKey, peek.number("SELECT IFNULL(MIN(key), -1) FROM events"));
    }
    // A copy that fails must not be followed by emptying the table.
    ASSERT_TRUE(peek.fill(1000, "id, timestamp", "x, x"));
    ASSERT_TRUE(peek.exec("DROP TABLE eventstemp;"));
    std::ofstream(state) << "lastEventId=1500\n";
    EXPECT_THROW(store.checkSizeAndCleanDB(state.c_str()), CDelsDatabaseError);
    EXPECT_EQ(1000, peek.number("SELECT COUNT(*) FROM events"));
    // Received events: a repeated one is ignored by the table.
    const CDelsMetaEvent received(CDelsEvent(3, 0, 0, "", DSEV_HIGH, 5000, 1, 0, 77), false,
                                  DSEV_HIGH, 0, 0, 1);
    store.beginTransaction();
    store.insertEvents({received, received});
    store.endTransaction();
    EXPECT_EQ(1001, peek.number("SELECT COUNT(*) FROM events"));
}

TEST_F(ASource, BringsAFileOfLargeTextsUnderItsLimitInOnePassAndKeeps517SmallEventsIn64KiB) {
    configure(m_path, DNT_ORIGIN, 256);
    Peek peek(m_path);
    ASSERT_TRUE(peek.fill(200, "timestamp, additionalInfo", "x, randomblob(2000)"));
    {
        CDelsEventReceiver store(m_path, DNT_ORIGIN, true);
        store.checkSizeAndCleanDB(nullptr);
    }
    struct stat st;
    ASSERT_EQ(0, ::stat(m_path.c_str(), &st));
    EXPECT_LE(st.st_size, 256 * 1024);
    EXPECT_GT(peek.number("SELECT COUNT(*) FROM events"), 90);

    const std::string small = m_dir.db("small.db");
    configure(small, DNT_ORIGIN, 64);
    std::unique_ptr<CDelsEventSource> source(
        CDelsEventSource::create(small, DNT_ORIGIN, true, true));
    send(*source, 1, 0, 530);
    EXPECT_EQ(517, Peek(small).number("SELECT COUNT(*) FROM events"));
    // The insertion thread counts again once another connection has changed the table:
    // 517 + 1, then 300 more and 1: 818 events trim 634.
    std::unique_ptr<CDelsEventSourceInternal> async(
        new CDelsEventSourceInternal(small, DNT_ORIGIN, true, false));
    send(*async, 1, 0);
    async->flush(std::chrono::seconds(20));
    EXPECT_EQ(517, Peek(small).number("SELECT COUNT(*) FROM events"));
    ASSERT_TRUE(Peek(small).fill(300, "timestamp", "x"));
    send(*async, 1, 0);
    async->flush(std::chrono::seconds(20));
    EXPECT_EQ(184, Peek(small).number("SELECT COUNT(*) FROM events"));
}

TEST_F(ASource, TwoWriterProcessesLoseAndRepeatNothingWhileAReaderCounts) {
    pid_t writers[2];
    for (unsigned k = 0; k < 2; ++k)
        writers[k] = delstest::forkChild([&] {
            std::unique_ptr<CDelsEventSource> source(
                CDelsEventSource::create(m_path, DNT_ORIGIN, true, false));
            send(*source, 7, k * 100000, 1500, 1);
            return 0;
        });
    // Counted until both have ended (without reaping them).
    auto running = [&](pid_t pid) {
        siginfo_t info{};
        return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    };
    Peek peek(m_path);
    long long seen = 0;
    bool neverFewer = true;
    while (running(writers[0]) || running(writers[1])) {
        const long long now = peek.number("SELECT COUNT(*) FROM events");
        neverFewer = neverFewer && now >= seen;
        seen = std::max(seen, now);
    }
    EXPECT_EQ(std::make_pair(0, 0),
              std::make_pair(delstest::childStatus(writers[0]), delstest::childStatus(writers[1])));
    EXPECT_TRUE(neverFewer);
    EXPECT_EQ(3000, peek.number("SELECT COUNT(*) FROM events"));
    EXPECT_EQ(3000, peek.number("SELECT COUNT(DISTINCT param0) FROM events"));
}

// Killed at any point while sending synchronously: the file stays sound and every event whose
// send returned is there. DELS_KILL_ROUNDS bounds the loop.
TEST_F(ASource, SurvivesItsWriterKilledAgainAndAgainWithEveryAcknowledgedEventStored) {
    const char* env = ::getenv("DELS_KILL_ROUNDS");
    const int rounds = env ? std::atoi(env) : 50;
    Peek peek(m_path);
    for (int round = 0; round < rounds; ++round) {
        int acks[2];
        ASSERT_EQ(0, ::pipe(acks));
        const pid_t writer = ::fork();
        if (writer == 0) {
            ::close(acks[0]);
            std::unique_ptr<CDelsEventSource> source(
                CDelsEventSource::create(m_path, DNT_ORIGIN, true, true));
            for (unsigned i = 0;; ++i) {
                CDelsEvent event(8, DSEV_NORMAL, round * 1000000 + i, 0, "acknowledged");
                source->sendEvent(event);
                if (::write(acks[1], &i, sizeof i) != sizeof i)
                    ::_exit(1);
            }
        }
        ::close(acks[1]);
        const unsigned wanted = 1 + (round * 7) % 13;
        unsigned last = 0, ack = 0, received = 0;
        while (received < wanted && ::read(acks[0], &ack, sizeof ack) == sizeof ack)
            last = ack, ++received;
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        while (::read(acks[0], &ack, sizeof ack) == sizeof ack)
            last = ack, ++received;
        ::close(acks[0]);
        ASSERT_EQ("ok", peek.text("PRAGMA integrity_check")) << round;
        ASSERT_EQ(last + 1, peek.number("SELECT COUNT(*) FROM events WHERE param0 BETWEEN " +
                                        std::to_string(round * 1000000) + " AND " +
                                        std::to_string(round * 1000000 + last)))
            << round;
    }
}

// One write of a batch (journal, database, sync, journal deletion) fails: whichever it is, every
// event is stored exactly once and the file stays sound. DELS_FAULT_WRITES bounds the loop.
TEST_F(ASource, StoresEveryEventOnceWhicheverWriteOfItsBatchFails) {
    const char* env = ::getenv("DELS_FAULT_WRITES");
    const int writes = env ? std::atoi(env) : 40;
    delete CDelsEventSource::create(m_path, DNT_ORIGIN, true, true);
    Peek peek(m_path);
    for (int n = 1; n <= writes; ++n) {
        const int status = delstest::childStatus(delstest::forkChild([&] {
            CDelsEventSourceInternal source(m_path, DNT_ORIGIN, true, false);
            // Only the insertion thread's connection, opened at the first send, meets the fault.
            delstest::failAtWrite(n, n % 2 ? SQLITE_IOERR_WRITE : SQLITE_FULL);
            send(source, 10, n * 1000, 300, 1);
            return source.flush(std::chrono::seconds(20)) && source.counters().stored == 300 ? 0
                                                                                             : 1;
        }));
        ASSERT_EQ(0, status) << n;
        ASSERT_EQ("ok", peek.text("PRAGMA integrity_check")) << n;
        ASSERT_EQ(300 * n, peek.number("SELECT COUNT(*) FROM events WHERE messageId = 10")) << n;
        ASSERT_EQ(300 * n, peek.number("SELECT COUNT(DISTINCT param0) FROM events")) << n;
    }
}

// A full disk (a file size limit, its signal ignored) or a folder made read-only (a bind mount in
// a mount namespace of the child's own) while sending: nothing crashes or spins, the queue bound
// holds, and what was queued is stored once the fault is gone.
TEST_F(ASource, RidesOutAFullDiskOrReadOnlyFolderWithABoundedQueueAndStoresWhatItKeptAfter) {
    delete CDelsEventSource::create(m_path, DNT_ORIGIN, true, true);
    const std::string dir = m_dir.dir();
    struct rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    auto fileLimit = [&](rlim_t bytes) {
        limit.rlim_cur = bytes;
        return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
    // A read-only mount stacked on the folder: the files open already stay writable, no file can
    // be created there (the rollback journal above all). Its flags are the folder's mount's own
    // (the kernel refuses to drop locked ones).
    auto readOnly = [&] {
        struct statvfs st;
        return ::statvfs(dir.c_str(), &st) == 0 &&
               ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(dir.c_str(), dir.c_str(), nullptr,
                       MS_BIND | MS_REMOUNT | MS_RDONLY |
                           (st.f_flag & (ST_NOSUID | ST_NODEV | ST_NOEXEC | ST_NOATIME)),
                       nullptr) == 0;
    };
    const struct {
        unsigned messageId;
        std::function<bool()> prepare, fail, mend;
    } faults[] = {
        {9, [] { return ::signal(SIGXFSZ, SIG_IGN) != SIG_ERR; }, [&] { return fileLimit(1024); },
         [&] { return fileLimit(unlimited); }},
        {10,
         [] {
             return ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
         },
         readOnly, [&] { return ::umount2(dir.c_str(), MNT_DETACH) == 0; }},
    };
    for (const auto& fault : faults) {
        const int status = delstest::childStatus(delstest::forkChild([&] {
            if (!fault.prepare())
                return 6;
            CDelsEventSourceInternal source(m_path, DNT_ORIGIN, true, false);
            send(source, 8, fault.messageId); // the thread's connection opens before the fault
            if (!source.flush(std::chrono::seconds(20)) || !fault.fail())
                return 7;
            struct rusage before, after;
            ::getrusage(RUSAGE_SELF, &before);
            const auto start = std::chrono::steady_clock::now();
            send(source, fault.messageId, 0, CDelsEventSourceInternal::MAX_QUEUED + 2000);
            if (!testenv::waitUntil([&] { return source.counters().failures >= 2; },
                                    std::chrono::seconds(20)))
                return 1;
            ::getrusage(RUSAGE_SELF, &after);
            auto cpu = [](const struct rusage& r) {
                return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
                       (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
            };
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (cpu(after) - cpu(before) > wall / 2)
                return 2; // spinning
            if (source.counters().dropped != 2000 || source.counters().stored != 1)
                return 3;
            if (!fault.mend() || !source.flush(std::chrono::seconds(20)))
                return 4;
            return source.counters().stored == 1 + CDelsEventSourceInternal::MAX_QUEUED ? 0 : 5;
        }));
        EXPECT_EQ(0, status) << fault.messageId;
        Peek peek(m_path);
        EXPECT_EQ("ok", peek.text("PRAGMA integrity_check"));
        EXPECT_EQ(10000, peek.number("SELECT COUNT(*) FROM events WHERE messageId = " +
                                     std::to_string(fault.messageId)));
    }
}

} // namespace
