// The far ends of the bridge's data path for tests: a terminal on a pseudo-terminal and TCP
// servers on 127.0.0.1. Everything is non-blocking and polled from the test's main thread, so
// that the code under test keeps running in the same GLib main context between polls.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testenv {

// The terminal's side of a pseudo-terminal. The slave is put in raw mode and kept open here,
// so that the code under test may open and close it at will without a hang-up.
class PtyTerminal {
public:
    PtyTerminal();
    ~PtyTerminal();
    PtyTerminal(const PtyTerminal&) = delete;
    PtyTerminal& operator=(const PtyTerminal&) = delete;

    const std::string& slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }
    // Writes all of `bytes`, waiting for room when the pty is full; false when the other side
    // took nothing for `timeout`.
    bool send(const std::string& bytes,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the other side wrote something (or hung up), at most `timeout`.
    void waitReadable(std::chrono::milliseconds timeout) const;
    // Reads what the other side wrote so far; returns everything received since creation.
    const std::string& received();
    void clearReceived() { m_received.clear(); }
    // Hangs up: closes the master and this side's slave descriptor.
    void hangUp();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::string m_received;
};

// A TCP listener on 127.0.0.1 (port chosen by the system) that accepts every connection and
// collects what each one sends. pump() does one round of accepting and reading.
class LoopbackServer {
public:
    // `receiveBuffer` > 0 sets SO_RCVBUF of accepted connections (a slow reader's window).
    explicit LoopbackServer(int receiveBuffer = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t port() const { return m_port; }
    void pump();
    // Pumps until `done` holds, waiting for the sockets in between; false on time-out.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // While false, pump() accepts but reads nothing.
    void setReading(bool reading) { m_reading = reading; }

    size_t connections() const { return m_conns.size(); }
    const std::string& received(size_t i) const { return m_conns.at(i).data; }
    bool peerClosed(size_t i) const { return m_conns.at(i).peerClosed; }
    void send(size_t i, const std::string& bytes);
    void close(size_t i);

private:
    struct SConn {
        int fd = -1;
        std::string data;
        bool peerClosed = false;
    };
    int m_listen = -1;
    uint16_t m_port = 0;
    bool m_reading = true;
    std::vector<SConn> m_conns;
};

// A non-blocking TCP listener on 127.0.0.1 on a port the system chooses (stored in `port`).
// `receiveBuffer` > 0 sets SO_RCVBUF, which accepted connections inherit.
int loopbackListener(int backlog, uint16_t& port, int receiveBuffer = 0);

// A listener on 127.0.0.1 whose accept queue is kept full by connections never accepted: the
// kernel drops further SYNs, so a connect towards it stays pending.
class StuckListener {
public:
    StuckListener();
    ~StuckListener();
    StuckListener(const StuckListener&) = delete;
    StuckListener& operator=(const StuckListener&) = delete;

    uint16_t port() const { return m_port; }

private:
    int m_listen = -1;
    uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

} // namespace testenv
