// The daemon's data path beside socat relaying the same stream, pty to loopback TCP, in the same
// run: latency at light load, CPU at line rate (whole-sentence writes and 16-byte writes, as a
// UART's FIFO delivers them) and sentences per second when saturated.
//
// Both relays are started, connected and warmed up before anything is timed; every figure is
// taken in rounds that alternate which relay goes first, and reported as min / median / max
// over the rounds, with the daemon-to-socat ratio of each round. At line rate both relays carry
// the stream in the same window, sentence by sentence in turn, so that a round's ratio is not
// the machine's mood of the moment; the terminal writer and the sinks run on one processor and
// both relays on another (on a machine with two or more). CPU time is the sum of
// /proc/<pid>/task/*/schedstat (nanoseconds) over the relay's threads. The stream is varied,
// valid sentences with correct checksums, identical for both. The sink answers once a second,
// so that the daemon's server inactivity time-out never ends a long run.
//
// The daemon (bin/tessarc next to this program) runs on a private dbus-daemon under a temporary
// VYL_ROOT whose fake sysfs holds ttyS0, a link to the slave of our pseudo-terminal.
//
//   bench_data_path [--rounds=N] [--window_s=S] [--latency_sentences=N]
//                   [--saturated_sentences=N] [--baseline=PATH] plus the usual --benchmark_*
//                   options.
//
// --baseline=PATH runs the daemon program at PATH (another build) in socat's place, to tell
// whether a change to the data path helps: the ratios are then this build's to that one's. The
// line-rate figure is sensitive to where a binary's pages sit: this program against its own
// bin/tessarc reads about 1.0, against a fresh copy of the very same file elsewhere up to 1.06.
// Copy both builds afresh next to each other and swap them once before trusting a few percent.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bridge_document.h"
#include "data_peers.h"
#include "fake_sysfs.h"
#include "test_env.h"
#include "test_process.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_rounds = 6;
double g_windowSeconds = 5;
int g_latencySentences = 50;
int g_saturatedSentences = 100000;
std::string g_baseline;
// 57600 baud, ten bits a character.
constexpr double kLineRate = 5760;

void check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + " (" + std::strerror(errno) + ")");
}

// Calls `visit` with the id of every thread of a process.
void forEachThread(pid_t pid, const std::function<void(pid_t)>& visit) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(tasks.c_str()), ::closedir);
    for (dirent* e; dir && (e = ::readdir(dir.get())) != nullptr;)
        if (e->d_name[0] != '.')
            visit(static_cast<pid_t>(std::atoi(e->d_name)));
}

// CPU time of every thread of a process, in seconds.
double cpuSeconds(pid_t pid) {
    unsigned long long total = 0;
    forEachThread(pid, [&](pid_t tid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                         "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns)
            total += ns;
    });
    return static_cast<double>(total) * 1e-9;
}

// Varied, valid sentences: message headers and PFAL reports of different lengths, each with the
// checksum it should have. None that the daemon treats specially (position, acknowledgement).
std::vector<std::string> makeSentences(size_t count) {
    std::vector<std::string> out;
    out.reserve(count);
    uint32_t rng = 2463534242u;
    for (size_t i = 0; i < count; ++i) {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        std::string body = (rng & 1) ? "<MSG.Data.Position>," + std::to_string(i) + ",48.1173," +
                                           std::to_string(rng % 100000) + ",11.5167"
                                     : "PFAL,IO" + std::to_string(rng % 8) + "," +
                                           std::to_string(i) + ",state=" + (rng & 2 ? "on" : "off");
        body.append((rng >> 8) % 40, static_cast<char>('A' + (rng >> 16) % 26));
        unsigned char lrc = 0;
        for (char c : body)
            lrc ^= static_cast<unsigned char>(c);
        char tail[8];
        std::snprintf(tail, sizeof tail, "*%02X\r\n", lrc);
        out.push_back("$" + body + tail);
    }
    return out;
}

