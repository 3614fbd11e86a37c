// What a producer of events holds: an event source on one event database. Sending never waits
// for the database unless the source was created synchronous. Any thread may send. The store
// base every event-database object builds on comes with it.
#pragma once

#include <string>

#include "delsaccess.h"
#include "delstypes.h"

class CDelsEventSource {
public:
    virtual void sendEvent(CDelsEvent& event) = 0;
    virtual ~CDelsEventSource() = default;

    // The caller owns the source and deletes it through this interface; construction errors
    // (database, schema, FIFOs) propagate.
    static CDelsEventSource* create(const std::string& path, DelsNodeType nodeType, bool flag,
                                    bool synchronous);

    // Asynchronous sources on one database within a process share one insertion thread; the
    // last one deleted writes what is queued and ends it. flushAll waits (a few seconds at most)
    // until every source of the process has written what it queued; it also runs at exit().
    static void flushAll();
};
