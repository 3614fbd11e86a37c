// Serial port of the bridge: opens the terminal's device with the configured line settings,
// feeds what it reads to the terminal protocol and writes the bridge's own short sentences.
//
// The port is non-blocking both ways. A hang-up (adapter unplugged, pseudo-terminal closed)
// keeps the port readable forever, so the read watch is switched off on hang-up or end of
// data and tried again from the one-second step; losing the device itself is the device
// mixin's business. Writes a full tty does not take wait, bounded, for a write watch.
#include "tessarc_app.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "qcf_debug.h"

namespace {

// Our own sentences are at most 28 bytes; a terminal that takes none of this much is not
// reading, and further sentences are dropped rather than queued without end.
constexpr size_t kSerialTxPendingMax = 4096;

std::string prettyText(const char* bytes, int length) {
    std::string text;
    if (bytes == nullptr || length <= 0)
        return text;
    const size_t limit = static_cast<size_t>(length) + 9;
    text.reserve(limit + 1);
    for (int i = 0; i < length && text.size() < limit; ++i) {
        if (bytes[i] == '\r')
            text += "\\r";
        else if (bytes[i] == '\n')
            text += "\\n";
        else
            text += bytes[i];
    }
    return text;
}

} // namespace

int CTessarcApp::establishSerialPort(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        QCF::logError("Tessarc: open serial port on %s", path);
        return -1;
    }
    if (CTessarcConfig::instance().getLineSettings()->applySettingsToSerialPort(fd) < 0) {
        QCF::logError("Tessarc: apply serial line settings on %s", path);
        ::close(fd);
        return -1;
    }
    return fd;
}

void CTessarcApp::startSerialPort() {
    QCF::logDebug("Tessarc: Starting SerialPort module");
    createMsgBuffers();
    m_serialFd = establishSerialPort(acquiredDevice.c_str());
    if (m_serialFd < 0) {
        QCF::logError("Tessarc: Error opening serial port");
        stopDevice(acquiredDevice);
        return;
    }
    m_serialChannel = Glib::IOChannel::create_from_fd(m_serialFd);
    m_serialChannel->set_close_on_unref(true);
    m_serialSuspended = false;
    m_serialFaultLogged = false;
    armSerialWatch();
    startAVISerialProtocol();
    QCF::logInfo("Tessarc: SerialPort module started");
}

// A port that failed to open was handed back to the device mixin, which waits for a presence
// signal that a port already present never sends: ask again at the retry pace.
void CTessarcApp::eachSecondSerialPort() {
    if (!m_agentEnabled || deviceAcquired()) {
        m_deviceRetrySeconds = 0;
        return;
    }
    if (++m_deviceRetrySeconds < retryTimeoutSeconds())
        return;
    m_deviceRetrySeconds = 0;
    QCF::logDebug("Tessarc: no serial device, trying to acquire one again.");
    acquireDevice();
}

void CTessarcApp::armSerialWatch() {
    m_serialWatch.disconnect();
    m_serialWatch = watchDescriptor(m_serialFd, Glib::IO_IN | Glib::IO_HUP | Glib::IO_ERR,
                                    sigc::mem_fun(*this, &CTessarcApp::onSerialDataAvail));
}

void CTessarcApp::stopSerialPort() {
    QCF::logDebug("Tessarc: Stopping SerialPort module");
    stopAVISerialProtocol();
    QCF::logDebug("Tessarc: Stopping serial io");
    m_serialWatch.disconnect();
    m_serialTxWatch.disconnect();
    m_serialTxPending.clear();
    m_serialSuspended = false;
    if (m_serialChannel) {
        try {
            m_serialChannel->close(true);
        } catch (const Glib::Error& e) {
            QCF::logDebug("Tessarc: closing serial port: %s", e.what().c_str());
        }
        m_serialChannel.reset();
    }
    m_serialFd = -1;
    destroyMsgBuffers();
    QCF::logInfo("Tessarc: SerialPort module stopped");
}

