#include "delssqlite3.h"

namespace {

const char* const kSlotSql[EDS_COUNT] = {
    "BEGIN IMMEDIATE TRANSACTION;",
    "BEGIN EXCLUSIVE TRANSACTION;",
    "ROLLBACK TRANSACTION;",
    "END TRANSACTION;",
    "SELECT COUNT(*) FROM events;",
    "DELETE FROM events WHERE forwarded = 1;",
    "DELETE FROM events WHERE id in (SELECT id FROM events WHERE generatedSeverity = ?1 LIMIT ?2);",
    "vacuum;",
    nullptr, // insert: built from the attributes
    nullptr, // existence: built from the attributes
    "UPDATE events SET deliverySeverity = ?1 WHERE id = ?2;",
    nullptr, // delegation queries: built below
    nullptr,
    nullptr,
    nullptr,
};

const std::string kDelegateBase = "SELECT id, timestamp, timestampErrorBound, generatedSeverity, "
                                  "param0, param1, deliverySeverity, additionalInfo FROM events "
                                  "WHERE forwarded = 0 AND messageId = ?1";
const char* const kDelegateOrder = " ORDER BY timestamp DESC;";
const char* const kBindError = "Unknown error occured while binding values";

using EMatch = SDelsDeliverySeverityAdjustment::EMatch;

// SQLite reads a null blob pointer as NULL, not as an empty blob.
int bindBlob(sqlite3_stmt* stmt, int index, const std::string& bytes) {
    return sqlite3_bind_blob(stmt, index, bytes.empty() ? "" : bytes.data(),
                             static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string columnBlob(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size))
                : std::string();
}

} // namespace

CDelsSqlite3::CDelsSqlite3(const std::string& path, const SDelsDbAttr& attr) : m_attr(attr) {
    int result = sqlite3_open_v2(path.c_str(), &m_db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
    if (result != SQLITE_OK) {
        // A failed open still hands out a handle that must be closed.
        sqlite3_close(m_db);
        m_db = nullptr;
        throw CDelsDatabaseError(result, "could not open database file " + path, "", __LINE__);
    }
    sqlite3_busy_timeout(m_db, 60000);
}

CDelsSqlite3::~CDelsSqlite3() {
    for (sqlite3_stmt*& stmt : m_statements) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    sqlite3_close(m_db);
}

void CDelsSqlite3::throwError(int result, sqlite3_stmt* stmt, unsigned line) {
    const char* sql = stmt ? sqlite3_sql(stmt) : nullptr;
    throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), sql ? sql : "", line);
}

sqlite3_stmt* CDelsSqlite3::getStatement(EDelsStatement slot) {
    sqlite3_stmt* stmt = m_statements[slot];
    if (stmt)
        sqlite3_reset(stmt);
    return stmt;
}

sqlite3_stmt* CDelsSqlite3::getStatement(EDelsStatement slot, const char* sql) {
    if (!m_statements[slot])
        m_statements[slot] = prepareStatement(sql);
    return getStatement(slot);
}

sqlite3_stmt* CDelsSqlite3::prepareStatement(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    int result = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr);
    if (result != SQLITE_OK) {
        sqlite3_finalize(stmt);
        throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), sql, __LINE__);
    }
    return stmt;
}

int CDelsSqlite3::statementStep(sqlite3_stmt* stmt) {
    int result = sqlite3_step(stmt);
    if (result != SQLITE_OK && result != SQLITE_ROW && result != SQLITE_DONE)
        throwError(result, stmt, __LINE__);
    return result;
}

void CDelsSqlite3::stepSlot(EDelsStatement slot, const char* sql) {
    sqlite3_stmt* stmt = getStatement(slot, sql);
    CDelsStatementReset reset(stmt);
    statementStep(stmt);
}

void CDelsSqlite3::beginImmediateTransaction() {
    stepSlot(EDS_BEGIN_IMMEDIATE, kSlotSql[EDS_BEGIN_IMMEDIATE]);
}
void CDelsSqlite3::beginExclusiveTransaction() {
    stepSlot(EDS_BEGIN_EXCLUSIVE, kSlotSql[EDS_BEGIN_EXCLUSIVE]);
}
void CDelsSqlite3::endTransaction() {
    stepSlot(EDS_END, kSlotSql[EDS_END]);
}
void CDelsSqlite3::rollbackTransaction() {
    stepSlot(EDS_ROLLBACK, kSlotSql[EDS_ROLLBACK]);
}
void CDelsSqlite3::vacuumDatabase() {
    stepSlot(EDS_VACUUM, kSlotSql[EDS_VACUUM]);
}

