// The conversation with the terminal: wake it with CR LF, ask for the server's login
// information, collect the login block, classify every further sentence and queue it for the
// server, and restart when the terminal falls silent.
//
// Sentences, in the order they are tested (first match wins):
//   "$<end>\r\n"                ends an open login response (else plain data)
//   "$TSCACK,..."               acknowledgement: logged, never forwarded
//   any line of an open login response: learnt where known, queued to the login block
//   "$<MSG.Info.ServerLogin>"   opens a login response (login block restarts)
//   "$<...>*hh\r\n", "$GPRMC,...", anything else: data for the server, the terminal's own
//                               position replaced by the gateway's
#include "tessarc_app.h"

#include <cstring>
#include <string>
#include <utility>

#include "qcf_debug.h"
#include "saturating.h"

namespace {

const char kWake[] = "\r\n";
const char kLoginRequest[] = "$Pfal,Msg.Info.ServerLogin\r\n";
const char kSendAck[] = "$SendACK\r\n";
const char kLastValidPosition[] = "$LastValidPosition=";

constexpr int kRetryTimeoutDefault = 10;
constexpr int kInactivityTimeoutDefault = 60;
constexpr int kTimeoutMax = 86400;

int literalLength(const char* text) {
    return static_cast<int>(std::char_traits<char>::length(text));
}

unsigned u(int value) {
    return static_cast<unsigned>(value);
}

// A configured time-out outside 1..kTimeoutMax seconds would stall or spin the protocol; it is
// refused, once per distinct value, and the default used instead.
int checkedTimeout(const char* key, int value, int fallback, bool& refusedLogged,
                   int& refusedValue) {
    if (value >= 1 && value <= kTimeoutMax) {
        refusedLogged = false;
        return value;
    }
    if (!refusedLogged || refusedValue != value) {
        QCF::logError("Tessarc: %s of %d seconds refused (allowed 1 to %d), using %d", key, value,
                      kTimeoutMax, fallback);
        refusedLogged = true;
        refusedValue = value;
    }
    return fallback;
}

// What a data sentence puts in the data buffer: the terminal's position gives way to the
// gateway's (nothing when the gateway has none).
std::pair<const char*, int> dataBytes(const CQuarnScanner& scanner, const std::string& gprmc) {
    if (!scanner.scannedMsgHeader() && scanner.scannedGprmcData())
        return {gprmc.data(), static_cast<int>(gprmc.size())};
    return {scanner.getBuffer(), scanner.getSize()};
}

} // namespace

int CTessarcApp::retryTimeoutSeconds() {
    return checkedTimeout("retryTimeout", CTessarcConfig::instance().getRetryTimeout(),
                          kRetryTimeoutDefault, m_retryTimeoutRefused, m_refusedRetryTimeout);
}

int CTessarcApp::inactivityTimeoutSeconds() {
    return checkedTimeout("inactivityTimeout", CTessarcConfig::instance().getInactivityTimeout(),
                          kInactivityTimeoutDefault, m_inactivityTimeoutRefused,
                          m_refusedInactivityTimeout);
}

// A new or ended session owes nothing from the last one: its counters, what the terminal said
// about itself and every byte still queued for the server go.
void CTessarcApp::resetSerialSession() {
    cntCharsSerialRx = 0;
    cntCharsScannedSerialRx = 0;
    cntCharsDiscardedSerialRx = 0;
    cntMsgsRcvdSerialRx = 0;
    timeLastMsgSerialRx = 0;
    cntCharsSerialTx = 0;
    cntMsgsSentSerialTx = 0;
    timeLastMsgSerialTx = 0;
    terminalInfo = STerminalInfo();
    if (serverLoginBuffer)
        serverLoginBuffer->flushAll();
    if (serverDataBuffer && serverDataBuffer->notEmpty()) {
        QCF::logInfo("Tessarc: %d bytes queued for the server dropped with the session.",
                     serverDataBuffer->getSize());
        countDropped(serverDataBuffer->getSize());
        serverDataBuffer->flushAll();
    }
    if (m_newLoginBuffer)
        m_newLoginBuffer->flushAll();
    m_reloginData.clear();
}

void CTessarcApp::countDropped(long long bytes) {
    m_droppedToServer += bytes;
    QCF::logDebug("Tessarc: %lld bytes for the server dropped since start.", m_droppedToServer);
}

void CTessarcApp::startAVISerialProtocol() {
    QCF::logDebug("Tessarc: Starting AVI Serial Protocol.");
    resetSerialSession();
    if (m_serialFd > 0) {
        writeToTerminal(kWake, literalLength(kWake));
        saturatingAdd(cntCharsSerialTx, literalLength(kWake));
    }
    if (m_scanner)
        m_scanner->nextScan();
    aviResponding = false;
    loginInfoInProgress = false;
    loginInfoComplete = false;
    secondsSinceLastRxDataToScanner = 0;
    protocolCountdown = retryTimeoutSeconds();
    syncServerProxy();
}

