// A whole bridge on one machine for whole-process tests: the daemon (build/bin/tessarc) with a
// configuration that enables its agent on the built-in port ttyS0, a terminal played on a
// pseudo-terminal linked to $VYL_ROOT/dev/ttyS0, and a loopback TCP server. The test's own
// process holds the terminal and the server; waits have deadlines. Main thread only.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "data_peers.h"
#include "test_env.h"
#include "test_process.h"

namespace testenv {

struct SBridgeOptions {
    std::string gate = "wanUp";
    bool enabled = true;
};

class BridgeRig {
public:
    explicit BridgeRig(const TempRoot& root);
    ~BridgeRig();
    BridgeRig(const BridgeRig&) = delete;
    BridgeRig& operator=(const BridgeRig&) = delete;

    // Starts the daemon (with whatever configuration the root holds) and waits until it
    // answers on the bus; fails with its output.
    ::testing::AssertionResult startDaemon();
    // Writes etc/vyl/tessarc.yaml, its server overrides pointing at this rig's listener, and
    // starts the daemon.
    ::testing::AssertionResult start(const SBridgeOptions& options);
    // Waits until the daemon's "getCurrentStatus" reads `status`; fails with the last status
    // and the daemon's log.
    ::testing::AssertionResult waitForStatus(const std::string& status);
    Process* daemon() { return m_daemon.get(); }
    std::string log() const;

    // ---- terminal ----
    void send(const std::string& bytes);
    // The next line (without CR LF) the bridge writes to the terminal, blank lines skipped;
    // empty on time-out.
    std::string nextLine(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Reads lines until one equals `line`; false on time-out.
    bool waitForLine(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Any sentence, the answer to the login request and its end: leaves the link up. False when
    // the bridge did not ask.
    bool login();
    // The login block as the terminal sends it, and the position line in it.
    static std::vector<std::string> loginBlock();
    static const char* terminalPosition();

    // ---- server ----
    // Accepts the bridge's next connection; false on time-out.
    bool acceptServer();
    // Waits until what the current connection received contains `text`.
    bool serverReceived(const std::string& text);
    const std::string& serverData() const;
    void closeServerConnection();
    // True once the bridge closed the current connection (end of stream seen).
    bool serverClosedByBridge();
    int serverPort() const { return m_server.port(); }

    // ---- bus ----
    std::string callString(const std::string& method);
    // INT32_MIN when the call failed.
    int callInt(const std::string& method, const std::string& interface = "Status");
    // Runs build/bin/gatewaysim with `args`; its exit status.
    static int gatewaysim(const std::vector<std::string>& args);

private:
    const TempRoot& m_root;
    PtyTerminal m_pty;
    std::string m_input;
    LoopbackServer m_server;
    // The server's connection the test works with; -1 before the first.
    int m_current = -1;
    std::unique_ptr<Process> m_daemon;
    Glib::RefPtr<Gio::DBus::Connection> m_bus;
};

} // namespace testenv
