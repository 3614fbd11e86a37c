// The bridge's exported D-Bus object "/com/ulvaro/tessarc": status getters on
// "com.ulvaro.tessarc.Status", agent restart and server reconnection on
// "com.ulvaro.tessarc.Control", each forwarded one to one to the application. Main-loop thread
// only.
#pragma once

#include <memory>
#include <string>

#include "qcf_dbus_object.h"

class CTessarcApp;

namespace Ulvaro {

class CTessarcAppAdapter : public QCF::DBus::Object {
public:
    // The application outlives the adapter.
    static std::shared_ptr<CTessarcAppAdapter> create(CTessarcApp* adaptee,
                                                      const std::string& path);
    CTessarcAppAdapter(CTessarcApp* adaptee, const std::string& path);

    static std::string path() { return "/com/ulvaro/tessarc"; }
    static std::string dest() { return "com.ulvaro.tessarc"; }
    void check_adaptee() {}

    std::string getCurrentStatusAdapterStub();
    std::string getDeviceNameAdapterStub();
    std::string getServerNameAdapterStub();
    std::string getServerIpAddrAdapterStub();
    std::string getServerPortAdapterStub();
    std::string getSoftwareInfoAdapterStub();
    std::string getHardwareInfoAdapterStub();
    std::string getImeiInfoAdapterStub();
    std::string getCmdVersionInfoAdapterStub();
    int getSecondsSinceLastRxDataToScannerAdapterStub();
    int getCntCharsSerialRxAdapterStub();
    int getCntCharsScannedSerialRxAdapterStub();
    int getCntCharsDiscardedSerialRxAdapterStub();
    int getCntMsgsRcvdSerialRxAdapterStub();
    int getTimeLastMsgSerialRxAdapterStub();
    int getCntCharsSerialTxAdapterStub();
    int getCntMsgsSentSerialTxAdapterStub();
    int getTimeLastMsgSerialTxAdapterStub();
    std::string getWANStatusAdapterStub();
    std::string getGPSStatusAdapterStub();
    int getCntCharsLoginBufferAdapterStub();
    int getCntCharsBufferAdapterStub();
    int getCntServerCharsRxAdapterStub();
    int getSecondsSinceLastRxServerAckAdapterStub();
    int getTimeLastServerRxAdapterStub();
    int getCntServerCharsTxAdapterStub();
    int getCntServerConnectsAdapterStub();
    int triggerRestartAdapterStub();
    int triggerReconnectAdapterStub();

private:
    template <class Result> Result forward(Result (CTessarcApp::*call)());

    CTessarcApp* m_adaptee;
};

} // namespace Ulvaro
