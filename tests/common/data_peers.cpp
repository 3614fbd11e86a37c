#include "data_peers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "test_env.h"

namespace testenv {

namespace {

using Clock = std::chrono::steady_clock;

void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

} // namespace

int loopbackListener(int backlog, uint16_t& port, int receiveBuffer) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    // Accepted sockets inherit the listener's buffer, which must be set before listen.
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(fd, backlog) < 0)
        fail("bind/listen");
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

PtyTerminal::PtyTerminal() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) < 0 || ::unlockpt(m_master) < 0)
        fail("posix_openpt");
    m_slavePath = ::ptsname(m_master);
    m_slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0)
        fail("open slave");
    termios raw{};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
}

PtyTerminal::~PtyTerminal() {
    hangUp();
}

void PtyTerminal::hangUp() {
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

bool PtyTerminal::send(const std::string& bytes, std::chrono::milliseconds timeout) {
    size_t done = 0;
    auto deadline = Clock::now() + timeout;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = Clock::now() + timeout;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            int left = msLeft(deadline);
            if (left == 0)
                return false;
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, std::min(left, 100));
        } else {
            fail("pty write");
        }
    }
    return true;
}

void PtyTerminal::waitReadable(std::chrono::milliseconds timeout) const {
    pollfd p{m_master, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(timeout.count()));
}

const std::string& PtyTerminal::received() {
    char chunk[4096];
    for (;;) {
        ssize_t n = m_master >= 0 ? ::read(m_master, chunk, sizeof chunk) : -1;
        if (n <= 0)
            break;
        m_received.append(chunk, static_cast<size_t>(n));
    }
    return m_received;
}

LoopbackServer::LoopbackServer(int receiveBuffer) {
    m_listen = loopbackListener(16, m_port, receiveBuffer);
}

LoopbackServer::~LoopbackServer() {
    for (auto& c : m_conns)
        if (c.fd >= 0)
            ::close(c.fd);
    ::close(m_listen);
}

void LoopbackServer::pump() {
    for (;;) {
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            break;
        SConn c;
        c.fd = fd;
        m_conns.push_back(c);
    }
    if (!m_reading)
        return;
    char chunk[65536];
    for (auto& c : m_conns) {
        while (c.fd >= 0 && !c.peerClosed) {
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

bool LoopbackServer::pumpUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pump();
        if (done())
            return true;
        int left = msLeft(deadline);
        if (left == 0)
            return false;
        // A connection at end of stream stays readable: only the live ones are watched.
        std::vector<pollfd> watched{{m_listen, POLLIN, 0}};
        if (m_reading)
            for (const auto& c : m_conns)
                if (c.fd >= 0 && !c.peerClosed)
                    watched.push_back({c.fd, POLLIN, 0});
        // Bounded, so that `done` is asked again even when it waits for something else.
        ::poll(watched.data(), watched.size(), std::min(left, 100));
    }
}

void LoopbackServer::send(size_t i, const std::string& bytes) {
    ::send(m_conns.at(i).fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void LoopbackServer::close(size_t i) {
    auto& c = m_conns.at(i);
    if (c.fd >= 0)
        ::close(c.fd);
    c.fd = -1;
    c.peerClosed = true;
}

StuckListener::StuckListener() {
    m_listen = loopbackListener(0, m_port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    // Connect until one stays pending: from then on the accept queue is full.
    for (int i = 0; i < 32; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        m_fillers.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            continue;
        if (errno != EINPROGRESS)
            fail("connect");
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 300) == 0)
            return;
    }
    fail("accept queue never filled");
}

StuckListener::~StuckListener() {
    for (int fd : m_fillers)
        ::close(fd);
    ::close(m_listen);
}

} // namespace testenv
