// Read accessors of the shared content segment for other processes. Each takes the segment's lock
// and answers from copies, so no caller ever sees half a record.
#include "osv.h"

namespace {

template <std::size_t N> std::string fieldText(const char (&field)[N]) {
    return std::string(field, ::strnlen(field, N));
}

} // namespace

// ---- devices ----

std::vector<unsigned> SOsvContent::getDpis() {
    COsvLock guard(this);
    if (!guard)
        return {};
    std::vector<unsigned> dpis;
    for (int i = 0; i < OSV_MAX_DEVICES; ++i)
        if (m_dpiOccupied & (1u << (OSV_MAX_DEVICES - 1 - i)))
            dpis.push_back(m_deviceInfoList[i].m_dpi);
    return dpis;
}

bool SOsvContent::getDeviceInfo(unsigned dpi, SOsvDeviceInfo& info) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0)
        return false;
    info = m_deviceInfoList[slot];
    return true;
}

bool SOsvContent::isDevicePresent(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    return slot >= 0 &&
           m_deviceInfoList[slot].presenceAs<SVyl_devices_DevicePresenceInfo>().m_nodeCount > 0;
}

std::string SOsvContent::getDeviceNode(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return {};
    int slot = dpiIndex(dpi);
    if (slot < 0)
        return std::string();
    return fieldText(
        m_deviceInfoList[slot].presenceAs<SVyl_devices_DevicePresenceInfo>().m_devNode);
}

int SOsvContent::getWanDeviceClass(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return -1;
    int slot = dpiIndex(dpi);
    if (slot < 0 || !m_deviceInfoList[slot].m_isNetworkDevice)
        return -1;
    return static_cast<int>(m_deviceInfoList[slot].m_wanDeviceType);
}

bool SOsvContent::isDeviceWan(unsigned dpi) {
    return getWanDeviceClass(dpi) >= 0;
}
bool SOsvContent::isDeviceWanUnknown(unsigned dpi) {
    return getWanDeviceClass(dpi) == static_cast<int>(WANLinkClassficationCodes::Unknown);
}
bool SOsvContent::isDeviceWanGsm(unsigned dpi) {
    return getWanDeviceClass(dpi) == static_cast<int>(WANLinkClassficationCodes::GSM);
}
bool SOsvContent::isDeviceWanCdma(unsigned dpi) {
    return getWanDeviceClass(dpi) == static_cast<int>(WANLinkClassficationCodes::CDMA);
}
bool SOsvContent::isDeviceWanWifi(unsigned dpi) {
    return getWanDeviceClass(dpi) == static_cast<int>(WANLinkClassficationCodes::WIFI);
}
bool SOsvContent::isDeviceWanWimax(unsigned dpi) {
    return getWanDeviceClass(dpi) == static_cast<int>(WANLinkClassficationCodes::WIMAX);
}
bool SOsvContent::isDeviceWanEthernet(unsigned dpi) {
    return getWanDeviceClass(dpi) == static_cast<int>(WANLinkClassficationCodes::ETHERNET);
}

bool SOsvContent::getWanDeviceInfo(unsigned dpi, SOsvDeviceInfo& info,
                                   WANLinkClassficationCodes& code) {
    COsvLock guard(this);
    if (!guard)
        return false;
    if (!isDeviceWan(dpi) || !getDeviceInfo(dpi, info))
        return false;
    code = info.m_wanDeviceType;
    return true;
}

bool SOsvContent::isWanDeviceConnected(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    return slot >= 0 &&
           osvIsLater(m_deviceInfoList[slot].m_wanEstablished, m_deviceInfoList[slot].m_wanLost);
}

bool SOsvContent::isWanDeviceActive(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    return slot >= 0 && osvIsLater(m_deviceInfoList[slot].m_wanActivated,
                                   m_deviceInfoList[slot].m_wanDeactivated);
}

bool SOsvContent::getWanIpv4Address(unsigned dpi, unsigned& addr, std::string& text) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0 || !m_deviceInfoList[slot].m_wanIpv4Address.m_valid)
        return false;
    addr = m_deviceInfoList[slot].m_wanIpv4Address.m_addr;
    text = fieldText(m_deviceInfoList[slot].m_wanIpv4Address.m_ipAddrString);
    return true;
}

bool SOsvContent::getWanSignalStrength(unsigned dpi, double& dbm) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0 || !m_deviceInfoList[slot].m_wanWirelessSignalStrength.m_valid)
        return false;
    dbm = m_deviceInfoList[slot].m_wanWirelessSignalStrength.m_dbm;
    return true;
}

