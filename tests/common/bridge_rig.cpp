#include "bridge_rig.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "fake_sysfs.h"

namespace testenv {

namespace {

const char* const kBusName = "com.ulvaro.tessarc";
const char* const kPath = "/com/ulvaro/tessarc";

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string todayUtc() {
    char text[16];
    time_t now = ::time(nullptr);
    struct tm utc;
    ::gmtime_r(&now, &utc);
    ::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

} // namespace

BridgeRig::BridgeRig(const TempRoot& root) : m_root(root) {
    FakeSysfs sysfs(root.path());
    sysfs.addBuiltinSerial(0);
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    std::string slave = ::ptsname(m_master);
    // Kept open so that the master stays usable while the bridge has the port closed.
    m_slave = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    struct termios tio;
    if (m_slave >= 0 && ::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    std::string node = sysfs.node("ttyS0");
    ::unlink(node.c_str());
    if (::symlink(slave.c_str(), node.c_str()) != 0)
        throw std::runtime_error("cannot link " + node);
    root.write("var/lock/.keep", "");

    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no loopback listener");
    m_port = ntohs(address.sin_port);
}

BridgeRig::~BridgeRig() {
    if (m_daemon && m_daemon->running()) {
        m_daemon->signal(SIGTERM);
        if (m_daemon->wait(std::chrono::seconds(10)) < 0)
            m_daemon.reset();
    }
    for (int fd : {m_server, m_listener, m_slave, m_master})
        if (fd >= 0)
            ::close(fd);
}

void BridgeRig::writeConfig(const SBridgeOptions& o) {
    std::string yaml = std::string("%YAML 1.1\n---\n") + "enabled: " + (o.enabled ? "yes" : "no") +
                       "\n"
                       "gatesTriggers:\n"
                       "  vpnUp:\n"
                       "    retval: osv.vpn.connected()\n"
                       "  wanUp:\n"
                       "    retval: osv.wan.active ~= nil\n"
                       "networkSettings:\n"
                       "  gate: " +
                       o.gate +
                       "\n"
                       "  maxBufBytesToSvr: 65536\n"
                       "  maxBufBytesScanAvi: 1024\n"
                       "  overrideServerIPAddr: 127.0.0.1\n"
                       "  overrideServerTCPPort: '" +
                       std::to_string(m_port) +
                       "'\n"
                       "serialSettings:\n"
                       "  device:\n"
                       "    - bus: legacy\n"
                       "      devlevel: bus\n"
                       "      selector:\n"
                       "        DPI:\n"
                       "          - 0x01000000\n"
                       "      whitelist:\n"
                       "        - builtin: tty\n"
                       "  lineSettings:\n"
                       "    speed: 57600\n"
                       "  retryTimeout: " +
                       std::to_string(o.retryTimeout) +
                       "\n"
                       "  inactivityTimeout: " +
                       std::to_string(o.inactivityTimeout) + "\n...\n";
    m_root.write("etc/vyl/tessarc.yaml", yaml);
}

bool BridgeRig::startDaemon(std::string* why) {
    m_daemon = std::make_unique<Process>("tessarc", std::vector<std::string>{"--daemon"});
    m_bus = sessionConnection();
    bool up = waitUntil([&] {
        if (!m_daemon->running())
            return true;
        std::string error;
        GVariant* reply = callMethod(m_bus, kBusName, kPath, "com.ulvaro.tessarc.Status",
                                     "getCurrentStatus", &error);
        if (!reply)
            return false;
        g_variant_unref(reply);
        return true;
    });
    bool ok = up && m_daemon->running();
    if (!ok && why)
        *why = m_daemon->output() + log();
    return ok;
}

std::string BridgeRig::log() const {
    return readFile(m_root / ("var/log/vyl/" + todayUtc() + "tessarc.log"));
}

void BridgeRig::send(const std::string& bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (done < bytes.size() && Clock::now() < deadline) {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            struct pollfd p = {m_master, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
}

std::string BridgeRig::nextLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        size_t end;
        while ((end = m_input.find("\r\n")) != std::string::npos) {
            std::string line = m_input.substr(0, end);
            m_input.erase(0, end + 2);
            if (!line.empty())
                return line;
        }
        int left = msLeft(deadline);
        if (left == 0)
            return std::string();
        struct pollfd p = {m_master, POLLIN, 0};
        if (::poll(&p, 1, left) > 0 && (p.revents & POLLIN)) {
            char chunk[512];
            ssize_t n = ::read(m_master, chunk, sizeof chunk);
            if (n > 0)
                m_input.append(chunk, static_cast<size_t>(n));
        } else if (p.revents & (POLLHUP | POLLERR)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

bool BridgeRig::waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    m_skipped.clear();
    auto deadline = Clock::now() + timeout;
    while (msLeft(deadline) > 0) {
        std::string got = nextLine(std::chrono::milliseconds(msLeft(deadline)));
        if (got == line)
            return true;
        if (!got.empty())
            m_skipped.push_back(got);
    }
    return false;
}

const char* BridgeRig::terminalPosition() {
    return "$GPRMC,111111.00,A,0000.0000,N,00000.0000,E,0.0,0.0,010100,,,A*7C\r\n";
}

std::vector<std::string> BridgeRig::loginBlock() {
    return {"$<MSG.Info.ServerLogin>\r\n",
            "$DeviceName=QUARN-7\r\n",
            "$Ext=quarn.example:10.1.2.3:7001\r\n",
            "$Software=4.2.1\r\n",
            "$Hardware=rev C\r\n",
            std::string("$LastValidPosition=") + terminalPosition(),
            "$IMEI=356938035643809\r\n",
            "$CmdVersion=17\r\n",
            "$<end>\r\n"};
}

bool BridgeRig::login() {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    bool asked = false;
    while (!asked && msLeft(deadline) > 0) {
        send("$TSCACK,hello world*00\r\n");
        asked = waitForLine("$Pfal,Msg.Info.ServerLogin", std::chrono::seconds(2));
    }
    if (!asked)
        return false;
    std::string block;
    for (const auto& line : loginBlock())
        block += line;
    send(block);
    return true;
}

bool BridgeRig::acceptServer(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (m_server >= 0)
                ::close(m_server);
            m_server = fd;
            m_serverData.clear();
            m_serverEof = false;
            return true;
        }
        int left = msLeft(deadline);
        if (left == 0)
            return false;
        struct pollfd p = {m_listener, POLLIN, 0};
        ::poll(&p, 1, left);
    }
}

void BridgeRig::pumpServer() {
    if (m_server < 0)
        return;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(m_server, chunk, sizeof chunk);
        if (n > 0) {
            m_serverData.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            m_serverEof = true;
        return;
    }
}

bool BridgeRig::serverReceived(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pumpServer();
        if (m_serverData.find(text) != std::string::npos)
            return true;
        int left = msLeft(deadline);
        if (left == 0 || m_server < 0 || m_serverEof)
            return false;
        struct pollfd p = {m_server, POLLIN, 0};
        ::poll(&p, 1, left);
    }
}

bool BridgeRig::serverClosedByBridge(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pumpServer();
        if (m_serverEof || m_server < 0)
            return true;
        int left = msLeft(deadline);
        if (left == 0)
            return false;
        struct pollfd p = {m_server, POLLIN, 0};
        ::poll(&p, 1, left);
    }
}

void BridgeRig::closeServerConnection() {
    if (m_server >= 0)
        ::close(m_server);
    m_server = -1;
}

std::string BridgeRig::callString(const std::string& method) {
    return testenv::callString(m_bus, kBusName, kPath, "com.ulvaro.tessarc.Status", method);
}

int BridgeRig::callInt(const std::string& method, const std::string& interface) {
    GVariant* reply = callMethod(m_bus, kBusName, kPath, "com.ulvaro.tessarc." + interface, method);
    if (!reply)
        return INT_MIN;
    int value = INT_MIN;
    if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(i)")))
        g_variant_get(reply, "(i)", &value);
    g_variant_unref(reply);
    return value;
}

int BridgeRig::gatewaysim(const std::vector<std::string>& args) {
    Process sim("gatewaysim", args);
    return sim.wait();
}

} // namespace testenv
