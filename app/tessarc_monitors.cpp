// Network, VPN and GPS monitors: the availability flag that gates the server connection, the
// "$RTRLINK," notices to the terminal, and the gateway's own latest "$GPRMC," sentence.
#include <cstring>

#include "qcf_dbus_signal_proxy.h"
#include "qcf_debug.h"
#include "saturating.h"
#include "tessarc_app.h"

namespace {

const char* const kWanInterface = "com.ulvaro.wan.IWanStateEvents";
const char* const kVpnInterface = "com.ulvaro.vpn.IVpnStateEvents";
const char* const kGpsInterface = "com.ulvaro.NavigationEvents.IExclusiveSerialGpsSource";
const char* const kGprmcPrefix = "$GPRMC,";
// Far above any real RMC sentence (NMEA allows 82 bytes) and small enough to bound what a bus
// peer can make us copy into every login block.
const std::size_t kMaxGpsSentence = 256;

using CUIntPairProxy = QCF::DBus::SignalProxy<void, unsigned int, unsigned int>;
using CUIntProxy = QCF::DBus::SignalProxy<void, unsigned int>;
using CBoolProxy = QCF::DBus::SignalProxy<void, bool>;
using CStringPairProxy = QCF::DBus::SignalProxy<void, std::string, std::string>;

// The position sentence goes verbatim into the server stream, which is framed by CR LF: only one
// printable line with its own line end may pass, whoever sent it on the bus.
bool isAcceptableGprmc(const std::string& sentence) {
    if (sentence.size() > kMaxGpsSentence || sentence.size() < std::strlen(kGprmcPrefix) + 2)
        return false;
    if (sentence.compare(0, std::strlen(kGprmcPrefix), kGprmcPrefix) != 0)
        return false;
    if (sentence.compare(sentence.size() - 2, 2, "\r\n") != 0)
        return false;
    for (std::size_t i = 0; i + 2 < sentence.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(sentence[i]);
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// Bus text made safe for one log line.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e)
            c = '.';
    }
    return out;
}

} // namespace

const char* const CTessarcApp::m_aviRtrlinkMsgs[4] = {
    "$RTRLINK,NW_CON\r\n",
    "$RTRLINK,NW_DIS\r\n",
    "$RTRLINK,SRVR_CON\r\n",
    "$RTRLINK,SRVR_DIS\r\n",
};

const char* const CTessarcApp::m_aviNetStatusNames[4] = {
    "NET_CONNECT",
    "NET_DISCONNECT",
    "SERVER_CONNECT",
    "SERVER_DISCONNECT",
};

void CTessarcApp::setupWanMonitor(Glib::RefPtr<Gio::DBus::Connection>* connection) {
    if (!connection || !*connection)
        return;
    try {
        auto activated = CUIntPairProxy::create("ConnectionActivated", kWanInterface);
        m_wanActivatedProxy = activated;
        activated->set_connection(*connection);
        activated->finalize();

        auto deactivated = CUIntProxy::create("ConnectionDeactivated", kWanInterface);
        m_wanDeactivatedProxy = deactivated;
        deactivated->set_connection(*connection);
        deactivated->finalize();

        auto vpn = CBoolProxy::create("ConnectionStatus", kVpnInterface);
        m_vpnStatusProxy = vpn;
        vpn->set_connection(*connection);
        vpn->finalize();

        m_wanActivatedConn = activated->connect(sigc::mem_fun(*this, &CTessarcApp::onWanActivated));
        m_wanDeactivatedConn =
            deactivated->connect(sigc::mem_fun(*this, &CTessarcApp::onWanDeactivated));
        m_vpnStatusConn = vpn->connect(sigc::mem_fun(*this, &CTessarcApp::onVpnStatusChange));
    } catch (...) {
        QCF::logError("Tessarc: Error while setting up wan monitor.");
    }
}

void CTessarcApp::setupGpsMonitor(Glib::RefPtr<Gio::DBus::Connection>* connection) {
    if (!connection || !*connection)
        return;
    try {
        auto gps = CStringPairProxy::create("GpsRawNMEA", kGpsInterface);
        m_gpsProxy = gps;
        gps->set_connection(*connection);
        gps->finalize();
        m_gpsConn = gps->connect(sigc::mem_fun(*this, &CTessarcApp::onGpsRawNMEA));
    } catch (...) {
        QCF::logError("Tessarc: Error while setting up gps monitor.");
    }
}

