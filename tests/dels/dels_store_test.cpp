// The event database: statements, cross-process locks, schema creation and migration,
// corruption recovery and the node configuration shared across processes. Real files in a
// temporary folder, real child processes, inspected with SQLite itself.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <poll.h>
#include <sys/stat.h>
#include <tuple>

#include "dels_test_support.h"
#include "delsaccess.h"
#include "delslock.h"
#include "delssqlite3.h"

namespace {

using delstest::childStatus;
using delstest::delsLogOf;
using delstest::forkChild;
using delstest::query;

// The store with its protected parts in reach.
class Store : public CDelsAccess {
public:
    Store(const std::string& path, int nodeType = 0)
        : CDelsAccess(path, static_cast<DelsNodeType>(nodeType), false) {}
    CDelsSqlite3& statements() { return *m_statements; }
    SDelsNodeConfig ownRead() {
        SDelsNodeConfig config;
        _readConfiguration(config, m_db);
        return config;
    }
};

CDelsMetaEvent event(unsigned id, unsigned long long timestamp, unsigned messageId = 7,
                     const std::string& info = "", bool forwarded = false,
                     DelsSeverity severity = DSEV_NORMAL, unsigned param0 = 0, unsigned param1 = 0,
                     unsigned long long nodeId = 0) {
    return CDelsMetaEvent(
        CDelsEvent(messageId, param0, param1, info, severity, id, timestamp, 0, nodeId), forwarded,
        severity, 0, 0, 1);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool readable(int fd) {
    struct pollfd poller = {fd, POLLIN, 0};
    return ::poll(&poller, 1, 0) == 1;
}

// Every descriptor this process holds on `path` (at least one) closes on exec, so that no
// exec'd child keeps a lock or a FIFO end.
bool closedOnExec(const std::string& path) {
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) != path)
            continue;
        ++found;
        if (!(::fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC))
            return false;
    }
    return found > 0;
}

std::string columnsOf(const std::string& path, const std::string& table) {
    return query(path, "SELECT group_concat(name || ' ' || type || ' ' || ifnull(dflt_value, '-') "
                       "|| ' ' || pk, ', ') FROM pragma_table_info('" +
                           table + "')");
}

const char* const kDefaultYaml = "deliverySeverityAdjustments:\n  additionalInfo: {}\n"
                                 "  param0: {}\n  param1: {}\n  simple: {}\nmaxDbSizeKiB: 8192";

