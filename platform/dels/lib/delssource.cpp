#include "delssource.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "delscleanup.h"
#include "delslogger.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a queued event holds in memory, near enough.
size_t footprint(const CDelsMetaEvent& event) {
    return sizeof(CDelsMetaEvent) + event.getAdditionalInfo().size();
}

size_t footprint(const std::list<CDelsMetaEvent>& events) {
    size_t bytes = 0;
    for (const CDelsMetaEvent& event : events)
        bytes += footprint(event);
    return bytes;
}

// Errors after which the rest of the batch cannot be trusted to the open transaction: the
// database is busy, full, failing or out of memory. The batch goes back to the queue whole.
bool transient(int code) {
    switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_NOMEM:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_PROTOCOL:
    case SQLITE_INTERRUPT:
        return true;
    default:
        return false;
    }
}

} // namespace

// The savepoint statements of the thread's connection, prepared the first time.
class CDelsEventSourceInternal::CSavepoint {
public:
    explicit CSavepoint(sqlite3* db) : m_db(db) {}
    ~CSavepoint() {
        for (sqlite3_stmt* stmt : m_stmts)
            sqlite3_finalize(stmt);
    }
    CSavepoint(const CSavepoint&) = delete;
    CSavepoint& operator=(const CSavepoint&) = delete;