void CTessarcApp::stopAVISerialProtocol() {
    QCF::logDebug("Tessarc: Stopping AVI Serial Protocol.");
    if (networkAvailable())
        reportAVINetworkChange(NET_DISCONNECT);
    resetSerialSession();
    if (m_scanner)
        m_scanner->resetScan();
    loginInfoComplete = false;
    aviResponding = false;
    syncServerProxy();
}

void CTessarcApp::requestAVIServerLoginInfo() {
    QCF::logDebug("Tessarc: Requesting AVI server login info.");
    if (m_serialFd > 0) {
        writeToTerminal(kLoginRequest, literalLength(kLoginRequest));
        saturatingAdd(cntCharsSerialTx, literalLength(kLoginRequest));
        saturatingAdd(cntMsgsSentSerialTx, 1);
        timeLastMsgSerialTx = now();
    }
    protocolCountdown = retryTimeoutSeconds();
}

void CTessarcApp::onRxDataAVISerialProtocol(char* bytes, int length) {
    if (length <= 0 || bytes == nullptr)
        return;
    QCF::logTrace("Tessarc: AVI Serial Protocol handling %u bytes of data.", u(length));
    while (length > 0 && m_scanner) {
        const int remaining = m_scanner->scanToBuffer(bytes, length);
        QCF::logTrace("Tessarc: scanToBuffer(), input len=%u, output left=%u", u(length),
                      u(remaining));
        if (m_scanner->scannedComplete()) {
            handleScannedSentence();
        } else if (remaining == length) {
            QCF::logError("Tessarc: Error in the quarn scanner.");
            break;
        }
        const int consumed = length - remaining;
        saturatingAdd(cntCharsSerialRx, consumed);
        bytes += consumed;
        length = remaining;
    }
    // Once per chunk: what the chunk queued goes out in one send.
    primeTcpSockWrite();
}

// A sentence is either queued whole or not at all: a cut one would merge with the next line.
void CTessarcApp::queueSentence(CBuffer* buffer, const char* bytes, int length) {
    if (buffer == nullptr || length <= 0)
        return;
    const int room = static_cast<int>(buffer->getCapacity()) - buffer->getSize();
    if (length > room) {
        QCF::logWarning("Tessarc: no room for a %d byte sentence in the %s buffer, dropped.",
                        length, buffer == serverLoginBuffer.get() ? "Server Login" : "Server");
        return;
    }
    buffer->loadBuffer(bytes, length);
}

void CTessarcApp::guardDataBuffer() {
    if (!serverDataBuffer || !serverDataBuffer->willOverrun(m_maxBufBytesScanAvi))
        return;
    // Bytes the server has acknowledged make room first.
    releaseAcknowledged();
    if (!serverDataBuffer->willOverrun(m_maxBufBytesScanAvi))
        return;
    const char* data = serverDataBuffer->getBuffer();
    const int sent = dataSentOffset();
    int removed;
    if (sent > 0 && data[sent - 1] != '\n') {
        // A sentence is half handed to the kernel: cutting its rest would leave the server
        // with half a sentence. The sentences before it go, then whole ones after it.
        const void* lf = ::memrchr(data, '\n', static_cast<size_t>(sent));
        const int start = lf ? static_cast<int>(static_cast<const char*>(lf) - data) + 1 : 0;
        lf =
            std::memchr(data + sent, '\n', static_cast<size_t>(serverDataBuffer->getSize() - sent));
        const int end = lf ? static_cast<int>(static_cast<const char*>(lf) - data) + 1 : sent;
        serverDataBuffer->flushBuffer(start);
        removed = start;
        if (removed < m_maxBufBytesScanAvi)
            removed +=
                serverDataBuffer->discardSentencesAt(end - start, m_maxBufBytesScanAvi - removed);
    } else {
        removed = serverDataBuffer->discardFrontSentences(m_maxBufBytesScanAvi);
    }
    QCF::logInfo("Tessarc: Data buffer getting full, discarded %u bytes.", u(removed));
    countDropped(removed);
}

void CTessarcApp::queueData() {
    const CQuarnScanner& scanner = *m_scanner;
    char computed = 0;
    char appended = 0;
    if (scanner.scannedLrcCsValidated(&computed, &appended)) {
        QCF::logTrace("Tessarc: Received msg with LRC checksum [%02x] - matched OK.",
                      static_cast<unsigned char>(computed));
    } else {
        QCF::logDebug("Tessarc: Received msg with LRC checksum [computed=%02x, "
                      "appended=%02x] - mismatched!",
                      static_cast<unsigned char>(computed), static_cast<unsigned char>(appended));
    }
    if (scanner.scannedMsgHeader())
        QCF::logDebug("Tessarc: Received a message header.");
    else if (scanner.scannedGprmcData())
        QCF::logDebug("Tessarc: Received GPRMC data.");
    else
        QCF::logDebug("Tessarc: Received other data.");
    const auto bytes = dataBytes(scanner, latestGprmc);
    queueSentence(serverDataBuffer.get(), bytes.first, bytes.second);
}

