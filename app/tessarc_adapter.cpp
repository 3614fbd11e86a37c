#include "tessarc_adapter.h"

#include "tessarc_app.h"

namespace Ulvaro {

std::shared_ptr<CTessarcAppAdapter> CTessarcAppAdapter::create(CTessarcApp* adaptee,
                                                               const std::string& path) {
    return std::make_shared<CTessarcAppAdapter>(adaptee, path);
}

CTessarcAppAdapter::CTessarcAppAdapter(CTessarcApp* adaptee, const std::string& path)
    : QCF::DBus::Object(path), m_adaptee(adaptee) {
    const std::string status = dest() + ".Status";
    const std::string control = dest() + ".Control";
    create_method<std::string>(
        status, "getCurrentStatus",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getCurrentStatusAdapterStub))
        ->set_arg_name(0, "statusStr");
    create_method<std::string>(status, "getDeviceName",
                               sigc::mem_fun(*this, &CTessarcAppAdapter::getDeviceNameAdapterStub))
        ->set_arg_name(0, "devName");
    create_method<std::string>(status, "getServerName",
                               sigc::mem_fun(*this, &CTessarcAppAdapter::getServerNameAdapterStub))
        ->set_arg_name(0, "svrName");
    create_method<std::string>(
        status, "getServerIpAddr",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getServerIpAddrAdapterStub))
        ->set_arg_name(0, "svrIp");
    create_method<std::string>(status, "getServerPort",
                               sigc::mem_fun(*this, &CTessarcAppAdapter::getServerPortAdapterStub))
        ->set_arg_name(0, "svrPort");
    create_method<std::string>(
        status, "getSoftwareInfo",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getSoftwareInfoAdapterStub))
        ->set_arg_name(0, "sw");
    create_method<std::string>(
        status, "getHardwareInfo",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getHardwareInfoAdapterStub))
        ->set_arg_name(0, "hw");
    create_method<std::string>(status, "getImeiInfo",
                               sigc::mem_fun(*this, &CTessarcAppAdapter::getImeiInfoAdapterStub))
        ->set_arg_name(0, "imei");
    create_method<std::string>(
        status, "getCmdVersionInfo",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getCmdVersionInfoAdapterStub))
        ->set_arg_name(0, "cmdVer");
    create_method<int>(
        status, "getSecondsSinceLastRxDataToScanner",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getSecondsSinceLastRxDataToScannerAdapterStub))
        ->set_arg_name(0, "secSinceLastRxData");
    create_method<int>(status, "getCntCharsSerialRx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntCharsSerialRxAdapterStub))
        ->set_arg_name(0, "charsSerialRxCnt");
    create_method<int>(
        status, "getCntCharsScannedSerialRx",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getCntCharsScannedSerialRxAdapterStub))
        ->set_arg_name(0, "charsScannedCnt");
    create_method<int>(
        status, "getCntCharsDiscardedSerialRx",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getCntCharsDiscardedSerialRxAdapterStub))
        ->set_arg_name(0, "charsDiscardedCnt");
    create_method<int>(status, "getCntMsgsRcvdSerialRx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntMsgsRcvdSerialRxAdapterStub))
        ->set_arg_name(0, "msgsRcvdSerialCnt");
    create_method<int>(status, "getTimeLastMsgSerialRx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getTimeLastMsgSerialRxAdapterStub))
        ->set_arg_name(0, "lastMsgSerialRxTime");
    create_method<int>(status, "getCntCharsSerialTx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntCharsSerialTxAdapterStub))
        ->set_arg_name(0, "charsSerialTxCnt");
    create_method<int>(status, "getCntMsgsSentSerialTx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntMsgsSentSerialTxAdapterStub))
        ->set_arg_name(0, "msgsSentSerialCnt");
    create_method<int>(status, "getTimeLastMsgSerialTx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getTimeLastMsgSerialTxAdapterStub))
        ->set_arg_name(0, "lastMsgSerialTxTime");
    create_method<std::string>(status, "getWANStatus",
                               sigc::mem_fun(*this, &CTessarcAppAdapter::getWANStatusAdapterStub))
        ->set_arg_name(0, "statusStr");
    create_method<std::string>(status, "getGPSStatus",
                               sigc::mem_fun(*this, &CTessarcAppAdapter::getGPSStatusAdapterStub))
        ->set_arg_name(0, "statusStr");
    create_method<int>(status, "getCntCharsLoginBuffer",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntCharsLoginBufferAdapterStub))
        ->set_arg_name(0, "charsLoginBufferCnt");
    create_method<int>(status, "getCntCharsBuffer",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntCharsBufferAdapterStub))
        ->set_arg_name(0, "charsBufferCnt");
    create_method<int>(status, "getCntServerCharsRx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntServerCharsRxAdapterStub))
        ->set_arg_name(0, "srvRxCharCnt");
    create_method<int>(
        status, "getSecondsSinceLastRxServerAck",
        sigc::mem_fun(*this, &CTessarcAppAdapter::getSecondsSinceLastRxServerAckAdapterStub))
        ->set_arg_name(0, "secSinceLastAck");
    create_method<int>(status, "getTimeLastServerRx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getTimeLastServerRxAdapterStub))
        ->set_arg_name(0, "lastServerRxTime");
    create_method<int>(status, "getCntServerCharsTx",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntServerCharsTxAdapterStub))
        ->set_arg_name(0, "srvTxCharCnt");
    create_method<int>(status, "getCntServerConnects",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::getCntServerConnectsAdapterStub))
        ->set_arg_name(0, "srvConnectCnt");
    create_method<int>(control, "triggerRestart",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::triggerRestartAdapterStub))
        ->set_arg_name(0, "empty");
    create_method<int>(control, "triggerReconnect",
                       sigc::mem_fun(*this, &CTessarcAppAdapter::triggerReconnectAdapterStub))
        ->set_arg_name(0, "empty");
}

std::string CTessarcAppAdapter::getCurrentStatusAdapterStub() {
    check_adaptee();
    return m_adaptee->getCurrentStatus();
}

std::string CTessarcAppAdapter::getDeviceNameAdapterStub() {
    check_adaptee();
    return m_adaptee->getDeviceName();
}

std::string CTessarcAppAdapter::getServerNameAdapterStub() {
    check_adaptee();
    return m_adaptee->getServerName();
}

std::string CTessarcAppAdapter::getServerIpAddrAdapterStub() {
    check_adaptee();
    return m_adaptee->getServerIpAddr();
}

std::string CTessarcAppAdapter::getServerPortAdapterStub() {
    check_adaptee();
    return m_adaptee->getServerPort();
}

std::string CTessarcAppAdapter::getSoftwareInfoAdapterStub() {
    check_adaptee();
    return m_adaptee->getSoftwareInfo();
}

std::string CTessarcAppAdapter::getHardwareInfoAdapterStub() {
    check_adaptee();
    return m_adaptee->getHardwareInfo();
}

std::string CTessarcAppAdapter::getImeiInfoAdapterStub() {
    check_adaptee();
    return m_adaptee->getImeiInfo();
}

std::string CTessarcAppAdapter::getCmdVersionInfoAdapterStub() {
    check_adaptee();
    return m_adaptee->getCmdVersionInfo();
}

int CTessarcAppAdapter::getSecondsSinceLastRxDataToScannerAdapterStub() {
    check_adaptee();
    return m_adaptee->getSecondsSinceLastRxDataToScanner();
}

int CTessarcAppAdapter::getCntCharsSerialRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntCharsSerialRx();
}

