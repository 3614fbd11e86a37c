// A whole bridge on one machine for whole-process tests: the daemon (build/bin/tessarc), a
// terminal played on a pseudo-terminal linked to $VYL_ROOT/dev/ttyS0 (the built-in port), and a
// loopback TCP server. Waits have deadlines. Main thread only.
#pragma once

#include <climits>
#include <memory>

#include "bridge_document.h"
#include "data_peers.h"
#include "fake_sysfs.h"
#include "test_env.h"
#include "test_process.h"

namespace testenv {

class BridgeRig {
public:
    explicit BridgeRig(const TempRoot& root) : m_root(root) {
        FakeSysfs sysfs(root.path());
        sysfs.addBuiltinSerial(0);
        sysfs.linkNode("ttyS0", m_pty.slavePath());
        root.write("var/lock/.keep", "");
    }
    ~BridgeRig() {
        if (m_daemon) {
            m_daemon->signal(SIGTERM);
            m_daemon->wait(std::chrono::seconds(10));
        }
    }
    BridgeRig(const BridgeRig&) = delete;
    BridgeRig& operator=(const BridgeRig&) = delete;

    // Starts the daemon (with whatever configuration the root holds) and waits until it answers.
    ::testing::AssertionResult startDaemon() {
        m_daemon = std::make_unique<Process>("tessarc", std::vector<std::string>{"--daemon"});
        m_bus = sessionConnection();
        waitUntil([&] { return !callString("getCurrentStatus").empty() || !m_daemon->running(); });
        if (m_daemon->running())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << m_daemon->output() << log();
    }
    // Writes etc/vyl/tessarc.yaml with `gate`, `enabled` and this rig's server, then starts.
    ::testing::AssertionResult start(const std::string& gate = "wanUp", bool enabled = true) {
        m_root.write("etc/vyl/tessarc.yaml",
                     bridgeDocumentWith({{"enabled", enabled ? "yes" : "no"},
                                         {"networkSettings/gate", gate},
                                         {"networkSettings/maxBufBytesToSvr", "65536"},
                                         {"networkSettings/maxBufBytesScanAvi", "1024"},
                                         {"networkSettings/overrideServerIPAddr", "127.0.0.1"},
                                         {"networkSettings/overrideServerTCPPort",
                                          "'" + std::to_string(m_server.port()) + "'"}}));
        return startDaemon();
    }
    ::testing::AssertionResult waitForStatus(const std::string& status) {
        if (waitUntil([&] { return callString("getCurrentStatus") == status; }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << callString("getCurrentStatus") << "\n" << log();
    }
    Process& daemon() { return *m_daemon; }
    std::string log() const {
        return readFile(m_root / ("var/log/vyl/" + utcDate() + "tessarc.log"));
    }

    void send(const std::string& bytes) { m_pty.send(bytes); }
    // The next line (without CR LF) the bridge writes to the terminal, blank lines skipped;
    // empty on time-out.
    std::string nextLine(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        std::string line;
        waitUntil(
            [&] {
                m_input += m_pty.received();
                m_pty.clearReceived();
                for (size_t end; line.empty() && (end = m_input.find("\r\n")) != m_input.npos;
                     m_input.erase(0, end + 2))
                    line = m_input.substr(0, end);
                return !line.empty();
            },
            timeout);
        return line;
    }
    bool waitForLine(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return waitUntil([&] { return nextLine(std::chrono::milliseconds(0)) == line; }, timeout);
    }
    // Any sentence, then the login block once the bridge asks for it; false when it did not.
    bool login() {
        // Repeated: the bridge may still be opening the device when the first one goes out.
        bool asked = false;
        for (int i = 0; i < 10 && !asked; ++i) {
            send("$TSCACK,hello world*00\r\n");
            asked = waitForLine("$Pfal,Msg.Info.ServerLogin", std::chrono::seconds(2));
        }
        std::string block;
        for (const auto& line : loginBlock())
            block += line;
        if (asked)
            send(block);
        return asked;
    }
    static std::vector<std::string> loginBlock() {
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
    static const char* terminalPosition() {
        return "$GPRMC,111111.00,A,0000.0000,N,00000.0000,E,0.0,0.0,010100,,,A*7C\r\n";
    }

    // Accepts the bridge's next connection (closing the one before); false on time-out.
    bool acceptServer() {
        const size_t next = m_current + 1;
        if (!m_server.pumpUntil([&] { return m_server.connections() > next; }, kWait))
            return false;
        if (next > 0)
            closeServerConnection();
        m_current = next;
        return true;
    }
    // Waits until what the current connection received contains `text`.
    bool serverReceived(const std::string& text) {
        auto got = [&] { return serverData().find(text) != std::string::npos; };
        m_server.pumpUntil([&] { return got() || m_server.peerClosed(m_current); }, kWait);
        return got();
    }
    const std::string& serverData() const { return m_server.received(m_current); }
    void closeServerConnection() { m_server.close(m_current); }
    bool serverClosedByBridge() {
        return m_server.pumpUntil([&] { return m_server.peerClosed(m_current); }, kWait);
    }
    int serverPort() const { return m_server.port(); }

    std::string callString(const std::string& method) {
        return testenv::callString(m_bus, kBusName, kPath, "com.ulvaro.tessarc.Status", method);
    }
    // INT_MIN when the call failed.
    int callInt(const std::string& method, const std::string& interface = "Status") {
        int value = INT_MIN;
        if (GVariant* reply =
                callMethod(m_bus, kBusName, kPath, "com.ulvaro.tessarc." + interface, method)) {
            if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(i)")))
                g_variant_get(reply, "(i)", &value);
            g_variant_unref(reply);
        }
        return value;
    }
    // Runs build/bin/gatewaysim with `args`; its exit status.
    static int gatewaysim(const std::vector<std::string>& args) {
        return Process("gatewaysim", args).wait();
    }

private:
    static constexpr const char* kBusName = "com.ulvaro.tessarc";
    static constexpr const char* kPath = "/com/ulvaro/tessarc";
    static constexpr std::chrono::seconds kWait{15};

    const TempRoot& m_root;
    PtyTerminal m_pty;
    std::string m_input;
    LoopbackServer m_server;
    size_t m_current = -1; // the server connection the test works with
    std::unique_ptr<Process> m_daemon;
    Glib::RefPtr<Gio::DBus::Connection> m_bus;
};

} // namespace testenv