void CTessarcApp::abandonRelogin(const char* reason) {
    QCF::logWarning("Tessarc: new server login block %s; its %d bytes go to the server as data.",
                    reason, static_cast<int>(m_reloginData.size()));
    loginInfoInProgress = false;
    if (m_newLoginBuffer)
        m_newLoginBuffer->flushAll();
    // Sentence by sentence, so that the full-buffer guard and the room check apply to each.
    for (size_t at = 0; at < m_reloginData.size();) {
        const size_t lf = m_reloginData.find('\n', at);
        const size_t end = lf == std::string::npos ? m_reloginData.size() : lf + 1;
        guardDataBuffer();
        queueSentence(serverDataBuffer.get(), m_reloginData.data() + at,
                      static_cast<int>(end - at));
        at = end;
    }
    m_reloginData.clear();
    primeTcpSockWrite();
}

// The server must see a login block only at the start of a connection: the new block takes
// the place of the old one and a fresh connection begins with it.
void CTessarcApp::completeRelogin() {
    loginInfoInProgress = false;
    m_reloginData.clear();
    if (serverLoginBuffer && m_newLoginBuffer) {
        serverLoginBuffer->flushAll();
        serverLoginBuffer->loadBuffer(m_newLoginBuffer->getBuffer(), m_newLoginBuffer->getSize());
        m_newLoginBuffer->flushAll();
    }
    if (serverConnected() || m_connectingFd >= 0)
        stopServerConnection();
}