    enum EStep { ES_OPEN, ES_RELEASE, ES_ROLLBACK_TO };
    bool run(EStep step) {
        static const char* const sql[] = {"SAVEPOINT dels_event;", "RELEASE dels_event;",
                                          "ROLLBACK TO dels_event;"};
        if (!m_stmts[step] &&
            sqlite3_prepare_v2(m_db, sql[step], -1, &m_stmts[step], nullptr) != SQLITE_OK)
            return false;
        int result = sqlite3_step(m_stmts[step]);
        sqlite3_reset(m_stmts[step]);
        return result == SQLITE_DONE;
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmts[3] = {};
};

namespace {

// Sources of this process by database and node type: the daemon's logger, bridge and event
// generator share one insertion thread and one connection per database. Never destroyed, so that
// the exit-time flush can still reach it.
struct SRegistry {
    std::mutex mutex;
    std::map<std::pair<std::string, int>, std::weak_ptr<CDelsEventSourceInternal>> sources;
};

SRegistry& registry() {
    static SRegistry* s_registry = new SRegistry();
    return *s_registry;
}

// Every asynchronous source of the process, for the fork handlers. Never destroyed.
struct SLiveSources {
    std::mutex mutex;
    std::set<CDelsEventSourceInternal*> sources;
};

SLiveSources& liveSources() {
    static SLiveSources* s_live = new SLiveSources();
    return *s_live;
}

// What a producer holds of a shared asynchronous source.
class CDelsSharedEventSource : public CDelsEventSource {
public:
    explicit CDelsSharedEventSource(std::shared_ptr<CDelsEventSourceInternal> source)
        : m_source(std::move(source)) {}
    void sendEvent(CDelsEvent& event) override { m_source->sendEvent(event); }

private:
    std::shared_ptr<CDelsEventSourceInternal> m_source;
};

void flushAtExit() {
    CDelsEventSource::flushAll();
}

} // namespace

// ---------------------------------------------------------------------------------------------

CDelsEventSource* CDelsEventSource::create(const std::string& path, DelsNodeType nodeType,
                                           bool flag, bool synchronous) {
    if (synchronous)
        return new CDelsEventSourceInternal(path, nodeType, flag, true);
    static std::once_flag s_atExit;
    std::call_once(s_atExit, [] { std::atexit(flushAtExit); });
    SRegistry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::weak_ptr<CDelsEventSourceInternal>& slot = reg.sources[{path, nodeType}];
    std::shared_ptr<CDelsEventSourceInternal> source = slot.lock();
    if (!source) {
        source = std::make_shared<CDelsEventSourceInternal>(path, nodeType, flag, false);
        slot = source;
    }
    return new CDelsSharedEventSource(source);
}

void CDelsEventSource::flushAll() {
    std::list<std::shared_ptr<CDelsEventSourceInternal>> live;
    {
        SRegistry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        for (auto& entry : reg.sources)
            if (auto source = entry.second.lock())
                live.push_back(source);
    }
    for (auto& source : live)
        if (!source->flush(CDelsEventSourceInternal::DRAIN_LIMIT))
            CDelsLogger::logger().logError("%s: %zu events not written in time",
                                           source->getPath().c_str(), source->pendingEvents());
}

// ---------------------------------------------------------------------------------------------

CDelsEventSourceInternal::CDelsEventSourceInternal(const std::string& path, DelsNodeType nodeType,
                                                   bool flag, bool synchronous)
    : CDelsAccess(path, nodeType, flag), m_synchronous(synchronous) {
    // Delegation looks up the older events of one message id for every event that has an
    // adjustment; without an index that is a scan of the whole table each time.
    if (m_hasForwarded) {
        char* error = nullptr;
        if (sqlite3_exec(m_db,
                         "CREATE INDEX IF NOT EXISTS delegationCandidates ON events "
                         "(messageId, timestamp);",
                         nullptr, nullptr, &error) != SQLITE_OK)
            CDelsLogger::logger().logError("Could not index delegation candidates: %s",
                                           error ? error : "");
        sqlite3_free(error);
    }
    // Senders write without waiting: a pipe full of wake bytes means the thread is awake.
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw CDelsDatabaseError(errno, "could not create the wake pipe", "", __LINE__);
    if (!m_synchronous) {
        static std::once_flag s_forkHandlers;
        std::call_once(s_forkHandlers,
                       [] { ::pthread_atfork(&beforeFork, &afterForkParent, &afterForkChild); });
        SLiveSources& live = liveSources();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.sources.insert(this);
    }
}

// A fork (a daemon detaching, say) copies the queue but not the insertion thread: the queue is
// written first, and no queue lock is held across the fork, so that neither process writes an
// event twice or finds a lock nobody will release.
void CDelsEventSourceInternal::beforeFork() {
    SLiveSources& live = liveSources();
    live.mutex.lock();
    for (CDelsEventSourceInternal* source : live.sources)
        source->flush(DRAIN_LIMIT);
    for (CDelsEventSourceInternal* source : live.sources)
        source->m_queueMutex.lock();
}

void CDelsEventSourceInternal::afterForkParent() {
    SLiveSources& live = liveSources();
    for (CDelsEventSourceInternal* source : live.sources)
        source->m_queueMutex.unlock();
    live.mutex.unlock();
}

// Only what the queue holds exists here; a batch the parent's thread was writing is its own.
void CDelsEventSourceInternal::afterForkChild() {
    SLiveSources& live = liveSources();
    for (CDelsEventSourceInternal* source : live.sources) {
        source->m_pending = source->m_queue.size();
        source->m_pendingBytes = footprint(source->m_queue);
        source->m_flushRequested = false;
        source->m_working = false;
        source->m_queueMutex.unlock();
    }
    live.mutex.unlock();
}

CDelsEventSourceInternal::~CDelsEventSourceInternal() {
    if (!m_synchronous) {
        SLiveSources& live = liveSources();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.sources.erase(this);
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stopping = true;
        m_stopDeadline = Clock::now() + DRAIN_LIMIT;
    }
    if (m_thread && m_threadPid == ::getpid()) {
        wake();
        CDelsLogger::logger().logDebug("~CDelsAccess waiting for thread to exit %lx",
                                       static_cast<unsigned long>(m_thread->native_handle()));
        m_thread->join();
    } else if (m_thread) {
        // Started by the process this one was forked from: it does not exist here.
        (void)m_thread.release();
    }
    if (!m_queue.empty())
        giveUpQueue("no insertion thread");
    ::close(m_wakePipe[0]);
    ::close(m_wakePipe[1]);
}

void CDelsEventSourceInternal::wake() {
    ssize_t ignored = ::write(m_wakePipe[1], "w", 1);
    (void)ignored;
}

size_t CDelsEventSourceInternal::pendingEvents() const {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_pending;
}

CDelsEventSourceInternal::SCounters CDelsEventSourceInternal::counters() const {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_counters;
}

void CDelsEventSourceInternal::startThreadLocked() {
    if (m_thread && m_threadPid == ::getpid())
        return;
    // After a fork only the forking thread lives on; the child needs its own insertion thread.
    if (m_thread)
        (void)m_thread.release();
    try {
        m_thread.reset(
            new std::thread(&CDelsEventSourceInternal::insertEventThreadProcessor, this));
        m_threadPid = ::getpid();
        CDelsLogger::logger().logDebug("CDelsEventSourceInternal Created Thread %lx",
                                       static_cast<unsigned long>(m_thread->native_handle()));
    } catch (const std::exception& e) {
        CDelsLogger::logger().logError("Could not start the insertion thread: %s", e.what());
    }
}

void CDelsEventSourceInternal::sendEvent(CDelsEvent& event) {
    CDelsMetaEvent meta(event, false, event.getSeverity(), 0, 0, 1);
    if (m_synchronous) {
        sendSynchronously(meta);
        return;
    }
    bool logDrop = false;
    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        startThreadLocked();
        if (m_pending >= MAX_QUEUED || m_pendingBytes + footprint(meta) > MAX_QUEUED_BYTES) {
            dropped = ++m_counters.dropped;
            const Clock::time_point now = Clock::now();
            if (dropped == 1 || now - m_lastDropLog >= std::chrono::seconds(10)) {
                m_lastDropLog = now;
                logDrop = true;
            }
        } else {
            m_pendingBytes += footprint(meta);
            m_queue.push_back(std::move(meta));
            ++m_pending;
            wake();
        }
    }
    if (logDrop)
        CDelsLogger::logger().logError("Event queue full: %llu events dropped so far",
                                       static_cast<unsigned long long>(dropped));
}

