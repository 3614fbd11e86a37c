// Server connection of the bridge: the message buffers, one TCP connection to the server while
// the terminal link and the network are up, the login block first on every connection, then
// the queued terminal data. Bytes from the server only count as signs of life.
//
// Nothing here blocks the main loop: the connect is non-blocking and finishes from a write
// watch (or fails after kConnectTimeoutSeconds), and a socket that is momentarily full just
// waits for the next write watch instead of costing the connection.
#include "tessarc_app.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <new>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qcf_debug.h"
#include "saturating.h"

namespace {

constexpr int kReconnectCountdown = 30;
constexpr int kConnectTimeoutSeconds = 30;

// Sizes outside these bounds are refused: a scan buffer must hold a real sentence and stay
// cheap to allocate, and the server buffer must hold at least two of them (the full-buffer
// guard drops one scan buffer's worth at a time) without exhausting memory.
constexpr int kScanBytesDefault = 32768;
constexpr int kScanBytesMin = 256;
constexpr int kScanBytesMax = 1 << 20;
constexpr int kServerBytesDefault = 2097152;
constexpr int kServerBytesMax = 64 << 20;
// What may wait unacknowledged in the kernel (it doubles the figure): enough to keep a fast
// link busy, small next to the data buffer, so that a stalled server leaves its backlog here.
constexpr int kSocketSendBuffer = 64 << 10;
constexpr size_t kReadBytes = 64 << 10;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Strictly decimal, 1..65535; anything else is 0.
unsigned int parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return 0;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= 65535 ? static_cast<unsigned int>(value) : 0;
}

} // namespace

void CTessarcApp::createMsgBuffers() {
    const CTessarcConfig& config = CTessarcConfig::instance();
    int scanBytes = config.getmaxBufBytesScanAvi();
    if (scanBytes < kScanBytesMin || scanBytes > kScanBytesMax) {
        QCF::logError("Tessarc: maxBufBytesScanAvi %d refused (allowed %d to %d bytes), using %d",
                      scanBytes, kScanBytesMin, kScanBytesMax, kScanBytesDefault);
        scanBytes = kScanBytesDefault;
    }
    int serverBytes = config.getMaxBufBytesToSvr();
    if (serverBytes < 2 * scanBytes || serverBytes > kServerBytesMax) {
        QCF::logError("Tessarc: maxBufBytesToSvr %d refused (allowed %d to %d bytes), using %d",
                      serverBytes, 2 * scanBytes, kServerBytesMax, kServerBytesDefault);
        serverBytes = kServerBytesDefault;
    }
    m_maxBufBytesToSvr = serverBytes;
    m_maxBufBytesScanAvi = scanBytes;

    if (serverDataBuffer || serverLoginBuffer || m_scanner)
        destroyMsgBuffers();
    try {
        serverDataBuffer.reset(new CBuffer(static_cast<unsigned int>(m_maxBufBytesToSvr)));
        QCF::logDebug("Tessarc: created %d byte Server buffer", m_maxBufBytesToSvr);
        serverLoginBuffer.reset(new CBuffer(static_cast<unsigned int>(m_maxBufBytesScanAvi)));
        QCF::logDebug("Tessarc: created %d byte Server Login buffer", m_maxBufBytesScanAvi);
        m_scanner.reset(new CQuarnScanner(static_cast<unsigned int>(m_maxBufBytesScanAvi)));
        QCF::logDebug("Tessarc: created scanner to AVI with %d byte buffer", m_maxBufBytesScanAvi);
        m_newLoginBuffer.reset(new CBuffer(static_cast<unsigned int>(m_maxBufBytesScanAvi)));
        // Each read takes all the tty offers: fewer reads, fewer wake-ups per sentence.
        m_rxBuffer.assign(std::max<size_t>(static_cast<size_t>(m_maxBufBytesScanAvi), kReadBytes),
                          '\0');
    } catch (const std::bad_alloc& e) {
        QCF::logError("Tessarc: create buffer error: %s", e.what());
    }
}

void CTessarcApp::destroyMsgBuffers() {
    serverDataBuffer.reset();
    serverLoginBuffer.reset();
    m_scanner.reset();
    m_newLoginBuffer.reset();
    m_reloginData.clear();
    std::vector<char>().swap(m_rxBuffer);
    m_dataSentPos = 0;
    QCF::logDebug("Tessarc: buffers to server and AVI deleted");
}

