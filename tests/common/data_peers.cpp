#include "data_peers.h"

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

namespace testenv {

namespace {

void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

int loopbackListener(int backlog, uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
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

} // namespace

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

void PtyTerminal::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            fail("pty write");
        }
    }
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

LoopbackServer::LoopbackServer(int receiveBuffer) : m_receiveBuffer(receiveBuffer) {
    if (receiveBuffer > 0) {
        // Accepted sockets inherit the listener's buffer, which must be set before listen.
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::setsockopt(m_listen, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
            ::listen(m_listen, 16) < 0)
            fail("bind/listen");
        socklen_t length = sizeof address;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    } else {
        m_listen = loopbackListener(16, m_port);
    }
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
