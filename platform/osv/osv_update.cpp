// Filing of happening records into the shared content segment. Every update holds the segment's
// lock for its whole run, so a record is always filed (and read) whole.
#include "osv.h"

#include <cstdio>

namespace {

constexpr unsigned kAllChannels = 3u;

template <class T> void storeArea(unsigned char (&area)[OSV_RECORD_AREA_SIZE], const T& record) {
    static_assert(sizeof(T) <= OSV_RECORD_AREA_SIZE, "record larger than its area");
    std::memset(area, 0, sizeof area);
    std::memcpy(area, static_cast<const void*>(&record), sizeof(T));
}

// Rewrites only the plain presence fields at the start of the area, keeping the rest.
void storePlainPresence(SOsvDeviceInfo& slot, const SVyl_devices_DevicePresenceInfo& plain) {
    std::memcpy(slot.m_devicePresence, static_cast<const void*>(&plain), sizeof plain);
}

template <std::size_t N>
void mergeString(char (&field)[N], const char (&recorded)[N], bool& changed) {
    if (!field[0])
        std::memcpy(field, recorded, N);
    else if (std::strncmp(field, recorded, N) != 0)
        changed = true;
}

void mergeNumber(uint32_t& field, uint32_t recorded, bool& changed) {
    if (field == 0)
        field = recorded;
    else if (field != recorded)
        changed = true;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// ---- per bus kind: its type code, its own fields and its description ----

EOsvDeviceBusType busKind(const SVyl_devices_DevicePresenceNoBusInfo&) {
    return ODBT_NO_BUS;
}
EOsvDeviceBusType busKind(const SVyl_devices_DevicePresenceUsbInfo&) {
    return ODBT_USB;
}
EOsvDeviceBusType busKind(const SVyl_devices_DevicePresencePciOrCardbusInfo&) {
    return ODBT_PCI_CARDBUS;
}
EOsvDeviceBusType busKind(const SVyl_devices_DevicePresencePcmciaInfo&) {
    return ODBT_PCMCIA;
}

void mergeOwn(SVyl_devices_DevicePresenceNoBusInfo&, const SVyl_devices_DevicePresenceNoBusInfo&,
              bool&) {}
void mergeOwn(SVyl_devices_DevicePresenceUsbInfo& record,
              const SVyl_devices_DevicePresenceUsbInfo& recorded, bool& changed) {
    mergeString(record.m_productString, recorded.m_productString, changed);
    mergeString(record.m_manufString, recorded.m_manufString, changed);
    mergeNumber(record.m_idProd, recorded.m_idProd, changed);
    mergeNumber(record.m_idVendor, recorded.m_idVendor, changed);
    mergeString(record.m_serialNoString, recorded.m_serialNoString, changed);
}
void mergeOwn(SVyl_devices_DevicePresencePciOrCardbusInfo& record,
              const SVyl_devices_DevicePresencePciOrCardbusInfo& recorded, bool& changed) {
    mergeString(record.m_productString, recorded.m_productString, changed);
    mergeString(record.m_manufString, recorded.m_manufString, changed);
    mergeNumber(record.m_deviceClass, recorded.m_deviceClass, changed);
    mergeNumber(record.m_idVendor, recorded.m_idVendor, changed);
    mergeNumber(record.m_idProd, recorded.m_idProd, changed);
}
void mergeOwn(SVyl_devices_DevicePresencePcmciaInfo& record,
              const SVyl_devices_DevicePresencePcmciaInfo& recorded, bool& changed) {
    mergeString(record.m_productString, recorded.m_productString, changed);
    mergeNumber(record.m_idVendor, recorded.m_idVendor, changed);
    mergeNumber(record.m_idProd, recorded.m_idProd, changed);
}

std::string describe(const SVyl_devices_DevicePresenceNoBusInfo&) {
    return std::string();
}
std::string describe(const SVyl_devices_DevicePresenceUsbInfo& r) {
    return "PROD=" + std::string(r.m_productString) + ",MANU=" + r.m_manufString +
           ",VID=" + hex(r.m_idVendor) + ",PID=" + hex(r.m_idProd) + ",SER=" + r.m_serialNoString;
}
std::string describe(const SVyl_devices_DevicePresencePciOrCardbusInfo& r) {
    return "PROD=" + std::string(r.m_productString) + ",MANU=" + r.m_manufString +
           ",CLS=" + hex(r.m_deviceClass) + ",VID=" + hex(r.m_idVendor) + ",DID=" + hex(r.m_idProd);
}
std::string describe(const SVyl_devices_DevicePresencePcmciaInfo& r) {
    return "PROD=" + std::string(r.m_productString) + ",MID=" + hex(r.m_idVendor) +
           ",CID=" + hex(r.m_idProd);
}

} // namespace

// ---- device-keyed records ----

void SOsvContent::markNetworkDevice(int slot) {
    m_deviceInfoList[slot].m_isNetworkDevice = true;
}

template <class TRecord>
void SOsvContent::fileDeviceRecord(TRecord& record, TRecord SOsvDeviceInfo::*field) {
    COsvLock guard(this);
    if (!guard)
        return;
    int slot = establishDpi(record.m_dpi);
    if (slot >= 0)
        m_deviceInfoList[slot].*field = record;
}

#define OSV_WAN_UPDATE(type, field)                                                                \
    void SOsvContent::update(type& record, unsigned&) {                                            \
        COsvLock guard(this);                                                                      \
        if (!guard)                                                                                \
            return;                                                                                \
        restamp(record);                                                                           \
        fileDeviceRecord(record, &SOsvDeviceInfo::field);                                          \
        int slot = dpiIndex(record.m_dpi);                                                         \
        if (slot >= 0)                                                                             \
            markNetworkDevice(slot);                                                               \
    }
OSV_WAN_UPDATE(SVyl_wan_ConnectionEstablishedInfo, m_wanEstablished)
OSV_WAN_UPDATE(SVyl_wan_ConnectionLostInfo, m_wanLost)
OSV_WAN_UPDATE(SVyl_wan_ConnectionActivatedInfo, m_wanActivated)
OSV_WAN_UPDATE(SVyl_wan_ConnectionDeactivatedInfo, m_wanDeactivated)
OSV_WAN_UPDATE(SVyl_wan_ConnectionIPv4AddressInfo, m_wanIpv4Address)
OSV_WAN_UPDATE(SVyl_wan_WirelessSignalStrengthInfo, m_wanWirelessSignalStrength)
OSV_WAN_UPDATE(SVyl_wan_LinkStateInfo, m_wanLinkState)
OSV_WAN_UPDATE(SVyl_wan_DeadGatewayDetectInfo, m_wanDeadGateway)
#undef OSV_WAN_UPDATE

template <class TRecord>
void SOsvContent::fileWanDetails(TRecord& record, WANLinkClassficationCodes code) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int slot = establishDpi(record.m_dpi);
    if (slot < 0)
        return;
    SOsvDeviceInfo& device = m_deviceInfoList[slot];
    storeArea(device.m_wanDeviceDetails, record);
    device.m_wanDeviceType = code;
    device.m_isNetworkDevice = true;
}

