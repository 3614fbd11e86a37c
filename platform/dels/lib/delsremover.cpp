#include "delsremover.h"

namespace {

SDelsTableShape shapeOf(const CDelsAccess& store) {
    return {store.hasNodeId(), store.hasForwarded(), store.hasDeliverySeverity(), store.hasKey()};
}

// One default entry per identity, replaced by what `one` finds; `ids` is emptied on the way.
template <class Event, class LookUp>
void lookUpAll(std::list<SEventUniqueness>& ids, std::list<Event>& out, LookUp one) {
    out.clear();
    while (!ids.empty()) {
        out.emplace_back();
        one(ids.front(), out.back());
        ids.pop_front();
    }
}

SDelsEventFilter filterOf(DelsSeverity low, DelsSeverity high, int forwarded,
                          unsigned long long nodeId, unsigned long long watermark,
                          unsigned long long upper, unsigned long long lower, unsigned limit) {
    SDelsEventFilter filter;
    filter.low = low;
    filter.high = high;
    filter.forwarded = forwarded;
    filter.nodeId = nodeId;
    filter.watermark = watermark;
    filter.upper = upper;
    filter.lower = lower;
    filter.limit = limit;
    return filter;
}

} // namespace

void CDelsAccess::_getEvent(const SEventUniqueness& id, CDelsEvent& out) {
    CDelsMetaEvent found;
    if (dels_query::lookup(m_db, shapeOf(*this), id, false, found)) {
        out = found;
    }
}

void CDelsAccess::_getMetaEvent(const SEventUniqueness& id, CDelsMetaEvent& out) {
    dels_query::lookup(m_db, shapeOf(*this), id, true, out);
}

void CDelsAccess::_getEvents(std::list<SEventUniqueness>& ids, std::list<CDelsEvent>& out) {
    lookUpAll(ids, out,
              [this](const SEventUniqueness& id, CDelsEvent& event) { _getEvent(id, event); });
}

void CDelsAccess::_getMetaEvents(std::list<SEventUniqueness>& ids, std::list<CDelsMetaEvent>& out) {
    lookUpAll(ids, out, [this](const SEventUniqueness& id, CDelsMetaEvent& event) {
        _getMetaEvent(id, event);
    });
}

CDelsEventRemover::CDelsEventRemover(const std::string& path, DelsNodeType nodeType, bool flag)
    : CDelsAccess(path, nodeType, flag) {}

unsigned long long CDelsEventRemover::getMetaEvents(std::list<CDelsMetaEvent>& out,
                                                    DelsSeverity low, DelsSeverity high,
                                                    int forwarded, unsigned long long nodeId,
                                                    unsigned long long watermark,
                                                    unsigned long long upper,
                                                    unsigned long long lower, unsigned limit) {
    return getMetaEvents(out,
                         filterOf(low, high, forwarded, nodeId, watermark, upper, lower, limit));
}

// The FIFO is drained before reading: an event committed while the query runs then still
// wakes the reader, instead of its byte being taken away afterwards.
unsigned long long CDelsEventRemover::getMetaEvents(std::list<CDelsMetaEvent>& out,
                                                    const SDelsEventFilter& filter) {
    _drainEventUpdates();
    const SDelsTableShape shape = shapeOf(*this);
    return dels_query::selectMetaEvents(m_db, shape, dels_query::metaEventSql(shape, filter),
                                        filter.watermark, out);
}

unsigned long long CDelsEventRemover::getEventIds(std::list<SEventUniqueness>& out,
                                                  DelsSeverity low, DelsSeverity high,
                                                  int forwarded, unsigned long long nodeId,
                                                  unsigned long long upper,
                                                  unsigned long long lower) {
    return selectIds(
        filterOf(low, high, forwarded, nodeId, INITIAL_WATERMARK_VALUE, upper, lower, 0), out);
}

unsigned long long CDelsEventRemover::getEventIds(unsigned long long watermark,
                                                  std::list<SEventUniqueness>& out) {
    SDelsEventFilter filter;
    filter.watermark = watermark;
    return selectIds(filter, out);
}

unsigned long long CDelsEventRemover::selectIds(const SDelsEventFilter& filter,
                                                std::list<SEventUniqueness>& out) {
    _drainEventUpdates();
    const SDelsTableShape shape = shapeOf(*this);
    return dels_query::selectEventIds(m_db, shape, dels_query::eventIdSql(shape, filter),
                                      filter.watermark, out);
}

void CDelsEventRemover::getMetaEvents(std::list<SEventUniqueness> ids,
                                      std::list<CDelsMetaEvent>& out) {
    _getMetaEvents(ids, out);
}

void CDelsEventRemover::markForwarded(const std::set<SEventUniqueness>& ids) {
    dels_query::markForwarded(m_db, shapeOf(*this), ids);
}

void CDelsEventRemover::removeEvents(const std::list<SEventUniqueness>& ids) {
    dels_query::removeEvents(m_db, shapeOf(*this), ids);
}

unsigned long long CDelsEventRemover::getNewMetaEvents(unsigned long long position,
                                                       std::list<CDelsMetaEvent>& out,
                                                       unsigned limit, bool newest) {
    _drainEventUpdates();
    return dels_query::selectInserted(m_db, shapeOf(*this), position, limit, newest, out);
}
