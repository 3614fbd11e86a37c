#include "tessarc_config.h"

const char* const g_tessarcDefaultYaml = "%YAML 1.1\n"
                                         "---\n"
                                         "enabled: no\n"
                                         "gatesTriggers:\n"
                                         "  vpnUp:\n"
                                         "    retval: osv.vpn.connected()\n"
                                         "  wanUp:\n"
                                         "    retval: osv.wan.active ~= nil\n"
                                         "networkSettings:\n"
                                         "  gate: wanUp\n"
                                         "  maxBufBytesToSvr: 2097152\n"
                                         "  maxBufBytesScanAvi: 32768\n"
                                         "  overrideServerIPAddr: ''\n"
                                         "  overrideServerTCPPort: ''\n"
                                         "serialSettings:\n"
                                         "  device: # defaults inherited from global TTY spec\n"
                                         "    - bus: usb\n"
                                         "      devlevel: bus\n"
                                         "      whitelist:\n"
                                         "        # Prolific PL-2303\n"
                                         "        - idProduct: 0x2303\n"
                                         "          idVendor: 0x067b\n"
                                         "        # IOGEAR GUC232A\n"
                                         "        - idProduct: 0x2008\n"
                                         "          idVendor: 0x0557\n"
                                         "    - bus: legacy\n"
                                         "      devlevel: bus\n"
                                         "      selector:\n"
                                         "        DPI: # rear-panel serial port\n"
                                         "          - 0x01000000\n"
                                         "      whitelist:\n"
                                         "        - builtin: tty\n"
                                         "  lineSettings:\n"
                                         "    speed: 57600\n"
                                         "  retryTimeout: 10\n"
                                         "  inactivityTimeout: 60\n"
                                         "...\n";

// ---------------------------------------------------------------------------------------------

CNetworkSettings::CNetworkSettings()
    : gate(EVSF_DEFAULT), overrideServerIPAddr(EVSF_DEFAULT), overrideServerTCPPort(EVSF_DEFAULT) {
    registerKey("gate", &gate);
    registerKey("maxBufBytesToSvr", &maxBufBytesToSvr);
    registerKey("maxBufBytesScanAvi", &maxBufBytesScanAvi);
    registerKey("overrideServerIPAddr", &overrideServerIPAddr);
    registerKey("overrideServerTCPPort", &overrideServerTCPPort);
}

CNetworkSettings::~CNetworkSettings() = default;

CNetworkSettings& CNetworkSettings::operator=(const CNetworkSettings& other) {
    CVylKnownSparseMap::operator=(other);
    return *this;
}

CVylYamlMixin* CNetworkSettings::clone() const {
    auto* copy = new CNetworkSettings;
    *copy = *this;
    return copy;
}

CSerialSettings::CSerialSettings() : device("", EVDDL_BUS) {
    registerKey("device", &device);
    registerKey("lineSettings", &lineSettings);
    registerKey("retryTimeout", &retryTimeout);
    registerKey("inactivityTimeout", &inactivityTimeout);
}

CSerialSettings::~CSerialSettings() = default;

CSerialSettings& CSerialSettings::operator=(const CSerialSettings& other) {
    CVylKnownSparseMap::operator=(other);
    return *this;
}

CVylYamlMixin* CSerialSettings::clone() const {
    auto* copy = new CSerialSettings;
    *copy = *this;
    return copy;
}

// ---------------------------------------------------------------------------------------------

CTessarcConfig::CTessarcConfig() {
    registerKey("enabled", &m_enabled);
    registerOwnedKey("gatesTriggers", QCF::CGatesAndTriggers::create(""));
    registerKey("networkSettings", &m_networkSettings);
    registerKey("serialSettings", &m_serialSettings);
}

CTessarcConfig::~CTessarcConfig() = default;

CTessarcConfig& CTessarcConfig::instance() {
    static CTessarcConfig s_config;
    return s_config;
}

CTessarcConfig& CTessarcConfig::operator=(const CTessarcConfig& other) {
    CVylKnownSparseMap::operator=(other);
    return *this;
}

CVylYamlMixin& CTessarcConfig::operator=(const CVylYamlMixin& other) {
    if (auto* config = dynamic_cast<const CTessarcConfig*>(&other))
        return *this = *config;
    return CVylKnownSparseMap::operator=(other);
}

CVylYamlMixin* CTessarcConfig::clone() const {
    auto* copy = new CTessarcConfig;
    *copy = *this;
    return copy;
}

bool CTessarcConfig::enabled() const {
    return m_enabled.getValue();
}

QCF::CGatesAndTriggers* CTessarcConfig::getGatesAndTriggers() const {
    return static_cast<QCF::CGatesAndTriggers*>(getNode("gatesTriggers"));
}

std::string CTessarcConfig::getGate() const {
    return m_networkSettings.gate.getString();
}

std::string CTessarcConfig::getOverrideServerIPAddr() const {
    return m_networkSettings.overrideServerIPAddr.getString();
}

std::string CTessarcConfig::getOverrideServerTCPPort() const {
    return m_networkSettings.overrideServerTCPPort.getString();
}

int CTessarcConfig::getMaxBufBytesToSvr() const {
    return static_cast<int>(m_networkSettings.maxBufBytesToSvr.getValue());
}

int CTessarcConfig::getmaxBufBytesScanAvi() const {
    return static_cast<int>(m_networkSettings.maxBufBytesScanAvi.getValue());
}

int CTessarcConfig::getRetryTimeout() const {
    return static_cast<int>(m_serialSettings.retryTimeout.getValue());
}

int CTessarcConfig::getInactivityTimeout() const {
    return static_cast<int>(m_serialSettings.inactivityTimeout.getValue());
}

const CVylDeviceSpecList* CTessarcConfig::getDeviceSpecList() const {
    return &m_serialSettings.device;
}

const QCF::CLineSettingsConfig* CTessarcConfig::getLineSettings() const {
    return &m_serialSettings.lineSettings;
}
