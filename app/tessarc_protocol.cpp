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

#include "qcf_debug.h"

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
    if (serverDataBuffer)
        serverDataBuffer->flushAll();
    m_dataSentOffset = 0;
    m_inflightSentence.clear();
    m_inflightSent = 0;
}

void CTessarcApp::startAVISerialProtocol() {
    QCF::logDebug("Tessarc: Starting AVI Serial Protocol.");
    resetSerialSession();
    if (m_serialFd > 0) {
        writeToTerminal(kWake, literalLength(kWake));
        cntCharsSerialTx += literalLength(kWake);
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
        cntCharsSerialTx += literalLength(kLoginRequest);
        ++cntMsgsSentSerialTx;
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
            return;
        }
        const int consumed = length - remaining;
        cntCharsSerialRx += consumed;
        bytes += consumed;
        length = remaining;
    }
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
    if (m_dataSentOffset > 0) {
        // The front sentence is going out right now: take it aside whole so that the cut below
        // cannot leave the server with half a sentence.
        const char* data = serverDataBuffer->getBuffer();
        const int size = serverDataBuffer->getSize();
        const void* lf = std::memchr(data, '\n', static_cast<size_t>(size));
        const int end = lf ? static_cast<int>(static_cast<const char*>(lf) - data) + 1 : size;
        m_inflightSentence.assign(data, static_cast<size_t>(end));
        m_inflightSent = m_dataSentOffset;
        m_dataSentOffset = 0;
        serverDataBuffer->flushBuffer(end);
    }
    const int removed = serverDataBuffer->discardFrontSentences(m_maxBufBytesScanAvi);
    QCF::logInfo("Tessarc: Data buffer getting full, discarded %u bytes.", u(removed));
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
        cntCharsDiscardedSerialRx += scanned;
    } else {
        const char* sentence = scanner.getBuffer();
        logTraceMsgPretty(sentence, size);
        guardDataBuffer();
        CBuffer* login = serverLoginBuffer.get();
        CBuffer* data = serverDataBuffer.get();
        std::string value;
        if (scanner.scannedEnd()) {
            QCF::logDebug("Tessarc: AVI msg received '$<end>'.");
            if (loginInfoInProgress) {
                QCF::logDebug("Tessarc: Have server login info - ready to connect to server.");
                loginInfoInProgress = false;
                loginInfoComplete = true;
                protocolCountdown = 0;
                queueSentence(login, sentence, size);
                reportAVINetworkChange(networkAvailable() ? NET_CONNECT : NET_DISCONNECT);
                syncServerProxy();
            } else {
                queueSentence(data, sentence, size);
            }
        } else if (scanner.scannedTscack()) {
            int n = size - 13;
            n = n > 31 ? 31 : (n < 0 ? 0 : n);
            QCF::logDebug("Tessarc: AVI msg received ACK message for '%s'.",
                          std::string(sentence, static_cast<size_t>(n)).c_str());
        } else if (loginInfoInProgress) {
            QCF::logDebug("Tessarc: Retrieving server login info response.");
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
            if (login)
                login->flushAll();
            queueSentence(login, sentence, size);
            queueSentence(login, kSendAck, literalLength(kSendAck));
            loginInfoInProgress = true;
        } else {
            char computed = 0;
            char appended = 0;
            if (scanner.scannedLrcCsValidated(&computed, &appended)) {
                QCF::logTrace("Tessarc: Received msg with LRC checksum [%02x] - matched OK.",
                              static_cast<unsigned char>(computed));
            } else {
                QCF::logDebug("Tessarc: Received msg with LRC checksum [computed=%02x, "
                              "appended=%02x] - mismatched!",
                              static_cast<unsigned char>(computed),
                              static_cast<unsigned char>(appended));
            }
            if (scanner.scannedMsgHeader()) {
                QCF::logDebug("Tessarc: Received a message header.");
                queueSentence(data, sentence, size);
            } else if (scanner.scannedGprmcData()) {
                QCF::logDebug("Tessarc: Received GPRMC data.");
                if (!latestGprmc.empty())
                    queueSentence(data, latestGprmc.data(), static_cast<int>(latestGprmc.size()));
            } else {
                QCF::logDebug("Tessarc: Received other data.");
                queueSentence(data, sentence, size);
            }
        }
    }

    cntCharsScannedSerialRx += scanned;
    cntCharsDiscardedSerialRx += discarded;
    ++cntMsgsRcvdSerialRx;
    timeLastMsgSerialRx = now();
    scanner.nextScan();
    primeTcpSockWrite();
}

void CTessarcApp::eachSecondAVISerialProtocol() {
    if (m_serialSuspended && m_serialFd >= 0) {
        m_serialSuspended = false;
        armSerialWatch();
    }
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