// A loopback listener that reads what its connection brings on its own thread, notes when each
// read arrived, and sends one byte back every second as a sign of life.
class Sink {
public:
    Sink() : m_listen(testenv::loopbackListener(4, m_port)) {
        m_thread = std::thread([this] { run(); });
    }
    ~Sink() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    uint16_t port() const { return m_port; }
    bool connected() const { return m_connected; }
    long long bytes() const { return m_bytes; }
    // Waits until `target` bytes have arrived; the time of the read that completed them.
    bool waitBytes(long long target, Clock::time_point& arrival,
                   std::chrono::seconds timeout = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, timeout, [&] { return m_bytes >= target; }))
            return false;
        arrival = reachedAt(target);
        return true;
    }

private:
    void run() {
        int fd = -1;
        char buf[65536];
        auto lastAnswer = Clock::now();
        while (!m_stop) {
            pollfd p{fd >= 0 ? fd : m_listen, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                if (fd < 0) {
                    fd = ::accept(m_listen, nullptr, nullptr);
                    m_connected = fd >= 0;
                    continue;
                }
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                const auto now = Clock::now();
                if (n <= 0) {
                    ::close(fd);
                    fd = -1;
                    m_connected = false;
                    continue;
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                m_arrivals.emplace_back(m_bytes + n, now);
                if (m_arrivals.size() > 4096)
                    m_arrivals.erase(m_arrivals.begin(), m_arrivals.begin() + 2048);
                m_bytes += n;
                m_changed.notify_all();
            }
            if (fd >= 0 && Clock::now() - lastAnswer > std::chrono::seconds(1)) {
                ::send(fd, "A", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                lastAnswer = Clock::now();
            }
        }
        if (fd >= 0)
            ::close(fd);
    }
    Clock::time_point reachedAt(long long target) const {
        for (const auto& a : m_arrivals)
            if (a.first >= target)
                return a.second;
        return Clock::now();
    }

    uint16_t m_port = 0;
    int m_listen;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<long long, Clock::time_point>> m_arrivals;
    std::atomic<long long> m_bytes{0};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_stop{false};
};

// Waits until the terminal has received `text`, draining what arrives.
bool waitFor(testenv::PtyTerminal& pty, const std::string& text, int seconds = 20) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (pty.received().find(text) == std::string::npos) {
        if (Clock::now() > deadline)
            return false;
        pty.waitReadable(std::chrono::milliseconds(100));
    }
    return true;
}

// One relay from a pseudo-terminal to a Sink.
class Relay {
public:
    virtual ~Relay() = default;
    virtual pid_t pid() const = 0;
    virtual const char* name() const = 0;
    testenv::PtyTerminal& pty() { return m_pty; }
    Sink& sink() { return m_sink; }

    // Writes all of `data` in pieces of at most `piece` bytes; at `rate` bytes a second when
    // given, else as fast as the relay takes them.
    void write(const std::string& data, size_t piece, double rate = 0) {
        const auto start = Clock::now();
        for (size_t sent = 0; sent < data.size(); sent += piece) {
            if (rate > 0)
                std::this_thread::sleep_until(
                    start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(static_cast<double>(sent) / rate)));
            check(m_pty.send(data.substr(sent, std::min(piece, data.size() - sent)),
                             std::chrono::seconds(60)),
                  std::string(name()) + " stopped taking data");
            if (m_pty.received().size() > 4096)
                m_pty.clearReceived();
        }
    }
    // Waits until the sink has everything written since `before`.
    Clock::time_point delivered(long long before, size_t bytes) {
        Clock::time_point at;
        check(m_sink.waitBytes(before + static_cast<long long>(bytes), at),
              std::string(name()) + " never delivered");
        return at;
    }

protected:
    testenv::PtyTerminal m_pty;
    Sink m_sink;
};