bool CTessarcApp::onSerialDataAvail(Glib::IOCondition condition) {
    // A port that stays hung up is reported once, not once a second.
    if (!(condition & Glib::IO_IN)) {
        if (!m_serialFaultLogged)
            QCF::logError("Tessarc: Invalid IO condition to trigger serial data op");
        m_serialFaultLogged = true;
        m_serialSuspended = true;
        return false;
    }
    if (!serverDataBuffer || !serverLoginBuffer || !m_scanner || m_rxBuffer.empty()) {
        QCF::logError("Tessarc: serial buffer not created.<this shouldn't happen>");
        createMsgBuffers();
        return true;
    }
    ssize_t n;
    do {
        n = ::read(m_serialFd, m_rxBuffer.data(), m_rxBuffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (n <= 0) {
        // Hang-up or end of data: the port stays readable, so reading again at once would spin.
        if (!m_serialFaultLogged) {
            if (n < 0)
                QCF::logError("Tessarc: failed to receive data from serial port.");
            else
                QCF::logDebug("Tessarc: received 0 bytes from serial port");
        }
        m_serialFaultLogged = true;
        m_serialSuspended = true;
        return false;
    }
    m_serialFaultLogged = false;
    QCF::logTrace("Tessarc: received %d bytes from serial port", static_cast<int>(n));
    logTraceMsgPretty(m_rxBuffer.data(), static_cast<int>(n));
    onRxDataAVISerialProtocol(m_rxBuffer.data(), static_cast<int>(n));
    return true;
}

void CTessarcApp::writeToTerminal(const char* text, int length) {
    if (m_serialFd <= 0 || text == nullptr || length <= 0)
        return;
    if (m_serialTxPending.empty()) {
        ssize_t n;
        do {
            n = ::write(m_serialFd, text, static_cast<size_t>(length));
        } while (n < 0 && errno == EINTR);
        if (n == length)
            return;
        if (n < 0) {
            // Any other failure is ignored: a terminal that does not listen only shows in its
            // silence.
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            n = 0;
        }
        // The rest of a sentence already begun must follow it, whatever the bound says.
        m_serialTxPending.append(text + n, static_cast<size_t>(length - n));
    } else if (m_serialTxPending.size() + static_cast<size_t>(length) > kSerialTxPendingMax) {
        QCF::logWarning("Tessarc: terminal not taking data, dropped a %d byte sentence.", length);
        return;
    } else {
        m_serialTxPending.append(text, static_cast<size_t>(length));
    }
    if (!m_serialTxWatch.connected()) {
        m_serialTxWatch = watchDescriptor(m_serialFd, Glib::IO_OUT | Glib::IO_ERR | Glib::IO_HUP,
                                          sigc::mem_fun(*this, &CTessarcApp::onSerialTxReady));
    }
}

bool CTessarcApp::onSerialTxReady(Glib::IOCondition condition) {
    if (m_serialFd <= 0 || m_serialTxPending.empty() || !(condition & Glib::IO_OUT)) {
        m_serialTxPending.clear();
        return false;
    }
    ssize_t n;
    do {
        n = ::write(m_serialFd, m_serialTxPending.data(), m_serialTxPending.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        m_serialTxPending.clear();
        return false;
    }
    m_serialTxPending.erase(0, static_cast<size_t>(n));
    return !m_serialTxPending.empty();
}

void CTessarcApp::logTraceMsgPretty(const char* bytes, int length) {
    if (!QCF::logEnabled(VYL_LOG_TRACE))
        return;
    QCF::logTrace("Tessarc: here it is: %s", prettyText(bytes, length).c_str());
}

void CTessarcApp::logInfoMsgPretty(const char* bytes, int length) {
    if (!QCF::logEnabled(VYL_LOG_INFO))
        return;
    QCF::logInfo("Tessarc: here it is: %s", prettyText(bytes, length).c_str());
}

sigc::connection CTessarcApp::watchDescriptor(int fd, Glib::IOCondition condition,
                                              const sigc::slot<bool, Glib::IOCondition>& handler) {
    Glib::RefPtr<Glib::IOSource> source = Glib::IOSource::create(fd, condition);
    source->set_can_recurse(true);
    sigc::connection connection = source->connect(handler);
    source->attach(Glib::MainContext::get_default());
    return connection;
}