void CTessarcApp::handleScannedSentence() {
    CQuarnScanner& scanner = *m_scanner;
    const int size = scanner.getSize();
    const int scanned = scanner.amountScanned();
    const int discarded = scanner.amountDiscarded();
    if (discarded > 0) {
        QCF::logDebug("Tessarc: AVI Msg scanned complete, size=%u, scanned=%u, discarded=%u, "
                      "secs since last=%u",
                      u(size), u(scanned), u(discarded), u(secondsSinceLastRxDataToScanner));
    } else {
        QCF::logTrace("Tessarc: AVI Msg scanned complete, size=%u, scanned=%u, none discarded, "
                      "secs since last=%u",
                      u(size), u(scanned), u(secondsSinceLastRxDataToScanner));
    }
    secondsSinceLastRxDataToScanner = 0;
    if (!aviResponding) {
        aviResponding = true;
        protocolCountdown = 0;
        requestAVIServerLoginInfo();
    }

    if (scanner.scannedTruncatedMsg()) {
        QCF::logError("Tessarc: AVI msg %u byte exceeded size of scan buffer %u bytes - discarded.",
                      u(scanned), u(size));
        saturatingAdd(cntCharsDiscardedSerialRx, scanned);
    } else {
        const char* sentence = scanner.getBuffer();
        logTraceMsgPretty(sentence, size);
        guardDataBuffer();
        // A reopened block goes to its own buffer; a line that would not fit there ends it.
        if (reloginOpen() && m_newLoginBuffer && !scanner.scannedEnd() &&
            !scanner.scannedTscack() &&
            static_cast<long long>(m_newLoginBuffer->getCapacity()) - m_newLoginBuffer->getSize() <
                static_cast<long long>(size) + static_cast<long long>(latestGprmc.size()) + 19)
            abandonRelogin("too large");
        const bool relogin = reloginOpen();
        CBuffer* login = relogin ? m_newLoginBuffer.get() : serverLoginBuffer.get();
        std::string value;
        if (scanner.scannedEnd()) {
            QCF::logDebug("Tessarc: AVI msg received '$<end>'.");
            if (loginInfoInProgress) {
                QCF::logDebug("Tessarc: Have server login info - ready to connect to server.");
                loginInfoInProgress = false;
                loginInfoComplete = true;
                protocolCountdown = 0;
                queueSentence(login, sentence, size);
                if (relogin)
                    completeRelogin();
                reportAVINetworkChange(networkAvailable() ? NET_CONNECT : NET_DISCONNECT);
                syncServerProxy();
            } else {
                queueSentence(serverDataBuffer.get(), sentence, size);
            }
        } else if (scanner.scannedTscack()) {
            int n = size - 13;
            n = n > 31 ? 31 : (n < 0 ? 0 : n);
            QCF::logDebug("Tessarc: AVI msg received ACK message for '%s'.",
                          std::string(sentence, static_cast<size_t>(n)).c_str());
        } else if (loginInfoInProgress) {
            QCF::logDebug("Tessarc: Retrieving server login info response.");
            if (relogin) {
                const auto bytes = dataBytes(scanner, latestGprmc);
                m_reloginData.append(bytes.first, static_cast<size_t>(bytes.second));
            }
            // A line of the block that tells something about the terminal: kept, and passed on.
            const auto learn = [&](std::string& field, const char* line) {
                field = value;
                QCF::logInfo(line, value.c_str());
                queueSentence(login, sentence, size);
            };
            if (scanner.scannedServerLoginInfoDeviceName(value)) {
                learn(terminalInfo.deviceName, "Tessarc: QUARN device name: %s");
            } else if (scanner.scannedServerLoginInfoExt(value)) {
                QCF::logDebug("Tessarc: Have info needed to connect to server.");
                terminalInfo.extension = value;
                QCF::logInfo("Tessarc: QUARN ext info: %s", value.c_str());
                const size_t first = value.find(':');
                if (first != std::string::npos) {
                    terminalInfo.serverName = value.substr(0, first);
                    const size_t second = value.find(':', first + 1);
                    if (second != std::string::npos) {
                        terminalInfo.serverIpAddr = value.substr(first + 1, second - first - 1);
                        terminalInfo.serverPort = value.substr(second + 1);
                    }
                }
                QCF::logInfo("Tessarc: QUARN server info: name=%s ip_addr=%s port=%s",
                             terminalInfo.serverName.c_str(), terminalInfo.serverIpAddr.c_str(),
                             terminalInfo.serverPort.c_str());
                queueSentence(login, sentence, size);
            } else if (scanner.scannedServerLoginInfoSoftware(value)) {
                learn(terminalInfo.software, "Tessarc: QUARN software: %s");
            } else if (scanner.scannedServerLoginInfoHardware(value)) {
                learn(terminalInfo.hardware, "Tessarc: QUARN hardware: %s");
            } else if (scanner.scannedServerLoginInfoGprmcData()) {
                QCF::logDebug("Tessarc: Have last valid position info.");
                // Without a gateway position the line still ends, so that it cannot run into
                // the next line of the block.
                std::string line = kLastValidPosition;
                line += latestGprmc.empty() ? kWake : latestGprmc;
                queueSentence(login, line.data(), static_cast<int>(line.size()));
            } else if (scanner.scannedServerLoginInfoImei(value)) {
                learn(terminalInfo.imei, "Tessarc: QUARN IMEI: %s");
            } else if (scanner.scannedServerLoginInfoCmdVersion(value)) {
                learn(terminalInfo.cmdVersion, "Tessarc: QUARN Command Ver: %s");
            } else {
                queueSentence(login, sentence, size);
            }
        } else if (scanner.scannedServerLoginInfoHeader()) {
            QCF::logDebug("Tessarc: Received server login info response header.");
            // With the link up the block in use stays until the new one is complete.
            if (loginInfoComplete) {
                login = m_newLoginBuffer.get();
                m_reloginData.clear();
                m_reloginSeconds = 0;
            }
            if (login)
                login->flushAll();
            queueSentence(login, sentence, size);
            queueSentence(login, kSendAck, literalLength(kSendAck));
            loginInfoInProgress = true;
        } else {
            queueData();
        }
    }

    saturatingAdd(cntCharsScannedSerialRx, scanned);
    saturatingAdd(cntCharsDiscardedSerialRx, discarded);
    saturatingAdd(cntMsgsRcvdSerialRx, 1);
    timeLastMsgSerialRx = now();
    scanner.nextScan();
}

void CTessarcApp::eachSecondAVISerialProtocol() {
    if (m_serialSuspended && m_serialFd >= 0) {
        m_serialSuspended = false;
        armSerialWatch();
    }
    if (reloginOpen() && ++m_reloginSeconds > retryTimeoutSeconds())
        abandonRelogin("not completed in time");
    if (protocolCountdown > 0) {
        --protocolCountdown;
        if (protocolCountdown <= 0) {
            if (!aviResponding) {
                QCF::logDebug("Tessarc: AVI Serial Protocol - nothing from AVI, restarting.");
                startAVISerialProtocol();
            } else if (!loginInfoComplete) {
                QCF::logDebug("Tessarc: AVI Serial Protocol - no login info from AVI, retrying.");
                requestAVIServerLoginInfo();
            } else {
                QCF::logDebug("Tessarc: Sync up server proxy module.");
                syncServerProxy();
            }
        }
    }
    if (++secondsSinceLastRxDataToScanner > inactivityTimeoutSeconds()) {
        QCF::logInfo("Tessarc: AVI Serial Protocol - no activity from AVI, restarting.");
        startAVISerialProtocol();
    }
}
