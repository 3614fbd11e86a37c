// The status getters behind the D-Bus interface: each logs its answer at trace level.
#include "qcf_debug.h"
#include "tessarc_app.h"

namespace {

std::string answer(const char* method, const std::string& value) {
    QCF::logTrace("Tessarc: %s dbus function called; returning %s", method, value.c_str());
    return value;
}

int answer(const char* method, int value) {
    QCF::logTrace("Tessarc: %s dbus function called, returning %d", method, value);
    return value;
}

} // namespace

std::string CTessarcApp::getDeviceName() {
    return answer("getDeviceName", terminalInfo.deviceName);
}

std::string CTessarcApp::getServerName() {
    return answer("getServerName", terminalInfo.serverName);
}

std::string CTessarcApp::getServerIpAddr() {
    return answer("getServerIpAddr", serverIpAddr());
}

std::string CTessarcApp::getServerPort() {
    return answer("getServerPort", serverPort());
}

std::string CTessarcApp::getSoftwareInfo() {
    return answer("getSoftwareInfo", terminalInfo.software);
}

std::string CTessarcApp::getHardwareInfo() {
    return answer("getHardwareInfo", terminalInfo.hardware);
}

std::string CTessarcApp::getImeiInfo() {
    return answer("getImeiInfo", terminalInfo.imei);
}

std::string CTessarcApp::getCmdVersionInfo() {
    return answer("getCmdVersionInfo", terminalInfo.cmdVersion);
}

int CTessarcApp::getSecondsSinceLastRxDataToScanner() {
    return answer("getSecondsSinceLastRxDataToScanner", secondsSinceLastRxDataToScanner);
}

int CTessarcApp::getCntCharsSerialRx() {
    return answer("getCntCharsSerialRx", cntCharsSerialRx);
}

int CTessarcApp::getCntCharsScannedSerialRx() {
    return answer("getCntCharsScannedSerialRx", cntCharsScannedSerialRx);
}

int CTessarcApp::getCntCharsDiscardedSerialRx() {
    return answer("getCntCharsDiscardedSerialRx", cntCharsDiscardedSerialRx);
}

int CTessarcApp::getCntMsgsRcvdSerialRx() {
    return answer("getCntMsgsRcvdSerialRx", cntMsgsRcvdSerialRx);
}

int CTessarcApp::getTimeLastMsgSerialRx() {
    return answer("getTimeLastMsgSerialRx", timeLastMsgSerialRx);
}

int CTessarcApp::getCntCharsSerialTx() {
    return answer("getCntCharsSerialTx", cntCharsSerialTx);
}

int CTessarcApp::getCntMsgsSentSerialTx() {
    return answer("getCntMsgsSentSerialTx", cntMsgsSentSerialTx);
}

int CTessarcApp::getTimeLastMsgSerialTx() {
    return answer("getTimeLastMsgSerialTx", timeLastMsgSerialTx);
}

int CTessarcApp::getCntServerCharsRx() {
    return answer("getCntServerCharsRx", cntServerCharsRx);
}

int CTessarcApp::getSecondsSinceLastRxServerAck() {
    return answer("getSecondsSinceLastRxServerAck", secondsSinceLastRxServerAck);
}

int CTessarcApp::getTimeLastServerRx() {
    return answer("getTimeLastServerRx", timeLastServerRx);
}

int CTessarcApp::getCntServerCharsTx() {
    return answer("getCntServerCharsTx", cntServerCharsTx);
}

int CTessarcApp::getCntServerConnects() {
    return answer("getCntServerConnects", cntServerConnects);
}

std::string CTessarcApp::getWANStatus() {
    return answer("getWANStatus", std::string(networkAvailable() ? "up" : "down"));
}

// The line end is kept in the log line (it shows what the terminal will get) but not returned.
std::string CTessarcApp::getGPSStatus() {
    QCF::logTrace("Tessarc: getGPSStatus dbus function called; returning %s", latestGprmc.c_str());
    return latestGprmc.size() < 2 ? std::string() : latestGprmc.substr(0, latestGprmc.size() - 2);
}

// No buffer exists while no device is held; the line is logged only when there is one.
int CTessarcApp::getCntCharsLoginBuffer() {
    if (!serverLoginBuffer)
        return 0;
    return answer("getCntCharsLoginBuffer", serverLoginBuffer->getSize());
}

int CTessarcApp::getCntCharsBuffer() {
    if (!serverDataBuffer)
        return 0;
    return answer("getCntCharsBuffer", serverDataBuffer->getSize());
}