void CTessarcApp::startServerConnection() {
    QCF::logDebug("Tessarc: Starting server module");
    if (!serverDataBuffer || !serverLoginBuffer) {
        QCF::logError("Tessarc: Error, no buffers for server connection");
        return;
    }
    if (m_socketFd >= 0 || m_connectingFd >= 0)
        return;
    // The overrides are read afresh at every attempt and never overwrite what the terminal
    // said, so that emptying an override falls back to the terminal's value.
    const CTessarcConfig& config = CTessarcConfig::instance();
    if (!config.getOverrideServerIPAddr().empty())
        QCF::logInfo("Tessarc: Server IP address override: %s",
                     config.getOverrideServerIPAddr().c_str());
    if (!config.getOverrideServerTCPPort().empty())
        QCF::logInfo("Tessarc: Server TCP port override: %s",
                     config.getOverrideServerTCPPort().c_str());
    const std::string ipAddr = serverIpAddr();
    const std::string portText = serverPort();

    const unsigned int port = parsePort(portText);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    // Only numeric IPv4 text is accepted, so that no name lookup can stall the loop.
    const bool addressValid = ::inet_pton(AF_INET, ipAddr.c_str(), &address.sin_addr) == 1;
    char dotted[INET_ADDRSTRLEN] = "0.0.0.0";
    ::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    QCF::logDebug("Tessarc: configured TCP socket, port %u on address %s", port, dotted);
    // 0.0.0.0 would reach this very host: refuse it rather than talk to the wrong peer.
    // A refused address is retried at the usual pace, so that a corrected override (read at
    // each attempt) is picked up without a restart.
    if (!addressValid) {
        failServerConnection(("invalid server address '" + ipAddr + "'").c_str());
        return;
    }
    if (port == 0) {
        failServerConnection(("invalid server port '" + portText + "'").c_str());
        return;
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        QCF::logError("Tessarc: Socket error opening server connection");
        protocolCountdown = kReconnectCountdown;
        return;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketSendBuffer, sizeof kSocketSendBuffer);
    m_connectingFd = fd;
    m_connectSeconds = 0;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        finishServerConnection();
    } else if (errno == EINPROGRESS) {
        m_connectWatch = watchDescriptor(fd, Glib::IO_OUT | Glib::IO_ERR | Glib::IO_HUP,
                                         sigc::mem_fun(*this, &CTessarcApp::onConnectReady));
    } else {
        failServerConnection(std::strerror(errno));
    }
}

bool CTessarcApp::onConnectReady(Glib::IOCondition) {
    if (m_connectingFd < 0)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_connectingFd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error == EINPROGRESS || error == EALREADY)
        return true;
    if (error != 0) {
        failServerConnection(std::strerror(error));
        return false;
    }
    m_connectWatch.disconnect();
    finishServerConnection();
    return false;
}

void CTessarcApp::failServerConnection(const char* reason) {
    QCF::logError("Tessarc: Error, cannot connect to server: %s", reason);
    m_connectWatch.disconnect();
    if (m_connectingFd >= 0)
        ::close(m_connectingFd);
    m_connectingFd = -1;
    m_connectSeconds = 0;
    // The retry comes from the protocol's countdown, counted from the failure.
    protocolCountdown = kReconnectCountdown;
}

void CTessarcApp::finishServerConnection() {
    m_socketFd = m_connectingFd;
    m_connectingFd = -1;
    m_connectSeconds = 0;
    m_socketChannel = Glib::IOChannel::create_from_fd(m_socketFd);
    m_socketChannel->set_close_on_unref(true);
    m_socketReadWatch = watchDescriptor(m_socketFd, Glib::IO_IN | Glib::IO_HUP | Glib::IO_ERR,
                                        sigc::mem_fun(*this, &CTessarcApp::onTcpDataAvail));
    loginBytesSent = 0;
    // Whatever the last connection left unacknowledged goes again, from the front.
    m_dataSentPos = serverDataBuffer ? serverDataBuffer->headPosition() : 0;
    reportAVINetworkChange(SERVER_CONNECT);
    saturatingAdd(cntServerConnects, 1);
    protocolCountdown = 0;
    timeLastServerRx = 0;
    secondsSinceLastRxServerAck = 0;
    QCF::logInfo("Tessarc: Server module started");
    // Last: a send that fails stops the connection, which must be complete by then.
    primeTcpSockWrite();
}

