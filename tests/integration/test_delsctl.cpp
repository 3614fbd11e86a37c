// delsctl as an operator runs it on a fresh platform root, against the event database that this
// test process holds open and writes as a producer would.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <semaphore.h>
#include <sqlite3.h>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "delsaccess.h"
#include "delsbase.h"
#include "locations.h"
#include "test_process.h"

namespace {

size_t lines(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

class ADelsctl : public ::testing::Test {
protected:
    // Exit status and everything printed; the database is the platform's default one.
    std::pair<int, std::string> run(const std::vector<std::string>& args) {
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
        if (!m_source && std::filesystem::create_directories(m_root / "var/lib/dels"))
            m_source.reset(CDelsEventSource::create(m_db, DNT_ORIGIN, false, true));
        CDelsEvent event(7, DSEV_NORMAL, 1, 2, text);
        m_source->sendEvent(event);
    }

    testenv::TempRoot m_root;
    const std::string m_db = getLocation(DELS_DB_FILE_INDEX);
    std::unique_ptr<CDelsEventSource> m_source;
};

TEST_F(ADelsctl, ReportsAFreshStoreRefusesABadConfigurationAndAnnouncesAGoodOne) {
    const std::string info = ok({"info"});
    for (const std::string& line :
         {"path: " + m_db, std::string("schemaRevision: 3"), std::string("isOrigin: 1"),
          std::string("hasKey: 0"), std::string("events: 0"), std::string("maxDbSizeKiB: 8192")})
        EXPECT_NE(info.find(line + "\n"), std::string::npos) << info;

    // A store another process holds open hears of the change; a refused file changes nothing.
    CDelsAccess store(m_db, DNT_ORIGIN, false);
    const std::string stored = testenv::readFile(m_db);
    m_root.write("bad.yaml", "deliverySeverityAdjustments: [dropBy1]\nmaxDbSizeKiB: 5\n");
    m_root.write("good.yaml", "deliverySeverityAdjustments:\n  param0: {305: [dropBy1/1]}\n"
                              "maxDbSizeKiB: 64\n");
    const std::string junk = m_root / "junk.db";
    m_root.write("junk.db", std::string(4096, 'x'));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string output;
    } refusals[] = {
        {{"config-set", m_root / "bad.yaml"}, 2, "delsctl: invalid configuration in "},
        {{"config-set", m_root / "missing.yaml"}, 2, "delsctl: cannot read "},
        {{"config-set"}, 2, "delsctl: config-set needs one FILE"},
        {{"frobnicate"}, 2, "delsctl: unknown command frobnicate"},
        {{"--node-type", "3", "info"}, 2, "delsctl: --node-type must be 0, 1 or 2"},
        {{"--db", m_root / "no/such/dels.db", "info"}, 1, "delsctl: no folder "},
        {{"--db", m_root / "missing.db", "info"}, 1, "delsctl: no event database at "},
        {{"--node-type", "1", "info"},
         2,
         "delsctl: " + m_db + " is the database of a node of type 0"},
        {{"send", "--severity", "15", "--msg", "1"}, 2, "delsctl: --severity: '15' is neither"},
    };
    for (const auto& r : refusals) {
        const auto result = run(r.args);
        EXPECT_EQ(r.status, result.first) << result.second;
        EXPECT_EQ(0u, result.second.rfind(r.output, 0)) << result.second;
        EXPECT_EQ(1u, lines(result.second)) << result.second;
    }
    EXPECT_EQ(stored, testenv::readFile(m_db));
    // A file that is not a database is moved aside by the store, and the operator hears of it.
    const auto cleaned = run({"--db", junk, "clean"});
    EXPECT_EQ(0, cleaned.first);
    EXPECT_NE(std::string::npos,
              cleaned.second.find("delsctl: " + junk + " was not a sound database: moved to " +
                                  junk + ".corrupted"))
        << cleaned.second;
    ::sem_unlink(CDelsAccess::semaphoreName(junk).c_str());
    struct pollfd fifo = {store.getConfigurationUpdateFd(), POLLIN, 0};
    EXPECT_EQ(0, ::poll(&fifo, 1, 0));

    ok({"config-set", m_root / "good.yaml"});
    EXPECT_EQ(1, ::poll(&fifo, 1, 0));
    SDelsNodeConfig seen;
    store.getConfiguration(seen);
    EXPECT_EQ(64u, seen.maxDbSizeKiB);
    EXPECT_EQ("deliverySeverityAdjustments:\n  additionalInfo: {}\n  param0:\n"
              "    305: [dropBy1/1]\n  param1: {}\n  simple: {}\nmaxDbSizeKiB: 64\n",
              ok({"--db", m_db, "config"}));
}

TEST_F(ADelsctl, ListsMarksRemovesExportsAndRefusesBadInputWithOneLine) {
    for (const char* text : {"first", "tab\there\nand\ra\x7fline", "third"})
        send(text);
    const std::string listed = ok({"list"});
    EXPECT_EQ(3u, lines(listed));
    EXPECT_NE(std::string::npos, listed.find("additionalInfo=tab\\there\\nand\\ra\\x7fline\n"));
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
    EXPECT_EQ(1u, lines(ok({"list", "--forwarded", "no"})));
    ok({"remove", "3"});
    EXPECT_EQ(2u, lines(ok({"list"})));

    for (const char* args :
         {"list --limit 0", "list --severity 4-2", "list --since monday", "list --after-key 5",
          "list --until=1x", "list --forwarded", "list --node 0x11", "mark 1@2@3@4", "mark",
          "remove -1", "export-wire", "decode-wire /nonexistent/none.bin", "list --db x.db",
          "follow --lines 100001"}) {
        const auto result = run(testenv::words(args));
        EXPECT_EQ(2, result.first) << args << ": " << result.second;
        EXPECT_TRUE(lines(result.second) == 1 && result.second.rfind("delsctl: ", 0) == 0)
            << result.second;
    }
    EXPECT_EQ(1, run({"mark", "99"}).first);

    // A failing statement: exit status 1, the database's own message on one line.
    const std::string broken = m_root / "broken.db";
    ok({"--db", broken, "send", "--msg", "1"});
    sqlite3* db = nullptr;
    sqlite3_open(broken.c_str(), &db);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "DROP TABLE events; CREATE TABLE events (x);", nullptr,
                                      nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_EQ(std::make_pair(1, std::string("delsctl: the event database failed: no such column: "
                                            "id (result 1)\n")),
              run({"--db", broken, "list"}));
    ::sem_unlink(CDelsAccess::semaphoreName(broken).c_str());
}

TEST_F(ADelsctl, FollowsEventsSentByAnotherProcessUntilInterrupted) {
    send("before");
    testenv::Process follow("delsctl", {"follow", "--lines", "1"});
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