bool CDelsEventSourceInternal::flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_queueMutex);
    if (m_pending == 0 && !m_working)
        return true;
    if (!m_thread || m_threadPid != ::getpid())
        return false;
    m_flushRequested = true;
    wake();
    bool done = m_drained.wait_for(lock, limit, [this] { return m_pending == 0 && !m_working; });
    m_flushRequested = false;
    return done;
}

void CDelsEventSourceInternal::giveUpQueue(const char* why) {
    size_t lost;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        lost = m_queue.size();
        m_counters.dropped += lost;
        m_pending -= lost;
        m_pendingBytes -= footprint(m_queue);
        m_queue.clear();
        m_drained.notify_all();
    }
    if (lost > 0)
        CDelsLogger::logger().logError("%zu queued events lost: %s", lost, why);
}

// ---------------------------------------------------------------------------------------------
// The insertion thread.

int CDelsEventSourceInternal::busyHandler(void* self, int count) {
    CDelsEventSourceInternal* source = static_cast<CDelsEventSourceInternal*>(self);
    {
        std::lock_guard<std::mutex> lock(source->m_queueMutex);
        if (source->m_stopping && Clock::now() >= source->m_stopDeadline)
            return 0;
    }
    // Roughly the busy time-out of every other connection of the store: 60 s in 5 ms steps.
    if (count >= 12000)
        return 0;
    ::usleep(5000);
    return 1;
}

void CDelsEventSourceInternal::waitForWake(std::chrono::milliseconds timeout) {
    struct pollfd fd = {m_wakePipe[0], POLLIN, 0};
    int ms = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
    if (::poll(&fd, 1, ms) > 0) {
        char bytes[100];
        while (::read(m_wakePipe[0], bytes, sizeof bytes) > 0) {
        }
    }
}