TEST(AStore, CreatesTheTablesOfEachNodeTypeWithExactModesAndLeavesTheUmaskAlone) {
    delstest::StoreDir dir;
    const struct {
        int nodeType;
        const char* columns;
        const char* unique;
        const char* objects;
    } cases[] = {
        {0,
         "id INTEGER - 1, sessionSequence INTEGER 0 0, timestamp INTEGER 0 0, timestampErrorBound "
         "INTEGER 0 0, forwarded INTEGER 0 0, deliverySeverity INTEGER 0 0, generatedSeverity "
         "INTEGER 0 0, messageId INTEGER 0 0, param0 INTEGER 0 0, param1 INTEGER 0 0, "
         "additionalInfo BLOB - 0",
         "id,timestamp", "events,yamlConfiguration"},
        {1,
         "key INTEGER - 1, id INTEGER 0 0, sessionSequence INTEGER 0 0, timestamp INTEGER 0 0, "
         "timestampErrorBound INTEGER 0 0, nodeId INTEGER 0 0, forwarded INTEGER 0 0, "
         "deliverySeverity INTEGER 0 0, generatedSeverity INTEGER 2 0, messageId INTEGER 0 0, "
         "param0 INTEGER 0 0, param1 INTEGER 0 0, additionalInfo BLOB - 0",
         "id,nodeId,timestamp", "dup,events,eventstemp,yamlConfiguration"},
        {2,
         "key INTEGER - 1, id INTEGER 0 0, sessionSequence INTEGER 0 0, timestamp INTEGER 0 0, "
         "timestampErrorBound INTEGER 0 0, nodeId INTEGER 0 0, generatedSeverity INTEGER 2 0, "
         "messageId INTEGER 0 0, param0 INTEGER 0 0, param1 INTEGER 0 0, additionalInfo BLOB - 0",
         "id,nodeId,timestamp", "dup,events,eventstemp,yamlConfiguration"},
    };
    const mode_t inherited = ::umask(077);
    for (const auto& c : cases) {
        const std::string path = dir.db("type" + std::to_string(c.nodeType) + ".db");
        std::string logged = delsLogOf([&] { Store(path, c.nodeType).setConfiguration({}); });
        EXPECT_NE(logged.find("Updating DELS schema from version 3 to 3"), std::string::npos);
        EXPECT_EQ(c.columns, columnsOf(path, "events")) << c.nodeType;
        EXPECT_EQ(c.unique,
                  query(path, "SELECT group_concat(name, ',') FROM pragma_index_info((SELECT name "
                              "FROM pragma_index_list('events') WHERE origin = 'u'))"));
        EXPECT_EQ(c.objects, query(path, "SELECT group_concat(name, ',') FROM (SELECT name FROM "
                                         "sqlite_master WHERE name NOT LIKE 'sqlite%' ORDER BY "
                                         "name)"));
        if (c.nodeType != 0) {
            EXPECT_EQ(c.columns, columnsOf(path, "eventstemp"));
        }
        EXPECT_EQ(std::string("3|") + kDefaultYaml,
                  query(path, "SELECT version, yaml FROM yamlConfiguration"));
        const std::string shm = "/dev/shm/sem." + CDelsAccess::semaphoreName(path);
        EXPECT_EQ(std::make_tuple(0660, 0666, 0666, 0666, 0666, 0666),
                  std::make_tuple(modeOf(path), modeOf(path + ".delsEventUpdate"),
                                  modeOf(path + ".delsConfigUpdate"), modeOf(path + ".schema.lck"),
                                  modeOf(path + ".config.lck"), modeOf(shm)));
        // A second open changes nothing.
        const std::string schema = query(path, "SELECT sql FROM sqlite_master");
        logged = delsLogOf([&] { Store{path, c.nodeType}; });
        EXPECT_EQ(schema, query(path, "SELECT sql FROM sqlite_master"));
        EXPECT_EQ(logged.find("Updating"), std::string::npos);
    }
    EXPECT_EQ(077u, ::umask(inherited));
}

// Old stores: what the tables looked like and a selection of every value in old and new
// column names.
struct Fixture {
    int nodeType;
    const char* sql;
    const char* before;
    const char* after;
    const char* maxDbSizeKiB;
};

const char* const kRows = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n "
                          "WHERE x < 300) ";
const char* const kInfo = "CASE WHEN x % 3 = 0 THEN x'' ELSE x'00ff' || CAST(x AS BLOB) END";

const Fixture kRevision2 = {
    0,
    "CREATE TABLE events ( id INTEGER PRIMARY KEY AUTOINCREMENT, timestamp INTEGER DEFAULT 0, "
    "forwarded INTEGER DEFAULT 0, severity INTEGER DEFAULT 0, messageId INTEGER DEFAULT 0, param0 "
    "INTEGER DEFAULT 0, param1 INTEGER DEFAULT 0, additionalInfo BLOB, CONSTRAINT "
    "NO_DUPLICATE_EVENTS UNIQUE (id, timestamp) ON CONFLICT IGNORE);"
    "CREATE TABLE yamlConfiguration ( version INTEGER, yaml TEXT );"
    "INSERT INTO yamlConfiguration VALUES (2, 'deliverySeverityAdjustments: {simple: {305: "
    "[dropBy1/1]}}\nmaxDbSizeKiB: 1234');",
    "SELECT id, timestamp, forwarded, severity, severity, messageId, param0, param1, "
    "hex(additionalInfo) FROM events ORDER BY id",
    "SELECT id, timestamp, forwarded, generatedSeverity, deliverySeverity, messageId, param0, "
    "param1, hex(additionalInfo) FROM events ORDER BY id",
    "1234"};

