// delsctl's reading commands as an operator runs them, against a database that this test
// process writes as a producer would.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <semaphore.h>

#include "delsaccess.h"
#include "delsbase.h"
#include "test_process.h"

namespace {

class ADelsctl : public ::testing::Test {
protected:
    ~ADelsctl() override {
        m_source.reset();
        ::sem_unlink(CDelsAccess::semaphoreName(m_db).c_str());
    }

    // Exit status and everything printed.
    std::pair<int, std::string> run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", m_db});
        testenv::Process delsctl("delsctl", args);
        const int status = delsctl.wait();
        return {status, delsctl.output()};
    }
    std::string ok(const std::vector<std::string>& args) {
        const auto result = run(args);
        EXPECT_EQ(0, result.first) << result.second;
        return result.second;
    }
    void send(const char* text) {
        CDelsEvent event(7, DSEV_NORMAL, 1, 2, text);
        m_source->sendEvent(event);
    }

    testenv::TempRoot m_root;
    std::string m_db = m_root / "dels.db";
    std::unique_ptr<CDelsEventSource> m_source{
        CDelsEventSource::create(m_db, DNT_ORIGIN, false, true)};
};

size_t lines(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

TEST_F(ADelsctl, ListsMarksRemovesExportsAndRefusesBadInputWithOneLine) {
    for (const char* text : {"first", "tab\there\nand a line", "third"})
        send(text);
    const std::string listed = ok({"list"});
    EXPECT_EQ(3u, lines(listed));
    EXPECT_NE(std::string::npos, listed.find("additionalInfo=tab\\there\\nand a line\n"));
    const std::string tsv = ok({"list", "--format", "tsv"});
    EXPECT_EQ(0u, tsv.find("id\ttimestamp\tmessageId\tgeneratedSeverity\tdeliverySeverity\t"
                           "forwarded\tparam0\tparam1\tnodeId\tkey\tadditionalInfo\n"));
    EXPECT_EQ(4u * 11, std::count(tsv.begin(), tsv.end(), '\t') + lines(tsv));
    // The second event by its full identity, taken from the tsv columns.
    const size_t second = tsv.find("\n2\t") + 3;
    const std::string timestamp = tsv.substr(second, tsv.find('\t', second) - second);

    // Wire format 1 carries every field the text shows (severities are all 2 here).
    const std::string wire = m_root / "events.bin";
    ok({"export-wire", wire});
    EXPECT_EQ(listed, ok({"decode-wire", wire}));

    ok({"mark", "1", "2@" + timestamp + "@0"});
    EXPECT_EQ(2u, lines(ok({"list", "--forwarded", "yes"})));
    ok({"remove", "3"});
    EXPECT_EQ(2u, lines(ok({"list"})));

    const std::vector<std::string> bad[] = {{"list", "--limit", "0"},
                                            {"list", "--severity", "4-2"},
                                            {"list", "--since", "monday"},
                                            {"list", "--after-key", "5"},
                                            {"list", "--until=1x"},
                                            {"list", "--forwarded"},
                                            {"list", "--node", "0x11"},
                                            {"mark", "1@2@3@4"},
                                            {"mark"},
                                            {"remove", "-1"},
                                            {"export-wire"},
                                            {"decode-wire", m_root / "none.bin"},
                                            {"list", "--db", m_db},
                                            {"follow", "--lines", "100001"}};
    for (const auto& args : bad) {
        const auto result = run(args);
        EXPECT_EQ(2, result.first) << args[1] << ": " << result.second;
        EXPECT_TRUE(lines(result.second) == 1 && result.second.rfind("delsctl: ", 0) == 0)
            << result.second;
    }
    EXPECT_EQ(1, run({"mark", "99"}).first);
}

TEST_F(ADelsctl, FollowsEventsSentByAnotherProcessUntilInterrupted) {
    send("before");
    testenv::Process follow("delsctl", {"--db", m_db, "follow", "--lines", "1"});
    ASSERT_TRUE(
        testenv::waitUntil([&] { return follow.output().find("before") != std::string::npos; }));
    send("after");
    EXPECT_TRUE(testenv::waitUntil(
        [&] { return follow.output().find("additionalInfo=after\n") != std::string::npos; },
        std::chrono::seconds(1)))
        << follow.output();
    follow.signal(SIGINT);
    EXPECT_EQ(0, follow.wait());
    EXPECT_EQ(2u, lines(follow.output()));
}

} // namespace