int CTessarcAppAdapter::getCntCharsScannedSerialRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntCharsScannedSerialRx();
}

int CTessarcAppAdapter::getCntCharsDiscardedSerialRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntCharsDiscardedSerialRx();
}

int CTessarcAppAdapter::getCntMsgsRcvdSerialRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntMsgsRcvdSerialRx();
}

int CTessarcAppAdapter::getTimeLastMsgSerialRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getTimeLastMsgSerialRx();
}

int CTessarcAppAdapter::getCntCharsSerialTxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntCharsSerialTx();
}

int CTessarcAppAdapter::getCntMsgsSentSerialTxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntMsgsSentSerialTx();
}

int CTessarcAppAdapter::getTimeLastMsgSerialTxAdapterStub() {
    check_adaptee();
    return m_adaptee->getTimeLastMsgSerialTx();
}

std::string CTessarcAppAdapter::getWANStatusAdapterStub() {
    check_adaptee();
    return m_adaptee->getWANStatus();
}

std::string CTessarcAppAdapter::getGPSStatusAdapterStub() {
    check_adaptee();
    return m_adaptee->getGPSStatus();
}

int CTessarcAppAdapter::getCntCharsLoginBufferAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntCharsLoginBuffer();
}

int CTessarcAppAdapter::getCntCharsBufferAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntCharsBuffer();
}

int CTessarcAppAdapter::getCntServerCharsRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntServerCharsRx();
}

int CTessarcAppAdapter::getSecondsSinceLastRxServerAckAdapterStub() {
    check_adaptee();
    return m_adaptee->getSecondsSinceLastRxServerAck();
}

int CTessarcAppAdapter::getTimeLastServerRxAdapterStub() {
    check_adaptee();
    return m_adaptee->getTimeLastServerRx();
}

int CTessarcAppAdapter::getCntServerCharsTxAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntServerCharsTx();
}

int CTessarcAppAdapter::getCntServerConnectsAdapterStub() {
    check_adaptee();
    return m_adaptee->getCntServerConnects();
}

int CTessarcAppAdapter::triggerRestartAdapterStub() {
    check_adaptee();
    return m_adaptee->triggerRestart();
}

int CTessarcAppAdapter::triggerReconnectAdapterStub() {
    check_adaptee();
    return m_adaptee->triggerReconnect();
}

} // namespace Ulvaro