const Fixture kRevision1 = {
    1,
    "CREATE TABLE events ( id INTEGER PRIMARY KEY, timestamp INTEGER DEFAULT 0, nodeId INTEGER "
    "DEFAULT 0, forwarded INTEGER DEFAULT 0, severity INTEGER DEFAULT 0, messageId INTEGER DEFAULT "
    "0, param0 INTEGER DEFAULT 0, param1 INTEGER DEFAULT 0, additionalInfo BLOB);"
    "CREATE TABLE configuration (version INTEGER, upstreamHostName TEXT, upstreamUdpPort INTEGER, "
    "upstreamTcpPort INTEGER, maximumDatabaseSizeKib INTEGER);"
    "INSERT INTO configuration VALUES (1, 'host', 1, 2, 777);",
    "SELECT id, timestamp, nodeId, forwarded, severity, severity, messageId, param0, param1, "
    "hex(additionalInfo) FROM events ORDER BY id",
    "SELECT id, timestamp, nodeId, forwarded, generatedSeverity, deliverySeverity, messageId, "
    "param0, param1, hex(additionalInfo) FROM events ORDER BY id",
    "777"};

void makeFixture(const std::string& path, const Fixture& fixture) {
    std::filesystem::remove(path);
    const std::string nodeColumn = fixture.nodeType ? "nodeId, " : "";
    const std::string nodeValue = fixture.nodeType ? "x % 4 + 0x100000000, " : "";
    ASSERT_EQ("", delstest::exec(path, std::string(fixture.sql) + kRows +
                                           "INSERT INTO events (id, timestamp, " + nodeColumn +
                                           "forwarded, severity, messageId, param0, param1, "
                                           "additionalInfo) SELECT x * 2, 1450000000000 + x, " +
                                           nodeValue +
                                           "x % 2, x % 5, 4294967295 - x, x * 3, "
                                           "x * 11, " +
                                           kInfo + " FROM n;"));
}

TEST(AStoreMigration, KeepsEveryValueOfRevisionsOneAndTwoOnceAndLosesNoRowToAKill) {
    delstest::StoreDir dir;
    for (const Fixture* fixture : {&kRevision2, &kRevision1}) {
        const std::string path = dir.db();
        makeFixture(path, *fixture);
        const std::string rows = query(path, fixture->before);
        ASSERT_EQ(300, std::count(rows.begin(), rows.end(), '\n') + 1);
        std::string logged = delsLogOf([&] { Store(path, fixture->nodeType); });
        EXPECT_EQ(rows, query(path, fixture->after)) << fixture->nodeType;
        EXPECT_EQ("0", query(path, "SELECT count(*) FROM events WHERE sessionSequence != 0 OR "
                                   "timestampErrorBound != 0"));
        EXPECT_EQ(std::string("3|1|") + fixture->maxDbSizeKiB,
                  query(path, "SELECT version, count(*) FROM yamlConfiguration") + "|" +
                      std::to_string(Store(path, fixture->nodeType).ownRead().maxDbSizeKiB));
        EXPECT_EQ("", query(path, "SELECT name FROM sqlite_master WHERE name IN ('configuration', "
                                  "'eventsUpdateTemp')"));
        EXPECT_EQ(logged.find("Failed"), std::string::npos) << logged;
        // The second open leaves everything as it is.
        const std::string schema = query(path, "SELECT sql FROM sqlite_master ORDER BY name");
        Store{path, fixture->nodeType};
        EXPECT_EQ(schema + rows, query(path, "SELECT sql FROM sqlite_master ORDER BY name") +
                                     query(path, fixture->after));
    }

    // A power cut at every write of the migration leaves the old table or the new one, full.
    const std::string path = dir.db();
    const std::string rows = (makeFixture(path, kRevision2), query(path, kRevision2.before));
    int kills = 0;
    for (int n = 1; n < 500; ++n) {
        makeFixture(path, kRevision2);
        const int status = childStatus(forkChild([&] {
            delstest::killAtWrite(n);
            Store store(path);
            return 0;
        }));
        const bool migrated = query(path, "SELECT version FROM yamlConfiguration") == "3";
        ASSERT_EQ(rows, query(path, migrated ? kRevision2.after : kRevision2.before)) << n;
        if (status == 0)
            break;
        ASSERT_EQ(128 + SIGKILL, status);
        ++kills;
        // The next start finishes the migration.
        Store{path};
        ASSERT_EQ(rows, query(path, kRevision2.after)) << n;
    }
    EXPECT_GT(kills, 5);
}