void SOsvContent::update(SVyl_devices_WanDeviceDetailGsmInfo& record, unsigned&) {
    fileWanDetails(record, WANLinkClassficationCodes::GSM);
}
void SOsvContent::update(SVyl_devices_WanDeviceDetailCdmaInfo& record, unsigned&) {
    fileWanDetails(record, WANLinkClassficationCodes::CDMA);
}
void SOsvContent::update(SVyl_devices_WanDeviceDetailWifiInfo& record, unsigned&) {
    fileWanDetails(record, WANLinkClassficationCodes::WIFI);
}
void SOsvContent::update(SVyl_devices_WanDeviceDetailWimaxInfo& record, unsigned&) {
    fileWanDetails(record, WANLinkClassficationCodes::WIMAX);
}
void SOsvContent::update(SVyl_devices_WanDeviceDetailUnknownInfo& record, unsigned&) {
    fileWanDetails(record, WANLinkClassficationCodes::Unknown);
}
void SOsvContent::update(SVyl_devices_WanDeviceDetailEthernetInfo& record, unsigned&) {
    fileWanDetails(record, WANLinkClassficationCodes::ETHERNET);
}

void SOsvContent::update(SVyl_devices_SDKModemIndexInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileDeviceRecord(record, &SOsvDeviceInfo::m_deviceSDKIndex);
}

