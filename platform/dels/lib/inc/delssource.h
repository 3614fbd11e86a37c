// The event store's writers: the event source behind CDelsEventSource (an insertion thread fed by
// a bounded in-memory queue, or synchronous insertion on the caller's thread) and the receiver
// that stores events received from other nodes. Any thread may send; only the insertion thread
// touches its own connection and the delegation interpreter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "delsaccess.h"
#include "delsbase.h"
#include "delsdelegation.h"

class CDelsEventSourceInternal : public CDelsEventSource, public CDelsAccess {
public:
    CDelsEventSourceInternal(const std::string& path, DelsNodeType nodeType, bool flag,
                             bool synchronous);
    // Writes what is queued (at most DRAIN_LIMIT while the database keeps failing), then ends
    // the thread.
    ~CDelsEventSourceInternal() override;

    // Asynchronous: queues and returns at once, never throws. Synchronous: returns once the event
    // is committed; throws CDelsDatabaseError.
    void sendEvent(CDelsEvent& event) override;

    // Waits until the queue is empty and the thread idle, its last size check done (or `limit`
    // passes); a thread backing off from a failing database tries once more at once. True when
    // nothing is left.
    bool flush(std::chrono::milliseconds limit);

    struct SCounters {
        uint64_t stored = 0;    // committed
        uint64_t discarded = 0; // refused by the database one by one
        uint64_t dropped = 0;   // queue full, or given up at shutdown
        uint64_t batches = 0;   // committed transactions
        uint64_t failures = 0;  // passes that failed as a whole (each followed by a pause)
    };
    SCounters counters() const;
    // Queued, or in the batch being written.
    size_t pendingEvents() const;

    // Queued events (and their bytes) beyond which new ones are dropped (counted and logged).
    static constexpr size_t MAX_QUEUED = 10000;
    static constexpr size_t MAX_QUEUED_BYTES = 4u << 20;
    static constexpr size_t MAX_BATCH = 256;
    // Pauses after a failing pass: the first, doubling up to the longest.
    static constexpr std::chrono::milliseconds FIRST_BACKOFF{1000};
    static constexpr std::chrono::milliseconds LONGEST_BACKOFF{60000};
    // How long shutdown keeps trying a failing database before it gives the queue up.
    static constexpr std::chrono::milliseconds DRAIN_LIMIT{5000};

    // Delegation for `event`: the (id, severity) pairs from the stored events, before it is
    // inserted. False only without an interpreter.
    bool _prepareDelegation(CDelsSqlite3& connection, const CDelsMetaEvent& event,
                            const SDelsDeliverySeverityAdjustment& adjustment,
                            std::list<DelsDelegationPair>& out);
    void _delegate(CDelsSqlite3& connection, const std::list<DelsDelegationPair>& pairs);

private:
    enum EOutcome { EO_STORED, EO_DISCARDED, EO_TRANSACTION_LOST };
    class CSavepoint;

    void startThreadLocked();
    void insertEventThreadProcessor();
    bool writeBatch(CDelsSqlite3& connection, CSavepoint& savepoint, SDelsEventCount& count);
    void sendSynchronously(const CDelsMetaEvent& event);
    // Rows inserted: 0 for a repeated event.
    int processEvent(CDelsSqlite3& connection, const CDelsMetaEvent& event);
    EOutcome processInSavepoint(CDelsSqlite3& connection, CSavepoint& savepoint,
                                const CDelsMetaEvent& event, long long& inserted);
    void cleanAfterBatch(CDelsSqlite3& connection, const char* failureLine,
                         SDelsEventCount* count = nullptr);
    void waitForWake(std::chrono::milliseconds timeout);
    bool pauseAfterFailure(std::chrono::milliseconds& backoff);
    void giveUpQueue(const char* why);
    void wake();
    static int busyHandler(void* self, int count);
    static void beforeFork();
    static void afterForkParent();
    static void afterForkChild();

    const bool m_synchronous;
    std::unique_ptr<std::thread> m_thread;
    pid_t m_threadPid = 0;
    std::list<CDelsMetaEvent> m_queue;
    size_t m_pending = 0; // queued plus the batch being written
    size_t m_pendingBytes = 0;
    mutable std::mutex m_queueMutex;
    std::condition_variable m_drained;
    int m_wakePipe[2] = {-1, -1};
    bool m_stopping = false;
    bool m_working = false; // the thread is between taking work and finding the queue empty
    bool m_flushRequested = false;
    std::chrono::steady_clock::time_point m_stopDeadline;
    SCounters m_counters;
    std::chrono::steady_clock::time_point m_lastDropLog;
    // Synchronous senders on several threads share the statement connection and the
    // interpreter.
    std::mutex m_syncMutex;
    CDelsDelegation m_delegation;
    bool m_configUnreadableLogged = false;
};

// Stores events received from other nodes, in the caller's transaction; no delegation, no
// cleanup. One thread at a time.
class CDelsEventReceiver : public CDelsAccess {
public:
    CDelsEventReceiver(const std::string& path, DelsNodeType nodeType, bool flag);
    virtual ~CDelsEventReceiver();

    void beginTransaction();
    void endTransaction();
    void rollbackTransaction();
    // Duplicates are ignored by the table; one notification byte after the list.
    void insertEvents(const std::list<CDelsMetaEvent>& events);

private:
    sqlite3_stmt* m_begin = nullptr;
    sqlite3_stmt* m_end = nullptr;
    sqlite3_stmt* m_rollback = nullptr;
};
