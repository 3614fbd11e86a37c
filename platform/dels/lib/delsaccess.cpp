#include "delsaccess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "delsfiles.h"
#include "delslock.h"
#include "delslogger.h"

namespace {

constexpr int kCurrentRevision = SDelsNodeConfig::CURRENT_VERSION;
constexpr int kBusyTimeoutMs = 60000;

bool isCorruption(int result) {
    result &= 0xff; // extended codes: SQLITE_CORRUPT_INDEX and the like
    return result == SQLITE_CORRUPT || result == SQLITE_NOTADB;
}

std::string fifoError(const std::string& path, const char* how, const std::string& reason,
                      int line) {
    return "Error opening " + path + " " + how + ": " + reason + " line:" + std::to_string(line);
}

int openFifo(const std::string& path, bool writeEnd) {
    const char* how = writeEnd ? "read-write" : "read-only";
    int fd = ::open(path.c_str(), (writeEnd ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(fifoError(path, how, std::strerror(errno), __LINE__));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error(fifoError(path, how, "not a FIFO", __LINE__));
    }
    return fd;
}

void makeFifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0666) == 0)
        dels::setMode(path, 0666);
    else if (errno != EEXIST)
        throw std::runtime_error("Error creating " + path + ": " + std::strerror(errno) +
                                 " line:" + std::to_string(__LINE__));
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Moves `from` to `to`, or deletes it when it cannot be moved; false when it is still there.
bool moveAside(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) {
        CDelsLogger::logger().logInfo("Renamed corrupted database %s to: %s", from.c_str(),
                                      to.c_str());
        return true;
    }
    if (errno == ENOENT)
        return true;
    CDelsLogger::logger().logError(
        "Failed to rename corrupted database %s to %s. Will try to delete it.", from.c_str(),
        to.c_str());
    if (::unlink(from.c_str()) == 0 || errno == ENOENT) {
        CDelsLogger::logger().logInfo("Deleted corrupted database %s", from.c_str());
        return true;
    }
    return false;
}

} // namespace

std::string CDelsAccess::semaphoreName(const std::string& path) {
    std::string name = "config-count-" + path;
    for (char& c : name)
        if (c == '/')
            c = '-';
    return name;
}

CDelsAccess::CDelsAccess(const std::string& path, DelsNodeType nodeType, bool /*flag*/)
    : m_path(path), m_isOrigin(nodeType == DNT_ORIGIN), m_hasNodeId(nodeType != DNT_ORIGIN),
      m_hasForwarded(nodeType != DNT_SINK), m_hasDeliverySeverity(nodeType != DNT_SINK),
      m_hasKey(nodeType != DNT_ORIGIN) {
    if (nodeType != DNT_ORIGIN && nodeType != DNT_RELAY && nodeType != DNT_SINK)
        throw std::runtime_error("Unknown node type " + std::to_string(nodeType) + " for " + path);
    try {
        _openFifos();
        _openDatabase();
        _checkTablesAndHatchIfNeeded();
        try {
            // Not getConfiguration: the FIFO's bytes belong to the caller's poll loop.
            _refreshConfiguration(m_db);
        } catch (const CDelsDatabaseError&) {
            CDelsLogger::logger().logError("Failed to read DELS node config, use default");
        }
        m_statements = new CDelsSqlite3(m_path, getDbAttr());
    } catch (...) {
        _close();
        throw;
    }
}

CDelsAccess::~CDelsAccess() {
    _close();
    CDelsLogger::logger().logDebug("~CDelsAccess exited");
}

void CDelsAccess::_close() {
    delete m_statements;
    m_statements = nullptr;
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    if (m_configCount != SEM_FAILED) {
        // Every other process re-reads the configuration once.
        ::sem_post(m_configCount);
        ::sem_close(m_configCount);
        m_configCount = SEM_FAILED;
    }
    closeFd(m_eventFifoWrite);
    closeFd(m_eventFifoRead);
    closeFd(m_configFifoWrite);
    closeFd(m_configFifoRead);
}

void CDelsAccess::_openFifos() {
    const std::string configFifo = m_path + ".delsConfigUpdate";
    const std::string eventFifo = m_path + ".delsEventUpdate";
    makeFifo(configFifo);
    makeFifo(eventFifo);
    const std::string name = semaphoreName(m_path);
    m_configCount = dels::openSemaphore(name, 0, 0666);
    if (m_configCount == SEM_FAILED)
        throw std::runtime_error("Error opening semaphore " + name + ": " + std::strerror(errno) +
                                 " line:" + std::to_string(__LINE__));
    // Holding a read end of each FIFO ourselves keeps the writes from ever raising SIGPIPE.
    m_eventFifoWrite = openFifo(eventFifo, true);
    m_eventFifoRead = openFifo(eventFifo, false);
    m_configFifoWrite = openFifo(configFifo, true);
    m_configFifoRead = openFifo(configFifo, false);
}