bool SOsvContent::getWanSnr(unsigned dpi, double& snr) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0 || !m_deviceInfoList[slot].m_wanWirelessSignalStrength.m_valid)
        return false;
    snr = m_deviceInfoList[slot].m_wanWirelessSignalStrength.m_snr;
    return true;
}

bool SOsvContent::getWanLinkState(unsigned dpi, unsigned& linkState, std::string& text) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0 || !m_deviceInfoList[slot].m_wanLinkState.m_valid)
        return false;
    linkState = m_deviceInfoList[slot].m_wanLinkState.m_linkState;
    text = fieldText(m_deviceInfoList[slot].m_wanLinkState.m_lsString);
    return true;
}

bool SOsvContent::hasWanGotADeadGateway(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0)
        return false;
    const SOsvDeviceInfo& device = m_deviceInfoList[slot];
    return osvIsLater(device.m_wanDeadGateway, device.m_wanEstablished) &&
           osvIsLater(device.m_wanDeadGateway, device.m_wanActivated);
}

bool SOsvContent::isDeviceLocked(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    return slot >= 0 &&
           osvIsLater(m_deviceInfoList[slot].m_deviceLock, m_deviceInfoList[slot].m_deviceUnlock);
}

std::vector<SOsvWanActivity> SOsvContent::getWanActivity() {
    COsvLock guard(this);
    if (!guard)
        return {};
    std::vector<SOsvWanActivity> activity;
    for (int i = 0; i < OSV_MAX_DEVICES; ++i) {
        if (!(m_dpiOccupied & (1u << (OSV_MAX_DEVICES - 1 - i))))
            continue;
        const SOsvDeviceInfo& device = m_deviceInfoList[i];
        if (!device.m_wanActivated.m_valid && !device.m_wanDeactivated.m_valid)
            continue;
        activity.push_back(
            SOsvWanActivity{device.m_dpi, device.m_wanActivated, device.m_wanDeactivated});
    }
    return activity;
}

bool SOsvContent::getActiveWanDpi(unsigned& dpi) {
    const SOsvWanActivity* best = nullptr;
    const std::vector<SOsvWanActivity> activity = getWanActivity();
    for (const SOsvWanActivity& wan : activity)
        if (wan.isActive() &&
            (!best || wan.m_activated.m_monTimestamp > best->m_activated.m_monTimestamp))
            best = &wan;
    if (!best)
        return false;
    dpi = best->m_dpi;
    return true;
}

bool SOsvContent::hasActiveWan() {
    unsigned dpi = 0;
    return getActiveWanDpi(dpi);
}

bool SOsvContent::getDeviceSDKModemIndex(unsigned dpi, unsigned& index) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = dpiIndex(dpi);
    if (slot < 0 || !m_deviceInfoList[slot].m_deviceSDKIndex.m_valid)
        return false;
    index = m_deviceInfoList[slot].m_deviceSDKIndex.m_sdkModemIndex;
    return true;
}

unsigned SOsvContent::getNextDeviceSDKModemIndex() {
    COsvLock guard(this);
    if (!guard)
        return 0;
    std::vector<bool> taken(OSV_MAX_DEVICES + 1, false);
    for (int i = 0; i < OSV_MAX_DEVICES; ++i) {
        const SOsvDeviceInfo& device = m_deviceInfoList[i];
        if ((m_dpiOccupied & (1u << (OSV_MAX_DEVICES - 1 - i))) &&
            device.m_deviceSDKIndex.m_valid &&
            device.presenceAs<SVyl_devices_DevicePresenceInfo>().m_nodeCount > 0 &&
            device.m_deviceSDKIndex.m_sdkModemIndex < taken.size())
            taken[device.m_deviceSDKIndex.m_sdkModemIndex] = true;
    }
    unsigned index = 0;
    while (taken[index])
        ++index;
    return index;
}

// ---- navigation ----

bool SOsvContent::getLatitude(double& degrees) {
    COsvLock guard(this);
    if (!guard)
        return false;
    degrees = m_bestNavInfo.m_bestLocation.m_latitudeDegrees;
    return m_bestNavInfo.m_bestLocation.m_valid;
}