// False when the thread should give up (stopping and out of time).
bool CDelsEventSourceInternal::pauseAfterFailure(std::chrono::milliseconds& backoff) {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        ++m_counters.failures;
    }
    const Clock::time_point until = Clock::now() + backoff;
    backoff = std::min(backoff * 2, LONGEST_BACKOFF);
    for (;;) {
        Clock::time_point limit = until;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_stopping) {
                if (Clock::now() >= m_stopDeadline)
                    return false;
                limit = std::min(limit, m_stopDeadline);
            }
            if (m_flushRequested) {
                m_flushRequested = false;
                return true;
            }
        }
        const Clock::time_point now = Clock::now();
        if (now >= limit)
            return true;
        waitForWake(std::chrono::duration_cast<std::chrono::milliseconds>(limit - now) +
                    std::chrono::milliseconds(1));
    }
}

void CDelsEventSourceInternal::insertEventThreadProcessor() {
    CDelsLogger& log = CDelsLogger::logger();
    log.logDebug("insertEventThreadProcessor starting");
    std::unique_ptr<CDelsSqlite3> connection;
    // Declared after the connection: its statements are finalised before the connection closes.
    std::unique_ptr<CSavepoint> savepoint;
    SDelsEventCount count;
    std::chrono::milliseconds backoff = FIRST_BACKOFF;
    // Nothing may leave this function by exception: it would end the process.
    for (;;) {
        try {
            {
                std::unique_lock<std::mutex> lock(m_queueMutex);
                m_working = !m_queue.empty();
                if (!m_working) {
                    m_drained.notify_all();
                    if (m_stopping)
                        break;
                    lock.unlock();
                    waitForWake(std::chrono::milliseconds(-1));
                    continue;
                }
            }
            if (!connection) {
                connection.reset(new CDelsSqlite3(getPath(), getDbAttr()));
                sqlite3_busy_handler(connection->getDbHandle(), &busyHandler, this);
                savepoint.reset(new CSavepoint(connection->getDbHandle()));
                count = SDelsEventCount();
            }
            if (!writeBatch(*connection, *savepoint, count)) {
                if (!pauseAfterFailure(backoff))
                    giveUpQueue("the database kept failing at shutdown");
                continue;
            }
            backoff = FIRST_BACKOFF;
            cleanAfterBatch(*connection, "Failed to clean dels database", &count);
        } catch (const std::exception& e) {
            log.logError("insertEventThreadProcessor: %s", e.what());
            savepoint.reset();
            connection.reset();
            if (!pauseAfterFailure(backoff))
                giveUpQueue("the database could not be opened at shutdown");
        } catch (...) {
            log.logError("insertEventThreadProcessor: unknown exception");
            savepoint.reset();
            connection.reset();
            if (!pauseAfterFailure(backoff))
                giveUpQueue("the database could not be opened at shutdown");
        }
    }
    log.logDebug("insertEventThreadProcessor exiting");
}