TEST(AStore, MovesACorruptFileAsideOnceEvenWhenTwoProcessesFindItAtOnce) {
    delstest::StoreDir dir;
    const std::string path = dir.db();
    std::string noise(16384, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919 + 13) % 251);
    auto damagedPage = [&] {
        {
            Store store(path);
            CDelsTransaction transaction(store.statements(), false);
            for (unsigned i = 1; i <= 2000; ++i)
                store.statements().insertMetaEvent(event(i, i, 7, "some text of the event"));
            transaction.commit();
        }
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096 * 3);
        file.write(noise.data(), 4096);
    };
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"random bytes", [&] { std::ofstream(path, std::ios::binary) << noise; }},
        {"damaged page", damagedPage},
    };
    // A journal left beside it (its first byte 0: not hot, so SQLite leaves it) goes along.
    const std::string journal("\0stale journal", 14);
    for (const auto& c : cases) {
        std::filesystem::remove(path + ".corrupted");
        std::filesystem::remove(path + ".corrupted-journal");
        c.make();
        std::ofstream(path + "-journal", std::ios::binary) << journal;
        const std::string corrupt = testenv::readFile(path);
        const std::string logged = delsLogOf([&] {
            Store store(path);
            store.statements().insertMetaEvent(event(1, 1));
            EXPECT_EQ(1, store.statements().countEvents()) << c.name;
        });
        EXPECT_NE(logged.find("Corrupted Database detected " + path), std::string::npos);
        EXPECT_NE(logged.find("Renamed corrupted database " + path + " to: " + path + ".corrupted"),
                  std::string::npos);
        EXPECT_EQ(corrupt, testenv::readFile(path + ".corrupted")) << c.name;
        EXPECT_EQ(journal, testenv::readFile(path + ".corrupted-journal")) << c.name;
        EXPECT_EQ("ok", query(path, "PRAGMA integrity_check"));
    }

    // Both processes wait for the pipe to close, then open and insert one event each.
    std::filesystem::remove(path + ".corrupted");
    std::ofstream(path, std::ios::binary) << noise;
    int gate[2];
    ASSERT_EQ(0, ::pipe(gate));
    std::vector<pid_t> children;
    for (unsigned i = 1; i <= 3; ++i)
        children.push_back(forkChild([&] {
            ::close(gate[1]);
            char byte;
            (void)!::read(gate[0], &byte, 1);
            Store store(path);
            store.statements().insertMetaEvent(event(i, i));
            return 0;
        }));
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t child : children)
        EXPECT_EQ(0, childStatus(child));
    EXPECT_EQ("1\n2\n3", query(path, "SELECT id FROM events ORDER BY id"));
    EXPECT_EQ(noise, testenv::readFile(path + ".corrupted"));
}