std::string CDelsSqlite3::insertSql(const SDelsDbAttr& attr) {
    // A column keeps its parameter number whichever optional columns come before it.
    const std::pair<bool, const char*> columns[] = {
        {true, "messageId"},
        {true, "param0"},
        {true, "param1"},
        {true, "additionalInfo"},
        {attr.hasForwarded, "forwarded"},
        {attr.hasDeliverySeverity, "deliverySeverity"},
        {true, "generatedSeverity"},
        {true, "timestamp"},
        {attr.hasNodeId, "nodeId"},
        {attr.insertsId, "id"},
    };
    std::string names, parameters;
    for (size_t i = 0; i < sizeof columns / sizeof columns[0]; ++i) {
        if (!columns[i].first)
            continue;
        names += (names.empty() ? "" : ", ") + std::string(columns[i].second);
        parameters += (parameters.empty() ? "?" : ", ?") + std::to_string(i + 1);
    }
    return "INSERT INTO events ( " + names + " ) VALUES ( " + parameters + " );";
}

void CDelsSqlite3::insertMetaEvent(const CDelsMetaEvent& event) {
    // The text is built only for the first insert; later ones reuse the prepared statement.
    sqlite3_stmt* stmt = getStatement(EDS_INSERT_META_EVENT);
    if (!stmt)
        stmt = getStatement(EDS_INSERT_META_EVENT, insertSql(m_attr).c_str());
    CDelsStatementReset reset(stmt);
    int bound = sqlite3_bind_int64(stmt, 1, event.getMessageId());
    bound |= sqlite3_bind_int64(stmt, 2, event.getParam0());
    bound |= sqlite3_bind_int64(stmt, 3, event.getParam1());
    bound |= bindBlob(stmt, 4, event.getAdditionalInfo());
    if (m_attr.hasForwarded)
        bound |= sqlite3_bind_int(stmt, 5, event.forwarded() ? 1 : 0);
    if (m_attr.hasDeliverySeverity)
        bound |= sqlite3_bind_int(stmt, 6, event.getDeliverySeverity());
    bound |= sqlite3_bind_int(stmt, 7, event.getSeverity());
    bound |= sqlite3_bind_int64(stmt, 8, static_cast<sqlite3_int64>(event.getTimestamp()));
    if (m_attr.hasNodeId)
        bound |= sqlite3_bind_int64(stmt, 9, static_cast<sqlite3_int64>(event.getNodeId()));
    if (m_attr.insertsId)
        bound |= sqlite3_bind_int64(stmt, 10, event.getId());
    if (bound != SQLITE_OK)
        throw CDelsDatabaseError(-1, kBindError, sqlite3_sql(stmt), __LINE__);
    statementStep(stmt);
}

bool CDelsSqlite3::eventExists(const SEventUniqueness& uniqueness) {
    std::string sql = "SELECT * FROM events WHERE (id = ?1)";
    if (m_attr.hasNodeId)
        sql += " AND (nodeId = ?2)";
    sql += " AND (timestamp = ?3);";
    sqlite3_stmt* stmt = getStatement(EDS_EVENT_EXISTS, sql.c_str());
    CDelsStatementReset reset(stmt);
    int bound = sqlite3_bind_int64(stmt, 1, uniqueness.id);
    if (m_attr.hasNodeId)
        bound |= sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(uniqueness.nodeId));
    bound |= sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(uniqueness.timestamp));
    if (bound != SQLITE_OK)
        throw CDelsDatabaseError(-1, kBindError, sqlite3_sql(stmt), __LINE__);
    return statementStep(stmt) == SQLITE_ROW;
}

void CDelsSqlite3::delegateEvent(const DelsDelegationPair& pair) {
    sqlite3_stmt* stmt = getStatement(EDS_DELEGATE_EVENT, kSlotSql[EDS_DELEGATE_EVENT]);
    CDelsStatementReset reset(stmt);
    int bound = sqlite3_bind_int(stmt, 1, pair.second);
    bound |= sqlite3_bind_int64(stmt, 2, pair.first);
    if (bound != SQLITE_OK)
        throw CDelsDatabaseError(-1, kBindError, sqlite3_sql(stmt), __LINE__);
    statementStep(stmt);
}

