// The reading side of the store on real database files of every node type: selections,
// paging, look-ups, forwarding marks and removal.
#include <fcntl.h>
#include <list>
#include <poll.h>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "dels_test_support.h"
#include "delsremover.h"

namespace {

// The events every store of the test holds, keyed 5, 6, 7 (four fillers came and went first).
struct SStored {
    unsigned messageId;
    DelsSeverity generated, delivery;
    unsigned long long timestamp, nodeId;
    bool forwarded;
};
const SStored kStored[] = {
    {10, DSEV_CRITICAL, DSEV_DISCARDABLE, 1000, 0x11, false},
    {11, DSEV_NORMAL, DSEV_NORMAL, 2000, 0x22, true},
    {12, DSEV_ARCHIVE, DSEV_CRITICAL, 3000, 0x11, false},
};

CDelsMetaEvent metaEvent(unsigned messageId, unsigned id, unsigned long long timestamp,
                         unsigned long long nodeId, DelsSeverity generated = DSEV_NORMAL,
                         DelsSeverity delivery = DSEV_NORMAL, bool forwarded = false) {
    return CDelsMetaEvent(CDelsEvent(messageId, 0, 0, "text", generated, id, timestamp, 0, nodeId),
                          forwarded, delivery, 0, 0, 1);
}

// The filter that sets `field` to `value` and leaves the rest open.
template <class T, class V> SDelsEventFilter with(T SDelsEventFilter::*field, V value) {
    SDelsEventFilter filter;
    filter.*field = static_cast<T>(value);
    return filter;
}

class AnEventRemover : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        m_store.reset(new CDelsEventRemover(m_path, static_cast<DelsNodeType>(GetParam()), false));
        m_writer.reset(new CDelsSqlite3(m_path, m_store->getDbAttr()));
        std::list<SEventUniqueness> fillers;
        for (unsigned i = 1; i <= 4; ++i) {
            insert(metaEvent(99, i, i, 0));
            fillers.emplace_back(i, 0ULL, i);
        }
        m_store->removeEvents(fillers);
        for (const SStored& s : kStored)
            insert(metaEvent(s.messageId, &s - kStored + 5, s.timestamp, s.nodeId, s.generated,
                             s.delivery, s.forwarded));
    }
    void insert(const CDelsMetaEvent& event) { m_writer->insertMetaEvent(event); }
    // Message ids of a selection, in its order.
    std::vector<unsigned> messages(const SDelsEventFilter& filter) {
        std::list<CDelsMetaEvent> events;
        m_store->getMetaEvents(events, filter);
        std::vector<unsigned> ids;
        for (const CDelsMetaEvent& e : events)
            ids.push_back(e.getMessageId());
        return ids;
    }
    int type() const { return GetParam(); }

    delstest::StoreDir m_dir;
    std::string m_path = m_dir.db();
    std::unique_ptr<CDelsEventRemover> m_store;
    std::unique_ptr<CDelsSqlite3> m_writer;
};

