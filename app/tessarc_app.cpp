#include "tessarc_app.h"

#include "locations.h"
#include "qcf_debug.h"

const std::string CTessarcApp::s_yamlFile = getLocation(CONFIG_DIR_INDEX) + "/tessarc.yaml";

std::function<time_t()> CTessarcApp::s_clock;

CTessarcApp::CTessarcApp(int argc, char** argv)
    : CVylStandardApp("tessarc", &CTessarcConfig::instance(), g_tessarcDefaultYaml, 300,
                      &m_deviceSpecList, s_yamlFile.c_str(), VYL_LOG_DEBUG),
      m_deviceSpecList("", EVDDL_BUS), m_hardware(true, -1, nullptr) {
    parseCmdLine(argc, argv);
    m_postDbusFuncs.connect(sigc::mem_fun(*this, &CTessarcApp::postDbusInitialization));
    CVylLogger::instance()->setLogThreshold(VYL_LOG_INFO);
    QCF::logInfo("Tessarc: Vylcore %s", m_hardware.getVylPlatformString().c_str());
    if (m_hardware.getVylPlatform() != CVylHardware::DEFAULT_PLATFORM)
        QCF::logError("Tessarc: Unsupport Vyl platform, agent will be disabled.");
    try {
        m_eventSource.reset(
            CDelsEventSource::create(getLocation(DELS_DB_FILE_INDEX), DNT_ORIGIN, true, false));
    } catch (const std::exception&) {
        QCF::logError("Tessarc: Could not open DELS database");
    }
}

CTessarcApp::~CTessarcApp() {
    stopAgent();
    shutdownWanMonitor();
    shutdownGpsMonitor();
    m_eventSource.reset();
}

void CTessarcApp::helloWorld() {
    static const char* const text = "Tessarc: Hello, world!";
    if (m_eventSource) {
        CMiscellaneousEvent event(text, DSEV_DISCARDABLE);
        m_eventSource->sendEvent(event);
    }
    QCF::logDebug("%s", text);
}

void CTessarcApp::postDbusInitialization(Glib::RefPtr<Gio::DBus::Connection>* connection) {
    registerGatesAndTriggers(CTessarcConfig::instance().getGatesAndTriggers(), true);
    setupWanMonitor(connection);
    setupGpsMonitor(connection);
    startAgent();
}

void CTessarcApp::startAgent() {
    QCF::logDebug("Tessarc: Starting Agent.");
    if (m_hardware.getVylPlatform() == CVylHardware::DEFAULT_PLATFORM) {
        m_deviceSpecList = *CTessarcConfig::instance().getDeviceSpecList();
        m_agentEnabled = CTessarcConfig::instance().enabled();
    }
    if (m_agentEnabled) {
        QCF::logDebug("Tessarc: Agent is enabled, make it active.");
        syncWanMonitor();
        startAVIClient();
    } else {
        QCF::logDebug("Tessarc: Agent is disabled, nothing more to do.");
    }
}

void CTessarcApp::stopAgent() {
    QCF::logDebug("Tessarc: Stopping Agent.");
    if (m_agentEnabled)
        stopAVIClient();
    m_agentEnabled = false;
}

void CTessarcApp::startAVIClient() {
    QCF::logDebug("Tessarc: Starting AVI Client.");
    acquireDevice();
    m_secondTimer.disconnect();
    m_secondTimer =
        Glib::signal_timeout().connect_seconds(sigc::mem_fun(*this, &CTessarcApp::onTimeout), 1);
}

void CTessarcApp::stopAVIClient() {
    QCF::logDebug("Tessarc: Stopping AVI Client.");
    m_secondTimer.disconnect();
    stopDevice(acquiredDevice);
}

int CTessarcApp::triggerRestart() {
    QCF::logDebug("'Restart Agent' button dbus function called");
    stopAgent();
    startAgent();
    return 0;
}

bool CTessarcApp::isDeviceAcquisitionEnabled() const {
    QCF::logDebug("virtual bool CTessarcApp::isDeviceAcquisitionEnabled() const");
    if (!m_deviceSpecList.valid())
        return false;
    return m_agentEnabled;
}

void CTessarcApp::onDeviceAcquired(const std::string& device) {
    QCF::logInfo("Tessarc: acquired device %s.", device.c_str());
    startDevice(device);
}

void CTessarcApp::startDevice(const std::string& device) {
    QCF::logInfo("Tessarc: started device %s.", device.c_str());
    acquiredDevice = device;
    startSerialPort();
}

void CTessarcApp::onDeviceLost(const std::string& device) {
    QCF::logInfo("Tessarc: LOST device %s.", device.c_str());
    stopDevice(device);
}

void CTessarcApp::stopDevice(const std::string& device) {
    if (deviceAcquired()) {
        QCF::logInfo("Tessarc: stopped device %s.", device.c_str());
        stopSerialPort();
        releaseDevice();
        acquiredDevice.clear();
    } else {
        QCF::logDebug("Tessarc: device %s was already stopped.", device.c_str());
    }
}

void CTessarcApp::onConfigurationUpdate(CVylYamlMixin* previous) {
    QCF::logDebug("virtual void CTessarcApp::onConfigurationUpdate(CVylYamlMixin*)");
    const CTessarcConfig& live = CTessarcConfig::instance();
    const auto* before = dynamic_cast<const CTessarcConfig*>(previous);
    if (!before)
        return;
    bool enabledChanged = before->enabled() != live.enabled();
    bool devicesChanged = *before->getDeviceSpecList() != *live.getDeviceSpecList();
    bool networkChanged = before->getGate() != live.getGate() ||
                          before->getmaxBufBytesScanAvi() != live.getmaxBufBytesScanAvi() ||
                          before->getMaxBufBytesToSvr() != live.getMaxBufBytesToSvr();
    if (enabledChanged) {
        QCF::logDebug(live.enabled() ? "Tessarc: agent has been enabled"
                                     : "Tessarc: agent has been disabled");
    } else if (devicesChanged) {
        QCF::logInfo("Tessarc: device configuration changed");
    } else if (networkChanged) {
        QCF::logInfo("Tessarc: network settings changed");
    }
    if (enabledChanged || devicesChanged || networkChanged) {
        stopAgent();
        startAgent();
    }
}

bool CTessarcApp::onTimeout() {
    QCF::logTrace("Tessarc: Timeout.");
    eachSecondSerialPort();
    eachSecondAVISerialProtocol();
    eachSecondServerProtocol();
    return true;
}

std::string CTessarcApp::getCurrentStatus() {
    const char* status;
    if (!agentEnabled())
        status = "Agent is disabled.";
    else if (!deviceAcquired())
        status = "Serial device not acquired.";
    else if (!loginInfoComplete)
        status = "QUARN serial link is down.";
    else if (!networkAvailable())
        status = "Network connection not available.";
    else if (serverConnected())
        status = "Connected to QUARN and server.";
    else
        status = "Server not connected.";
    QCF::logTrace("Tessarc: getCurrentStatus dbus function called; returning %s", status);
    return status;
}