void CDelsAccess::_openDatabase() {
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    int result = sqlite3_open_v2(m_path.c_str(), &m_db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
    // A corrupt file is found by the schema inspection, under the schema lock.
    if (result != SQLITE_OK && !isCorruption(result)) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw CDelsDatabaseError(result, "could not open database file " + m_path, "", __LINE__);
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    dels::setMode(m_path, 0660);
}

bool CDelsAccess::_inspect(bool& hasConfig, bool& hasYamlConfig, bool& hasEvents,
                           bool& hasTempEvents) {
    hasConfig = hasYamlConfig = hasEvents = hasTempEvents = false;
    const char* sql = "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;\n";
    sqlite3_stmt* raw = nullptr;
    int result = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
    CDelsStatementFinalize stmt(raw);
    if (result != SQLITE_OK) {
        CDelsLogger::logger().logError("Error checking master table Result:%i, Message:%s Line:%d",
                                       result, sqlite3_errmsg(m_db), __LINE__);
    } else {
        while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
            hasConfig |= name == "configuration";
            hasYamlConfig |= name == "yamlConfiguration";
            hasEvents |= name == "events";
            hasTempEvents |= name == "eventstemp";
        }
    }
    CDelsLogger::logger().logDebug(
        "hasConfigTable=%d, hasYamlConfigTable=%d, hasEventsTable=%d, hasTempEventsTable=%d, "
        "skipCreation=%d",
        hasConfig, hasYamlConfig, hasEvents, hasTempEvents, 0);
    if (result == SQLITE_DONE) {
        // A damaged page elsewhere than the schema would fail every later insert.
        sqlite3_stmt* check = nullptr;
        result = sqlite3_prepare_v2(m_db, "PRAGMA quick_check(1);", -1, &check, nullptr);
        CDelsStatementFinalize checkGuard(check);
        if (result == SQLITE_OK && (result = sqlite3_step(check)) == SQLITE_ROW) {
            const unsigned char* verdict = sqlite3_column_text(check, 0);
            result = verdict && std::strcmp(reinterpret_cast<const char*>(verdict), "ok") == 0
                         ? SQLITE_DONE
                         : SQLITE_CORRUPT;
        }
    }
    if (isCorruption(result))
        return false;
    if (result != SQLITE_DONE)
        throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), sql, __LINE__);
    return true;
}

void CDelsAccess::_handleCorruptDatabase() {
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    CDelsLogger::logger().logError("Corrupted Database detected %s", m_path.c_str());
    const std::string aside = m_path + ".corrupted";
    // A journal left next to a fresh file would be played back into it.
    if (!moveAside(m_path, aside) || !moveAside(m_path + "-journal", aside + "-journal"))
        throw CDelsDatabaseError(
            errno, "Failed to rename and delete corrupted database " + m_path + " to " + aside, "",
            __LINE__);
    _openDatabase();
}

