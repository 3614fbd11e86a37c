#include "delscleanup.h"

#include <algorithm>
#include <climits>
#include <fstream>

#include <sys/stat.h>

#include "delsaccess.h"
#include "delslock.h"
#include "delslogger.h"

namespace {
constexpr long long kKeyMargin = 1000;
}

SDelsCleanupEstimate::SDelsCleanupEstimate(unsigned long long count_, unsigned long long fileSize_,
                                           unsigned maxDbSizeKiB)
    : count(count_), used(count_ * BYTES_PER_EVENT), fileSize(fileSize_),
      target(static_cast<unsigned long long>(
          static_cast<float>(static_cast<unsigned long long>(maxDbSizeKiB) * 1024ULL) * 0.9f)),
      tooBig(fileSize_ / 1024ULL > maxDbSizeKiB), trimCount(0), estimateDecides(false) {
    if (used > target) {
        estimateDecides = true;
        trimCount = (used - target) / BYTES_FREED_PER_EVENT;
    } else if (tooBig) {
        // Events are larger than the estimate says: one event per pass (and a vacuum each time)
        // would take thousands of passes. Remove the share of rows that matches the share of the
        // file above the target instead.
        const unsigned long long excess = fileSize - target;
        const long double share = static_cast<long double>(excess) / fileSize;
        trimCount = static_cast<unsigned long long>(share * count) + 1;
        if (trimCount > count && count > 0) {
            trimCount = count;
        }
    }
}