void CDelsSqlite3::getEventsToDelegate(const CDelsMetaEvent& event,
                                       const SDelsDeliverySeverityAdjustment& adjustment,
                                       std::list<CDelsMetaEvent>& out) {
    out.clear();
    const unsigned flags = adjustment.matchFlags &
                           (EMatch::EM_PARAM0 | EMatch::EM_PARAM1 | EMatch::EM_ADDITIONAL_INFO);
    const bool param0 = flags & EMatch::EM_PARAM0;
    const bool param1 = flags & EMatch::EM_PARAM1;
    const bool info = flags & EMatch::EM_ADDITIONAL_INFO;
    // Only the four prefix combinations have a cached statement; the others are built with the
    // parameter values written into the text.
    EDelsStatement slot = EDS_COUNT;
    std::string sql = kDelegateBase;
    if (flags == 0) {
        slot = EDS_DELEGATE_MESSAGE;
    } else if (flags == EMatch::EM_PARAM0) {
        slot = EDS_DELEGATE_PARAM0;
        sql += " AND param0 = ?2";
    } else if (flags == (EMatch::EM_PARAM0 | EMatch::EM_PARAM1)) {
        slot = EDS_DELEGATE_PARAM0_PARAM1;
        sql += " AND param0 = ?2 AND param1 = ?3";
    } else if (param0 && param1 && info) {
        slot = EDS_DELEGATE_ALL;
        sql += " AND param0 = ?2 AND param1 = ?3 AND additionalInfo = ?4";
    } else {
        if (param0)
            sql += " AND param0 = " + std::to_string(event.getParam0());
        if (param1)
            sql += " AND param1 = " + std::to_string(event.getParam1());
        if (info)
            sql += " AND additionalInfo = ?4";
    }
    sql += kDelegateOrder;

    CDelsStatementFinalize oneOff(slot == EDS_COUNT ? prepareStatement(sql) : nullptr);
    sqlite3_stmt* stmt = slot == EDS_COUNT ? oneOff.get() : getStatement(slot, sql.c_str());
    CDelsStatementReset reset(stmt);
    int bound = sqlite3_bind_int64(stmt, 1, event.getMessageId());
    if (slot != EDS_COUNT && param0)
        bound |= sqlite3_bind_int64(stmt, 2, event.getParam0());
    if (slot != EDS_COUNT && param1)
        bound |= sqlite3_bind_int64(stmt, 3, event.getParam1());
    if (info)
        bound |= bindBlob(stmt, 4, event.getAdditionalInfo());
    if (bound != SQLITE_OK)
        throw CDelsDatabaseError(-1, kBindError, sqlite3_sql(stmt), __LINE__);
    while (statementStep(stmt) == SQLITE_ROW) {
        CDelsEvent stored(event.getMessageId(),
                          static_cast<unsigned>(sqlite3_column_int64(stmt, 4)),
                          static_cast<unsigned>(sqlite3_column_int64(stmt, 5)), columnBlob(stmt, 7),
                          static_cast<DelsSeverity>(sqlite3_column_int(stmt, 3)),
                          static_cast<unsigned>(sqlite3_column_int64(stmt, 0)),
                          static_cast<unsigned long long>(sqlite3_column_int64(stmt, 1)),
                          static_cast<unsigned char>(sqlite3_column_int(stmt, 2)), 0);
        out.emplace_back(stored, false, static_cast<DelsSeverity>(sqlite3_column_int(stmt, 6)), 0,
                         0, 1);
    }
}

int CDelsSqlite3::countEvents() {
    sqlite3_stmt* stmt = getStatement(EDS_COUNT_EVENTS, kSlotSql[EDS_COUNT_EVENTS]);
    CDelsStatementReset reset(stmt);
    if (statementStep(stmt) != SQLITE_ROW)
        throw CDelsDatabaseError(SQLITE_DONE, "No rows were returned", sqlite3_sql(stmt), __LINE__);
    return sqlite3_column_int(stmt, 0);
}

int CDelsSqlite3::deleteForwardedEvents() {
    stepSlot(EDS_DELETE_FORWARDED, kSlotSql[EDS_DELETE_FORWARDED]);
    return sqlite3_changes(m_db);
}

int CDelsSqlite3::deleteEventsBySeverityLimit(DelsSeverity severity, int limit) {
    sqlite3_stmt* stmt =
        getStatement(EDS_DELETE_BY_SEVERITY_LIMIT, kSlotSql[EDS_DELETE_BY_SEVERITY_LIMIT]);
    CDelsStatementReset reset(stmt);
    int bound = sqlite3_bind_int(stmt, 1, severity);
    bound |= sqlite3_bind_int(stmt, 2, limit);
    if (bound != SQLITE_OK)
        throw CDelsDatabaseError(-1, kBindError, sqlite3_sql(stmt), __LINE__);
    statementStep(stmt);
    return sqlite3_changes(m_db);
}

CDelsTransaction::~CDelsTransaction() {
    // After some I/O errors SQLite has already rolled the transaction back itself.
    if (!m_open || sqlite3_get_autocommit(m_connection.getDbHandle()))
        return;
    try {
        m_connection.rollbackTransaction();
    } catch (const CDelsDatabaseError&) {
    }
}
