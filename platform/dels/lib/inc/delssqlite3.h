// One SQLite connection to the event database with the store's fifteen statements, prepared on
// first use and kept for the connection's life. Used by one thread at a time; every failure
// surfaces as CDelsDatabaseError and nothing is retried or rolled back here.
#pragma once

#include <list>
#include <sqlite3.h>
#include <string>
#include <utility>

#include "delsconfig.h"
#include "delserrors.h"
#include "delstypes.h"

// Which optional columns a connection writes (filled from the node type).
struct SDelsDbAttr {
    bool hasForwarded = false;
    bool hasDeliverySeverity = false;
    bool hasNodeId = false;
    // Inserts write the event's own id; the table then has a separate `key`.
    bool insertsId = false;
};

enum EDelsStatement {
    EDS_BEGIN_IMMEDIATE = 0,
    EDS_BEGIN_EXCLUSIVE = 1,
    EDS_ROLLBACK = 2,
    EDS_END = 3,
    EDS_COUNT_EVENTS = 4,
    EDS_DELETE_FORWARDED = 5,
    EDS_DELETE_BY_SEVERITY_LIMIT = 6,
    EDS_VACUUM = 7,
    EDS_INSERT_META_EVENT = 8,
    EDS_EVENT_EXISTS = 9,
    EDS_DELEGATE_EVENT = 10,
    EDS_DELEGATE_MESSAGE = 11,
    EDS_DELEGATE_PARAM0 = 12,
    EDS_DELEGATE_PARAM0_PARAM1 = 13,
    EDS_DELEGATE_ALL = 14,
    EDS_COUNT = 15 // number of slots, not a statement
};

// An event id with the delivery severity delegation gives it.
using DelsDelegationPair = std::pair<unsigned, DelsSeverity>;

class CDelsSqlite3 {
public:
    // Opens (creating if needed) `path`; busy time-out 60 s. Throws CDelsDatabaseError.
    CDelsSqlite3(const std::string& path, const SDelsDbAttr& attr);
    ~CDelsSqlite3();
    CDelsSqlite3(const CDelsSqlite3&) = delete;
    CDelsSqlite3& operator=(const CDelsSqlite3&) = delete;

    sqlite3* getDbHandle() const { return m_db; }

    // The cached statement of `slot`, reset; null while the slot is empty.
    sqlite3_stmt* getStatement(EDelsStatement slot);
    // As above, preparing `sql` into an empty slot first.
    sqlite3_stmt* getStatement(EDelsStatement slot, const char* sql);
    // A new statement the caller finalises.
    sqlite3_stmt* prepareStatement(const std::string& sql);
    // SQLITE_OK, SQLITE_ROW or SQLITE_DONE; anything else throws.
    int statementStep(sqlite3_stmt* stmt);

    void beginImmediateTransaction();
    void beginExclusiveTransaction();
    void endTransaction();
    void rollbackTransaction();

    void insertMetaEvent(const CDelsMetaEvent& event);
    bool eventExists(const SEventUniqueness& uniqueness);
    void delegateEvent(const DelsDelegationPair& pair);
    // The stored, unforwarded events of `event`'s message id matching it as the adjustment's
    // flags demand, newest first.
    void getEventsToDelegate(const CDelsMetaEvent& event,
                             const SDelsDeliverySeverityAdjustment& adjustment,
                             std::list<CDelsMetaEvent>& out);
    int countEvents();
    int deleteForwardedEvents();
    int deleteEventsBySeverityLimit(DelsSeverity severity, int limit);
    void vacuumDatabase();

    // The insert text for `attr` (it depends on nothing else).
    static std::string insertSql(const SDelsDbAttr& attr);

private:
    void stepSlot(EDelsStatement slot, const char* sql);
    [[noreturn]] void throwError(int result, sqlite3_stmt* stmt, unsigned line);

    sqlite3* m_db = nullptr;
    SDelsDbAttr m_attr;
    sqlite3_stmt* m_statements[EDS_COUNT] = {};
};

// Resets a statement when the scope ends, however it ends, so that it never keeps a read or
// write lock between calls.
class CDelsStatementReset {
public:
    explicit CDelsStatementReset(sqlite3_stmt* stmt) : m_stmt(stmt) {}
    ~CDelsStatementReset() { sqlite3_reset(m_stmt); }
    CDelsStatementReset(const CDelsStatementReset&) = delete;
    CDelsStatementReset& operator=(const CDelsStatementReset&) = delete;

private:
    sqlite3_stmt* m_stmt;
};

// Finalises a statement of one use when the scope ends.
class CDelsStatementFinalize {
public:
    explicit CDelsStatementFinalize(sqlite3_stmt* stmt = nullptr) : m_stmt(stmt) {}
    ~CDelsStatementFinalize() { sqlite3_finalize(m_stmt); }
    CDelsStatementFinalize(const CDelsStatementFinalize&) = delete;
    CDelsStatementFinalize& operator=(const CDelsStatementFinalize&) = delete;
    sqlite3_stmt* get() const { return m_stmt; }

private:
    sqlite3_stmt* m_stmt;
};

// A transaction on a connection that rolls back when the scope ends without commit(); a failing
// rollback there is ignored (SQLite may already have rolled back after an I/O error).
class CDelsTransaction {
public:
    CDelsTransaction(CDelsSqlite3& connection, bool exclusive) : m_connection(connection) {
        if (exclusive)
            connection.beginExclusiveTransaction();
        else
            connection.beginImmediateTransaction();
    }
    ~CDelsTransaction();
    void commit() {
        m_connection.endTransaction();
        m_open = false;
    }
    CDelsTransaction(const CDelsTransaction&) = delete;
    CDelsTransaction& operator=(const CDelsTransaction&) = delete;

private:
    CDelsSqlite3& m_connection;
    bool m_open = true;
};