TEST_P(AnEventRemover, SelectsByEveryFilterPagesByKeyAndLooksUpIdentities) {
    using V = std::vector<unsigned>;
    const V all{10, 11, 12};
    const V byType[3] = {{12}, {12}, {10}}; // delivery severity 0, where the table has it
    using F = SDelsEventFilter;
    const std::tuple<const char*, F, V> cases[] = {
        {"all", F(), all},
        {"severity", with(&F::high, DSEV_CRITICAL), byType[type()]},
        {"unforwarded", with(&F::forwarded, 0), type() == 2 ? all : V{10, 12}},
        {"forwarded", with(&F::forwarded, 1), type() == 2 ? all : V{11}},
        {"node", with(&F::nodeId, 0x11), type() == 0 ? all : V{10, 12}},
        {"upper", with(&F::upper, 2000), {10, 11}},
        {"lower", with(&F::lower, 2000), {11, 12}},
        {"limit 2", with(&F::limit, 2), {10, 11}},
        {"no limit", with(&F::limit, 0xFFFFFFFF), all},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::get<2>(c), messages(std::get<1>(c))) << std::get<0>(c);

    // What delegation decided is what a forwarding agent sees.
    std::list<CDelsMetaEvent> events;
    m_store->getMetaEvents(events, SDelsEventFilter());
    const CDelsMetaEvent& first = events.front();
    EXPECT_EQ(std::make_tuple(type() == 2 ? DSEV_CRITICAL : DSEV_DISCARDABLE, 5u, 1000ULL,
                              type() == 0 ? 0ULL : 0x11ULL, type() == 0 ? 0ULL : 5ULL),
              std::make_tuple(first.getDeliverySeverity(), first.getId(), first.getTimestamp(),
                              first.getNodeId(), first.getKey()));

    // Keys 5, 6, 7 in pages of 2; an origin store has no keys and returns the watermark given.
    const unsigned long long next =
        m_store->getMetaEvents(events, DSEV_CRITICAL, DSEV_LIMIT, -1, 0, 0, 0, 0, 2);
    EXPECT_EQ(type() == 0 ? 0ULL : 7ULL, next);
    if (type() != 0) {
        EXPECT_EQ(8ULL,
                  m_store->getMetaEvents(events, DSEV_CRITICAL, DSEV_LIMIT, -1, 0, 7, 0, 0, 2));
        EXPECT_EQ(1u, events.size());
        std::list<SEventUniqueness> ids;
        EXPECT_EQ(8ULL, m_store->getEventIds(6, ids));
        EXPECT_EQ(2u, ids.size());
    }

    // Look-ups: a missing identity gives a default record, the caller's list stays.
    const std::list<SEventUniqueness> wanted{
        {5u, 0x11ULL, 1000ULL}, {5u, 0x11ULL, 999ULL}, {7u, 0ULL, 3000ULL}};
    m_store->getMetaEvents(wanted, events);
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(std::make_tuple(10u, false, 12u, 3u),
              std::make_tuple(events.front().getMessageId(), std::next(events.begin())->getValid(),
                              events.back().getMessageId(), unsigned(wanted.size())));
    std::list<SEventUniqueness> consumed = wanted;
    std::list<CDelsEvent> plain;
    m_store->_getEvents(consumed, plain);
    EXPECT_TRUE(consumed.empty() && plain.size() == 3 && plain.back().getMessageId() == 12);
    CDelsEvent untouched(1, DSEV_HIGH, 2, 3, "kept");
    m_store->_getEvent(SEventUniqueness(6u, 0ULL, 1ULL), untouched);
    EXPECT_EQ("kept", untouched.getAdditionalInfo());

    // A selection takes away the wake-up bytes that were waiting.
    const int fifo = ::open((m_path + ".delsEventUpdate").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(1, ::write(fifo, "1", 1));
    ::close(fifo);
    struct pollfd wake = {m_store->getEventDatabaseUpdateFd(), POLLIN, 0};
    EXPECT_EQ(1, ::poll(&wake, 1, 0));
    std::list<SEventUniqueness> ids;
    m_store->getEventIds(INITIAL_WATERMARK_VALUE, ids);
    EXPECT_EQ(0, ::poll(&wake, 1, 0));
}

TEST_P(AnEventRemover, RemovesUpToTheFirstFailureAndMarksEachIdentityByAllItsFields) {
    SDelsEventFilter removable, forwarded;
    removable.lower = 500;
    removable.upper = 502;
    forwarded.forwarded = 1;
    for (unsigned i = 0; i < 3; ++i)
        insert(metaEvent(20 + i, 8 + i, 500 + i, 0x11));
    sqlite3_exec(m_writer->getDbHandle(),
                 "CREATE TRIGGER keep BEFORE DELETE ON events WHEN old.messageId = 21 "
                 "BEGIN SELECT RAISE(ABORT, 'kept'); END;",
                 nullptr, nullptr, nullptr);
    EXPECT_THROW(m_store->removeEvents(
                     {{8u, 0x11ULL, 500ULL}, {9u, 0x11ULL, 501ULL}, {10u, 0x11ULL, 502ULL}}),
                 CDelsDatabaseError);
    EXPECT_EQ((std::vector<unsigned>{21, 22}), messages(removable));

    if (type() == 2) { // no forwarded column to set
        EXPECT_THROW(m_store->markForwarded({{5u, 0x11ULL, 1000ULL}}), CDelsDatabaseError);
        return;
    }
    // The same id and time from another node, and an identity whose time is not stored.
    if (type() == 1)
        insert(metaEvent(13, 5, 1000, 0x33));
    m_store->markForwarded({{5u, 0x11ULL, 1000ULL}, {7u, 0x11ULL, 2999ULL}});
    EXPECT_EQ((std::vector<unsigned>{10, 11}), messages(forwarded));

    // Thousands at once, beyond what one statement could list.
    {
        CDelsTransaction transaction(*m_writer, false);
        for (unsigned i = 0; i < 3000; ++i)
            insert(metaEvent(50, 100 + i, 10000 + i, 0x44));
        transaction.commit();
    }
    std::list<SEventUniqueness> many;
    m_store->getEventIds(many, DSEV_CRITICAL, DSEV_LIMIT, 0, 0, 0, 10000);
    ASSERT_EQ(3000u, many.size());
    m_store->markForwarded(std::set<SEventUniqueness>(many.begin(), many.end()));
    m_store->getEventIds(many, DSEV_CRITICAL, DSEV_LIMIT, 1, 0, 0, 0);
    EXPECT_EQ(3002u, many.size());
}

INSTANTIATE_TEST_SUITE_P(NodeTypes, AnEventRemover, ::testing::Values(0, 1, 2));

} // namespace
