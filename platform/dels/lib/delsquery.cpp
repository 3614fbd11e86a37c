#include "delsquery.h"

#include <climits>
#include <string>

namespace dels_query {
namespace {

// Integers travel into SQLite as signed 64-bit values (sqlite3_bind_int64), so a number
// written into a statement takes the same form to compare equal with what is stored.
std::string sqlInteger(unsigned long long value) {
    return std::to_string(static_cast<long long>(value));
}

// A bound above what any stored value can be still bounds nothing, instead of turning negative.
std::string sqlBound(unsigned long long value) {
    return std::to_string(value > static_cast<unsigned long long>(LLONG_MAX)
                              ? LLONG_MAX
                              : static_cast<long long>(value));
}

// One statement, finalised whatever way the scope is left.
class CStatement {
public:
    CStatement(sqlite3* db, const std::string& sql) : m_db(db), m_sql(sql) {
        const int result = sqlite3_prepare_v2(db, sql.c_str(), -1, &m_stmt, nullptr);
        if (result != SQLITE_OK) {
            sqlite3_finalize(m_stmt);
            throw CDelsDatabaseError(result, sqlite3_errmsg(db), sql, __LINE__);
        }
    }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    // True for a row, false when done.
    bool step() {
        const int result = sqlite3_step(m_stmt);
        if (result != SQLITE_ROW && result != SQLITE_DONE) {
            throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), m_sql, __LINE__);
        }
        return result == SQLITE_ROW;
    }
    void reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    void bind(int index, unsigned long long value) {
        const int result = sqlite3_bind_int64(m_stmt, index, static_cast<sqlite3_int64>(value));
        if (result != SQLITE_OK) {
            throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), m_sql, __LINE__);
        }
    }

    // Columns are read in select order.
    unsigned long long next() { return static_cast<unsigned long long>(column()); }
    sqlite3_int64 column() { return sqlite3_column_int64(m_stmt, m_column++); }
    std::string nextBlob() {
        const int index = m_column++;
        const void* data = sqlite3_column_blob(m_stmt, index);
        const int size = sqlite3_column_bytes(m_stmt, index);
        return data && size > 0 ? std::string(static_cast<const char*>(data), size) : std::string();
    }
    void firstColumn() { m_column = 0; }

private:
    sqlite3* m_db;
    std::string m_sql;
    sqlite3_stmt* m_stmt = nullptr;
    int m_column = 0;
};

// A write of several statements: inside the caller's transaction when one is open, else in one
// of its own that is rolled back unless committed.
class CWriteScope {
public:
    explicit CWriteScope(sqlite3* db) : m_db(db), m_own(sqlite3_get_autocommit(db) != 0) {
        if (m_own) {
            run("BEGIN IMMEDIATE TRANSACTION;");
        }
    }
    ~CWriteScope() {
        if (m_own && !sqlite3_get_autocommit(m_db)) {
            sqlite3_exec(m_db, "ROLLBACK TRANSACTION;", nullptr, nullptr, nullptr);
        }
    }
    CWriteScope(const CWriteScope&) = delete;
    CWriteScope& operator=(const CWriteScope&) = delete;

    // After an error that made SQLite roll back by itself there is nothing left to commit.
    void commit() {
        if (m_own && !sqlite3_get_autocommit(m_db)) {
            run("END TRANSACTION;");
        }
        m_own = false;
    }

private:
    void run(const char* sql) {
        CStatement statement(m_db, sql);
        statement.step();
    }

    sqlite3* m_db;
    bool m_own;
};

const char* severityColumn(const SDelsTableShape& shape) {
    return shape.hasDeliverySeverity ? "deliverySeverity" : "generatedSeverity";
}

// The node, time and severity conditions both selections share.
std::string nodeAndTimeConditions(const SDelsTableShape& shape, const SDelsEventFilter& filter) {
    std::string sql;
    if (filter.nodeId != 0 && shape.hasNodeId) {
        sql += "AND (nodeId = " + sqlInteger(filter.nodeId) + ") ";
    }
    if (filter.upper != 0) {
        sql += "AND (timestamp <= " + sqlBound(filter.upper) + ") ";
    }
    if (filter.lower != 0) {
        sql += "AND (timestamp >= " + sqlBound(filter.lower) + ") ";
    }
    return sql;
}

std::string severityRange(const std::string& column, const SDelsEventFilter& filter) {
    return "(" + column + " >= " + std::to_string(static_cast<int>(filter.low)) + ") AND (" +
           column + " <= " + std::to_string(static_cast<int>(filter.high)) + ") ";
}

std::string forwardedIs(int forwarded) {
    return std::string("(forwarded = ") + (forwarded ? "1" : "0") + ")";
}