bool SOsvContent::getLongitude(double& degrees) {
    COsvLock guard(this);
    if (!guard)
        return false;
    degrees = m_bestNavInfo.m_bestLocation.m_longitudeDegrees;
    return m_bestNavInfo.m_bestLocation.m_valid;
}

bool SOsvContent::getAltitudeMeters(double& meters) {
    COsvLock guard(this);
    if (!guard)
        return false;
    meters = m_bestNavInfo.m_bestLocation.m_altitudeMeters;
    return m_bestNavInfo.m_bestLocation.m_valid;
}

bool SOsvContent::getSpeedMetersPerHour(double& speed) {
    COsvLock guard(this);
    if (!guard)
        return false;
    speed = m_bestNavInfo.m_bestSpeedHeading.m_speedMetersPerHour2D;
    return m_bestNavInfo.m_bestSpeedHeading.m_valid;
}

bool SOsvContent::getHeading(double& degreesTrue) {
    COsvLock guard(this);
    if (!guard)
        return false;
    degreesTrue = m_bestNavInfo.m_bestSpeedHeading.m_headingDegreesTrue;
    return m_bestNavInfo.m_bestSpeedHeading.m_valid;
}

bool SOsvContent::hasGpsFix() {
    COsvLock guard(this);
    if (!guard)
        return false;
    const auto& status = m_locationInfo.m_internalGpsFixStatus;
    return status.m_valid && status.m_gpsFixStatus;
}

GpsFixStatusWordAntennaFault SOsvContent::getAntennaFault() {
    COsvLock guard(this);
    if (!guard)
        return {};
    const auto& status = m_locationInfo.m_internalGpsFixStatus;
    return status.m_valid ? status.m_antennaFault : AF_Unknown;
}

GpsFixStatusWordFixDimension SOsvContent::getFixDimension() {
    COsvLock guard(this);
    if (!guard)
        return {};
    const auto& status = m_locationInfo.m_internalGpsFixStatus;
    return status.m_valid ? status.m_fixDimension : FD_Unknown;
}

GpsFixStatusWordPositionalDilutionOfPrecisionCheck SOsvContent::getPdopCheck() {
    COsvLock guard(this);
    if (!guard)
        return {};
    const auto& status = m_locationInfo.m_internalGpsFixStatus;
    return status.m_valid ? status.m_pdopCheck : PDOP_Unknown;
}

GpsFixStatusWordNumSatInView SOsvContent::getSatellitesInViewCount() {
    COsvLock guard(this);
    if (!guard)
        return {};
    const auto& status = m_locationInfo.m_internalGpsFixStatus;
    return status.m_valid ? status.m_satellitesInViewCount : NSIV_Unknown;
}

GpsFixStatusWordNumSatUsable SOsvContent::getSatellitesUsableCount() {
    COsvLock guard(this);
    if (!guard)
        return {};
    const auto& status = m_locationInfo.m_internalGpsFixStatus;
    return status.m_valid ? status.m_satellitesUsableCount : NSU_Unknown;
}

std::vector<std::string> SOsvContent::getGpsSourceNames() {
    COsvLock guard(this);
    if (!guard)
        return {};
    std::vector<std::string> names;
    for (int k = 0; k < OSV_MAX_NAV_SOURCES; ++k)
        if ((m_navSourceOccupied & (1u << (OSV_MAX_NAV_SOURCES - 1 - k))) &&
            m_navSourceData[k].m_gpsStatus.m_valid)
            names.push_back(fieldText(m_navSourceData[k].m_sourceName));
    return names;
}

bool SOsvContent::getFirstGpsSourceName(std::string& name) {
    const std::vector<std::string> names = getGpsSourceNames();
    if (names.empty())
        return false;
    name = names.front();
    return true;
}

// ---- processes ----

std::vector<unsigned> SOsvContent::getProcs() {
    COsvLock guard(this);
    if (!guard)
        return {};
    std::vector<unsigned> pids;
    for (int i = 0; i < OSV_MAX_PROCESSES; ++i)
        if (m_procOccupied & (1u << (OSV_MAX_PROCESSES - 1 - i)))
            pids.push_back(fullPid(i));
    return pids;
}

bool SOsvContent::isRegistered(unsigned pid) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = procIndex(pid);
    return slot >= 0 && osvIsLater(m_procInfoList[slot].m_watchdogRegistration,
                                   m_procInfoList[slot].m_watchdogDeregistration);
}

