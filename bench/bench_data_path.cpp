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
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + " (" + std::strerror(errno) + ")");
}

void mkdirs(const std::string& path) {
    std::string partial;
    std::stringstream parts(path);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        partial += piece + "/";
        ::mkdir(partial.c_str(), 0755);
    }
}

void writeFile(const std::string& path, const std::string& text) {
    mkdirs(path.substr(0, path.rfind('/')));
    std::ofstream(path) << text;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& output) {
    pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

void stop(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
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

int listenLoopback(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0,
          "listen");
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

// Counts the bytes one accepted connection delivers, on its own thread.
class Sink {
public:
    explicit Sink(int listenFd) {
        m_thread = std::thread([this, listenFd] {
            int fd = ::accept(listenFd, nullptr, nullptr);
            m_connected = true;
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
                m_bytes += static_cast<long long>(n);
            }
            ::close(fd);
        });
    }
    ~Sink() { m_thread.join(); }
    long long bytes() const { return m_bytes; }
    bool connected() const { return m_connected; }

private:
    std::thread m_thread;
    std::atomic<long long> m_bytes{0};
    std::atomic<bool> m_connected{false};
};

struct SPty {
    int master = -1;
    std::string slave;
    SPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        check(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0, "pty");
        slave = ::ptsname(master);
        // Keep the slave open and raw so that nothing is echoed before the reader sets it up.
        int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        keep = fd;
    }
    ~SPty() {
        ::close(master);
        ::close(keep);
    }
    void send(const char* data, size_t size) {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(master, data + done, size - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    std::string received;
    bool waitFor(const std::string& text, int seconds = 20) {
        auto deadline = Clock::now() + std::chrono::seconds(seconds);
        char buf[4096];
        while (received.find(text) == std::string::npos) {
            if (Clock::now() > deadline)
                return false;
            pollfd p{master, POLLIN, 0};
            ::poll(&p, 1, 100);
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                received.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Drains what the other side writes so the pty never fills up.
    void drain() {
        char buf[4096];
        while (::read(master, buf, sizeof buf) > 0) {
        }
    }
    int keep = -1;
};

std::string selfDir() {
    char path[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string s(path, n > 0 ? static_cast<size_t>(n) : 0);
    return s.substr(0, s.rfind('/'));
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
        char tmpl[] = "/tmp/bench_data_path.XXXXXX";
        check(::mkdtemp(tmpl) != nullptr, "mkdtemp");
        m_root = tmpl;
        buildTree();
        m_listen = listenLoopback(m_port);
        writeFile(m_root + "/etc/vyl/tessarc.yaml",
                  "%YAML 1.1\n---\nenabled: yes\ngatesTriggers:\n  always:\n    retval: 'true'\n"
                  "networkSettings:\n  gate: always\n  maxBufBytesToSvr: 2097152\n"
                  "  maxBufBytesScanAvi: 32768\n  overrideServerIPAddr: '127.0.0.1'\n"
                  "  overrideServerTCPPort: '" +
                      std::to_string(m_port) +
                      "'\nserialSettings:\n  device:\n    - bus: legacy\n      devlevel: bus\n"
                      "      whitelist:\n        - builtin: tty\n  lineSettings:\n"
                      "    speed: 57600\n  retryTimeout: 10\n  inactivityTimeout: 60\n...\n");
        startBus();
        ::setenv("VYL_ROOT", m_root.c_str(), 1);
        ::setenv("VYL_OSV_NAME", ("/benchosv" + std::to_string(::getpid())).c_str(), 1);
        ::setenv("QCF_SESSION_BUS", "1", 1);
        m_sink.reset(new Sink(m_listen));
        m_daemon = spawn({selfDir() + "/tessarc", "--daemon"}, m_root + "/daemon.out");
        check(m_pty.waitFor("\r\n", 30), "daemon never woke the terminal");
        m_pty.send("$HELLO*00\r\n", 11);
        check(m_pty.waitFor("$Pfal,Msg.Info.ServerLogin\r\n"), "no login request");
        const std::string response =
            "$<MSG.Info.ServerLogin>\r\n$DeviceName=BENCH\r\n$Ext=bench:127.0.0.1:1\r\n"
            "$IMEI=1\r\n$<end>\r\n";
        m_pty.send(response.data(), response.size());
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!m_sink->connected() && Clock::now() < deadline)
            m_pty.waitFor("$RTRLINK,SRVR_CON", 1);
        check(m_sink->connected(), "daemon never connected");
    }
    ~DaemonRun() {
        stop(m_daemon);
        m_sink.reset();
        ::close(m_listen);
        stop(m_bus);
        std::string cmd = "rm -rf '" + m_root + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }

    pid_t pid() const { return m_daemon; }
    SPty& pty() { return m_pty; }
    long long delivered() const { return m_sink->bytes(); }

private:
    void buildTree() {
        const std::string dev = "sys/devices/pnp0/00:05";
        const std::string tty = dev + "/tty/ttyS0";
        writeFile(m_root + "/" + dev + "/id", "PNP0501\n");
        mkdirs(m_root + "/sys/bus/pnp");
        mkdirs(m_root + "/sys/class/tty");
        check(::symlink("../../../bus/pnp", (m_root + "/" + dev + "/subsystem").c_str()) == 0,
              "link");
        writeFile(m_root + "/" + tty + "/dev", "4:64\n");
        writeFile(m_root + "/" + tty + "/uevent", "MAJOR=4\nDEVNAME=ttyS0\n");
        writeFile(m_root + "/" + tty + "/type", "4\n");
        writeFile(m_root + "/" + tty + "/line", "0\n");
        writeFile(m_root + "/" + tty + "/port", "0x3F8\n");
        check(::symlink("../../../../../class/tty", (m_root + "/" + tty + "/subsystem").c_str()) ==
                  0,
              "link");
        check(::symlink("../../../00:05", (m_root + "/" + tty + "/device").c_str()) == 0, "link");
        check(::symlink(("../../" + tty.substr(4)).c_str(),
                        (m_root + "/sys/class/tty/ttyS0").c_str()) == 0,
              "link");
        mkdirs(m_root + "/dev");
        check(::symlink(m_pty.slave.c_str(), (m_root + "/dev/ttyS0").c_str()) == 0, "link");
    }
    void startBus() {
        int pipefd[2];
        check(::pipe(pipefd) == 0, "pipe");
        m_bus = ::fork();
        if (m_bus == 0) {
            ::close(pipefd[0]);
            std::string print = "--print-address=" + std::to_string(pipefd[1]);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", print.c_str(), "--nofork",
                     "--nopidfile", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipefd[1]);
        std::string line;
        char buf[512];
        ssize_t n;
        while (line.find('\n') == std::string::npos && (n = ::read(pipefd[0], buf, sizeof buf)) > 0)
            line.append(buf, static_cast<size_t>(n));
        ::close(pipefd[0]);
        check(!line.empty(), "dbus-daemon");
        ::setenv("DBUS_SESSION_BUS_ADDRESS", line.substr(0, line.find('\n')).c_str(), 1);
    }

    std::string m_root;
    SPty m_pty;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::unique_ptr<Sink> m_sink;
    pid_t m_daemon = -1;
    pid_t m_bus = -1;
};

// Sends `total` bytes, at `bytesPerSecond` (0: as fast as the pty takes them), and waits until
// the server has them all. Returns the wall time in seconds.
double pump(SPty& pty, const std::string& data, double bytesPerSecond,
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
        pty.send(data.data() + sent, n);
        pty.drain();
        sent += n;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (delivered() < target && Clock::now() < deadline) {
        pty.drain();
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
        SPty pty;
        uint16_t port = 0;
        int listenFd = listenLoopback(port);
        auto sink = std::make_unique<Sink>(listenFd);
        pid_t socat = spawn({"socat", "-u", "FILE:" + pty.slave + ",raw,echo=0,b57600",
                             "TCP:127.0.0.1:" + std::to_string(port)},
                            "/dev/null");
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!sink->connected() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double scpu0 = cpuSeconds(socat);
        const double swall = pump(
            pty, data, 0, [&] { return sink->bytes(); }, static_cast<long long>(data.size()));
        const double scpu = cpuSeconds(socat) - scpu0;
        socatSps = static_cast<double>(count) / swall;
        socatCpuPer = scpu / static_cast<double>(count);
        stop(socat);
        sink.reset();
        ::close(listenFd);
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
            g_run->pty().drain();
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