// One transaction of at most MAX_BATCH events. Events leave the queue only once their
// transaction committed; on any failure of the transaction as a whole they go back to its front.
bool CDelsEventSourceInternal::writeBatch(CDelsSqlite3& connection, CSavepoint& savepoint,
                                          SDelsEventCount& count) {
    CDelsLogger& log = CDelsLogger::logger();
    try {
        connection.beginImmediateTransaction();
    } catch (const CDelsDatabaseError&) {
        log.logError("Error insertEventThreadProcessor Rolling Back Transaction. (Line: %d) ",
                     __LINE__);
        return false;
    }
    std::list<CDelsMetaEvent> batch;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        auto end = m_queue.begin();
        std::advance(end, std::min(MAX_BATCH, m_queue.size()));
        batch.splice(batch.begin(), m_queue, m_queue.begin(), end);
    }
    size_t discarded = 0, discardedBytes = 0;
    long long inserted = 0;
    bool lost = false;
    for (auto it = batch.begin(); it != batch.end() && !lost;) {
        switch (processInSavepoint(connection, savepoint, *it, inserted)) {
        case EO_STORED:
            ++it;
            break;
        case EO_DISCARDED:
            discardedBytes += footprint(*it);
            it = batch.erase(it);
            ++discarded;
            break;
        case EO_TRANSACTION_LOST:
            lost = true;
            break;
        }
    }
    if (!lost) {
        try {
            connection.endTransaction();
        } catch (const CDelsDatabaseError&) {
            log.logError("Error insertEventThreadProcessor Rolling Back Transaction. (Line: %d) ",
                         __LINE__);
            lost = true;
        }
    }
    // The rollback's disk work and the readers' wake-up stay outside the lock senders take.
    if (lost && !sqlite3_get_autocommit(connection.getDbHandle())) {
        try {
            connection.rollbackTransaction();
        } catch (const CDelsDatabaseError&) {
        }
    }
    const size_t batchBytes = lost ? 0 : footprint(batch);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_counters.discarded += discarded;
        m_pending -= discarded;
        m_pendingBytes -= discardedBytes;
        if (lost) {
            m_queue.splice(m_queue.begin(), batch);
            return false;
        }
        m_counters.stored += batch.size();
        m_counters.batches += 1;
        m_pending -= batch.size();
        m_pendingBytes -= batchBytes;
    }
    count.count += inserted;
    _notifyEventUpdate();
    return true;
}

CDelsEventSourceInternal::EOutcome
CDelsEventSourceInternal::processInSavepoint(CDelsSqlite3& connection, CSavepoint& savepoint,
                                             const CDelsMetaEvent& event, long long& inserted) {
    sqlite3* db = connection.getDbHandle();
    // An error that ends the transaction must not be followed by more work inside a transaction
    // that no longer exists: the earlier events of the batch would be lost without a word.
    if (!savepoint.run(CSavepoint::ES_OPEN))
        return EO_TRANSACTION_LOST;
    int code = 0;
    try {
        const int rows = processEvent(connection, event);
        if (savepoint.run(CSavepoint::ES_RELEASE)) {
            inserted += rows;
            return EO_STORED;
        }
        code = sqlite3_errcode(db);
    } catch (const CDelsDatabaseError& e) {
        code = e.errorCode();
    } catch (const std::exception&) {
        code = SQLITE_ERROR;
    }
    if (sqlite3_get_autocommit(db) || transient(code))
        return EO_TRANSACTION_LOST;
    if (!savepoint.run(CSavepoint::ES_ROLLBACK_TO) || !savepoint.run(CSavepoint::ES_RELEASE))
        return EO_TRANSACTION_LOST;
    CDelsLogger::logger().logError(
        "Event discarded due to database write exception: MessageId %d Parm0 %0x Parm1 %0x",
        static_cast<int>(event.getMessageId()), event.getParam0(), event.getParam1());
    return EO_DISCARDED;
}

void CDelsEventSourceInternal::cleanAfterBatch(CDelsSqlite3& connection, const char* failureLine,
                                               SDelsEventCount* count) {
    try {
        checkSizeAndCleanDB(connection, nullptr, count);
    } catch (const std::exception&) {
        CDelsLogger::logger().logError("%s", failureLine);
    }
}

// ---------------------------------------------------------------------------------------------
// One event: configuration, delegation, insertion. Synchronous senders come here directly.

void CDelsEventSourceInternal::sendSynchronously(const CDelsMetaEvent& event) {
    std::lock_guard<std::mutex> lock(m_syncMutex);
    CDelsSqlite3& connection = *m_statements;
    {
        // Whatever ends the event's processing early, the transaction does not stay open on the
        // connection (every later send would fail to begin).
        CDelsTransaction transaction(connection, false);
        try {
            processEvent(connection, event);
            transaction.commit();
        } catch (const CDelsDatabaseError&) {
            CDelsLogger::logger().logError("Rolling back transaction");
            throw;
        }
    }
    _notifyEventUpdate();
    cleanAfterBatch(connection, "Failed to cleanup database");
}

