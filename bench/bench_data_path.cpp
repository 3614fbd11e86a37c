// Sentences per second from a pseudo-terminal to a loopback server through the running daemon,
// and the daemon's CPU time per sentence, beside socat relaying the same stream in the same run.
//
// The daemon (bin/tessarc next to this program) runs on a private dbus-daemon under a temporary
// VYL_ROOT whose fake sysfs holds one built-in port, ttyS0, whose device node is a link to the
// slave of our pseudo-terminal. Its configuration enables the agent, makes the network gate
// always true and overrides the server address with our listener.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
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

void check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + " (" + std::strerror(errno) + ")");
}

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::stringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A loopback listener that counts the bytes of the one connection it accepts, on its own thread
// (the sender blocks while the daemon relays, so nobody else could read meanwhile).
class Sink {
public:
    Sink() {
        m_listen = testenv::loopbackListener(4, m_port);
        m_thread = std::thread([this] {
            int fd = -1;
            while (fd < 0 && !m_stop) {
                pollfd p{m_listen, POLLIN, 0};
                if (::poll(&p, 1, 100) > 0)
                    fd = ::accept(m_listen, nullptr, nullptr);
            }
            if (fd < 0)
                return;
            m_connected = true;
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
                m_bytes += static_cast<long long>(n);
            }
            ::close(fd);
        });
    }
    ~Sink() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    uint16_t port() const { return m_port; }
    long long bytes() const { return m_bytes; }
    bool connected() const { return m_connected; }

private:
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<long long> m_bytes{0};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_stop{false};
};

// Waits until the terminal has received `text` since it was last drained.
bool waitFor(testenv::PtyTerminal& pty, const std::string& text, int seconds = 20) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (pty.received().find(text) == std::string::npos) {
        if (Clock::now() > deadline)
            return false;
        pty.waitReadable(std::chrono::milliseconds(100));
    }
    return true;
}

// Throws away what the other side wrote, so that the pty never fills up.
void drain(testenv::PtyTerminal& pty) {
    pty.received();
    pty.clearReceived();
}

const std::string kSentence = "$POS,123519,4807.038,N,01131.000,E,022.4,084.4*2A\r\n";

std::string sentences(size_t count) {
    std::string all;
    all.reserve(kSentence.size() * count);
    for (size_t i = 0; i < count; ++i)
        all += kSentence;
    return all;
}

// The daemon linked up with our terminal and connected to our listener.
class DaemonRun {
public:
    DaemonRun() {
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
                     }));
        m_daemon.reset(new testenv::Process("tessarc", {"--daemon"}));
        check(waitFor(m_pty, "\r\n", 30), "daemon never woke the terminal");
        m_pty.send("$HELLO*00\r\n");
        check(waitFor(m_pty, "$Pfal,Msg.Info.ServerLogin\r\n"), "no login request");
        m_pty.send("$<MSG.Info.ServerLogin>\r\n$DeviceName=BENCH\r\n$Ext=bench:127.0.0.1:1\r\n"
                   "$IMEI=1\r\n$<end>\r\n");
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!m_sink.connected() && Clock::now() < deadline)
            waitFor(m_pty, "$RTRLINK,SRVR_CON", 1);
        check(m_sink.connected(), "daemon never connected");
    }
    ~DaemonRun() {
        m_daemon->signal(SIGTERM);
        m_daemon->wait();
    }

    pid_t pid() const { return m_daemon->pid(); }
    testenv::PtyTerminal& pty() { return m_pty; }
    long long delivered() const { return m_sink.bytes(); }

private:
    testenv::TempRoot m_root;
    testenv::PrivateBus m_bus;
    testenv::PtyTerminal m_pty;
    Sink m_sink;
    std::unique_ptr<testenv::Process> m_daemon;
};