TEST(ANodeConfiguration, RefusesEachMalformedTextAndKeepsWhatItHad) {
    const std::string head = "deliverySeverityAdjustments:\n";
    const std::string tail = "maxDbSizeKiB: 5\n";
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"", "yaml context=no document"},
        {"- 1\n", "yaml context=invalid node: expected MAP"},
        {head + "  - simple\n" + tail, "yaml context=invalid node: expected MAP"},
        {head + "  simple: [1]\n" + tail, "yaml context=invalid node: expected MAP"},
        {head + "  simple:\n    5: toHigh\n" + tail,
         "yaml context=invalid node: expected SEQUENCE"},
        {tail, "yaml context=missing key: deliverySeverityAdjustments"},
        {head + "  simple: {}\n", "yaml context=missing key: maxDbSizeKiB"},
        {head + "  simple:\n    abc: [toHigh]\n" + tail, "yaml context=bad conversion"},
        {head + "  simple:\n    -1: [toHigh]\n" + tail, "yaml context=bad conversion"},
        {head + "  simple:\n    4294967296: [toHigh]\n" + tail, "yaml context=bad conversion"},
        {head + "  simple:\n    5: [[toHigh]]\n" + tail, "yaml context=bad conversion"},
        {head + "  simple: {}\nmaxDbSizeKiB: -3\n", "yaml context=bad conversion"},
        {head + "  simple: {5: [toHigh\n" + tail, "yaml context=end of sequence flow not found"},
    };
    SDelsNodeConfig kept;
    kept.maxDbSizeKiB = 99;
    kept.setDSA(3, SDelsDeliverySeverityAdjustment(3, 1));
    for (const auto& c : cases) {
        SDelsNodeConfig config = kept;
        try {
            config.fromYaml(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const CDelsYamlParsingError& error) {
            EXPECT_EQ(0, std::string(error.what()).rfind(c.error, 0))
                << c.text << " -> " << error.what();
        }
        EXPECT_TRUE(config == kept) << c.text;
    }
}

TEST(ANodeConfiguration, WritesEachCategoryInOrderAndReadsItBack) {
    SDelsNodeConfig config("deliverySeverityAdjustments:\n"
                           "  param1: {9: [toHigh]}\n"
                           "  other: {305: [dropBy1/1, boostBy1], 9: [toArchive]}\n"
                           "  additionalInfo: {4: []}\n"
                           "  param0: {0x10: [ft02]}\n"
                           "maxDbSizeKiB: 100\n");
    SDelsDeliverySeverityAdjustment adjustment;
    ASSERT_TRUE(config.getDSA(9, adjustment));
    EXPECT_EQ(SDelsDeliverySeverityAdjustment(9, 0), (adjustment.clear(), adjustment));
    config.setDSA(77, SDelsDeliverySeverityAdjustment(77, 3)); // no category: not written
    std::string text;
    config.toYaml(text);
    EXPECT_EQ("deliverySeverityAdjustments:\n  additionalInfo:\n    4: []\n  param0:\n"
              "    16: [ft02]\n  param1: {}\n  simple:\n    9: [toArchive]\n"
              "    305: [boostBy1, dropBy1/1]\nmaxDbSizeKiB: 100",
              text);
    SDelsNodeConfig reread = config; // 77 is not in the text: reading it drops 77
    reread.fromYaml(text);
    config.adjustments.erase(77);
    EXPECT_TRUE(reread == config);
}