void CTessarcApp::stopServerConnection() {
    QCF::logDebug("Tessarc: Stopping server module");
    m_socketReadWatch.disconnect();
    m_socketWriteWatch.disconnect();
    // What the server's TCP took is gone for good; the rest is sent again on the next
    // connection, from the start of its first sentence.
    releaseAcknowledged();
    if (serverDataBuffer)
        m_dataSentPos = serverDataBuffer->headPosition();
    if (m_connectingFd >= 0) {
        m_connectWatch.disconnect();
        ::close(m_connectingFd);
        m_connectingFd = -1;
        m_connectSeconds = 0;
    }
    if (m_socketChannel) {
        try {
            m_socketChannel->close(true);
        } catch (const Glib::Error& e) {
            QCF::logDebug("Tessarc: closing server socket: %s", e.what().c_str());
        }
        m_socketChannel.reset();
    } else if (m_socketFd >= 0) {
        ::shutdown(m_socketFd, SHUT_WR);
        ::close(m_socketFd);
    }
    m_socketFd = -1;
    if (loginInfoComplete && networkAvailable()) {
        protocolCountdown = kReconnectCountdown;
        QCF::logDebug("Tessarc: %d countdown to try (re)connection to server.",
                      kReconnectCountdown);
    }
    if (networkAvailable())
        reportAVINetworkChange(SERVER_DISCONNECT);
    loginBytesSent = 0;
    timeLastServerRx = 0;
    secondsSinceLastRxServerAck = 0;
    QCF::logInfo("Tessarc: Server module stopped");
}

// Sends at once what the socket takes; only a full socket gets a write watch, which stays until
// the queue is drained. No source is added or removed while the socket keeps up.
void CTessarcApp::primeTcpSockWrite() {
    if (m_socketFd < 0 || m_socketWriteWatch.connected() || !sendQueued() || m_socketFd < 0)
        return;
    QCF::logDebug("Tessarc: Primed the TCP connection for write.");
    m_socketWriteWatch = watchDescriptor(m_socketFd, Glib::IO_OUT | Glib::IO_ERR | Glib::IO_HUP,
                                         sigc::mem_fun(*this, &CTessarcApp::onTcpSockWriteReady));
}

bool CTessarcApp::onTcpSockWriteReady(Glib::IOCondition condition) {
    if (!(condition & Glib::IO_OUT)) {
        QCF::logError("Tessarc: Invalid IO condition to trigger tcp data read op");
        stopServerConnection();
        return false;
    }
    return sendQueued();
}