// ---- locks: the device's slot and the holding process's entry ----

namespace {
template <class TRecord> void stampDeviceAction(SOsvProcessInfo& process, const TRecord& record) {
    process.m_deviceActionTodTimestamp = record.m_todTimestamp;
    process.m_deviceActionMonTimestamp = record.m_monTimestamp;
}
} // namespace

void SOsvContent::update(SVyl_devices_DeviceLockSuccessInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileDeviceRecord(record, &SOsvDeviceInfo::m_deviceLock);
    if (SOsvProcessDeviceInfo* entry = procDeviceEntry(record.m_processPID, record.m_dpi, true)) {
        entry->m_deviceLock = record;
        stampDeviceAction(m_procInfoList[procIndex(record.m_processPID)], record);
    }
}

void SOsvContent::update(SVyl_devices_DeviceLockFailInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    if (SOsvProcessDeviceInfo* entry = procDeviceEntry(record.m_processPID, record.m_dpi, true)) {
        entry->m_deviceLockFail = record;
        stampDeviceAction(m_procInfoList[procIndex(record.m_processPID)], record);
    }
}

void SOsvContent::update(SVyl_devices_DeviceUnlockInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileDeviceRecord(record, &SOsvDeviceInfo::m_deviceUnlock);
    if (SOsvProcessDeviceInfo* entry = procDeviceEntry(record.m_processPID, record.m_dpi, true)) {
        entry->m_deviceUnlock = record;
        stampDeviceAction(m_procInfoList[procIndex(record.m_processPID)], record);
    }
}

// ---- presence and absence ----

void SOsvContent::update(SVyl_devices_DevicePresenceInfo& record, unsigned& mask) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int slot = establishDpi(record.m_dpi);
    if (slot < 0) {
        // dpi 0 names no device, and a full table leaves none to find again: no announcement
        // either, as no absence could ever be matched to it.
        mask &= ~kAllChannels;
        return;
    }
    SOsvDeviceInfo& device = m_deviceInfoList[slot];
    auto recorded = device.presenceAs<SVyl_devices_DevicePresenceInfo>();
    if (recorded.m_nodeCount > 0) {
        // Another node of a device already announced: count it, say nothing.
        recorded.m_nodeCount += 1;
        storePlainPresence(device, recorded);
        record.m_nodeCount = recorded.m_nodeCount;
        mask &= ~kAllChannels;
        return;
    }
    record.m_nodeCount = 1;
    storeArea(device.m_devicePresence, record);
    device.m_deviceBusType = ODBT_UNKNOWN;
    device.m_isNetworkDevice = false;
}

template <class TAbsence>
static void fileAbsence(SOsvContent* content, TAbsence& record, unsigned& mask, bool forced) {
    COsvLock guard(content);
    if (!guard)
        return;
    content->restamp(record);
    int slot = content->dpiIndex(record.m_dpi);
    if (slot < 0)
        return;
    SOsvDeviceInfo& device = content->m_deviceInfoList[slot];
    auto recorded = device.presenceAs<SVyl_devices_DevicePresenceInfo>();
    std::memcpy(record.m_devNode, recorded.m_devNode, sizeof record.m_devNode);
    record.m_devNode[sizeof record.m_devNode - 1] = '\0';
    int32_t count = forced || recorded.m_nodeCount <= 1 ? 0 : recorded.m_nodeCount - 1;
    recorded.m_nodeCount = count;
    std::memcpy(device.m_devicePresence, static_cast<const void*>(&recorded), sizeof recorded);
    record.m_nodeCount = count;
    if (count > 0)
        mask &= ~kAllChannels; // only the last node's absence is the device's absence
}

void SOsvContent::update(SVyl_devices_DeviceAbsenceInfo& record, unsigned& mask) {
    fileAbsence(this, record, mask, false);
}

