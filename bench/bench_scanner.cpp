// Speed of the terminal scanner over a realistic serial stream beside its peer in the same run:
// a memchr loop that finds every CR LF in the same bytes (what no scanner can beat by much).
// Each round scans the stream once with each, alternating, after a warm-up pass; the figures
// are the min / median / max over the rounds. Also the server queue: consuming a nearly full
// queue from its front must not cost a move of the rest per removal.
//
//   bench_scanner [--rounds=N] [--stream_mib=N] plus the usual --benchmark_* options.
#include "buffer.h"
#include "quarn_scanner.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

int g_rounds = 7;
size_t g_streamBytes = 4u << 20;

// Mostly 60-80 byte sentences, with a noise line or a broken sentence now and then.
std::string makeStream(size_t bytes) {
    std::string s;
    s.reserve(bytes + 128);
    uint32_t rng = 12345;
    auto next = [&rng]() {
        rng = rng * 1103515245u + 12345u;
        return rng >> 8;
    };
    while (s.size() < bytes) {
        const uint32_t kind = next() % 20;
        if (kind == 0) {
            s += "\x01\x7f noise after a reset\r\n";
            continue;
        }
        if (kind == 1) {
            s += "$BROKEN,1,2\n";
            continue;
        }
        std::string line = kind < 10 ? "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394"
                                     : "$<MSG.Data.Position>,17,0.0,42.125,9.125,1,OK";
        const size_t pad = next() % 14;
        line.append(pad, static_cast<char>('A' + pad));
        unsigned char lrc = 0;
        for (size_t i = 1; i < line.size(); ++i) {
            lrc ^= static_cast<unsigned char>(line[i]);
        }
        static const char hex[] = "0123456789ABCDEF";
        line += '*';
        line += hex[lrc >> 4];
        line += hex[lrc & 15];
        line += "\r\n";
        s += line;
    }
    return s;
}

// Complete sentences found by the scanner, fed in chunks of `chunk` bytes.
int64_t scanAll(CQuarnScanner& scanner, const std::string& stream, size_t chunk) {
    int64_t sentences = 0;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const char* p = stream.data() + at;
        int length = static_cast<int>(std::min(chunk, stream.size() - at));
        while (length > 0) {
            const int left = scanner.scanToBuffer(p, length);
            if (!scanner.scannedComplete()) {
                break;
            }
            benchmark::DoNotOptimize(scanner.getBuffer());
            ++sentences;
            scanner.nextScan();
            p += length - left;
            length = left;
        }
    }
    return sentences;
}

// The peer: CR LF pairs found with memchr over the same chunks.
int64_t memchrAll(const std::string& stream, size_t chunk) {
    int64_t lines = 0;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const char* p = stream.data() + at;
        const char* const end = p + std::min(chunk, stream.size() - at);
        while (p < end) {
            const void* hit = std::memchr(p, '\r', static_cast<size_t>(end - p));
            if (hit == nullptr) {
                break;
            }
            p = static_cast<const char*>(hit) + 1;
            lines += p < end && *p == '\n';
        }
    }
    benchmark::DoNotOptimize(lines);
    return lines;
}

// Thread CPU time rather than wall time: on a machine shared with builds, being descheduled
// must not count as slowness.
double cpuNow() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double secondsOf(const std::function<void()>& work) {
    const double start = cpuNow();
    work();
    return cpuNow() - start;
}

void report(benchmark::State& state, const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    state.counters[std::string(name) + "_min"] = values.front();
    state.counters[std::string(name) + "_median"] = values[values.size() / 2];
    state.counters[std::string(name) + "_max"] = values.back();
}

void BM_ScannerAgainstMemchr(benchmark::State& state) {
    const std::string stream = makeStream(g_streamBytes);
    const size_t chunk = static_cast<size_t>(state.range(0));
    CQuarnScanner scanner(32768);
    std::vector<double> scannerGBs, memchrGBs, ratios;
    const double gb = static_cast<double>(stream.size()) / 1e9;
    for (auto _ : state) {
        scanAll(scanner, stream, chunk);
        memchrAll(stream, chunk);
        for (int round = 0; round < g_rounds; ++round) {
            // Alternate which goes first, so that neither always meets a warmer cache.
            double s = 0, m = 0;
            if (round % 2 == 0) {
                s = secondsOf([&] { scanAll(scanner, stream, chunk); });
                m = secondsOf([&] { memchrAll(stream, chunk); });
            } else {
                m = secondsOf([&] { memchrAll(stream, chunk); });
                s = secondsOf([&] { scanAll(scanner, stream, chunk); });
            }
            scannerGBs.push_back(gb / s);
            memchrGBs.push_back(gb / m);
            ratios.push_back(m / s);
        }
    }
    report(state, "scanner_GBps", scannerGBs);
    report(state, "memchr_GBps", memchrGBs);
    report(state, "scanner_to_memchr", ratios);
}
BENCHMARK(BM_ScannerAgainstMemchr)
    ->Arg(64)
    ->Arg(4096)
    ->Arg(65536)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

const std::string kSentence =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

// Queue one sentence at the back, send one from the front, with `range(0)` bytes queued: the
// cost per sentence must not follow the queued bytes.
void BM_QueueAndFlushSentence(benchmark::State& state) {
    const int queued = static_cast<int>(state.range(0));
    const int n = static_cast<int>(kSentence.size());
    CBuffer buffer(2097152);
    while (buffer.getSize() + n <= queued) {
        buffer.loadBuffer(kSentence.data(), n);
    }
    for (auto _ : state) {
        buffer.loadBuffer(kSentence.data(), n);
        buffer.flushBuffer(n);
        benchmark::DoNotOptimize(buffer.getBuffer());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["queued"] = buffer.getSize();
}
BENCHMARK(BM_QueueAndFlushSentence)->Arg(65536)->Arg(2097152 - 71 - 32768);

// Making room in a full 2 MiB queue by whole sentences, as the data path's guard does.
void BM_DiscardFrontSentencesWhenFull(benchmark::State& state) {
    const int n = static_cast<int>(kSentence.size());
    CBuffer buffer(2097152);
    while (!buffer.willOverrun(n)) {
        buffer.loadBuffer(kSentence.data(), n);
    }
    for (auto _ : state) {
        const int removed = buffer.discardFrontSentences(32768);
        state.PauseTiming();
        while (!buffer.willOverrun(n)) {
            buffer.loadBuffer(kSentence.data(), n);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(removed);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DiscardFrontSentencesWhenFull);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--rounds=", 0) == 0)
            g_rounds = std::max(5, std::atoi(arg.c_str() + 9));
        else if (arg.rfind("--stream_mib=", 0) == 0)
            g_streamBytes = static_cast<size_t>(std::max(1, std::atoi(arg.c_str() + 13))) << 20;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