// Sends `total` bytes, at `bytesPerSecond` (0: as fast as the pty takes them), and waits until
// the server has them all. Returns the wall time in seconds.
double pump(testenv::PtyTerminal& pty, const std::string& data, double bytesPerSecond,
            const std::function<long long()>& delivered, long long target) {
    const auto start = Clock::now();
    size_t sent = 0;
    const size_t chunk = bytesPerSecond > 0 ? kSentence.size() : 65536;
    while (sent < data.size()) {
        if (bytesPerSecond > 0) {
            const double due = static_cast<double>(sent) / bytesPerSecond;
            std::this_thread::sleep_until(start + std::chrono::duration<double>(due));
        }
        const size_t n = std::min(chunk, data.size() - sent);
        pty.send(data.substr(sent, n), std::chrono::seconds(60));
        drain(pty);
        sent += n;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (delivered() < target && Clock::now() < deadline) {
        drain(pty);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

DaemonRun* g_run = nullptr;

void BM_DaemonSaturated(benchmark::State& state) {
    const size_t count = 40000;
    const std::string data = sentences(count);
    double sps = 0, cpuPer = 0, socatSps = 0, socatCpuPer = 0;
    for (auto _ : state) {
        // The daemon.
        const long long before = g_run->delivered();
        const double cpu0 = cpuSeconds(g_run->pid());
        const double wall = pump(
            g_run->pty(), data, 0, [] { return g_run->delivered(); },
            before + static_cast<long long>(data.size()));
        const double cpu = cpuSeconds(g_run->pid()) - cpu0;
        sps = static_cast<double>(count) / wall;
        cpuPer = cpu / static_cast<double>(count);

        // socat relaying the same stream from a pseudo-terminal to a loopback listener.
        testenv::PtyTerminal pty;
        auto sink = std::make_unique<Sink>();
        testenv::Process socat("socat", {"-u", "FILE:" + pty.slavePath() + ",raw,echo=0,b57600",
                                         "TCP:127.0.0.1:" + std::to_string(sink->port())});
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!sink->connected() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double scpu0 = cpuSeconds(socat.pid());
        const double swall = pump(
            pty, data, 0, [&] { return sink->bytes(); }, static_cast<long long>(data.size()));
        const double scpu = cpuSeconds(socat.pid()) - scpu0;
        socatSps = static_cast<double>(count) / swall;
        socatCpuPer = scpu / static_cast<double>(count);
        socat.signal(SIGTERM);
        socat.wait();
        sink.reset();
    }
    state.counters["daemon_sentences_per_s"] = sps;
    state.counters["daemon_cpu_us_per_sentence"] = cpuPer * 1e6;
    state.counters["socat_sentences_per_s"] = socatSps;
    state.counters["socat_cpu_us_per_sentence"] = socatCpuPer * 1e6;
    state.counters["daemon_to_socat_throughput"] = socatSps > 0 ? sps / socatSps : 0;
}

void BM_DaemonAt57600Baud(benchmark::State& state) {
    // 57600 baud, 10 bits a character: 5760 bytes a second, for three seconds.
    const double rate = 5760;
    const size_t count = static_cast<size_t>(3 * rate / static_cast<double>(kSentence.size()));
    const std::string data = sentences(count);
    double cpuShare = 0, sps = 0, idleShare = 0;
    for (auto _ : state) {
        // What the daemon spends with no traffic at all (timers of the framework included).
        const double idle0 = cpuSeconds(g_run->pid());
        const auto idleStart = Clock::now();
        while (Clock::now() - idleStart < std::chrono::seconds(3)) {
            drain(g_run->pty());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        idleShare = (cpuSeconds(g_run->pid()) - idle0) /
                    std::chrono::duration<double>(Clock::now() - idleStart).count();
        const long long before = g_run->delivered();
        const double cpu0 = cpuSeconds(g_run->pid());
        const double wall = pump(
            g_run->pty(), data, rate, [] { return g_run->delivered(); },
            before + static_cast<long long>(data.size()));
        cpuShare = (cpuSeconds(g_run->pid()) - cpu0) / wall;
        sps = static_cast<double>(count) / wall;
    }
    state.counters["daemon_sentences_per_s"] = sps;
    state.counters["daemon_cpu_percent_of_core"] = cpuShare * 100;
    state.counters["daemon_idle_cpu_percent_of_core"] = idleShare * 100;
}

BENCHMARK(BM_DaemonSaturated)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DaemonAt57600Baud)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    try {
        DaemonRun run;
        g_run = &run;
        benchmark::RunSpecifiedBenchmarks();
        g_run = nullptr;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_data_path: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