void SOsvContent::update(SVyl_devices_DeviceForceAbsenceInfo& record, unsigned& mask) {
    fileAbsence(this, record, mask, true);
}

template <class TRecord> void SOsvContent::fileBusPresence(TRecord& record, unsigned& mask) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int slot = establishDpi(record.m_dpi);
    if (slot < 0)
        return;
    SOsvDeviceInfo& device = m_deviceInfoList[slot];
    const EOsvDeviceBusType kind = busKind(record);
    const bool sameKind = device.m_deviceBusType == kind;
    // Node name and reserved text sit at the same place for every kind (and the reserved text of
    // a plain record reads empty); the fields of the bus itself only mean something when the
    // recorded kind is this one.
    const auto recordedCommon = device.presenceAs<SVyl_devices_DevicePresenceNoBusInfo>();
    const int32_t oldCount = recordedCommon.m_nodeCount > 0 ? recordedCommon.m_nodeCount : 0;
    bool changed = false;
    mergeString(record.m_devNode, recordedCommon.m_devNode, changed);
    mergeString(record.m_reservedString, recordedCommon.m_reservedString, changed);
    if (sameKind)
        mergeOwn(record, device.presenceAs<TRecord>(), changed);
    record.m_nodeCount = oldCount + 1;
    osvCopyString(record.m_deviceDescription, describe(record).c_str());
    storeArea(device.m_devicePresence, record);
    device.m_deviceBusType = kind;
    if (oldCount == 0)
        device.m_isNetworkDevice = false;
    if (oldCount > 0 && sameKind && !changed)
        mask &= ~kAllChannels;
}

void SOsvContent::update(SVyl_devices_DevicePresenceNoBusInfo& record, unsigned& mask) {
    fileBusPresence(record, mask);
}
void SOsvContent::update(SVyl_devices_DevicePresenceUsbInfo& record, unsigned& mask) {
    fileBusPresence(record, mask);
}
void SOsvContent::update(SVyl_devices_DevicePresencePciOrCardbusInfo& record, unsigned& mask) {
    fileBusPresence(record, mask);
}
void SOsvContent::update(SVyl_devices_DevicePresencePcmciaInfo& record, unsigned& mask) {
    fileBusPresence(record, mask);
}

// ---- processes ----

void SOsvContent::update(SVyl_process_WatchdogRegistrationInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int slot = establishProc(record.m_processPID, record.m_processName);
    if (slot >= 0)
        m_procInfoList[slot].m_watchdogRegistration = record;
}

void SOsvContent::update(SVyl_process_WatchdogDeregistrationInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int slot = procIndex(record.m_processPID);
    if (slot < 0)
        return;
    m_procInfoList[slot].m_pid = static_cast<uint16_t>(record.m_processPID);
    m_procInfoList[slot].m_watchdogDeregistration = record;
}

void SOsvContent::update(SVyl_process_DeadProcessRestartInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    // A restarted process may come back under a new pid: its name still finds it.
    int slot = procIndex(record.m_processPID);
    if (slot < 0)
        slot = procIndex(record.m_processName);
    if (slot < 0)
        return;
    m_procInfoList[slot].m_pid = static_cast<uint16_t>(record.m_processPID);
    m_procInfoList[slot].m_processRestart = record;
}

void SOsvContent::update(SVyl_process_DeviceConfigConflictWarningInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int slot = procIndex(record.m_processPID);
    if (slot < 0)
        return;
    m_procInfoList[slot].m_pid = static_cast<uint16_t>(record.m_processPID);
    m_procInfoList[slot].m_deviceConfictWarning = record;
}

// ---- Bluetooth ----

void SOsvContent::update(SVyl_bluetooth_nodeConnectedInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int connection = establishBtNodeConnection(record.m_dpi, record.m_connHandle);
    if (connection >= 0)
        m_bluetoothInfoList[btDpiIndex(record.m_dpi)][connection].m_btNodeConnected = record;
}

