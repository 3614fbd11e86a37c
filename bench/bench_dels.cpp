// Events per second stored by an asynchronous event source (size cleanup after every batch, a
// delegation configured for one message of the mix) beside raw SQLite inserting the same rows in
// 256-row transactions into a database of the same schema, on the same file system, in the same
// run. Runs alternate (source, raw, source, ...) after one warm-up pair; the ratio of each pair
// is reported as min/median/max. Also the daemon's resident memory with its sources open.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <semaphore.h>
#include <sqlite3.h>

#include <benchmark/benchmark.h>

#include "delssource.h"
#include "test_env.h"
#include "test_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEventsPerRun = 8192; // below the queue's bound: nothing is dropped
constexpr int kPairs = 7;

testenv::TempRoot* g_root = nullptr;
std::vector<double> g_sourceRates, g_rawRates;

// The event mix: one message in 256 is a status report (one of 64 devices) with a delegation:
// older reports of the same device drop.
CDelsEvent eventNumber(int run, int i) {
    if (i % 256 == 0)
        return CDelsEvent(305, DSEV_NORMAL, static_cast<unsigned>((run * 32 + i / 256) % 64), 7,
                          "bench status report");
    return CDelsEvent(400 + i % 16, DSEV_NORMAL, static_cast<unsigned>(i % 64), 7,
                      "bench event with a short text");
}

std::string sourcePath() {
    return *g_root / "source.db";
}
std::string rawPath() {
    return *g_root / "raw.db";
}

void BM_SourceAsync(benchmark::State& state) {
    CDelsEventSourceInternal source(sourcePath(), DNT_ORIGIN, true, false);
    double rate = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kEventsPerRun; ++i) {
            CDelsEvent event = eventNumber(static_cast<int>(state.range(0)), i);
            source.sendEvent(event);
        }
        if (!source.flush(std::chrono::minutes(2)))
            state.SkipWithError("source did not drain");
        rate = kEventsPerRun / std::chrono::duration<double>(Clock::now() - start).count();
    }
    if (source.counters().dropped + source.counters().discarded != 0)
        state.SkipWithError("events lost");
    state.counters["events_per_s"] = rate;
    if (state.range(0) > 0)
        g_sourceRates.push_back(rate);
}

void BM_RawSqlite(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(rawPath().c_str(), &db);
    sqlite3_busy_timeout(db, 60000);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO events ( messageId, param0, param1, additionalInfo, forwarded, "
                       "deliverySeverity, generatedSeverity, timestamp ) VALUES ( ?1, ?2, ?3, ?4, "
                       "?5, ?6, ?7, ?8 );",
                       -1, &insert, nullptr);
    double rate = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kEventsPerRun; ++i) {
            if (i % 256 == 0)
                sqlite3_exec(db, "BEGIN IMMEDIATE TRANSACTION;", nullptr, nullptr, nullptr);
            CDelsEvent event = eventNumber(static_cast<int>(state.range(0)), i);
            sqlite3_bind_int64(insert, 1, event.getMessageId());
            sqlite3_bind_int64(insert, 2, event.getParam0());
            sqlite3_bind_int64(insert, 3, event.getParam1());
            sqlite3_bind_blob(insert, 4, event.getAdditionalInfo().data(),
                              static_cast<int>(event.getAdditionalInfo().size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 5, 0);
            sqlite3_bind_int(insert, 6, event.getSeverity());
            sqlite3_bind_int(insert, 7, event.getSeverity());
            sqlite3_bind_int64(insert, 8, static_cast<sqlite3_int64>(event.getTimestamp()));
            if (sqlite3_step(insert) != SQLITE_DONE)
                state.SkipWithError(sqlite3_errmsg(db));
            sqlite3_reset(insert);
            if (i % 256 == 255 || i == kEventsPerRun - 1)
                sqlite3_exec(db, "END TRANSACTION;", nullptr, nullptr, nullptr);
        }
        rate = kEventsPerRun / std::chrono::duration<double>(Clock::now() - start).count();
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.counters["events_per_s"] = rate;
    if (state.range(0) > 0)
        g_rawRates.push_back(rate);
}

// The daemon's resident set with its event sources open (logger and bridge share one).
long daemonRssKiB() {
    testenv::PrivateBus bus;
    testenv::Process daemon("tessarc", {"--daemon"});
    auto connection = testenv::sessionConnection();
    if (!testenv::waitUntil(
            [&] { return testenv::nameHasOwner(connection, "com.ulvaro.tessarc"); }))
        return -1;
    std::ifstream status("/proc/" + std::to_string(daemon.pid()) + "/status");
    std::string line;
    long rss = -1;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::stol(line.substr(6));
    daemon.signal(SIGTERM);
    daemon.wait();
    return rss;
}

void printStats(const char* name, std::vector<double> values) {
    if (values.empty())
        return;
    std::sort(values.begin(), values.end());
    std::printf("%s min %.2f median %.2f max %.2f\n", name, values.front(),
                values[values.size() / 2], values.back());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    testenv::TempRoot root;
    g_root = &root;
    {
        // Same schema for both; the source's node configuration carries the delegation.
        CDelsEventSourceInternal raw(rawPath(), DNT_ORIGIN, true, true);
        CDelsEventSourceInternal configured(sourcePath(), DNT_ORIGIN, true, true);
        SDelsNodeConfig config;
        SDelsDeliverySeverityAdjustment dropOlder(305, SDelsDeliverySeverityAdjustment::EM_PARAM0);
        dropOlder.add("dropBy1/1");
        config.setDSA(305, dropOlder);
        configured.setConfiguration(config);
    }
    // Pair 0 warms caches and files; pairs 1.. are measured, source and raw alternating.
    for (int pair = 0; pair <= kPairs; ++pair) {
        benchmark::RegisterBenchmark("BM_SourceAsync", BM_SourceAsync)
            ->Arg(pair)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_RawSqlite", BM_RawSqlite)
            ->Arg(pair)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(g_sourceRates.size(), g_rawRates.size()); ++i)
        ratios.push_back(g_sourceRates[i] / g_rawRates[i]);
    printStats("source events/s:", g_sourceRates);
    printStats("raw sqlite events/s:", g_rawRates);
    printStats("ratio source/raw:", ratios);
    std::printf("daemon VmRSS with its event sources open: %ld KiB\n", daemonRssKiB());
    for (const char* name : {"raw.db", "source.db"})
        ::sem_unlink(CDelsAccess::semaphoreName(root / name).c_str());
    benchmark::Shutdown();
    return 0;
}