bool delsLastEventIdFromStateFile(const std::string& path, long long& lastEventId) {
    std::ifstream in(path);
    std::string line;
    while (in && std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.compare(0, equals, "lastEventId") != 0) {
            continue;
        }
        const std::string value = line.substr(equals + 1);
        if (value.empty()) {
            return false;
        }
        long long number = 0;
        for (char c : value) {
            if (c < '0' || c > '9') {
                break;
            }
            const int digit = c - '0';
            number = number > (LLONG_MAX - digit) / 10 ? LLONG_MAX : number * 10 + digit;
        }
        lastEventId = number > kKeyMargin ? number - kKeyMargin : number;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// One pass on a store's connection.

namespace {

const DelsSeverity kDeletionOrder[] = {DSEV_DISCARDABLE, DSEV_LIMIT,  DSEV_14,   DSEV_13,
                                       DSEV_12,          DSEV_11,     DSEV_10,   DSEV_9,
                                       DSEV_8,           DSEV_7,      DSEV_6,    DSEV_5,
                                       DSEV_ARCHIVE,     DSEV_NORMAL, DSEV_HIGH, DSEV_CRITICAL};

// Each step is checked: a copy that failed must never be followed by emptying `events`; the
// error rolls the whole pass back instead.
void stepOnce(CDelsSqlite3& connection, const char* sql, const char* before,
              long long lastEventId = -1, bool bind = false) {
    CDelsLogger& log = CDelsLogger::logger();
    log.logDebug("Preparing statment %s", sql);
    CDelsStatementFinalize stmt(connection.prepareStatement(sql));
    if (bind &&
        sqlite3_bind_int64(stmt.get(), 1, static_cast<sqlite3_int64>(lastEventId)) != SQLITE_OK)
        throw CDelsDatabaseError(-1, "Unknown error occured while binding values", sql, __LINE__);
    if (before)
        log.logDebug(before, lastEventId);
    connection.statementStep(stmt.get());
}

void keepEventsAfter(CDelsSqlite3& connection, long long lastEventId) {
    CDelsLogger& log = CDelsLogger::logger();
    stepOnce(connection, "DELETE from eventstemp;", nullptr);
    stepOnce(connection, "INSERT INTO eventstemp SELECT * from events where key > ?;",
             "About to step with lastdbID %lld", lastEventId, true);
    stepOnce(connection, "DELETE FROM events;", "About to step with lastdbID %lld", lastEventId);
    log.logDebugT("Finished deleting DB");
    stepOnce(connection, "INSERT INTO events SELECT * from eventstemp;",
             "About to step putting back data");
    log.logDebugT("Finished deleting DB");
    stepOnce(connection, "DELETE from eventstemp;", "About to step cleaning up temp db");
    log.logDebugT("Finished deleting temp DB");
}

long long dataVersion(CDelsSqlite3& connection) {
    CDelsStatementFinalize stmt(connection.prepareStatement("PRAGMA data_version;"));
    return connection.statementStep(stmt.get()) == SQLITE_ROW ? sqlite3_column_int64(stmt.get(), 0)
                                                              : -1;
}

} // namespace

void CDelsAccess::checkSizeAndCleanDB(CDelsSqlite3& connection, const char* stateFile,
                                      SDelsEventCount* known) {
    CDelsLogger& log = CDelsLogger::logger();
    SDelsNodeConfig config;
    try {
        _readConfiguration(config, connection.getDbHandle());
    } catch (const CDelsDatabaseError&) {
        log.logError("Failed to read DELS node config, no cleanup");
        return;
    }
    CDelsFileLock lock;
    if (!lock.lock(m_path + ".clean.lck", false))
        return; // another process is cleaning
    bool tooBig;
    SDelsEventCount after;
    if (known) {
        after = *known;
        known->known = false; // until this pass has committed
    }
    {
        CDelsTransaction transaction(connection, true);
        const long long version = dataVersion(connection);
        const long long count = after.known && after.dataVersion == version
                                    ? after.count
                                    : static_cast<long long>(connection.countEvents());
        after.known = true;
        after.count = count;
        after.dataVersion = version;
        struct stat st;
        const unsigned long long fileSize =
            ::stat(m_path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
        const SDelsCleanupEstimate estimate(count < 0 ? 0 : static_cast<unsigned long long>(count),
                                            fileSize, config.maxDbSizeKiB);
        tooBig = estimate.tooBig;
        log.logDebug("Cleanup: count=%lld dbBytesUsed=%llu dbFileSize=%llu", count, estimate.used,
                     fileSize);
        if (estimate.estimateDecides)
            log.logInfoT("Cleanup: trimCount=%llu FileSize=%llu dbBytesUsed=%llu maxDbSize=%u",
                         estimate.trimCount, fileSize / 1024, estimate.used, config.maxDbSizeKiB);
        else if (tooBig)
            log.logError("LOGIC ERROR: File size estimate is wrong. Filesize=%llu "
                         "dbBytesUsed=%llu maxDbSize=%u",
                         fileSize / 1024, estimate.used, config.maxDbSizeKiB);
        long long trimCount = static_cast<long long>(estimate.trimCount);
        const bool origin = m_hasForwarded && !m_hasKey;
        if (origin && trimCount > 0) {
            log.logInfoT("Start deleting forwarded events");
            const int deleted = connection.deleteForwardedEvents();
            log.logInfo("Finished deleting %d forwarded events", deleted);
            trimCount -= deleted;
            after.count -= deleted;
        }
        long long lastEventId = 0;
        if (m_hasKey && stateFile && trimCount > 0) {
            log.logInfoT("Start cleanup DB");
            if (delsLastEventIdFromStateFile(stateFile, lastEventId)) {
                keepEventsAfter(connection, lastEventId);
                after.known = false;
            }
        }
        for (size_t i = 0; origin && i < sizeof kDeletionOrder / sizeof kDeletionOrder[0]; ++i) {
            if (trimCount <= 0)
                break;
            log.logErrorT("Deleting unforwarded %lld events of severity %d", trimCount,
                          static_cast<int>(kDeletionOrder[i]));
            const int limit = static_cast<int>(std::min<long long>(trimCount, INT_MAX));
            const int deleted = connection.deleteEventsBySeverityLimit(kDeletionOrder[i], limit);
            trimCount -= deleted;
            after.count -= deleted;
        }
        transaction.commit();
    }
    if (known)
        *known = after;
    if (tooBig) {
        log.logInfoT("Start Vacuuming DB");
        connection.vacuumDatabase();
        log.logInfoT("Finished Vacuuming DB");
    }
}
