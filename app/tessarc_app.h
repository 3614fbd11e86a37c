// The bridge application: owner of all bridge state. It sits on the framework's standard stack,
// switches its agent (terminal-to-server bridge) on and off with the configuration, reacts to
// device and configuration callbacks and composes the status text. The serial port, terminal
// protocol, server connection and monitors are operations of this class, each in its own unit.
// Everything runs on the main loop's thread.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <giomm/dbusconnection.h>
#include <glibmm/iochannel.h>
#include <glibmm/main.h>

#include "buffer.h"
#include "delsbase.h"
#include "qcf_app_stack.h"
#include "qcf_lua_interpreter.h"
#include "quarn_scanner.h"
#include "tessarc_config.h"
#include "vyl_devspec.h"
#include "vyl_hardware.h"

namespace QCF {
namespace DBus {
class SignalProxyBase;
}
} // namespace QCF

// What the terminal learns from the terminal's login-information response.
struct STerminalInfo {
    std::string deviceName;
    std::string extension;
    std::string serverName;
    std::string serverIpAddr;
    std::string serverPort;
    std::string software;
    std::string hardware;
    std::string imei;
    std::string cmdVersion;
};

class CTessarcApp : public CVylStandardApp {
public:
    enum ENetworkChanges {
        NET_CONNECT = 0,
        NET_DISCONNECT = 1,
        SERVER_CONNECT = 2,
        SERVER_DISCONNECT = 3,
    };

    CTessarcApp(int argc, char** argv);
    ~CTessarcApp() override;

    static const std::string s_yamlFile;
    static const char* const m_aviRtrlinkMsgs[4];
    static const char* const m_aviNetStatusNames[4];

    // Lifecycle
    void postDbusInitialization(Glib::RefPtr<Gio::DBus::Connection>* connection);
    void startAgent();
    void stopAgent();
    void startAVIClient();
    void stopAVIClient();
    int triggerRestart();
    bool isDeviceAcquisitionEnabled() const override;
    void onDeviceAcquired(const std::string& device) override;
    void onDeviceLost(const std::string& device) override;
    void startDevice(const std::string& device);
    void stopDevice(const std::string& device);
    void onConfigurationUpdate(CVylYamlMixin* previous) override;
    bool onTimeout();
    std::string getCurrentStatus();
    bool agentEnabled() const { return m_agentEnabled; }
    bool deviceAcquired() const { return !acquiredDevice.empty(); }
    bool networkAvailable() const { return networkUp; }
    bool serverConnected() const { return m_socketFd >= 0; }
    // Writes one test event into the event store.
    void helloWorld();
    // The server address in use: the configured override when set, else the terminal's.
    std::string serverIpAddr() const;
    std::string serverPort() const;

    // Serial port
    int establishSerialPort(const char* path);
    void startSerialPort();
    void stopSerialPort();
    bool onSerialDataAvail(Glib::IOCondition condition);
    void eachSecondSerialPort();
    void logTraceMsgPretty(const char* bytes, int length);
    void logInfoMsgPretty(const char* bytes, int length);
    // Writes one of the bridge's own sentences to the terminal without blocking the loop: what
    // a full tty does not take now is kept (bounded) and written when the port can take it.
    void writeToTerminal(const char* text, int length);

    // Terminal protocol
    void startAVISerialProtocol();
    void stopAVISerialProtocol();
    void onRxDataAVISerialProtocol(char* bytes, int length);
    void requestAVIServerLoginInfo();
    void eachSecondAVISerialProtocol();

    // Server connection
    void createMsgBuffers();
    void destroyMsgBuffers();
    void startServerConnection();
    void stopServerConnection();
    void primeTcpSockWrite();
    bool onTcpSockWriteReady(Glib::IOCondition condition);
    bool onTcpDataAvail(Glib::IOCondition condition);
    void syncServerProxy();
    int triggerReconnect();
    void eachSecondServerProtocol();

    // Monitors
    void setupWanMonitor(Glib::RefPtr<Gio::DBus::Connection>* connection);
    void setupGpsMonitor(Glib::RefPtr<Gio::DBus::Connection>* connection);
    void shutdownWanMonitor();
    void shutdownGpsMonitor();
    void syncWanMonitor();
    void onWanActivated(unsigned int, unsigned int);
    void onWanDeactivated(unsigned int);
    void onVpnStatusChange(bool connected);
    void onGpsRawNMEA(std::string source, std::string sentence);
    void reportAVINetworkChange(ENetworkChanges change);

    // D-Bus status getters
    std::string getDeviceName();
    std::string getServerName();
    std::string getServerIpAddr();
    std::string getServerPort();
    std::string getSoftwareInfo();
    std::string getHardwareInfo();
    std::string getImeiInfo();
    std::string getCmdVersionInfo();
    int getSecondsSinceLastRxDataToScanner();
    int getCntCharsSerialRx();
    int getCntCharsScannedSerialRx();
    int getCntCharsDiscardedSerialRx();
    int getCntMsgsRcvdSerialRx();
    int getTimeLastMsgSerialRx();
    int getCntCharsSerialTx();
    int getCntMsgsSentSerialTx();
    int getTimeLastMsgSerialTx();
    std::string getWANStatus();
    std::string getGPSStatus();
    int getCntCharsLoginBuffer();
    int getCntCharsBuffer();
    int getCntServerCharsRx();
    int getSecondsSinceLastRxServerAck();
    int getTimeLastServerRx();
    int getCntServerCharsTx();
    int getCntServerConnects();

    // A watch on a descriptor of the data path. GLib normally takes a source's descriptor out of
    // the poll set while its handler runs and puts it back after, waking its own loop twice per
    // dispatch; these handlers never run the loop themselves, so that is left out.
    static sigc::connection watchDescriptor(int fd, Glib::IOCondition condition,
                                            const sigc::slot<bool, Glib::IOCondition>& handler);

