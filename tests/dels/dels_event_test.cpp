#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "dels_log_capture.h"
#include "delstypes.h"

namespace {

TEST(ADelsEvent, ComposesItsIdFromTheLow12SessionAndLow20EventBits) {
    const unsigned cases[][3] = {{0x1001, 0x100001, 0x100001}, {0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        const SEventUniqueness key(static_cast<unsigned short>(c[0]), c[1], 0, 0);
        EXPECT_EQ(c[2], key.id) << c[0] << "/" << c[1];
        EXPECT_EQ(c[1], key.eventSequence) << "the event counter is kept unmasked";
    }
    // The rebuild constructor splits the id back into both counters.
    const CDelsEvent stored(7, 1, 2, "x", DSEV_HIGH, 0xABC12345u, 5, 3, 9);
    EXPECT_EQ(0xABCu, stored.getSessionSequence());
    EXPECT_EQ(0x12345u, stored.getEventSequence());
    EXPECT_TRUE(stored.getValid());
    EXPECT_FALSE(CDelsEvent().getValid());
}

TEST(ADelsEvent, CutsEveryTextTo2048BytesCopiesBinaryDataAndRendersOneLine) {
    const std::string big(3000, 'x');
    EXPECT_EQ(2048u, CDelsEvent(1, DSEV_NORMAL, 0, 0, big.c_str()).getAdditionalInfo().size());
    EXPECT_EQ(2048u, CDelsEvent(1, DSEV_NORMAL, 0, 0, 3000, big.data()).getAdditionalInfo().size());
    EXPECT_EQ(2048u, CDelsEvent(1, 0, 0, big, DSEV_NORMAL, 0, 0, 0, 0).getAdditionalInfo().size());
    EXPECT_EQ(2080, CDelsMetaEvent(CDelsEvent(1, DSEV_NORMAL, 0, 0, big.c_str()), false,
                                   DSEV_NORMAL, 0, 0, 1)
                        .getWireFormatLength());
    const std::string binary("a\0\xff\nb", 5);
    EXPECT_EQ(binary, CDelsEvent(1, DSEV_NORMAL, 0, 0, 5, binary.data()).getAdditionalInfo());
    EXPECT_TRUE(CDelsEvent(1, DSEV_NORMAL, 0, 0, 5, nullptr).getAdditionalInfo().empty());
    EXPECT_TRUE(CDelsEvent(1, DSEV_NORMAL, 0, 0, static_cast<const char*>(nullptr))
                    .getAdditionalInfo()
                    .empty());

    std::string line = "> ";
    CDelsEvent(17, 4000000000u, 2, "some text", DSEV_DISCARDABLE, 0x00300005, 1450429507042ULL, 0,
               0x1a)
        .getDescription(line);
    EXPECT_EQ("> 20151218 09:05:07.042, nodeId=          1a, id=3145733, severity=3, "
              "messageId=17, param0=4000000000, param1=2, additionalInfo=some text\n",
              line);
}

TEST(AnEventUniqueness, OrdersByNodeThenSessionThenEventThenTimestampIgnoringTheId) {
    // Each key is smaller than the next; every field beats all fields after it.
    const SEventUniqueness ordered[] = {
        {static_cast<unsigned short>(9), 9u, 1ULL, 9ULL},
        {static_cast<unsigned short>(10), 0u, 1ULL, 0ULL},
        {static_cast<unsigned short>(10), 1u, 1ULL, 0ULL},
        {static_cast<unsigned short>(10), 1u, 1ULL, 1ULL},
        {static_cast<unsigned short>(0), 0u, 0xFFFFFFFFFFFFFFFFULL, 0ULL}, // compared unsigned
    };
    for (size_t i = 0; i < 5; ++i) {
        for (size_t j = 0; j < 5; ++j) {
            EXPECT_EQ(i < j, ordered[i] < ordered[j]) << i << " vs " << j;
            EXPECT_EQ(i == j, ordered[i] == ordered[j]) << i << " vs " << j;
        }
    }
    SEventUniqueness other = ordered[0];
    other.id = 12345;
    EXPECT_TRUE(other == ordered[0] && !(other < ordered[0]) && !(ordered[0] < other));
    // Built from an event, the key carries the event's own fields.
    const SEventUniqueness fromEvent(CDelsEvent(1, 0, 0, "", DSEV_NORMAL, 0x00500007, 99, 0, 0x42));
    EXPECT_EQ(SEventUniqueness(static_cast<unsigned short>(5), 7u, 0x42ULL, 99ULL), fromEvent);
    EXPECT_EQ(0x00500007u, fromEvent.id);
}

TEST(APromotion, TurnsAMessageOneEventIntoFreeTextAndALegacyOneIntoItsParts) {
    std::unique_ptr<CMiscellaneousEvent> misc(promoteToCMiscellaneousEvent(
        CDelsEvent(1, 4, 5, "the text", DSEV_HIGH, 0x100002, 1234, 0, 0)));
    EXPECT_EQ("the text", misc->getFreeFormText());
    EXPECT_THROW(
        delete promoteToCMiscellaneousEvent(CDelsEvent(2, 0, 0, "", DSEV_NORMAL, 0, 0, 0, 0)),
        CDelsEventPromotionError);

    const CWireFormat0LegacyEvent made("disk full, again", 7, "AB3DEF45123");
    EXPECT_EQ("MOI=AB3DEF45123,MessageString=disk full, again", made.getAdditionalInfo());
    struct Case {
        unsigned messageId;
        std::string text, moi, legacy; // the last two on success
        const char* error;             // or null
    } cases[] = {
        {made.getMessageId(), made.getAdditionalInfo(), "AB3DEF45123", "disk full, again", nullptr},
        {1, "MOI=a,MessageString=b", "", "", "Bad message ID"},
        {0, "MOI", "", "", "MOI Definition Bad"},
        {0, "MOI=a,MessageString", "", "", "Legacy Additional Info Definition Bad"},
        {0, "MOI=m,MessageString=one\ntwo", "m", "one", nullptr},
        {0, "MOI=m,MessageString=a=b,c", "m", "a=b,c", nullptr},
    };
    for (const Case& c : cases) {
        try {
            std::unique_ptr<CWireFormat0LegacyEvent> legacy(promoteToCWireFormat0LegacyEvent(
                CDelsEvent(c.messageId, 7, 0, c.text, DSEV_NORMAL, 0, 0, 0, 0)));
            EXPECT_EQ(nullptr, c.error) << c.text;
            EXPECT_EQ(c.moi, legacy->getLegacyMOI()) << c.text;
            EXPECT_EQ(c.legacy, legacy->getLegacyAdditionalInfo()) << c.text;
            EXPECT_EQ(7, legacy->getLegacyEventType());
        } catch (const CDelsEventPromotionError& e) {
            EXPECT_STREQ(c.error ? c.error : "", e.what()) << c.text;
        }
    }
}

TEST(ADelsDatabaseError, ComposesAndLogsItsTextOnceAndNothingWhileTheLoggerIsDisabled) {
    std::string what[2];
    const std::string logged = delsLogOf([&] {
        const CDelsDatabaseError withLine(5, "database is locked", "END TRANSACTION;", 12);
        const CDelsDatabaseError copy = withLine; // copies do not log again
        what[0] = copy.what();
        what[1] = CDelsDatabaseError(-1, "No rows were returned", "", 0).what();
        CDelsLogger::logger().enable(false);
        CDelsLogger::logger().logError("hidden %d", 1);
        CDelsLogger::logger().enable(true);
        CDelsLogger::logger().logInfoT("shown %d", 2);
    });
    EXPECT_EQ("msg=database is locked, result=5, sql=\"END TRANSACTION;\", line=12", what[0]);
    EXPECT_EQ("msg=No rows were returned, result=-1, sql=\"\"", what[1]);
    EXPECT_NE(std::string::npos, logged.find("CDelsDatabaseError msg=database is locked, result=5, "
                                             "sql=\"END TRANSACTION;\", line=12\n"))
        << logged;
    EXPECT_NE(std::string::npos, logged.find("us: shown 2")) << logged;
    EXPECT_EQ(3, std::count(logged.begin(), logged.end(), '\n')) << logged;
}

} // namespace