bool SOsvContent::isRunning(unsigned pid) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = procIndex(pid);
    return slot >= 0 && isRegistered(pid) &&
           osvIsLater(m_procInfoList[slot].m_watchdogRegistration,
                      m_procInfoList[slot].m_processRestart);
}

bool SOsvContent::getProcessName(unsigned pid, std::string& name) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = procIndex(pid);
    if (slot < 0)
        return false;
    name = fieldText(m_procInfoList[slot].m_processName);
    return true;
}

bool SOsvContent::hasConfigConflict(unsigned pid) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int slot = procIndex(pid);
    if (slot < 0)
        return false;
    // A conflict counts for the current run of the process: not older than its latest
    // registration or restart (a conflict is usually reported within the same millisecond).
    const SOsvProcessInfo& process = m_procInfoList[slot];
    const auto& conflict = process.m_deviceConfictWarning;
    auto notOlder = [&conflict](const SVylTimestampedInfo& other) {
        return !other.m_valid || conflict.m_monTimestamp >= other.m_monTimestamp;
    };
    return conflict.m_valid && notOlder(process.m_watchdogRegistration) &&
           notOlder(process.m_processRestart);
}

// ---- Bluetooth ----

bool SOsvContent::isBtNodeConnectionPresent(unsigned dpi, unsigned short handle) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int device = btDpiIndex(dpi);
    int connection = btConnHandleIndex(device, handle);
    if (connection < 0)
        return false;
    const SOsvBluetoothInfo& slot = m_bluetoothInfoList[device][connection];
    return osvIsLater(slot.m_btNodeConnected, slot.m_btNodeDisconnected);
}

bool SOsvContent::getBtNodeAddress(unsigned dpi, unsigned short handle, std::string& bdaddr) {
    COsvLock guard(this);
    if (!guard)
        return false;
    int device = btDpiIndex(dpi);
    int connection = btConnHandleIndex(device, handle);
    if (connection < 0 || !m_bluetoothInfoList[device][connection].m_btNodeConnected.m_valid)
        return false;
    bdaddr = fieldText(m_bluetoothInfoList[device][connection].m_btNodeConnected.m_bdaddr);
    return true;
}

std::vector<unsigned> SOsvContent::getBtDpis() {
    COsvLock guard(this);
    if (!guard)
        return {};
    std::vector<unsigned> dpis;
    for (int i = 0; i < OSV_MAX_BT_DEVICES; ++i)
        if (m_btDpiOccupied & (1u << (OSV_MAX_BT_DEVICES - 1 - i)))
            dpis.push_back(m_bluetoothInfoList[i][0].m_dpi);
    return dpis;
}

std::vector<unsigned short> SOsvContent::getBtConnHandles(unsigned dpi) {
    COsvLock guard(this);
    if (!guard)
        return {};
    std::vector<unsigned short> handles;
    int device = btDpiIndex(dpi);
    if (device < 0)
        return handles;
    for (int j = 0; j < OSV_MAX_BT_CONNECTIONS; ++j) {
        const SOsvBluetoothInfo& slot = m_bluetoothInfoList[device][j];
        if ((m_btConnHandleOccupied[device] & (1u << (OSV_MAX_BT_CONNECTIONS - 1 - j))) &&
            osvIsLater(slot.m_btNodeConnected, slot.m_btNodeDisconnected))
            handles.push_back(slot.m_connHandle);
    }
    return handles;
}

// ---- platform and VPN ----

bool SOsvContent::isIgnitionOn() {
    COsvLock guard(this);
    if (!guard)
        return false;
    return m_platformInfo.m_ignitionState.m_valid && m_platformInfo.m_ignitionState.m_ignitionState;
}

unsigned SOsvContent::getShutdownDelaySecsRemaining() {
    COsvLock guard(this);
    if (!guard)
        return 0;
    return m_platformInfo.m_ignitionState.m_valid ? m_platformInfo.m_ignitionState.m_timeRemaining
                                                  : 0;
}

bool SOsvContent::getVpnConnectionStatus() {
    COsvLock guard(this);
    if (!guard)
        return false;
    return m_vpnInfo.m_currStatus.m_valid && m_vpnInfo.m_currStatus.m_up;
}

bool SOsvContent::getVpnAddr(unsigned& addr) {
    COsvLock guard(this);
    if (!guard)
        return false;
    if (!m_vpnInfo.m_tunnelIPv4Addr.m_valid)
        return false;
    addr = m_vpnInfo.m_tunnelIPv4Addr.m_addr;
    return true;
}