// Sends `length` bytes, as many as the socket takes, and counts them; -1 when the connection
// failed (it is stopped then).
int CTessarcApp::sendCounted(const char* bytes, int length, const char* sentLine) {
    ssize_t n;
    do {
        n = ::send(m_socketFd, bytes, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && wouldBlock(errno))
        return 0;
    if (n < 0) {
        QCF::logError("Tessarc: Failed to send data to server.");
        stopServerConnection();
        return -1;
    }
    QCF::logDebug(sentLine, static_cast<int>(n));
    saturatingAdd(cntServerCharsTx, n);
    return static_cast<int>(n);
}

// The login block, then the data from where this connection has got to. True while bytes
// remain that the socket did not take.
bool CTessarcApp::sendQueued() {
    if (m_socketFd < 0 || !serverLoginBuffer || !serverDataBuffer)
        return false;
    const int loginSize = serverLoginBuffer->getSize();
    if (loginBytesSent < loginSize) {
        const int sent =
            sendCounted(serverLoginBuffer->getBuffer() + loginBytesSent, loginSize - loginBytesSent,
                        "Tessarc: Sent %d bytes (login) to server");
        if (sent < 0)
            return false;
        loginBytesSent += sent;
        if (loginBytesSent < loginSize)
            return true;
    }
    const int offset = dataSentOffset();
    const int size = serverDataBuffer->getSize();
    if (size <= offset)
        return false;
    const int sent = sendCounted(serverDataBuffer->getBuffer() + offset, size - offset,
                                 "Tessarc: Sent %d bytes to server.");
    if (sent < 0)
        return false;
    m_dataSentPos += sent;
    return sent < size - offset;
}

int CTessarcApp::dataSentOffset() {
    if (!serverDataBuffer)
        return 0;
    // Bytes removed from the front that were never handed over (a full buffer, a restart)
    // move the send position along with the front.
    const long long head = serverDataBuffer->headPosition();
    if (m_dataSentPos < head)
        m_dataSentPos = head;
    // Never past the end: a position from a buffer made since would stop sending for good.
    if (m_dataSentPos > head + serverDataBuffer->getSize())
        m_dataSentPos = head + serverDataBuffer->getSize();
    return static_cast<int>(m_dataSentPos - head);
}

// SIOCOUTQ counts the bytes the peer has not acknowledged yet; they are the last ones handed
// over, so everything before them arrived. Only whole sentences leave the buffer: a new
// connection resends from the start of the first sentence not wholly acknowledged.
void CTessarcApp::releaseAcknowledged() {
    if (m_socketFd < 0 || dataSentOffset() == 0)
        return;
    int unacknowledged = 0;
    if (::ioctl(m_socketFd, SIOCOUTQ, &unacknowledged) < 0)
        return;
    const long long acknowledged =
        m_dataSentPos - unacknowledged - serverDataBuffer->headPosition();
    if (acknowledged <= 0)
        return;
    const char* data = serverDataBuffer->getBuffer();
    const void* lastLf = ::memrchr(data, '\n', static_cast<size_t>(acknowledged));
    if (lastLf)
        serverDataBuffer->flushBuffer(static_cast<int>(static_cast<const char*>(lastLf) - data) +
                                      1);
}

bool CTessarcApp::onTcpDataAvail(Glib::IOCondition condition) {
    if (condition & Glib::IO_IN) {
        // The server's bytes are only signs of life: any buffer will do.
        char fallback[512];
        char* buffer = m_rxBuffer.empty() ? fallback : m_rxBuffer.data();
        const size_t capacity = m_rxBuffer.empty() ? sizeof fallback : m_rxBuffer.size();
        ssize_t n;
        do {
            n = ::recv(m_socketFd, buffer, capacity, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && wouldBlock(errno))
            return true;
        if (n < 0) {
            QCF::logError("Tessarc: Failed to receive data from server.");
            stopServerConnection();
            return false;
        }
        if (n == 0) {
            QCF::logInfo("Tessarc: Remote server connection closed.");
            stopServerConnection();
            return false;
        }
        QCF::logDebug("Tessarc: Received %d bytes from server", static_cast<int>(n));
        timeLastServerRx = now();
        secondsSinceLastRxServerAck = 0;
        saturatingAdd(cntServerCharsRx, n);
        return true;
    }
    if (condition & Glib::IO_HUP) {
        QCF::logInfo("Tessarc: IO_HUP received, close server connection.");
        stopServerConnection();
        return false;
    }
    QCF::logError("Tessarc: Invalid IO condition to trigger tcp data read op");
    stopServerConnection();
    return false;
}

void CTessarcApp::syncServerProxy() {
    const bool active = serverConnected() || m_connectingFd >= 0;
    if (!loginInfoComplete) {
        if (active) {
            stopServerConnection();
            cntServerConnects = 0;
            cntServerCharsRx = 0;
            cntServerCharsTx = 0;
        }
    } else if (!networkAvailable()) {
        if (active)
            stopServerConnection();
    } else if (m_connectingFd >= 0) {
        // An attempt is under way; it ends by itself, at the latest after its time-out.
    } else if (!serverConnected()) {
        protocolCountdown = kReconnectCountdown;
        startServerConnection();
    } else {
        primeTcpSockWrite();
    }
}

int CTessarcApp::triggerReconnect() {
    QCF::logDebug("'Re-Connect Server' button dbus function called");
    stopServerConnection();
    syncServerProxy();
    return 0;
}

void CTessarcApp::eachSecondServerProtocol() {
    if (m_connectingFd >= 0) {
        if (++m_connectSeconds >= kConnectTimeoutSeconds)
            failServerConnection(std::strerror(ETIMEDOUT));
        return;
    }
    if (!serverConnected())
        return;
    releaseAcknowledged();
    if (++secondsSinceLastRxServerAck > inactivityTimeoutSeconds()) {
        QCF::logInfo("Tessarc: Server Protocol - no activity from server, re-connecting.");
        stopServerConnection();
        syncServerProxy();
    }
}

std::string CTessarcApp::serverIpAddr() const {
    const std::string address = CTessarcConfig::instance().getOverrideServerIPAddr();
    return address.empty() ? terminalInfo.serverIpAddr : address;
}

std::string CTessarcApp::serverPort() const {
    const std::string port = CTessarcConfig::instance().getOverrideServerTCPPort();
    return port.empty() ? terminalInfo.serverPort : port;
}