// The daemon linked up with our terminal and connected to the sink.
class DaemonRelay : public Relay {
public:
    explicit DaemonRelay(const std::string& program = "tessarc", const char* name = "daemon")
        : m_name(name) {
        testenv::FakeSysfs sysfs(m_root.path());
        sysfs.addBuiltinSerial(0);
        sysfs.linkNode("ttyS0", m_pty.slavePath());
        m_root.write("etc/vyl/tessarc.yaml",
                     testenv::bridgeDocumentWith({
                         {"enabled", "yes"},
                         {"gatesTriggers/wanUp/retval", "'true'"},
                         {"networkSettings/overrideServerIPAddr", "'127.0.0.1'"},
                         {"networkSettings/overrideServerTCPPort",
                          "'" + std::to_string(m_sink.port()) + "'"},
                         // socat's turn may leave the terminal silent for a whole window.
                         {"serialSettings/inactivityTimeout", "86400"},
                     }));
        m_daemon.reset(new testenv::Process(program, {"--daemon"}));
        check(waitFor(m_pty, "\r\n", 30), "daemon never woke the terminal");
        m_pty.send("$HELLO*00\r\n");
        check(waitFor(m_pty, "$Pfal,Msg.Info.ServerLogin\r\n"), "no login request");
        m_pty.send("$<MSG.Info.ServerLogin>\r\n$DeviceName=BENCH\r\n$Ext=bench:127.0.0.1:1\r\n"
                   "$IMEI=1\r\n$<end>\r\n");
        check(waitFor(m_pty, "$RTRLINK,SRVR_CON"), "daemon never connected");
        check(testenv::waitUntil([&] { return m_sink.connected(); }), "sink never connected");
    }
    ~DaemonRelay() override {
        m_daemon->signal(SIGTERM);
        m_daemon->wait();
    }
    pid_t pid() const override { return m_daemon->pid(); }
    const char* name() const override { return m_name; }

private:
    const char* m_name;
    testenv::TempRoot m_root;
    testenv::PrivateBus m_bus;
    std::unique_ptr<testenv::Process> m_daemon;
};

class SocatRelay : public Relay {
public:
    SocatRelay()
        : m_socat("socat", {"-u", "FILE:" + m_pty.slavePath() + ",raw,echo=0,b57600",
                            "TCP:127.0.0.1:" + std::to_string(m_sink.port())}) {
        check(testenv::waitUntil([&] { return m_sink.connected(); }), "socat never connected");
    }
    pid_t pid() const override { return m_socat.pid(); }
    const char* name() const override { return "socat"; }

private:
    testenv::Process m_socat;
};

Relay* g_daemon = nullptr;
Relay* g_socat = nullptr;

std::string joined(const std::vector<std::string>& sentences, size_t from, size_t count) {
    std::string all;
    for (size_t i = from; i < from + count && i < sentences.size(); ++i)
        all += sentences[i];
    return all;
}

void report(benchmark::State& state, const std::string& name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    state.counters[name + "_min"] = v.front();
    const size_t n = v.size();
    state.counters[name + "_median"] = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    state.counters[name + "_max"] = v.back();
}

// Runs `measure` on both relays, `g_rounds` times, alternating which goes first; returns the
// figures of each relay per round.
void alternate(const std::function<double(Relay&)>& measure, std::vector<double>& daemon,
               std::vector<double>& socat) {
    for (int round = 0; round < g_rounds; ++round) {
        if (round % 2 == 0) {
            daemon.push_back(measure(*g_daemon));
            socat.push_back(measure(*g_socat));
        } else {
            socat.push_back(measure(*g_socat));
            daemon.push_back(measure(*g_daemon));
        }
    }
}

std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size(); ++i)
        r.push_back(b[i] > 0 ? a[i] / b[i] : 0);
    return r;
}

const std::vector<std::string>& stream() {
    static const std::vector<std::string> s =
        makeSentences(std::max<size_t>(static_cast<size_t>(g_saturatedSentences), 200000));
    return s;
}