void CTessarcApp::shutdownWanMonitor() {
    m_wanActivatedConn.disconnect();
    m_wanDeactivatedConn.disconnect();
    m_vpnStatusConn.disconnect();
}

void CTessarcApp::shutdownGpsMonitor() {
    m_gpsConn.disconnect();
}

namespace {

bool evalNetworkGate(const std::string& gate) {
    QCF::CGatesAndTriggers* gates = CTessarcConfig::instance().getGatesAndTriggers();
    return gates != nullptr && gates->evalGate(gate);
}

} // namespace

void CTessarcApp::syncWanMonitor() {
    std::string gate = CTessarcConfig::instance().getGate();
    useVpnGate = gate == "vpnUp";
    bool up = evalNetworkGate(gate);
    QCF::logDebug("Tessarc: syncWanMonitor checked %s is %s.", gate.c_str(), up ? "true" : "false");
    networkUp = up;
    QCF::logInfo("Tessarc: Network is %s.", networkUp ? "up" : "down");
    syncServerProxy();
}

void CTessarcApp::onWanActivated(unsigned int, unsigned int) {
    QCF::logInfo("Tessarc: Wan Activated.");
    if (useVpnGate)
        return;
    networkUp = true;
    QCF::logInfo("Tessarc: Network is up.");
    reportAVINetworkChange(NET_CONNECT);
    syncServerProxy();
}

void CTessarcApp::onWanDeactivated(unsigned int) {
    QCF::logInfo("Tessarc: Wan Deactivated.");
    if (useVpnGate)
        return;
    // With two WAN devices one may go while the other stays: the gateway files the change
    // before it signals it, so the gate tells whether any WAN is still up.
    const std::string gate = CTessarcConfig::instance().getGate();
    if (networkUp && evalNetworkGate(gate)) {
        QCF::logInfo("Tessarc: %s still true, network stays up.", gate.c_str());
        networkUp = true;
        syncServerProxy();
        return;
    }
    networkUp = false;
    QCF::logInfo("Tessarc: Network is down.");
    reportAVINetworkChange(NET_DISCONNECT);
    syncServerProxy();
}

void CTessarcApp::onVpnStatusChange(bool connected) {
    QCF::logInfo("Tessarc: VPN is %s.", connected ? "up" : "down");
    if (!useVpnGate)
        return;
    networkUp = connected;
    QCF::logInfo("Tessarc: Network is %s.", networkUp ? "up" : "down");
    reportAVINetworkChange(connected ? NET_CONNECT : NET_DISCONNECT);
    syncServerProxy();
}

void CTessarcApp::onGpsRawNMEA(std::string source, std::string sentence) {
    std::string shown = sentence.size() < 2 ? sentence : sentence.substr(0, sentence.size() - 2);
    QCF::logTrace("Tessarc: onGpsRawNMEA() from %s - sentence is: %s", printable(source).c_str(),
                  printable(shown).c_str());
    if (sentence.compare(0, std::strlen(kGprmcPrefix), kGprmcPrefix) != 0)
        return;
    if (!isAcceptableGprmc(sentence)) {
        QCF::logWarning("Tessarc: onGpsRawNMEA() ignoring malformed GPRMC sentence from %s "
                        "(%zu bytes).",
                        printable(source).c_str(), sentence.size());
        return;
    }
    QCF::logTrace("Tessarc: onGpsRawNMEA() updating latest GPRMC sentence.");
    latestGprmc = sentence;
}

void CTessarcApp::reportAVINetworkChange(ENetworkChanges change) {
    if (!loginInfoComplete)
        return;
    if (change < NET_CONNECT || change > SERVER_DISCONNECT)
        return;
    QCF::logDebug("Tessarc: AVI Serial Protocol, notifying AVI of: %s.",
                  m_aviNetStatusNames[change]);
    if (m_serialFd <= 0)
        return;
    // Queued behind anything the port has not taken yet, so that sentences never interleave.
    const char* text = m_aviRtrlinkMsgs[change];
    int length = static_cast<int>(std::strlen(text));
    writeToTerminal(text, length);
    saturatingAdd(cntCharsSerialTx, length);
    saturatingAdd(cntMsgsSentSerialTx, 1);
    timeLastMsgSerialTx = now();
}