int CDelsEventSourceInternal::processEvent(CDelsSqlite3& connection, const CDelsMetaEvent& event) {
    try {
        _refreshConfiguration(connection.getDbHandle());
        m_configUnreadableLogged = false;
    } catch (const std::exception& e) {
        // Keep the last configuration read (or the defaults) and store the event anyway.
        if (!m_configUnreadableLogged)
            CDelsLogger::logger().logError("Failed to read DELS node config, keeping the last: %s",
                                           e.what());
        m_configUnreadableLogged = true;
    }
    SDelsDeliverySeverityAdjustment adjustment;
    std::list<DelsDelegationPair> pairs;
    if (_getDSA(event.getMessageId(), adjustment))
        _prepareDelegation(connection, event, adjustment, pairs);
    connection.insertMetaEvent(event);
    // A repeated event is ignored by the table: no row.
    const int rows = sqlite3_changes(connection.getDbHandle());
    if (!pairs.empty())
        _delegate(connection, pairs);
    return rows;
}

bool CDelsEventSourceInternal::_prepareDelegation(CDelsSqlite3& connection,
                                                  const CDelsMetaEvent& event,
                                                  const SDelsDeliverySeverityAdjustment& adjustment,
                                                  std::list<DelsDelegationPair>& out) {
    CDelsLogger& log = CDelsLogger::logger();
    out.clear();
    if (!m_delegation.available()) {
        log.logDebug("Delegation skipped, no Lua interpreter.");
        return false;
    }
    log.logDebug("Preparing delegation for messageId=%08x", event.getMessageId());
    std::list<CDelsMetaEvent> candidates;
    connection.getEventsToDelegate(event, adjustment, candidates);
    if (candidates.empty()) {
        log.logDebug("No delegation.");
        return true;
    }
    return m_delegation.prepare(candidates, adjustment, out);
}

void CDelsEventSourceInternal::_delegate(CDelsSqlite3& connection,
                                         const std::list<DelsDelegationPair>& pairs) {
    CDelsLogger::logger().logDebug("_delegate( ) %d adjustments", static_cast<int>(pairs.size()));
    for (const DelsDelegationPair& pair : pairs)
        connection.delegateEvent(pair);
}

// ---------------------------------------------------------------------------------------------

CDelsEventReceiver::CDelsEventReceiver(const std::string& path, DelsNodeType nodeType, bool flag)
    : CDelsAccess(path, nodeType, flag) {
    static const char* const sql[] = {"BEGIN IMMEDIATE TRANSACTION", "END TRANSACTION",
                                      "ROLLBACK TRANSACTION"};
    sqlite3_stmt** stmts[] = {&m_begin, &m_end, &m_rollback};
    for (int i = 0; i < 3; ++i) {
        int result = sqlite3_prepare_v2(m_db, sql[i], -1, stmts[i], nullptr);
        if (result != SQLITE_OK) {
            sqlite3_finalize(m_begin);
            sqlite3_finalize(m_end);
            sqlite3_finalize(m_rollback);
            throw CDelsDatabaseError(result, sqlite3_errmsg(m_db), sql[i], __LINE__);
        }
    }
}

CDelsEventReceiver::~CDelsEventReceiver() {
    sqlite3_finalize(m_begin);
    sqlite3_finalize(m_end);
    sqlite3_finalize(m_rollback);
}

void CDelsEventReceiver::beginTransaction() {
    (*m_statements).beginImmediateTransaction();
}

void CDelsEventReceiver::endTransaction() {
    (*m_statements).endTransaction();
}

void CDelsEventReceiver::rollbackTransaction() {
    (*m_statements).rollbackTransaction();
}

void CDelsEventReceiver::insertEvents(const std::list<CDelsMetaEvent>& events) {
    for (const CDelsMetaEvent& event : events)
        (*m_statements).insertMetaEvent(event);
    _notifyEventUpdate();
}