// Terminal write to sink read of single sentences at 10 a second: per round the median and
// the 99th percentile, in milliseconds.
void BM_LatencyAt10SentencesPerSecond(benchmark::State& state) {
    std::vector<double> dMedian, sMedian, dP99, sP99;
    size_t next = 0;
    for (auto _ : state) {
        std::vector<double> d99, s99;
        alternate(
            [&](Relay& relay) {
                std::vector<double> ms;
                auto slot = Clock::now();
                for (int i = 0; i < g_latencySentences; ++i) {
                    const std::string& sentence = stream()[next++ % stream().size()];
                    std::this_thread::sleep_until(slot += std::chrono::milliseconds(100));
                    const long long before = relay.sink().bytes();
                    const auto written = Clock::now();
                    relay.write(sentence, sentence.size());
                    const auto arrived = relay.delivered(before, sentence.size());
                    ms.push_back(
                        std::chrono::duration<double, std::milli>(arrived - written).count());
                }
                std::sort(ms.begin(), ms.end());
                (&relay == g_daemon ? d99 : s99)
                    .push_back(ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]);
                return ms[ms.size() / 2];
            },
            dMedian, sMedian);
        dP99 = d99;
        sP99 = s99;
    }
    report(state, "daemon_ms_median", dMedian);
    report(state, "socat_ms_median", sMedian);
    report(state, "daemon_ms_p99", dP99);
    report(state, "socat_ms_p99", sP99);
    report(state, "ratio_median", ratios(dMedian, sMedian));
}

// With `on` (and two processors or more), the terminal writer and the sinks (this process) on
// one processor and both relays on another: each relay's wake-ups cross between the same two
// processors, whichever the scheduler would have chosen. Without, every thread anywhere again.
void pinRelays(bool on) {
    if (::sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return;
    for (pid_t pid : {::getpid(), g_daemon->pid(), g_socat->pid()}) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (!on || cpu == (pid == ::getpid() ? 0 : 1))
                CPU_SET(cpu, &set);
        forEachThread(pid, [&](pid_t tid) { ::sched_setaffinity(tid, sizeof set, &set); });
    }
}

// Writes `data` to both relays at kLineRate, in pieces of `piece` bytes (0: one sentence a
// write). `second` gets each piece half a piece's line time after `first`: both carry the same
// stream in the same window, under the same load, without waking together.
void writeBoth(Relay& first, Relay& second, const std::string& data, size_t piece) {
    const auto lineTime = [](size_t bytes) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / kLineRate));
    };
    const auto start = Clock::now();
    for (size_t at = 0; at < data.size();) {
        const size_t end = piece > 0 ? std::min(data.size(), at + piece) : data.find('\n', at) + 1;
        const std::string bytes = data.substr(at, end - at);
        const auto due = start + lineTime(at);
        std::this_thread::sleep_until(due);
        first.write(bytes, bytes.size());
        std::this_thread::sleep_until(due + lineTime(bytes.size()) / 2);
        second.write(bytes, bytes.size());
        at = end;
    }
}

// CPU share of one core while relaying kLineRate bytes a second for a window, written in
// pieces of range(0) bytes (0: one sentence a write). Both relays take the same stream in the
// same window, interleaved, each going first for half of it.
void BM_CpuAtLineRate(benchmark::State& state) {
    const size_t piece = static_cast<size_t>(state.range(0));
    const size_t count = static_cast<size_t>(g_windowSeconds * kLineRate / 70);
    std::vector<double> daemon, socat;
    size_t next = 0;
    pinRelays(true);
    for (auto _ : state) {
        // What the daemon spends on its own (its one-second work, the server's signs of life)
        // while no sentence comes: socat spends nothing then.
        const double idle0 = cpuSeconds(g_daemon->pid());
        std::this_thread::sleep_for(std::chrono::duration<double>(g_windowSeconds));
        state.counters["daemon_idle_cpu_percent"] =
            (cpuSeconds(g_daemon->pid()) - idle0) / g_windowSeconds * 100;
        for (int round = 0; round < g_rounds; ++round) {
            Relay* relays[] = {g_daemon, g_socat};
            long long before[2];
            double cpu0[2];
            for (int i = 0; i < 2; ++i)
                cpu0[i] = cpuSeconds(relays[i]->pid());
            const auto start = Clock::now();
            // Half the window each way round: going first or second must not tip the figure.
            for (int half = 0; half < 2; ++half) {
                const std::string data = joined(stream(), next % stream().size(), count / 2);
                next += count / 2;
                for (int i = 0; i < 2; ++i)
                    before[i] = relays[i]->sink().bytes();
                writeBoth(*relays[half], *relays[1 - half], data, piece);
                for (int i = 0; i < 2; ++i)
                    relays[i]->delivered(before[i], data.size());
            }
            const double wall = std::chrono::duration<double>(Clock::now() - start).count();
            daemon.push_back((cpuSeconds(g_daemon->pid()) - cpu0[0]) / wall * 100);
            socat.push_back((cpuSeconds(g_socat->pid()) - cpu0[1]) / wall * 100);
        }
    }
    pinRelays(false);
    report(state, "daemon_cpu_percent", daemon);
    report(state, "socat_cpu_percent", socat);
    report(state, "ratio", ratios(daemon, socat));
}