void CDelsAccess::_checkTablesAndHatchIfNeeded() {
    CDelsLogger::logger().logDebug("enter CDelsAccess::_checkTablesAndHatchIfNeeded");
    CDelsFileLock schemaLock(m_path + ".schema.lck");
    bool hasConfig, hasYamlConfig, hasEvents, hasTempEvents;
    if (!_inspect(hasConfig, hasYamlConfig, hasEvents, hasTempEvents)) {
        // Another process may have replaced the file while this one waited for the lock: look
        // at what is at the path now before moving anything aside.
        _openDatabase();
        if (!_inspect(hasConfig, hasYamlConfig, hasEvents, hasTempEvents)) {
            _handleCorruptDatabase();
            if (!_inspect(hasConfig, hasYamlConfig, hasEvents, hasTempEvents))
                throw CDelsDatabaseError(SQLITE_CORRUPT, "database still corrupt: " + m_path, "",
                                         __LINE__);
        }
    }
    // One transaction: a crash leaves the schema as it was or complete, never half migrated.
    _exec("BEGIN IMMEDIATE TRANSACTION;");
    try {
        _hatch(hasConfig, hasYamlConfig, hasEvents, hasTempEvents);
        _exec("COMMIT TRANSACTION;");
    } catch (...) {
        if (!sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK TRANSACTION;", nullptr, nullptr, nullptr);
        throw;
    }
    CDelsLogger::logger().logDebug("exit CDelsAccess::_checkTablesAndHatchIfNeeded, return %d", 1);
}

void CDelsAccess::_hatch(bool hasConfig, bool hasYamlConfig, bool hasEvents, bool hasTempEvents) {
    const bool fromOldTable = hasConfig || !hasYamlConfig;
    if (!hasYamlConfig) {
        // The oldest schema's values (its revision above all) carry over.
        SDelsNodeConfig initial;
        if (hasConfig) {
            try {
                initial = SDelsNodeConfig(m_db);
            } catch (const CDelsDatabaseError&) {
                initial = SDelsNodeConfig();
            }
        }
        _exec("CREATE TABLE IF NOT EXISTS yamlConfiguration ( version INTEGER, yaml TEXT );");
        _exec("INSERT INTO yamlConfiguration VALUES (3, '');");
        initial.updateDatabase(m_db);
    }
    if (fromOldTable)
        _exec("DROP TABLE IF EXISTS configuration;");

    // The revision alone: a configuration text that does not parse must not stop a migration.
    int version = -1;
    {
        sqlite3_stmt* raw = nullptr;
        const char* sql = "SELECT version FROM yamlConfiguration;";
        int result = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
        CDelsStatementFinalize stmt(raw);
        if (result == SQLITE_OK && (result = sqlite3_step(raw)) == SQLITE_ROW)
            version = sqlite3_column_int(raw, 0);
        else if (result == SQLITE_DONE)
            SDelsNodeConfig().updateDatabase(m_db); // the row was missing
        else
            throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), sql, __LINE__);
    }
    if (version < 0)
        version = kCurrentRevision;

    if (fromOldTable || version < kCurrentRevision)
        CDelsLogger::logger().logInfo("Updating DELS schema from version %d to %d", version,
                                      kCurrentRevision);
    if (version < kCurrentRevision) {
        _exec("SAVEPOINT migrateEvents;");
        try {
            if (hasEvents) {
                if (version < 1)
                    throw CDelsDatabaseError(SQLITE_MISMATCH,
                                             "unknown schema revision " + std::to_string(version),
                                             "", __LINE__);
                _updateEventsTable(version, kCurrentRevision);
            }
            _exec("UPDATE yamlConfiguration SET version = " + std::to_string(kCurrentRevision) +
                  ";");
            _exec("RELEASE migrateEvents;");
        } catch (const CDelsDatabaseError&) {
            CDelsLogger::logger().logError("Failed to update DELS schema version");
            // After some errors SQLite has rolled back the whole transaction already.
            if (sqlite3_get_autocommit(m_db))
                throw;
            _exec("ROLLBACK TO migrateEvents;");
            _exec("RELEASE migrateEvents;");
        }
    }
    if (!hasEvents)
        _createTable("events", kCurrentRevision);
    if (m_hasKey && !hasTempEvents)
        _createTable("eventstemp", kCurrentRevision);
}

void CDelsAccess::_exec(const std::string& sql, bool logFailure) {
    sqlite3_stmt* raw = nullptr;
    int result = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &raw, nullptr);
    CDelsStatementFinalize stmt(raw);
    if (result == SQLITE_OK)
        result = sqlite3_step(raw);
    if (result != SQLITE_DONE) {
        if (logFailure)
            CDelsLogger::logger().logError("%s", sqlite3_errmsg(m_db));
        throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), sql, __LINE__);
    }
}

std::string CDelsAccess::_columns(int revision, bool withTypes, int partner) const {
    std::string list;
    auto add = [&](const char* name, const char* type = "INTEGER DEFAULT 0") {
        if (!list.empty())
            list += ", ";
        list += name;
        if (withTypes) {
            list += " ";
            list += type;
        }
    };
    const char* autoKey = "INTEGER PRIMARY KEY AUTOINCREMENT";
    if (revision == 1) {
        add("id", "INTEGER PRIMARY KEY");
    } else if (m_hasKey) {
        if (partner > 1)
            add(revision >= 3 ? "key " : "key", autoKey);
        add("id");
    } else {
        add("id", autoKey);
    }
    if (revision >= 3 && partner > 2)
        add("sessionSequence");
    add("timestamp");
    if (revision >= 3 && partner > 2)
        add("timestampErrorBound");
    if (m_hasNodeId)
        add("nodeId");
    if (m_hasForwarded) {
        add("forwarded");
        if (revision < 3)
            add("severity");
        else if (partner <= 2)
            add("generatedSeverity");
    }
    if (revision >= 3 && partner > 2) {
        if (m_hasDeliverySeverity)
            add("deliverySeverity");
        add("generatedSeverity", m_hasKey ? "INTEGER DEFAULT 2" : "INTEGER DEFAULT 0");
    }
    add("messageId");
    add("param0");
    add("param1");
    add("additionalInfo", "BLOB");
    if (withTypes && revision >= 2)
        list += m_hasNodeId
                    ? ", CONSTRAINT NO_DUPLICATE_EVENTS UNIQUE (id, nodeId, timestamp) ON CONFLICT "
                      "IGNORE"
                    : ", CONSTRAINT NO_DUPLICATE_EVENTS UNIQUE (id, timestamp) ON CONFLICT IGNORE";
    return list;
}