TEST(AStoreConfiguration, ReachesEveryProcessOnTheDatabaseAndOnlyACallerDrainsItsFifo) {
    delstest::StoreDir dir;
    const std::string path = dir.db();
    Store store(path);
    SDelsNodeConfig seen;
    store.getConfiguration(seen);
    EXPECT_TRUE(seen == SDelsNodeConfig());
    EXPECT_TRUE(closedOnExec(path + ".delsEventUpdate") &&
                closedOnExec(path + ".delsConfigUpdate"));
    auto setInChild = [&](unsigned size) {
        return childStatus(forkChild([&] {
            SDelsNodeConfig config;
            config.maxDbSizeKiB = size;
            config.version = 1; // the revision is the tables', not the caller's
            Store(path).setConfiguration(config);
            return 0;
        }));
    };
    ASSERT_EQ(0, setInChild(100));
    ASSERT_EQ(0, setInChild(200));
    // The store's own reads, a new store's among them, leave the notifications in the FIFO.
    EXPECT_EQ(200u, store.ownRead().maxDbSizeKiB);
    EXPECT_EQ(200u, Store(path).ownRead().maxDbSizeKiB);
    EXPECT_TRUE(readable(store.getConfigurationUpdateFd()));
    store.getConfiguration(seen);
    EXPECT_EQ(std::make_tuple(200u, 3u), std::make_tuple(seen.maxDbSizeKiB, seen.version));
    EXPECT_FALSE(readable(store.getConfigurationUpdateFd()));
    EXPECT_EQ("3", query(path, "SELECT version FROM yamlConfiguration"));

    // Set here, seen by another store; a missing row is written again.
    Store other(path);
    seen.maxDbSizeKiB = 300;
    store.setConfiguration(seen);
    EXPECT_EQ(300u, other.ownRead().maxDbSizeKiB);
    ASSERT_EQ("", delstest::exec(path, "DELETE FROM yamlConfiguration;"));
    store.setConfiguration(seen);
    EXPECT_EQ("3|1", query(path, "SELECT version, count(*) FROM yamlConfiguration"));
    // Writing the FIFO left the caller's signal mask, which exec'd children inherit, alone.
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));

    // A semaphore name too long for the system is an error of its own, not a crash.
    std::string deep = dir.dir();
    for (int i = 0; i < 3; ++i)
        std::filesystem::create_directory(deep += "/" + std::string(100, 'd'));
    try {
        Store{deep + "/dels.db"};
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("semaphore"), std::string::npos) << error.what();
    }
}

// Waits until `pid` sleeps on a lock: a waiting flock shows in /proc/locks, a semaphore wait
// as a futex wait.
bool blockedOnLock(pid_t pid) {
    return testenv::waitUntil([pid] {
        const std::string locks = testenv::readFile("/proc/locks");
        const std::string wchan = testenv::readFile("/proc/" + std::to_string(pid) + "/wchan");
        return locks.find("-> FLOCK  ADVISORY  WRITE " + std::to_string(pid) + " ") !=
                   std::string::npos ||
               wchan.find("futex") != std::string::npos;
    });
}

TEST(ACrossProcessLock, MakesTheOtherProcessWaitOrSkipAndReportsWhatFails) {
    delstest::StoreDir dir;
    const std::string path = dir.dir() + "/x.lck";
    const std::string marker = dir.dir() + "/released";
    const std::string semName = "/" + dir.dir().substr(5) + "-mutex";
    // The child runs `take` once the parent holds the lock; the parent releases when the child
    // is seen waiting, after leaving a marker that the child must then find.
    auto scenario = [&](auto hold, auto take) {
        std::filesystem::remove(marker);
        auto held = hold();
        const pid_t child =
            forkChild([&] { return take() && std::filesystem::exists(marker) ? 0 : 1; });
        EXPECT_TRUE(blockedOnLock(child));
        std::ofstream(marker) << "x";
        held.reset();
        EXPECT_EQ(0, childStatus(child));
    };
    scenario([&] { return std::make_unique<CDelsFileLock>(path); },
             [&] {
                 CDelsFileLock other;
                 return !other.lock(path, false) && !other.held() && other.lock(path, true);
             });
    scenario([&] { return std::make_unique<CDelsNamedMutex>(semName); },
             [&] { return CDelsNamedMutex(semName), true; });
    ::sem_unlink(semName.c_str());

    // Within a process two objects exclude each other; a second lock releases the first.
    CDelsFileLock first(path), second;
    EXPECT_TRUE(closedOnExec(path));
    EXPECT_FALSE(second.lock(path, false));
    first.lock(path + "2", true);
    EXPECT_TRUE(second.lock(path, false));
    second.release();
    second.release();
    try {
        second.lock(dir.dir() + "/none/x.lck", true);
        ADD_FAILURE();
    } catch (const CDelsMutexError& error) {
        EXPECT_EQ("Failed to open file " + dir.dir() + "/none/x.lck. Err 2",
                  std::string(error.what()));
    }
    EXPECT_FALSE(second.held());
}

