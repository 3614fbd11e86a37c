// delsctl as the operator runs it, on a fresh platform root.
#include <poll.h>
#include <semaphore.h>

#include <gtest/gtest.h>

#include "delsaccess.h"
#include "locations.h"
#include "test_process.h"

namespace {

struct Outcome {
    int status;
    std::string output;
};

Outcome delsctl(const std::vector<std::string>& args) {
    testenv::Process process("delsctl", args);
    const int status = process.wait();
    return {status, process.output()};
}

TEST(Delsctl, ReportsAFreshStoreRefusesABadConfigurationAndAnnouncesAGoodOne) {
    testenv::TempRoot root;
    const std::string db = getLocation(DELS_DB_FILE_INDEX);
    Outcome info = delsctl({"info"});
    EXPECT_EQ(0, info.status) << info.output;
    for (const std::string& line :
         {"path: " + db, std::string("schemaRevision: 3"), std::string("isOrigin: 1"),
          std::string("hasKey: 0"), std::string("events: 0"), std::string("maxDbSizeKiB: 8192")})
        EXPECT_NE(info.output.find(line + "\n"), std::string::npos) << info.output;

    // A store another process holds open hears of the change; a refused file changes nothing.
    CDelsAccess store(db, DNT_ORIGIN, false);
    const std::string stored = testenv::readFile(db);
    root.write("bad.yaml", "deliverySeverityAdjustments: [dropBy1]\nmaxDbSizeKiB: 5\n");
    root.write("good.yaml", "deliverySeverityAdjustments:\n  param0: {305: [dropBy1/1]}\n"
                            "maxDbSizeKiB: 64\n");
    const std::string junk = root / "junk.db";
    root.write("junk.db", std::string(4096, 'x'));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string output;
    } refusals[] = {
        {{"config-set", root / "bad.yaml"}, 2, "delsctl: invalid configuration in " /* path */},
        {{"config-set", root / "missing.yaml"}, 2, "delsctl: cannot read "},
        {{"config-set"}, 2, "delsctl: config-set needs one FILE"},
        {{"frobnicate"}, 2, "delsctl: unknown command frobnicate"},
        {{"--node-type", "3", "info"}, 2, "delsctl: --node-type must be 0, 1 or 2"},
        {{"--db", root / "no/such/dels.db", "info"}, 1, "delsctl: no folder "},
        {{"--db", root / "missing.db", "info"}, 1, "delsctl: no event database at "},
        {{"--node-type", "1", "info"},
         2,
         "delsctl: " + db + " is the database of a node of type 0"},
        {{"send", "--severity", "15", "--msg", "1"}, 2, "delsctl: --severity: '15' is neither"},
    };
    for (const auto& r : refusals) {
        Outcome run = delsctl(r.args);
        EXPECT_EQ(r.status, run.status) << run.output;
        EXPECT_EQ(0u, run.output.rfind(r.output, 0)) << run.output;
        EXPECT_EQ(1, std::count(run.output.begin(), run.output.end(), '\n')) << run.output;
    }
    EXPECT_EQ(stored, testenv::readFile(db));
    // A file that is not a database is moved aside by the store, and the operator hears of it.
    Outcome cleaned = delsctl({"--db", junk, "clean"});
    EXPECT_EQ(0, cleaned.status);
    EXPECT_NE(std::string::npos,
              cleaned.output.find("delsctl: " + junk + " was not a sound database: moved to " +
                                  junk + ".corrupted"))
        << cleaned.output;
    struct pollfd fifo = {store.getConfigurationUpdateFd(), POLLIN, 0};
    EXPECT_EQ(0, ::poll(&fifo, 1, 0));

    EXPECT_EQ(0, delsctl({"config-set", root / "good.yaml"}).status);
    EXPECT_EQ(1, ::poll(&fifo, 1, 0));
    SDelsNodeConfig seen;
    store.getConfiguration(seen);
    EXPECT_EQ(64u, seen.maxDbSizeKiB);
    Outcome config = delsctl({"--db", db, "config"});
    EXPECT_EQ(0, config.status);
    EXPECT_EQ("deliverySeverityAdjustments:\n  additionalInfo: {}\n  param0:\n"
              "    305: [dropBy1/1]\n  param1: {}\n  simple: {}\nmaxDbSizeKiB: 64\n",
              config.output);
    ::sem_unlink(CDelsAccess::semaphoreName(db).c_str());
    ::sem_unlink(CDelsAccess::semaphoreName(junk).c_str());
}

} // namespace
