// The reading side of an event database, for a forwarding agent (and delsctl): selects events
// by severity, forwarding state, node, time and key, marks them forwarded once a peer confirmed
// them, and removes them. One thread of the reading process uses it; other processes may
// insert meanwhile. Every failure throws CDelsDatabaseError.
#pragma once

#include <list>
#include <set>
#include <string>

#include "delsaccess.h"
#include "delsquery.h"

// The key watermark of a reader that has read nothing yet.
constexpr unsigned long long INITIAL_WATERMARK_VALUE = 0;

class CDelsEventRemover : public CDelsAccess {
public:
    CDelsEventRemover(const std::string& path, DelsNodeType nodeType, bool flag);

    // The matching events in the query's order (by key on keyed stores, else by generated
    // severity and time); returns the watermark to go on from.
    unsigned long long getMetaEvents(std::list<CDelsMetaEvent>& out, DelsSeverity low,
                                     DelsSeverity high, int forwarded, unsigned long long nodeId,
                                     unsigned long long watermark, unsigned long long upper,
                                     unsigned long long lower, unsigned limit);
    unsigned long long getMetaEvents(std::list<CDelsMetaEvent>& out,
                                     const SDelsEventFilter& filter);
    // Identities only, filtered on the generated severity, from the start.
    unsigned long long getEventIds(std::list<SEventUniqueness>& out, DelsSeverity low,
                                   DelsSeverity high, int forwarded, unsigned long long nodeId,
                                   unsigned long long upper, unsigned long long lower);
    // Every identity from `watermark` on.
    unsigned long long getEventIds(unsigned long long watermark, std::list<SEventUniqueness>& out);
    // One entry per identity, a default-constructed one for each that is not stored.
    void getMetaEvents(std::list<SEventUniqueness> ids, std::list<CDelsMetaEvent>& out);
    // All marked or none; events already forwarded stay as they are.
    void markForwarded(const std::set<SEventUniqueness>& ids);
    // In order; the first failure throws and leaves the rest stored.
    void removeEvents(const std::list<SEventUniqueness>& ids);

    // Events in the order they were inserted, from `position` on (0: from the first), or the
    // last `limit` of them when `newest`; returns the position after them. Positions are keys
    // on keyed stores and ids on origin stores, both of which only grow.
    unsigned long long getNewMetaEvents(unsigned long long position, std::list<CDelsMetaEvent>& out,
                                        unsigned limit, bool newest);

private:
    unsigned long long selectIds(const SDelsEventFilter& filter, std::list<SEventUniqueness>& out);
};