// Sentences a second when the terminal writes as fast as the relay takes them.
void BM_Saturated(benchmark::State& state) {
    const size_t count = static_cast<size_t>(g_saturatedSentences);
    const std::string data = joined(stream(), 0, count);
    std::vector<double> daemon, socat, dCpu, sCpu;
    for (auto _ : state) {
        alternate(
            [&](Relay& relay) {
                const long long before = relay.sink().bytes();
                const double cpu0 = cpuSeconds(relay.pid());
                const auto start = Clock::now();
                relay.write(data, 65536);
                const auto end = relay.delivered(before, data.size());
                (&relay == g_daemon ? dCpu : sCpu)
                    .push_back((cpuSeconds(relay.pid()) - cpu0) * 1e6 / static_cast<double>(count));
                return static_cast<double>(count) /
                       std::chrono::duration<double>(end - start).count();
            },
            daemon, socat);
    }
    report(state, "daemon_sentences_per_s", daemon);
    report(state, "socat_sentences_per_s", socat);
    report(state, "ratio", ratios(daemon, socat));
    report(state, "daemon_cpu_us_per_sentence", dCpu);
    report(state, "socat_cpu_us_per_sentence", sCpu);
}

BENCHMARK(BM_LatencyAt10SentencesPerSecond)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CpuAtLineRate)
    ->Arg(0)
    ->Arg(16)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Saturated)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both relays carry some traffic before anything is timed.
void warmUp() {
    const std::string data = joined(stream(), 0, 2000);
    for (Relay* relay : {g_daemon, g_socat}) {
        const long long before = relay->sink().bytes();
        relay->write(data, 4096);
        relay->delivered(before, data.size());
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char* key) {
            return arg.rfind(key, 0) == 0 ? std::atof(arg.c_str() + std::strlen(key)) : -1.0;
        };
        if (arg.rfind("--baseline=", 0) == 0)
            g_baseline = arg.substr(std::strlen("--baseline="));
        if (value("--rounds=") > 0)
            g_rounds = std::max(4, static_cast<int>(value("--rounds=")));
        if (value("--window_s=") > 0)
            g_windowSeconds = value("--window_s=");
        if (value("--latency_sentences=") > 0)
            g_latencySentences = static_cast<int>(value("--latency_sentences="));
        if (value("--saturated_sentences=") > 0)
            g_saturatedSentences = static_cast<int>(value("--saturated_sentences="));
    }
    // Rounds alternate which relay goes first: as many each way.
    g_rounds += g_rounds % 2;
    try {
        DaemonRelay daemon;
        // Another build of the daemon in socat's place compares two builds side by side.
        std::unique_ptr<Relay> peer;
        if (!g_baseline.empty())
            peer.reset(new DaemonRelay(g_baseline, "baseline"));
        else
            peer.reset(new SocatRelay);
        g_daemon = &daemon;
        g_socat = peer.get();
        if (!g_baseline.empty())
            std::printf("peer: %s (counters named socat_* are its figures)\n", g_baseline.c_str());
        warmUp();
        benchmark::RunSpecifiedBenchmarks();
        g_daemon = g_socat = nullptr;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_data_path: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
