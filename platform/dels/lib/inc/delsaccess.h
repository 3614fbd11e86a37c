// The base of every object that opens an event database: opens or creates the file, its
// companion FIFOs, lock files and configuration-count semaphore, creates or migrates the tables
// (current revision 3), recovers a corrupt file, and keeps the node configuration that all
// processes on the database share. Construction throws std::runtime_error (FIFOs, semaphore)
// or CDelsDatabaseError (database, schema). The configuration operations may be called from
// any thread; the raw handle and the statement connection are for one thread at a time.
#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <semaphore.h>
#include <sqlite3.h>
#include <string>

#include "delsconfig.h"
#include "delssqlite3.h"
#include "delstypes.h"

struct SDelsEventCount;

class CDelsAccess {
public:
    // `flag` is not used by the store base. Node types other than 0, 1 and 2 are refused.
    CDelsAccess(const std::string& path, DelsNodeType nodeType, bool flag);
    virtual ~CDelsAccess();
    CDelsAccess(const CDelsAccess&) = delete;
    CDelsAccess& operator=(const CDelsAccess&) = delete;

    // The configuration as stored now; drains the configuration-update FIFO. Throws
    // CDelsDatabaseError when the stored configuration cannot be read.
    void getConfiguration(SDelsNodeConfig& out);
    // Stores `config` (always as the current schema revision) and announces it to every process
    // on the database. Throws CDelsDatabaseError or CDelsMutexError.
    void setConfiguration(const SDelsNodeConfig& config);

    // Read ends for a caller's poll loop: one byte per committed batch of events, one per
    // configuration change.
    int getEventDatabaseUpdateFd() const { return m_eventFifoRead; }
    int getConfigurationUpdateFd() const { return m_configFifoRead; }

    const std::string& getPath() const { return m_path; }
    bool isOrigin() const { return m_isOrigin; }
    bool hasNodeId() const { return m_hasNodeId; }
    bool hasForwarded() const { return m_hasForwarded; }
    bool hasDeliverySeverity() const { return m_hasDeliverySeverity; }
    bool hasKey() const { return m_hasKey; }
    SDelsDbAttr getDbAttr() const {
        return {m_hasForwarded, m_hasDeliverySeverity, m_hasNodeId, m_hasKey};
    }

    // The stored event of `id` (a node id of 0 matches any node) replaces `out`; `out` stays as
    // it was when there is none. Throws CDelsDatabaseError.
    void _getEvent(const SEventUniqueness& id, CDelsEvent& out);
    // One entry per identity, in order, a default-constructed one for each that is not stored;
    // `ids` is emptied on the way.
    void _getEvents(std::list<SEventUniqueness>& ids, std::list<CDelsEvent>& out);

    // One size-cleanup pass on `connection` (the statement connection without one); a keyed
    // node keeps the events after the forwarding position in `stateFile` (may be null). Throws
    // CDelsDatabaseError after rolling back. `known`, when given, carries the connection's number
    // of events from one pass to the next.
    void checkSizeAndCleanDB(CDelsSqlite3& connection, const char* stateFile,
                             SDelsEventCount* known = nullptr);
    void checkSizeAndCleanDB(const char* stateFile) {
        checkSizeAndCleanDB(*m_statements, stateFile);
    }

    // "config-count-" + path with every "/" replaced by "-".
    static std::string semaphoreName(const std::string& path);

protected:
    // Re-reads the stored configuration through `db` when another process (or this one) changed
    // it since the last read. Throws CDelsDatabaseError.
    void _refreshConfiguration(sqlite3* db);
    // Refreshes through `db` and copies the configuration, leaving the configuration-update FIFO
    // to the caller's poll loop: for the store's own use.
    void _readConfiguration(SDelsNodeConfig& out, sqlite3* db);
    // The adjustment of `messageId` in the configuration in force; false when none.
    bool _getDSA(unsigned messageId, SDelsDeliverySeverityAdjustment& out) const;
    // As _getEvent and _getEvents, with forwarded, key and delivery severity as stored.
    void _getMetaEvent(const SEventUniqueness& id, CDelsMetaEvent& out);
    void _getMetaEvents(std::list<SEventUniqueness>& ids, std::list<CDelsMetaEvent>& out);
    // One byte on the event-update FIFO, after a committed batch.
    void _notifyEventUpdate();
    // Takes away what waits on the event-update FIFO (a reader has just read the events).
    void _drainEventUpdates();

    const std::string m_path;
    sqlite3* m_db = nullptr; // schema, configuration and the reading side
    const bool m_isOrigin;
    const bool m_hasNodeId;
    const bool m_hasForwarded;
    const bool m_hasDeliverySeverity;
    const bool m_hasKey;
    CDelsSqlite3* m_statements = nullptr; // synchronous insertion and cleanup

private:
    void _close();
    void _openFifos();
    void _openDatabase();
    bool _inspect(bool& hasConfig, bool& hasYamlConfig, bool& hasEvents, bool& hasTempEvents);
    void _handleCorruptDatabase();
    void _checkTablesAndHatchIfNeeded();
    void _hatch(bool hasConfig, bool hasYamlConfig, bool hasEvents, bool hasTempEvents);
    void _updateEventsTable(int fromRev, int toRev);
    void _createTable(const std::string& name, int revision);
    std::string _columns(int revision, bool withTypes, int partner) const;
    void _exec(const std::string& sql, bool logFailure = false);

    SDelsNodeConfig m_config;
    std::atomic<int> m_lastConfigCount{-1};
    sem_t* m_configCount = SEM_FAILED;
    int m_eventFifoWrite = -1;
    int m_eventFifoRead = -1;
    int m_configFifoWrite = -1;
    int m_configFifoRead = -1;
    mutable std::mutex m_configMutex; // guards m_config
};
