// Speed of the terminal scanner over a realistic serial stream, and of the server queue's
// append-at-back / remove-from-front cycle when it is nearly full.
#include "buffer.h"
#include "quarn_scanner.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

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

void BM_ScanToBuffer(benchmark::State& state) {
    const std::string stream = makeStream(4u << 20);
    const int chunk = static_cast<int>(state.range(0));
    CQuarnScanner scanner(32768);
    int64_t sentences = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += static_cast<size_t>(chunk)) {
            const char* p = stream.data() + at;
            int length = static_cast<int>(std::min<size_t>(chunk, stream.size() - at));
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
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(stream.size()));
    state.counters["sentences"] =
        benchmark::Counter(static_cast<double>(sentences), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ScanToBuffer)->Arg(64)->Arg(4096)->Arg(65536);

const std::string kSentence =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

// Queue one sentence at the back, send one from the front, with `range(0)` bytes queued:
// removal moves the rest to the front, so the cost per sentence follows the queued bytes.
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
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * buffer.getSize());
    state.counters["queued"] = buffer.getSize();
}
BENCHMARK(BM_QueueAndFlushSentence)
    ->Arg(65536)
    ->Arg(262144)
    ->Arg(1048576)
    ->Arg(2097152 - 71 - 32768);

// The same bytes moved by memmove alone: what flushing cannot do better than.
void BM_MemmoveBaseline(benchmark::State& state) {
    const size_t queued = static_cast<size_t>(state.range(0));
    std::vector<char> data(2097152, 'x');
    for (auto _ : state) {
        std::memmove(data.data(), data.data() + 71, queued - 71);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(queued));
}
BENCHMARK(BM_MemmoveBaseline)->Arg(65536)->Arg(262144)->Arg(1048576)->Arg(2097152 - 71 - 32768);

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

BENCHMARK_MAIN();