// Keyed stores are read in key order even from the start: a page in any other order would
// return a watermark that skips the rows of lower keys not yet read.
std::string keyOrOther(const SDelsTableShape& shape, const SDelsEventFilter& filter,
                       const char* unkeyedOrder) {
    if (!shape.hasKey) {
        return std::string("ORDER by ") + unkeyedOrder;
    }
    return (filter.watermark != 0 ? "AND (key >= " + sqlBound(filter.watermark) + ") " : "") +
           "ORDER by key";
}

std::string metaColumns(const SDelsTableShape& shape) {
    std::string sql = "SELECT id, timestamp, messageId, param0, param1, timestampErrorBound, "
                      "generatedSeverity, additionalInfo";
    if (shape.hasNodeId) {
        sql += ", nodeId";
    }
    if (shape.hasForwarded) {
        sql += ", forwarded";
    }
    if (shape.hasKey) {
        sql += ", key";
    }
    if (shape.hasDeliverySeverity) {
        sql += ", deliverySeverity";
    }
    return sql + " FROM events WHERE ";
}

bool hasLimit(unsigned limit) {
    return limit != 0 && limit != 0xFFFFFFFFu;
}

// The run of columns every selection and look-up reads: messageId, param0, param1,
// timestampErrorBound, generatedSeverity, additionalInfo, built into an event with the rest.
// Without a `node` given, the node is the column after them (where the table has one).
CDelsEvent eventOf(CStatement& row, unsigned id, unsigned long long timestamp,
                   const unsigned long long* node, const SDelsTableShape& shape) {
    const unsigned messageId = static_cast<unsigned>(row.next());
    const unsigned param0 = static_cast<unsigned>(row.next());
    const unsigned param1 = static_cast<unsigned>(row.next());
    const unsigned char errorBound = static_cast<unsigned char>(row.next());
    const DelsSeverity generated = static_cast<DelsSeverity>(row.column());
    const std::string info = row.nextBlob();
    const unsigned long long nodeId = node ? *node : shape.hasNodeId ? row.next() : 0;
    return CDelsEvent(messageId, param0, param1, info, generated, id, timestamp, errorBound,
                      nodeId);
}

// The meta columns that may follow: forwarded, key and (what delegation decided) the delivery
// severity, each where the table has it.
CDelsMetaEvent metaEventOf(CStatement& row, const SDelsTableShape& shape, const CDelsEvent& event) {
    const bool forwarded = shape.hasForwarded && row.column() != 0;
    const unsigned long long key = shape.hasKey ? row.next() : 0;
    const DelsSeverity delivery =
        shape.hasDeliverySeverity ? static_cast<DelsSeverity>(row.column()) : event.getSeverity();
    return CDelsMetaEvent(event, forwarded, delivery, key, 0, 1);
}

// A row of metaColumns().
CDelsMetaEvent metaEventOf(CStatement& row, const SDelsTableShape& shape) {
    row.firstColumn();
    const unsigned id = static_cast<unsigned>(row.next());
    const unsigned long long timestamp = row.next();
    return metaEventOf(row, shape, eventOf(row, id, timestamp, nullptr, shape));
}

// Binds id, timestamp and node of each identity to ?1, ?2, ?3 of `sql` and steps it once
// each. On a failure, `keepDone` commits what went before it.
template <class Ids>
void forEachIdentity(sqlite3* db, const SDelsTableShape& shape, const std::string& sql,
                     const Ids& ids, bool keepDone) {
    CWriteScope scope(db);
    CStatement statement(db, sql);
    try {
        for (const SEventUniqueness& id : ids) {
            statement.reset();
            statement.bind(1, id.id);
            statement.bind(2, id.timestamp);
            if (shape.hasNodeId) {
                statement.bind(3, id.nodeId);
            }
            statement.step();
        }
    } catch (const CDelsDatabaseError&) {
        if (keepDone) {
            statement.reset();
            scope.commit();
        }
        throw;
    }
    statement.reset();
    scope.commit();
}

std::string identityConditions(const SDelsTableShape& shape) {
    return std::string(" WHERE id = ?1 AND timestamp = ?2") +
           (shape.hasNodeId ? " AND nodeId = ?3" : "");
}

} // namespace

std::string metaEventSql(const SDelsTableShape& shape, const SDelsEventFilter& filter) {
    std::string sql = metaColumns(shape);
    if (shape.hasForwarded && filter.forwarded >= 0) {
        sql += forwardedIs(filter.forwarded) + " AND ";
    }
    sql += severityRange(severityColumn(shape), filter) + nodeAndTimeConditions(shape, filter) +
           keyOrOther(shape, filter, "generatedSeverity, timestamp, timestampErrorBound");
    if (hasLimit(filter.limit)) {
        sql += " limit " + std::to_string(filter.limit);
    }
    return sql + ";\n";
}