void CDelsAccess::_createTable(const std::string& name, int revision) {
    CDelsLogger::logger().logDebug("Creating table %s", name.c_str());
    _exec("CREATE TABLE IF NOT EXISTS " + name + " ( " +
          _columns(revision, true, kCurrentRevision) + "); ");
    if (!m_isOrigin)
        _exec("CREATE INDEX IF NOT EXISTS main.dup ON events (id, timestamp, nodeId);");
}

void CDelsAccess::_updateEventsTable(int fromRev, int toRev) {
    CDelsLogger::logger().logDebug("enter CDelsAccess::_updateEventsTable fromRev=%d, toRev=%d",
                                   fromRev, toRev);
    _exec("DROP TABLE IF EXISTS eventsUpdateTemp;");
    _createTable("eventsUpdateTemp", fromRev);
    _exec("INSERT INTO eventsUpdateTemp SELECT * FROM events;");
    _exec("DROP TABLE events;");
    _createTable("events", kCurrentRevision);
    const std::string copy = "INSERT INTO events ( " + _columns(toRev, false, fromRev) +
                             " ) SELECT " + _columns(fromRev, false, toRev) +
                             " FROM eventsUpdateTemp;";
    CDelsLogger::logger().logDebug("SQL for event table conversion: %s", copy.c_str());
    _exec(copy, true);
    if (fromRev < 3 && toRev > 2 && m_hasDeliverySeverity)
        _exec("UPDATE events SET deliverySeverity = generatedSeverity;");
    _exec("DROP TABLE eventsUpdateTemp;");
    CDelsLogger::logger().logDebug("exit CDelsAccess::_updateEventsTable");
}

void CDelsAccess::_refreshConfiguration(sqlite3* db) {
    int count = 0;
    if (::sem_getvalue(m_configCount, &count) != 0 || count == m_lastConfigCount)
        return;
    SDelsNodeConfig fresh(db);
    {
        std::lock_guard<std::mutex> lock(m_configMutex);
        m_config = fresh;
    }
    m_lastConfigCount = count;
}

void CDelsAccess::_readConfiguration(SDelsNodeConfig& out, sqlite3* db) {
    _refreshConfiguration(db);
    std::lock_guard<std::mutex> lock(m_configMutex);
    out = m_config;
}

bool CDelsAccess::_getDSA(unsigned messageId, SDelsDeliverySeverityAdjustment& out) const {
    std::lock_guard<std::mutex> lock(m_configMutex);
    return m_config.getDSA(messageId, out);
}

void CDelsAccess::getConfiguration(SDelsNodeConfig& out) {
    _refreshConfiguration(m_db);
    std::lock_guard<std::mutex> lock(m_configMutex);
    out = m_config;
    dels::drain(m_configFifoRead);
}

void CDelsAccess::setConfiguration(const SDelsNodeConfig& config) {
    CDelsFileLock configLock(m_path + ".config.lck");
    // The revision describes the tables, which a configuration change does not touch.
    SDelsNodeConfig stored = config;
    stored.version = kCurrentRevision;
    stored.updateDatabase(m_db);
    {
        std::lock_guard<std::mutex> lock(m_configMutex);
        m_config = stored;
    }
    // The last seen count stays: a post of another process between this post and a read of
    // the count would otherwise go unnoticed; the next refresh reads once more instead.
    ::sem_post(m_configCount);
    dels::notify(m_configFifoWrite);
}

void CDelsAccess::_notifyEventUpdate() {
    dels::notify(m_eventFifoWrite);
}

void CDelsAccess::_drainEventUpdates() {
    dels::drain(m_eventFifoRead);
}