void SOsvContent::update(SVyl_bluetooth_nodeDisconnectedInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    int device = btDpiIndex(record.m_dpi);
    int connection = btConnHandleIndex(device, record.m_connHandle);
    if (connection >= 0)
        m_bluetoothInfoList[device][connection].m_btNodeDisconnected = record;
}

// ---- navigation sources ----

template <class TRecord>
void SOsvContent::fileNavRecord(TRecord& record, TRecord SOsvNavSourceInfo::*field) {
    COsvLock guard(this);
    if (!guard)
        return;
    int source = establishNavSource(record.m_sourceName);
    if (source >= 0)
        m_navSourceData[source].*field = record;
}

template <class TRecord>
void SOsvContent::fileNavAccuracy(TRecord& record, TRecord SOsvNavAccuracyInfo::*field) {
    COsvLock guard(this);
    if (!guard)
        return;
    int source = establishNavSource(record.m_sourceName);
    if (source >= 0)
        m_navSourceAccuracy[source].*field = record;
}

void SOsvContent::update(SVyl_navigation_LocationFix3DInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileNavRecord(record, &SOsvNavSourceInfo::m_location);
}
void SOsvContent::update(SVyl_navigation_SpeedHeading2DInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileNavRecord(record, &SOsvNavSourceInfo::m_speedHeading);
}
void SOsvContent::update(SVyl_navigation_NavigationSourceStatusInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileNavRecord(record, &SOsvNavSourceInfo::m_navStatus);
}
void SOsvContent::update(SVyl_navigation_GPSNavigationSourceStatusInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileNavRecord(record, &SOsvNavSourceInfo::m_gpsStatus);
}
void SOsvContent::update(SVyl_navigation_AccuracyInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileNavAccuracy(record, &SOsvNavAccuracyInfo::m_accuracy);
}
void SOsvContent::update(SVyl_navigation_SBASStatusInfo& record, unsigned&) {
    COsvLock guard(this);
    if (!guard)
        return;
    restamp(record);
    fileNavAccuracy(record, &SOsvNavAccuracyInfo::m_sbasStatus);
}

// ---- records with a fixed place ----

#define OSV_FIXED_UPDATE(type, place)                                                              \
    void SOsvContent::update(type& record, unsigned&) {                                            \
        COsvLock guard(this);                                                                      \
        if (!guard)                                                                                \
            return;                                                                                \
        restamp(record);                                                                           \
        place = record;                                                                            \
    }
OSV_FIXED_UPDATE(SVyl_navigation_BestNavigationSBASInfo, m_bestNavAccInfo.m_bestSbas)
OSV_FIXED_UPDATE(SVyl_navigation_BestAccuracyInfo, m_bestNavAccInfo.m_bestAccuracy)
OSV_FIXED_UPDATE(SVyl_navigation_BestLocationFix3DInfo, m_bestNavInfo.m_bestLocation)
OSV_FIXED_UPDATE(SVyl_navigation_BestSpeedHeading2DInfo, m_bestNavInfo.m_bestSpeedHeading)
OSV_FIXED_UPDATE(SVyl_position_InternalGpsLocationInfo, m_locationInfo.m_internalLocation)
OSV_FIXED_UPDATE(SVyl_position_InternalGpsSpeedInfo, m_locationInfo.m_internalSpeed)
OSV_FIXED_UPDATE(SVyl_position_InternalGpsFixStatusInfo, m_locationInfo.m_internalGpsFixStatus)
OSV_FIXED_UPDATE(SVyl_position_InternalGpsAccuracyInfo, m_locationAccuracyInfo.m_internalAccuracy)
OSV_FIXED_UPDATE(SVyl_position_InternalGpsSBASInfo, m_locationAccuracyInfo.m_internalSbas)
OSV_FIXED_UPDATE(SVyl_platform_IgnitionStateReportInfo, m_platformInfo.m_ignitionState)
OSV_FIXED_UPDATE(SVyl_vpn_ConnectionStatusInfo, m_vpnInfo.m_currStatus)
OSV_FIXED_UPDATE(SVyl_vpn_AddressUpdateInfo, m_vpnInfo.m_tunnelIPv4Addr)
#undef OSV_FIXED_UPDATE