std::string eventIdSql(const SDelsTableShape& shape, const SDelsEventFilter& filter) {
    std::string sql = "SELECT id, timestamp";
    if (shape.hasNodeId) {
        sql += ", nodeId";
    }
    if (shape.hasKey) {
        sql += ", key";
    }
    sql += " FROM events WHERE id >= 0 AND " + severityRange("generatedSeverity", filter);
    if (shape.hasForwarded && filter.forwarded >= 0) {
        sql += "AND " + forwardedIs(filter.forwarded) + " ";
    }
    return sql + nodeAndTimeConditions(shape, filter) +
           keyOrOther(shape, filter, "generatedSeverity, timestamp") + ";\n";
}

unsigned long long selectMetaEvents(sqlite3* db, const SDelsTableShape& shape,
                                    const std::string& sql, unsigned long long watermark,
                                    std::list<CDelsMetaEvent>& out) {
    out.clear();
    CStatement statement(db, sql);
    while (statement.step()) {
        out.push_back(metaEventOf(statement, shape));
        if (shape.hasKey) {
            watermark = out.back().getKey() + 1;
        }
    }
    return watermark;
}

unsigned long long selectEventIds(sqlite3* db, const SDelsTableShape& shape, const std::string& sql,
                                  unsigned long long watermark, std::list<SEventUniqueness>& out) {
    out.clear();
    CStatement statement(db, sql);
    while (statement.step()) {
        statement.firstColumn();
        const unsigned id = static_cast<unsigned>(statement.next());
        const unsigned long long timestamp = statement.next();
        const unsigned long long nodeId = shape.hasNodeId ? statement.next() : 0;
        out.emplace_back(id, nodeId, timestamp);
        if (shape.hasKey) {
            watermark = statement.next() + 1;
        }
    }
    return watermark;
}

unsigned long long selectInserted(sqlite3* db, const SDelsTableShape& shape,
                                  unsigned long long position, unsigned limit, bool newest,
                                  std::list<CDelsMetaEvent>& out) {
    const std::string column = shape.hasKey ? "key" : "id";
    std::string sql = metaColumns(shape) + "(" + column + " >= " + sqlBound(position) +
                      ") ORDER by " + column + (newest ? " DESC" : "");
    if (hasLimit(limit)) {
        sql += " limit " + std::to_string(limit);
    }
    out.clear();
    CStatement statement(db, sql + ";");
    while (statement.step()) {
        CDelsMetaEvent event = metaEventOf(statement, shape);
        const unsigned long long at = shape.hasKey ? event.getKey() : event.getId();
        if (at >= position) {
            position = at + 1;
        }
        if (newest) {
            out.push_front(std::move(event));
        } else {
            out.push_back(std::move(event));
        }
    }
    return position;
}

bool lookup(sqlite3* db, const SDelsTableShape& shape, const SEventUniqueness& id, bool meta,
            CDelsMetaEvent& out) {
    std::string sql =
        "SELECT messageId, param0, param1, timestampErrorBound, generatedSeverity, additionalInfo";
    if (meta) {
        sql += shape.hasForwarded ? ", forwarded" : "";
        sql += shape.hasKey ? ", key" : "";
        sql += shape.hasDeliverySeverity ? ", deliverySeverity" : "";
    }
    sql += " FROM events WHERE id = " + sqlInteger(id.id) +
           " AND timestamp = " + sqlInteger(id.timestamp);
    if (id.nodeId != 0 && shape.hasNodeId) {
        sql += " AND nodeId = " + sqlInteger(id.nodeId);
    }
    CStatement statement(db, sql + ";");
    if (!statement.step()) {
        return false;
    }
    // The identity's own node, 0 when it matched any.
    const CDelsEvent event = eventOf(statement, id.id, id.timestamp, &id.nodeId, shape);
    if (meta) {
        out = metaEventOf(statement, shape, event);
    } else {
        out = CDelsMetaEvent(event, false, event.getSeverity(), 0, 0, 1);
    }
    return true;
}

void markForwarded(sqlite3* db, const SDelsTableShape& shape,
                   const std::set<SEventUniqueness>& ids) {
    forEachIdentity(db, shape,
                    "UPDATE events SET forwarded = 1" + identityConditions(shape) +
                        " AND forwarded = 0;",
                    ids, false);
}

void removeEvents(sqlite3* db, const SDelsTableShape& shape,
                  const std::list<SEventUniqueness>& ids) {
    forEachIdentity(db, shape, "DELETE FROM events" + identityConditions(shape) + ";", ids, true);
}

} // namespace dels_query