    // The clock of the protocol and server modules (seconds since the epoch); tests replace it.
    static std::function<time_t()> s_clock;
    static int now() { return static_cast<int>(s_clock ? s_clock() : ::time(nullptr)); }

protected:
    // Null when the event store could not be opened.
    std::unique_ptr<CDelsEventSource> m_eventSource;
    bool m_agentEnabled = false;
    CVylDeviceSpecList m_deviceSpecList;
    CVylHardware m_hardware;
    std::string acquiredDevice;

    // Serial port
    int m_serialFd = -1;
    Glib::RefPtr<Glib::IOChannel> m_serialChannel;
    sigc::connection m_serialWatch;
    sigc::connection m_secondTimer;
    // Bytes of our own sentences a full tty did not take yet, and the watch that writes them.
    std::string m_serialTxPending;
    sigc::connection m_serialTxWatch;
    // Set while the port reports hang-up or end of data: the read watch is off and the
    // one-second step tries again, so that a vanished adapter cannot spin the loop.
    bool m_serialSuspended = false;
    bool m_serialFaultLogged = false;
    // One buffer for every serial read and socket receive, sized with the message buffers.
    std::vector<char> m_rxBuffer;
    void armSerialWatch();
    bool onSerialTxReady(Glib::IOCondition condition);

    // Terminal protocol
    bool aviResponding = false;
    bool loginInfoInProgress = false;
    bool loginInfoComplete = false;
    int secondsSinceLastRxDataToScanner = 0;
    int protocolCountdown = 0;
    int cntCharsSerialRx = 0;
    int cntCharsScannedSerialRx = 0;
    int cntCharsDiscardedSerialRx = 0;
    int cntMsgsRcvdSerialRx = 0;
    int timeLastMsgSerialRx = 0;
    int cntCharsSerialTx = 0;
    int cntMsgsSentSerialTx = 0;
    int timeLastMsgSerialTx = 0;
    STerminalInfo terminalInfo;
    void resetSerialSession();
    // The configured time-outs, refused (and replaced by their defaults) outside 1..86400 s.
    int retryTimeoutSeconds();
    int inactivityTimeoutSeconds();
    bool m_retryTimeoutRefused = false;
    int m_refusedRetryTimeout = 0;
    bool m_inactivityTimeoutRefused = false;
    int m_refusedInactivityTimeout = 0;
    void handleScannedSentence();
    void queueSentence(CBuffer* buffer, const char* bytes, int length);
    void queueData();
    void guardDataBuffer();
    void countDropped(long long bytes);
    // A login block that the terminal sends again while the link is up is collected apart
    // (the connection keeps the block it started with) and replaces it when complete. What the
    // lines would have been as data is kept too: if the block never completes, they go to the
    // server as data, in order.
    std::unique_ptr<CBuffer> m_newLoginBuffer;
    std::string m_reloginData;
    int m_reloginSeconds = 0;
    bool reloginOpen() const { return loginInfoInProgress && loginInfoComplete; }
    void abandonRelogin(const char* reason);
    void completeRelogin();
    // Seconds without a device while the agent is enabled: acquisition is tried again at the
    // retry pace, so that a port that failed to open is not given up for good.
    int m_deviceRetrySeconds = 0;
    // Bytes meant for the server that were thrown away (full buffer, protocol restart).
    long long m_droppedToServer = 0;

    // Network monitors
    bool useVpnGate = false;
    bool networkUp = false;
    sigc::connection m_wanActivatedConn;
    sigc::connection m_wanDeactivatedConn;
    sigc::connection m_vpnStatusConn;
    std::shared_ptr<QCF::DBus::SignalProxyBase> m_wanActivatedProxy;
    std::shared_ptr<QCF::DBus::SignalProxyBase> m_wanDeactivatedProxy;
    std::shared_ptr<QCF::DBus::SignalProxyBase> m_vpnStatusProxy;

    // Server connection
    int m_maxBufBytesToSvr = 0;
    int m_maxBufBytesScanAvi = 0;
    std::unique_ptr<CBuffer> serverDataBuffer;
    std::unique_ptr<CBuffer> serverLoginBuffer;
    std::unique_ptr<CQuarnScanner> m_scanner;
    int m_socketFd = -1;
    int loginBytesSent = 0;
    Glib::RefPtr<Glib::IOChannel> m_socketChannel;
    sigc::connection m_socketReadWatch;
    int secondsSinceLastRxServerAck = 0;
    int cntServerCharsRx = 0;
    int timeLastServerRx = 0;
    int cntServerCharsTx = 0;
    int cntServerConnects = 0;
    // A connect in progress: its socket, and the seconds it has been pending.
    int m_connectingFd = -1;
    int m_connectSeconds = 0;
    sigc::connection m_connectWatch;
    // The write watch, present only while the socket is full.
    sigc::connection m_socketWriteWatch;
    // Stream position (CBuffer::headPosition) up to which the data buffer has been handed to
    // the kernel on this connection. Handed bytes stay in the buffer until the server's TCP has
    // acknowledged them, so that a connection lost with data in flight resends that data.
    long long m_dataSentPos = 0;
    int dataSentOffset();
    void releaseAcknowledged();
    bool onConnectReady(Glib::IOCondition condition);
    void finishServerConnection();
    void failServerConnection(const char* reason);
    int sendCounted(const char* bytes, int length, const char* sentLine);
    bool sendQueued();

    // GPS monitor
    sigc::connection m_gpsConn;
    std::shared_ptr<QCF::DBus::SignalProxyBase> m_gpsProxy;
    std::string latestGprmc;
};
