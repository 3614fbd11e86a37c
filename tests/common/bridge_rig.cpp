#include "bridge_rig.h"

#include <climits>
#include <csignal>

#include "bridge_document.h"
#include "fake_sysfs.h"

namespace testenv {

namespace {

const char* const kBusName = "com.ulvaro.tessarc";
const char* const kPath = "/com/ulvaro/tessarc";

using Clock = std::chrono::steady_clock;
const std::chrono::seconds kServerWait(15);

} // namespace

BridgeRig::BridgeRig(const TempRoot& root) : m_root(root) {
    FakeSysfs sysfs(root.path());
    sysfs.addBuiltinSerial(0);
    sysfs.linkNode("ttyS0", m_pty.slavePath());
    root.write("var/lock/.keep", "");
}

BridgeRig::~BridgeRig() {
    if (m_daemon && m_daemon->running()) {
        m_daemon->signal(SIGTERM);
        if (m_daemon->wait(std::chrono::seconds(10)) < 0)
            m_daemon.reset();
    }
}

::testing::AssertionResult BridgeRig::startDaemon() {
    m_daemon = std::make_unique<Process>("tessarc", std::vector<std::string>{"--daemon"});
    m_bus = sessionConnection();
    bool up = waitUntil([&] {
        if (!m_daemon->running())
            return true;
        GVariant* reply =
            callMethod(m_bus, kBusName, kPath, "com.ulvaro.tessarc.Status", "getCurrentStatus");
        if (reply)
            g_variant_unref(reply);
        return reply != nullptr;
    });
    if (up && m_daemon->running())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << m_daemon->output() << log();
}

::testing::AssertionResult BridgeRig::start(const SBridgeOptions& o) {
    m_root.write("etc/vyl/tessarc.yaml", bridgeDocumentWith({
                                             {"enabled", o.enabled ? "yes" : "no"},
                                             {"networkSettings/gate", o.gate},
                                             {"networkSettings/maxBufBytesToSvr", "65536"},
                                             {"networkSettings/maxBufBytesScanAvi", "1024"},
                                             {"networkSettings/overrideServerIPAddr", "127.0.0.1"},
                                             {"networkSettings/overrideServerTCPPort",
                                              "'" + std::to_string(serverPort()) + "'"},
                                         }));
    return startDaemon();
}

::testing::AssertionResult BridgeRig::waitForStatus(const std::string& status) {
    std::string last;
    if (waitUntil([&] {
            last = callString("getCurrentStatus");
            return last == status;
        }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status " << last << "\n" << log();
}

std::string BridgeRig::log() const {
    return readFile(m_root / ("var/log/vyl/" + utcDate() + "tessarc.log"));
}

void BridgeRig::send(const std::string& bytes) {
    m_pty.send(bytes, std::chrono::seconds(5));
}

std::string BridgeRig::nextLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        m_input += m_pty.received();
        m_pty.clearReceived();
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
        m_pty.waitReadable(std::chrono::milliseconds(left));
    }
}

bool BridgeRig::waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (msLeft(deadline) > 0)
        if (nextLine(std::chrono::milliseconds(msLeft(deadline))) == line)
            return true;
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

bool BridgeRig::acceptServer() {
    const int next = m_current + 1;
    if (!m_server.pumpUntil([&] { return static_cast<int>(m_server.connections()) > next; },
                            kServerWait))
        return false;
    // One connection at a time, as a real server that dropped the old one would see it.
    closeServerConnection();
    m_current = next;
    return true;
}

const std::string& BridgeRig::serverData() const {
    static const std::string none;
    return m_current < 0 ? none : m_server.received(static_cast<size_t>(m_current));
}

bool BridgeRig::serverReceived(const std::string& text) {
    m_server.pumpUntil(
        [&] {
            return m_current < 0 || serverData().find(text) != std::string::npos ||
                   m_server.peerClosed(static_cast<size_t>(m_current));
        },
        kServerWait);
    return serverData().find(text) != std::string::npos;
}

bool BridgeRig::serverClosedByBridge() {
    return m_server.pumpUntil(
        [&] { return m_current < 0 || m_server.peerClosed(static_cast<size_t>(m_current)); },
        kServerWait);
}

void BridgeRig::closeServerConnection() {
    if (m_current >= 0)
        m_server.close(static_cast<size_t>(m_current));
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
