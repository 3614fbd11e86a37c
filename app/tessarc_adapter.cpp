#include "tessarc_adapter.h"

#include "tessarc_app.h"

namespace Ulvaro {

template <class Result> Result CTessarcAppAdapter::forward(Result (CTessarcApp::*call)()) {
    check_adaptee();
    return (m_adaptee->*call)();
}

std::shared_ptr<CTessarcAppAdapter> CTessarcAppAdapter::create(CTessarcApp* adaptee,
                                                               const std::string& path) {
    return std::make_shared<CTessarcAppAdapter>(adaptee, path);
}

CTessarcAppAdapter::CTessarcAppAdapter(CTessarcApp* adaptee, const std::string& path)
    : QCF::DBus::Object(path), m_adaptee(adaptee) {
    const std::string status = dest() + ".Status";
    const std::string control = dest() + ".Control";
    const auto add = [this](const std::string& interface, const char* name, auto stub,
                            const char* argName) {
        using Result = decltype((this->*stub)());
        create_method<Result>(interface, name, sigc::mem_fun(*this, stub))
            ->set_arg_name(0, argName);
    };
    add(status, "getCurrentStatus", &CTessarcAppAdapter::getCurrentStatusAdapterStub, "statusStr");
    add(status, "getDeviceName", &CTessarcAppAdapter::getDeviceNameAdapterStub, "devName");
    add(status, "getServerName", &CTessarcAppAdapter::getServerNameAdapterStub, "svrName");
    add(status, "getServerIpAddr", &CTessarcAppAdapter::getServerIpAddrAdapterStub, "svrIp");
    add(status, "getServerPort", &CTessarcAppAdapter::getServerPortAdapterStub, "svrPort");
    add(status, "getSoftwareInfo", &CTessarcAppAdapter::getSoftwareInfoAdapterStub, "sw");
    add(status, "getHardwareInfo", &CTessarcAppAdapter::getHardwareInfoAdapterStub, "hw");
    add(status, "getImeiInfo", &CTessarcAppAdapter::getImeiInfoAdapterStub, "imei");
    add(status, "getCmdVersionInfo", &CTessarcAppAdapter::getCmdVersionInfoAdapterStub, "cmdVer");
    add(status, "getSecondsSinceLastRxDataToScanner",
        &CTessarcAppAdapter::getSecondsSinceLastRxDataToScannerAdapterStub, "secSinceLastRxData");
    add(status, "getCntCharsSerialRx", &CTessarcAppAdapter::getCntCharsSerialRxAdapterStub,
        "charsSerialRxCnt");
    add(status, "getCntCharsScannedSerialRx",
        &CTessarcAppAdapter::getCntCharsScannedSerialRxAdapterStub, "charsScannedCnt");
    add(status, "getCntCharsDiscardedSerialRx",
        &CTessarcAppAdapter::getCntCharsDiscardedSerialRxAdapterStub, "charsDiscardedCnt");
    add(status, "getCntMsgsRcvdSerialRx", &CTessarcAppAdapter::getCntMsgsRcvdSerialRxAdapterStub,
        "msgsRcvdSerialCnt");
    add(status, "getTimeLastMsgSerialRx", &CTessarcAppAdapter::getTimeLastMsgSerialRxAdapterStub,
        "lastMsgSerialRxTime");
    add(status, "getCntCharsSerialTx", &CTessarcAppAdapter::getCntCharsSerialTxAdapterStub,
        "charsSerialTxCnt");
    add(status, "getCntMsgsSentSerialTx", &CTessarcAppAdapter::getCntMsgsSentSerialTxAdapterStub,
        "msgsSentSerialCnt");
    add(status, "getTimeLastMsgSerialTx", &CTessarcAppAdapter::getTimeLastMsgSerialTxAdapterStub,
        "lastMsgSerialTxTime");
    add(status, "getWANStatus", &CTessarcAppAdapter::getWANStatusAdapterStub, "statusStr");
    add(status, "getGPSStatus", &CTessarcAppAdapter::getGPSStatusAdapterStub, "statusStr");
    add(status, "getCntCharsLoginBuffer", &CTessarcAppAdapter::getCntCharsLoginBufferAdapterStub,
        "charsLoginBufferCnt");
    add(status, "getCntCharsBuffer", &CTessarcAppAdapter::getCntCharsBufferAdapterStub,
        "charsBufferCnt");
    add(status, "getCntServerCharsRx", &CTessarcAppAdapter::getCntServerCharsRxAdapterStub,
        "srvRxCharCnt");
    add(status, "getSecondsSinceLastRxServerAck",
        &CTessarcAppAdapter::getSecondsSinceLastRxServerAckAdapterStub, "secSinceLastAck");
    add(status, "getTimeLastServerRx", &CTessarcAppAdapter::getTimeLastServerRxAdapterStub,
        "lastServerRxTime");
    add(status, "getCntServerCharsTx", &CTessarcAppAdapter::getCntServerCharsTxAdapterStub,
        "srvTxCharCnt");
    add(status, "getCntServerConnects", &CTessarcAppAdapter::getCntServerConnectsAdapterStub,
        "srvConnectCnt");
    add(control, "triggerRestart", &CTessarcAppAdapter::triggerRestartAdapterStub, "empty");
    add(control, "triggerReconnect", &CTessarcAppAdapter::triggerReconnectAdapterStub, "empty");
}

std::string CTessarcAppAdapter::getCurrentStatusAdapterStub() {
    return forward(&CTessarcApp::getCurrentStatus);
}

std::string CTessarcAppAdapter::getDeviceNameAdapterStub() {
    return forward(&CTessarcApp::getDeviceName);
}

std::string CTessarcAppAdapter::getServerNameAdapterStub() {
    return forward(&CTessarcApp::getServerName);
}

std::string CTessarcAppAdapter::getServerIpAddrAdapterStub() {
    return forward(&CTessarcApp::getServerIpAddr);
}

std::string CTessarcAppAdapter::getServerPortAdapterStub() {
    return forward(&CTessarcApp::getServerPort);
}

std::string CTessarcAppAdapter::getSoftwareInfoAdapterStub() {
    return forward(&CTessarcApp::getSoftwareInfo);
}

std::string CTessarcAppAdapter::getHardwareInfoAdapterStub() {
    return forward(&CTessarcApp::getHardwareInfo);
}

std::string CTessarcAppAdapter::getImeiInfoAdapterStub() {
    return forward(&CTessarcApp::getImeiInfo);
}

std::string CTessarcAppAdapter::getCmdVersionInfoAdapterStub() {
    return forward(&CTessarcApp::getCmdVersionInfo);
}

int CTessarcAppAdapter::getSecondsSinceLastRxDataToScannerAdapterStub() {
    return forward(&CTessarcApp::getSecondsSinceLastRxDataToScanner);
}

int CTessarcAppAdapter::getCntCharsSerialRxAdapterStub() {
    return forward(&CTessarcApp::getCntCharsSerialRx);
}

int CTessarcAppAdapter::getCntCharsScannedSerialRxAdapterStub() {
    return forward(&CTessarcApp::getCntCharsScannedSerialRx);
}

int CTessarcAppAdapter::getCntCharsDiscardedSerialRxAdapterStub() {
    return forward(&CTessarcApp::getCntCharsDiscardedSerialRx);
}

int CTessarcAppAdapter::getCntMsgsRcvdSerialRxAdapterStub() {
    return forward(&CTessarcApp::getCntMsgsRcvdSerialRx);
}

int CTessarcAppAdapter::getTimeLastMsgSerialRxAdapterStub() {
    return forward(&CTessarcApp::getTimeLastMsgSerialRx);
}

int CTessarcAppAdapter::getCntCharsSerialTxAdapterStub() {
    return forward(&CTessarcApp::getCntCharsSerialTx);
}

int CTessarcAppAdapter::getCntMsgsSentSerialTxAdapterStub() {
    return forward(&CTessarcApp::getCntMsgsSentSerialTx);
}

int CTessarcAppAdapter::getTimeLastMsgSerialTxAdapterStub() {
    return forward(&CTessarcApp::getTimeLastMsgSerialTx);
}

std::string CTessarcAppAdapter::getWANStatusAdapterStub() {
    return forward(&CTessarcApp::getWANStatus);
}

std::string CTessarcAppAdapter::getGPSStatusAdapterStub() {
    return forward(&CTessarcApp::getGPSStatus);
}

int CTessarcAppAdapter::getCntCharsLoginBufferAdapterStub() {
    return forward(&CTessarcApp::getCntCharsLoginBuffer);
}

int CTessarcAppAdapter::getCntCharsBufferAdapterStub() {
    return forward(&CTessarcApp::getCntCharsBuffer);
}

int CTessarcAppAdapter::getCntServerCharsRxAdapterStub() {
    return forward(&CTessarcApp::getCntServerCharsRx);
}

int CTessarcAppAdapter::getSecondsSinceLastRxServerAckAdapterStub() {
    return forward(&CTessarcApp::getSecondsSinceLastRxServerAck);
}

int CTessarcAppAdapter::getTimeLastServerRxAdapterStub() {
    return forward(&CTessarcApp::getTimeLastServerRx);
}

int CTessarcAppAdapter::getCntServerCharsTxAdapterStub() {
    return forward(&CTessarcApp::getCntServerCharsTx);
}

int CTessarcAppAdapter::getCntServerConnectsAdapterStub() {
    return forward(&CTessarcApp::getCntServerConnects);
}

int CTessarcAppAdapter::triggerRestartAdapterStub() {
    return forward(&CTessarcApp::triggerRestart);
}

int CTessarcAppAdapter::triggerReconnectAdapterStub() {
    return forward(&CTessarcApp::triggerReconnect);
}

} // namespace Ulvaro