TEST(AStatementConnection, InsertsFindsDelegatesAndCountsEvents) {
    delstest::StoreDir dir;
    const std::string path = dir.db();
    Store store(path, DNT_RELAY); // writes the events' own ids
    CDelsSqlite3& db = store.statements();
    EXPECT_EQ(0, db.countEvents());
    {
        CDelsTransaction rolledBack(db, true);
        db.insertMetaEvent(event(1, 10));
    }
    EXPECT_EQ(0, db.countEvents());
    // Newest last; event 5 forwarded; events 2 and 4 share param0 with the new one, 3 and 4 its
    // param1, 4 its text.
    const std::vector<CDelsMetaEvent> stored = {
        event(1, 10, 7, "", false, DSEV_ARCHIVE),
        event(2, 20, 7, "a", false, DSEV_NORMAL, 1, 0),
        event(3, 30, 7, "b", false, DSEV_NORMAL, 0, 2),
        event(4, 40, 7, std::string("x\0y", 3), false, DSEV_DISCARDABLE, 1, 2),
        event(5, 50, 7, "", true, DSEV_NORMAL, 1, 2),
        event(6, 60, 8, "", false, DSEV_DISCARDABLE),
    };
    for (const auto& e : stored)
        db.insertMetaEvent(e);
    db.insertMetaEvent(stored[1]);
    EXPECT_EQ(0, sqlite3_changes(db.getDbHandle()));
    EXPECT_EQ("6|blob|0",
              query(path, "SELECT (SELECT count(*) FROM events), typeof(additionalInfo), "
                          "length(additionalInfo) FROM events WHERE id = 1"));
    EXPECT_TRUE(db.eventExists(SEventUniqueness(stored[3])));
    EXPECT_FALSE(db.eventExists(SEventUniqueness(4u, 0ULL, 41ULL)));

    const CDelsMetaEvent arriving =
        event(9, 90, 7, std::string("x\0y", 3), false, DSEV_NORMAL, 1, 2);
    const std::pair<unsigned, const char*> matches[] = {
        {0, "4 3 2 1"}, {1, "4 2"}, {2, "4 3"}, {3, "4"}, {4, "4"}, {5, "4"}, {7, "4"},
    };
    std::list<CDelsMetaEvent> found;
    for (const auto& m : matches) {
        db.getEventsToDelegate(arriving, SDelsDeliverySeverityAdjustment(7, m.first), found);
        std::string ids;
        for (const auto& e : found)
            ids += (ids.empty() ? "" : " ") + std::to_string(e.getId());
        EXPECT_EQ(m.second, ids) << "flags " << m.first;
    }
    EXPECT_EQ(std::make_tuple(std::string("x\0y", 3), DSEV_DISCARDABLE, 40ULL, 1u, 2u),
              std::make_tuple(found.front().getAdditionalInfo(),
                              found.front().getDeliverySeverity(), found.front().getTimestamp(),
                              found.front().getParam0(), found.front().getParam1()));

    db.delegateEvent({2, DSEV_CRITICAL});
    EXPECT_EQ("0|2", query(path, "SELECT deliverySeverity, generatedSeverity FROM events "
                                 "WHERE id = 2"));
    try {
        db.prepareStatement("SELECT x FROM nowhere;");
        ADD_FAILURE();
    } catch (const CDelsDatabaseError& error) {
        EXPECT_EQ(SQLITE_ERROR, error.errorCode());
        EXPECT_EQ(0, std::string(error.what())
                         .find("msg=no such table: nowhere, result=1, "
                               "sql=\"SELECT x FROM nowhere;\", line="))
            << error.what();
    }
}

} // namespace
