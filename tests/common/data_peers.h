// The far ends of the bridge's data path for tests: a terminal on a pseudo-terminal and TCP
// servers on 127.0.0.1. Non-blocking and polled from the test's main thread, so that the code
// under test keeps running in the same GLib main context between polls.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "test_env.h"

namespace testenv {

inline void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A non-blocking listener on 127.0.0.1 on a port the system chooses (stored in `port`).
// `receiveBuffer` > 0 sets SO_RCVBUF, which accepted connections inherit.
inline int loopbackListener(int backlog, uint16_t& port, int receiveBuffer = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 ||
        ::listen(fd, backlog) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        fail("listen");
    port = ntohs(address.sin_port);
    return fd;
}

// The terminal's side of a pseudo-terminal. The slave is put in raw mode and kept open here, so
// that the code under test may open and close it at will without a hang-up.
class PtyTerminal {
public:
    PtyTerminal() : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (m_master < 0 || ::grantpt(m_master) < 0 || ::unlockpt(m_master) < 0)
            fail("posix_openpt");
        m_slavePath = ::ptsname(m_master);
        m_slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios raw{};
        if (m_slave < 0 || ::tcgetattr(m_slave, &raw) < 0)
            fail("open slave");
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
    }
    ~PtyTerminal() { hangUp(); }
    PtyTerminal(const PtyTerminal&) = delete;
    PtyTerminal& operator=(const PtyTerminal&) = delete;

    const std::string& slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }
    // Writes all of `bytes`; false when the other side took nothing for `timeout`.
    bool send(const std::string& bytes,
              std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (errno != EAGAIN && errno != EINTR)
                fail("pty write");
            pollfd p{m_master, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) == 0)
                return false;
        }
        return true;
    }
    void waitReadable(std::chrono::milliseconds timeout) const {
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(timeout.count()));
    }
    // Everything the other side wrote since creation (or the last clearReceived()).
    const std::string& received() {
        char chunk[4096];
        ssize_t n;
        while (m_master >= 0 && (n = ::read(m_master, chunk, sizeof chunk)) > 0)
            m_received.append(chunk, static_cast<size_t>(n));
        return m_received;
    }
    void clearReceived() { m_received.clear(); }
    void hangUp() {
        for (int* fd : {&m_master, &m_slave}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::string m_received;
};

// A TCP listener on 127.0.0.1 that accepts every connection and collects what each one sends.
// pump() does one round of accepting and reading.
class LoopbackServer {
public:
    // `receiveBuffer` > 0: a slow reader's window.
    explicit LoopbackServer(int receiveBuffer = 0)
        : m_listen(loopbackListener(16, m_port, receiveBuffer)) {}
    ~LoopbackServer() {
        for (size_t i = 0; i < m_conns.size(); ++i)
            close(i);
        ::close(m_listen);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t port() const { return m_port; }
    void pump() {
        int fd;
        while ((fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0)
            m_conns.push_back({fd, std::string(), false});
        char chunk[65536];
        for (auto& c : m_conns) {
            while (m_reading && !c.peerClosed) {
                ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0)
                    c.data.append(chunk, static_cast<size_t>(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    c.peerClosed = true;
                else
                    break;
            }
        }
    }
    // Pumps until `done` holds; false on time-out.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return waitUntil(
            [&] {
                pump();
                return done();
            },
            timeout);
    }
    // While false, pump() accepts but reads nothing.
    void setReading(bool reading) { m_reading = reading; }

    size_t connections() const { return m_conns.size(); }
    const std::string& received(size_t i) const { return m_conns.at(i).data; }
    bool peerClosed(size_t i) const { return m_conns.at(i).peerClosed; }
    void send(size_t i, const std::string& bytes) {
        ::send(m_conns.at(i).fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void close(size_t i) {
        auto& c = m_conns.at(i);
        if (c.fd >= 0)
            ::close(c.fd);
        c.fd = -1;
        c.peerClosed = true;
    }

private:
    struct SConn {
        int fd;
        std::string data;
        bool peerClosed;
    };
    uint16_t m_port = 0;
    int m_listen;
    bool m_reading = true;
    std::vector<SConn> m_conns;
};

// A listener whose accept queue is kept full by connections never accepted: the kernel drops
// further SYNs, so a connect towards it stays pending.
class StuckListener {
public:
    StuckListener() : m_listen(loopbackListener(0, m_port)) {
        sockaddr_in address = loopback(m_port);
        // Connect until one stays pending: from then on the accept queue is full.
        for (int i = 0; i < 32; ++i) {
            m_fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (::connect(m_fillers.back(), reinterpret_cast<sockaddr*>(&address),
                          sizeof address) == 0)
                continue;
            if (errno != EINPROGRESS)
                fail("connect");
            pollfd p{m_fillers.back(), POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0)
                return;
        }
        fail("accept queue never filled");
    }
    ~StuckListener() {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_listen);
    }
    StuckListener(const StuckListener&) = delete;
    StuckListener& operator=(const StuckListener&) = delete;

    uint16_t port() const { return m_port; }

private:
    uint16_t m_port = 0;
    int m_listen;
    std::vector<int> m_fillers;
};

} // namespace testenv
