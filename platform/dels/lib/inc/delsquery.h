// The reading side of the event store on a raw SQLite handle: selections by filter, look-ups
// by identity, forwarding marks and removal. Shared by the store base (look-ups) and the event
// remover. One thread per handle; every failure throws CDelsDatabaseError.
#pragma once

#include <list>
#include <set>
#include <string>

#include <sqlite3.h>

#include "delstypes.h"

// Which optional columns the events table of a store has (fixed by its node type).
struct SDelsTableShape {
    bool hasNodeId;
    bool hasForwarded;
    bool hasDeliverySeverity;
    bool hasKey;
};

// What a selection keeps; every bound of 0 means "none", limit 0 or all bits set "no limit",
// forwarded -1 "any", 0 "only unforwarded", anything else "only forwarded".
struct SDelsEventFilter {
    DelsSeverity low = DSEV_CRITICAL;
    DelsSeverity high = DSEV_LIMIT;
    int forwarded = -1;
    unsigned long long nodeId = 0;
    unsigned long long watermark = 0;
    unsigned long long upper = 0;
    unsigned long long lower = 0;
    unsigned limit = 0;
};

namespace dels_query {

std::string metaEventSql(const SDelsTableShape& shape, const SDelsEventFilter& filter);
std::string eventIdSql(const SDelsTableShape& shape, const SDelsEventFilter& filter);

// Runs a selection built above. Returns one past the last key read, or `watermark` when no
// row carried a key.
unsigned long long selectMetaEvents(sqlite3* db, const SDelsTableShape& shape,
                                    const std::string& sql, unsigned long long watermark,
                                    std::list<CDelsMetaEvent>& out);
unsigned long long selectEventIds(sqlite3* db, const SDelsTableShape& shape, const std::string& sql,
                                  unsigned long long watermark, std::list<SEventUniqueness>& out);

// Events in the order they were inserted (by key where the table keeps one, else by id), from
// `position` on, or the last `limit` of them when `newest`. Returns the position after the
// last one read, or `position` when none was.
unsigned long long selectInserted(sqlite3* db, const SDelsTableShape& shape,
                                  unsigned long long position, unsigned limit, bool newest,
                                  std::list<CDelsMetaEvent>& out);

// Replaces `out` by the stored event of `id` (node id 0 matches any node) and returns true, or
// leaves it as it was and returns false. `meta` adds forwarded, key and delivery severity.
bool lookup(sqlite3* db, const SDelsTableShape& shape, const SEventUniqueness& id, bool meta,
            CDelsMetaEvent& out);

// Each identity by id, timestamp and (where the table has it) node id, bound, in one
// transaction (the caller's, when one is open): all are marked or none.
void markForwarded(sqlite3* db, const SDelsTableShape& shape,
                   const std::set<SEventUniqueness>& ids);
// In list order; the first failure throws, the identities before it stay removed.
void removeEvents(sqlite3* db, const SDelsTableShape& shape,
                  const std::list<SEventUniqueness>& ids);

} // namespace dels_query
