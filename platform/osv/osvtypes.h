// Timestamped records of platform happenings. Each record is filed whole into the shared content
// segment (osv.h) that every platform process maps, so the byte layout of every record is a
// contract with other processes: the checks at the end of this header pin it. Plain values, usable
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The layout was laid down for 32-bit hosts: 64-bit values and doubles sit on 4-byte boundaries.
#pragma pack(push, 4)

// Copies a C string into a fixed field, cut to fit and always terminated; null reads as empty.
template <std::size_t N> inline void osvCopyString(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    if (text)
        std::strncpy(field, text, N - 1);
}

enum GpsFixStatusWordAntennaFault : uint32_t {
    No_Fault = 0,
    Open_Circuit = 1,
    Short_Circuit = 2,
    AF_Reserved1 = 3,
    AF_Reserved2 = 4,
    AF_Reserved3 = 5,
    AF_Reserved4 = 6,
    AF_Unknown = 7
};
enum GpsFixStatusWordFixDimension : uint32_t {
    FD_2D = 0,
    FD_3D = 1,
    FD_Reserved = 2,
    FD_Unknown = 3
};
enum GpsFixStatusWordPositionalDilutionOfPrecisionCheck : uint32_t {
    PDOP_OK = 0,
    PDOP_too_high = 1,
    PDOP_Reserved = 2,
    PDOP_Unknown = 3
};
// A count 0 ... 62; 63 when unknown.
enum GpsFixStatusWordNumSatInView : uint32_t { NSIV_Unknown = 63 };
// A count 0 ... 6; 7 when unknown.
enum GpsFixStatusWordNumSatUsable : uint32_t { NSU_Unknown = 7 };

enum class WANLinkClassficationCodes : uint32_t {
    Unknown = 0,
    GSM = 1,
    CDMA = 2,
    WIFI = 3,
    WIMAX = 4,
    ETHERNET = 5
};

enum EOsvDeviceBusType : uint32_t {
    ODBT_UNKNOWN = 0,
    ODBT_NO_BUS = 1,
    ODBT_USB = 2,
    ODBT_PCI_CARDBUS = 3,
    ODBT_PCMCIA = 4
};

// Base of every record: wall-clock and monotonic milliseconds of the happening. The constructor
// is user-provided on purpose: it lets derived records place 1-byte fields in the base's tail
// padding at offset 17, as the shared layout has them.
struct SVylTimestampedInfo {
    SVylTimestampedInfo() : m_todTimestamp(0), m_monTimestamp(0), m_valid(false) {}
    // Stamps both clocks now.
    explicit SVylTimestampedInfo(bool valid);

    uint64_t m_todTimestamp;
    uint64_t m_monTimestamp;
    bool m_valid;
};

// True when `later` is a valid record stamped after `earlier` (an invalid `earlier` counts as
// never having happened). Both are compared on the monotonic clock.
inline bool osvIsLater(const SVylTimestampedInfo& later, const SVylTimestampedInfo& earlier) {
    return later.m_valid && (!earlier.m_valid || later.m_monTimestamp > earlier.m_monTimestamp);
}

// ---- WAN ----

struct SVyl_wan_ConnectionEstablishedInfo : SVylTimestampedInfo {
    SVyl_wan_ConnectionEstablishedInfo() = default;
    SVyl_wan_ConnectionEstablishedInfo(unsigned cost, unsigned dpi)
        : SVylTimestampedInfo(true), m_cost(cost), m_dpi(dpi) {}
    uint32_t m_cost{};
    uint32_t m_dpi{};
};

struct SVyl_wan_ConnectionLostInfo : SVylTimestampedInfo {
    SVyl_wan_ConnectionLostInfo() = default;
    explicit SVyl_wan_ConnectionLostInfo(unsigned dpi) : SVylTimestampedInfo(true), m_dpi(dpi) {}
    uint32_t m_dpi{};
};

struct SVyl_wan_ConnectionActivatedInfo : SVylTimestampedInfo {
    SVyl_wan_ConnectionActivatedInfo() = default;
    SVyl_wan_ConnectionActivatedInfo(unsigned cost, unsigned dpi)
        : SVylTimestampedInfo(true), m_cost(cost), m_dpi(dpi) {}
    uint32_t m_cost{};
    uint32_t m_dpi{};
};

struct SVyl_wan_ConnectionDeactivatedInfo : SVylTimestampedInfo {
    SVyl_wan_ConnectionDeactivatedInfo() = default;
    explicit SVyl_wan_ConnectionDeactivatedInfo(unsigned dpi)
        : SVylTimestampedInfo(true), m_dpi(dpi) {}
    uint32_t m_dpi{};
};

struct SVyl_wan_ConnectionIPv4AddressInfo : SVylTimestampedInfo {
    SVyl_wan_ConnectionIPv4AddressInfo() = default;
    SVyl_wan_ConnectionIPv4AddressInfo(unsigned addr, unsigned dpi, const char* ipAddrString)
        : SVylTimestampedInfo(true), m_addr(addr), m_dpi(dpi) {
        osvCopyString(m_ipAddrString, ipAddrString);
    }
    uint32_t m_addr{};
    uint32_t m_dpi{};
    char m_ipAddrString[256]{};
};

struct SVyl_wan_WirelessSignalStrengthInfo : SVylTimestampedInfo {
    SVyl_wan_WirelessSignalStrengthInfo() = default;
    SVyl_wan_WirelessSignalStrengthInfo(double dbm, unsigned dpi, double snr)
        : SVylTimestampedInfo(true), m_dbm(dbm), m_dpi(dpi), m_snr(snr) {}
    double m_dbm{};
    uint32_t m_dpi{};
    double m_snr{};
};

struct SVyl_wan_LinkStateInfo : SVylTimestampedInfo {
    SVyl_wan_LinkStateInfo() = default;
    SVyl_wan_LinkStateInfo(unsigned dpi, unsigned linkState, const char* lsString)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_linkState(linkState) {
        osvCopyString(m_lsString, lsString);
    }
    uint32_t m_dpi{};
    uint32_t m_linkState{};
    char m_lsString[256]{};
};

struct SVyl_wan_DeadGatewayDetectInfo : SVylTimestampedInfo {
    SVyl_wan_DeadGatewayDetectInfo() = default;
    explicit SVyl_wan_DeadGatewayDetectInfo(unsigned dpi) : SVylTimestampedInfo(true), m_dpi(dpi) {}
    uint32_t m_dpi{};
};

// ---- processes ----

struct SVyl_process_DeviceConfigConflictWarningInfo : SVylTimestampedInfo {
    SVyl_process_DeviceConfigConflictWarningInfo() = default;
    SVyl_process_DeviceConfigConflictWarningInfo(unsigned matchCount, unsigned processPID)
        : SVylTimestampedInfo(true), m_matchCount(matchCount), m_processPID(processPID) {}
    uint32_t m_matchCount{};
    uint32_t m_processPID{};
};

struct SVyl_process_WatchdogRegistrationInfo : SVylTimestampedInfo {
    SVyl_process_WatchdogRegistrationInfo() = default;
    SVyl_process_WatchdogRegistrationInfo(const char* processName, unsigned processPID)
        : SVylTimestampedInfo(true), m_processPID(processPID) {
        osvCopyString(m_processName, processName);
    }
    char m_processName[256]{};
    uint32_t m_processPID{};
};

struct SVyl_process_WatchdogDeregistrationInfo : SVylTimestampedInfo {
    SVyl_process_WatchdogDeregistrationInfo() = default;
    explicit SVyl_process_WatchdogDeregistrationInfo(unsigned processPID)
        : SVylTimestampedInfo(true), m_processPID(processPID) {}
    uint32_t m_processPID{};
};

struct SVyl_process_DeadProcessRestartInfo : SVylTimestampedInfo {
    SVyl_process_DeadProcessRestartInfo() = default;
    SVyl_process_DeadProcessRestartInfo(const char* processName, unsigned processPID)
        : SVylTimestampedInfo(true), m_processPID(processPID) {
        osvCopyString(m_processName, processName);
    }
    char m_processName[256]{};
    uint32_t m_processPID{};
};

// ---- devices ----

struct SVyl_devices_DevicePresenceInfo : SVylTimestampedInfo {
    SVyl_devices_DevicePresenceInfo() = default;
    SVyl_devices_DevicePresenceInfo(unsigned dpi, const char* devNode, int nodeCount,
                                    const char* deviceDescription)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
};

struct SVyl_devices_DeviceAbsenceInfo : SVylTimestampedInfo {
    SVyl_devices_DeviceAbsenceInfo() = default;
    SVyl_devices_DeviceAbsenceInfo(unsigned dpi, const char* devNode, int nodeCount,
                                   const char* deviceDescription)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
};

struct SVyl_devices_DeviceForceAbsenceInfo : SVylTimestampedInfo {
    SVyl_devices_DeviceForceAbsenceInfo() = default;
    SVyl_devices_DeviceForceAbsenceInfo(unsigned dpi, const char* devNode, int nodeCount,
                                        const char* deviceDescription)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
};

struct SVyl_devices_WanDeviceDetailGsmInfo : SVylTimestampedInfo {
    SVyl_devices_WanDeviceDetailGsmInfo() = default;
    SVyl_devices_WanDeviceDetailGsmInfo(unsigned dpi, const char* friendlyName, const char* iccid,
                                        const char* imei, const char* imsi, const char* msisdn)
        : SVylTimestampedInfo(true), m_dpi(dpi) {
        osvCopyString(m_friendlyName, friendlyName);
        osvCopyString(m_iccid, iccid);
        osvCopyString(m_imei, imei);
        osvCopyString(m_imsi, imsi);
        osvCopyString(m_msisdn, msisdn);
    }
    uint32_t m_dpi{};
    char m_friendlyName[256]{};
    char m_iccid[256]{};
    char m_imei[256]{};
    char m_imsi[256]{};
    char m_msisdn[256]{};
};

struct SVyl_devices_WanDeviceDetailCdmaInfo : SVylTimestampedInfo {
    SVyl_devices_WanDeviceDetailCdmaInfo() = default;
    SVyl_devices_WanDeviceDetailCdmaInfo(unsigned dpi, const char* esn, const char* friendlyName,
                                         const char* iccid, const char* imei, const char* imsi,
                                         const char* meid)
        : SVylTimestampedInfo(true), m_dpi(dpi) {
        osvCopyString(m_esn, esn);
        osvCopyString(m_friendlyName, friendlyName);
        osvCopyString(m_iccid, iccid);
        osvCopyString(m_imei, imei);
        osvCopyString(m_imsi, imsi);
        osvCopyString(m_meid, meid);
    }
    uint32_t m_dpi{};
    char m_esn[256]{};
    char m_friendlyName[256]{};
    char m_iccid[256]{};
    char m_imei[256]{};
    char m_imsi[256]{};
    char m_meid[256]{};
};

struct SVyl_devices_WanDeviceDetailWifiInfo : SVylTimestampedInfo {
    SVyl_devices_WanDeviceDetailWifiInfo() = default;
    SVyl_devices_WanDeviceDetailWifiInfo(const char* bssid, unsigned dpi, const char* friendlyName)
        : SVylTimestampedInfo(true), m_dpi(dpi) {
        osvCopyString(m_bssid, bssid);
        osvCopyString(m_friendlyName, friendlyName);
    }
    char m_bssid[256]{};
    uint32_t m_dpi{};
    char m_friendlyName[256]{};
};

struct SVyl_devices_WanDeviceDetailWimaxInfo : SVylTimestampedInfo {
    SVyl_devices_WanDeviceDetailWimaxInfo() = default;
    SVyl_devices_WanDeviceDetailWimaxInfo(unsigned dpi, const char* friendlyName)
        : SVylTimestampedInfo(true), m_dpi(dpi) {
        osvCopyString(m_friendlyName, friendlyName);
    }
    uint32_t m_dpi{};
    char m_friendlyName[256]{};
};

struct SVyl_devices_WanDeviceDetailUnknownInfo : SVylTimestampedInfo {
    SVyl_devices_WanDeviceDetailUnknownInfo() = default;
    SVyl_devices_WanDeviceDetailUnknownInfo(unsigned dpi, const char* friendlyName)
        : SVylTimestampedInfo(true), m_dpi(dpi) {
        osvCopyString(m_friendlyName, friendlyName);
    }
    uint32_t m_dpi{};
    char m_friendlyName[256]{};
};

struct SVyl_devices_WanDeviceDetailEthernetInfo : SVylTimestampedInfo {
    SVyl_devices_WanDeviceDetailEthernetInfo() = default;
    SVyl_devices_WanDeviceDetailEthernetInfo(unsigned dpi, const char* friendlyName)
        : SVylTimestampedInfo(true), m_dpi(dpi) {
        osvCopyString(m_friendlyName, friendlyName);
    }
    uint32_t m_dpi{};
    char m_friendlyName[256]{};
};

struct SVyl_devices_DeviceLockSuccessInfo : SVylTimestampedInfo {
    SVyl_devices_DeviceLockSuccessInfo() = default;
    SVyl_devices_DeviceLockSuccessInfo(unsigned dpi, unsigned processPID)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_processPID(processPID) {}
    uint32_t m_dpi{};
    uint32_t m_processPID{};
};

struct SVyl_devices_DeviceLockFailInfo : SVylTimestampedInfo {
    SVyl_devices_DeviceLockFailInfo() = default;
    SVyl_devices_DeviceLockFailInfo(unsigned dpi, unsigned processPID)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_processPID(processPID) {}
    uint32_t m_dpi{};
    uint32_t m_processPID{};
};

struct SVyl_devices_DeviceUnlockInfo : SVylTimestampedInfo {
    SVyl_devices_DeviceUnlockInfo() = default;
    SVyl_devices_DeviceUnlockInfo(unsigned dpi, unsigned processPID)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_processPID(processPID) {}
    uint32_t m_dpi{};
    uint32_t m_processPID{};
};

struct SVyl_devices_DevicePresenceNoBusInfo : SVylTimestampedInfo {
    SVyl_devices_DevicePresenceNoBusInfo() = default;
    SVyl_devices_DevicePresenceNoBusInfo(unsigned dpi, const char* devNode, int nodeCount,
                                         const char* deviceDescription, const char* reservedString)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
        osvCopyString(m_reservedString, reservedString);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
    char m_reservedString[256]{};
};

struct SVyl_devices_DevicePresenceUsbInfo : SVylTimestampedInfo {
    SVyl_devices_DevicePresenceUsbInfo() = default;
    SVyl_devices_DevicePresenceUsbInfo(unsigned dpi, const char* devNode, int nodeCount,
                                       const char* deviceDescription, const char* reservedString,
                                       const char* productString, const char* manufString,
                                       unsigned idProd, unsigned idVendor,
                                       const char* serialNoString)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount), m_idProd(idProd),
          m_idVendor(idVendor) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
        osvCopyString(m_reservedString, reservedString);
        osvCopyString(m_productString, productString);
        osvCopyString(m_manufString, manufString);
        osvCopyString(m_serialNoString, serialNoString);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
    char m_reservedString[256]{};
    char m_productString[256]{};
    char m_manufString[256]{};
    uint32_t m_idProd{};
    uint32_t m_idVendor{};
    char m_serialNoString[256]{};
};

struct SVyl_devices_DevicePresencePciOrCardbusInfo : SVylTimestampedInfo {
    SVyl_devices_DevicePresencePciOrCardbusInfo() = default;
    SVyl_devices_DevicePresencePciOrCardbusInfo(unsigned dpi, const char* devNode, int nodeCount,
                                                const char* deviceDescription,
                                                const char* reservedString,
                                                const char* productString, const char* manufString,
                                                unsigned deviceClass, unsigned idVendor,
                                                unsigned idProd)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount), m_deviceClass(deviceClass),
          m_idVendor(idVendor), m_idProd(idProd) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
        osvCopyString(m_reservedString, reservedString);
        osvCopyString(m_productString, productString);
        osvCopyString(m_manufString, manufString);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
    char m_reservedString[256]{};
    char m_productString[256]{};
    char m_manufString[256]{};
    uint32_t m_deviceClass{};
    uint32_t m_idVendor{};
    uint32_t m_idProd{};
};

struct SVyl_devices_DevicePresencePcmciaInfo : SVylTimestampedInfo {
    SVyl_devices_DevicePresencePcmciaInfo() = default;
    SVyl_devices_DevicePresencePcmciaInfo(unsigned dpi, const char* devNode, int nodeCount,
                                          const char* deviceDescription, const char* reservedString,
                                          const char* productString, unsigned idVendor,
                                          unsigned idProd)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_nodeCount(nodeCount), m_idVendor(idVendor),
          m_idProd(idProd) {
        osvCopyString(m_devNode, devNode);
        osvCopyString(m_deviceDescription, deviceDescription);
        osvCopyString(m_reservedString, reservedString);
        osvCopyString(m_productString, productString);
    }
    uint32_t m_dpi{};
    char m_devNode[256]{};
    int32_t m_nodeCount{};
    char m_deviceDescription[256]{};
    char m_reservedString[256]{};
    char m_productString[256]{};
    uint32_t m_idVendor{};
    uint32_t m_idProd{};
};

struct SVyl_devices_SDKModemIndexInfo : SVylTimestampedInfo {
    SVyl_devices_SDKModemIndexInfo() = default;
    SVyl_devices_SDKModemIndexInfo(unsigned dpi, unsigned sdkModemIndex)
        : SVylTimestampedInfo(true), m_dpi(dpi), m_sdkModemIndex(sdkModemIndex) {}
    uint32_t m_dpi{};
    uint32_t m_sdkModemIndex{};
};

// ---- Bluetooth ----

struct SVyl_bluetooth_nodeConnectedInfo : SVylTimestampedInfo {
    SVyl_bluetooth_nodeConnectedInfo() = default;
    SVyl_bluetooth_nodeConnectedInfo(const char* bdaddr, unsigned short connHandle, unsigned dpi,
                                     unsigned hciOrdinal)
        : SVylTimestampedInfo(true), m_connHandle(connHandle), m_dpi(dpi),
          m_hciOrdinal(hciOrdinal) {
        osvCopyString(m_bdaddr, bdaddr);
    }
    char m_bdaddr[256]{};
    uint16_t m_connHandle{};
    uint32_t m_dpi{};
    uint32_t m_hciOrdinal{};
};

struct SVyl_bluetooth_nodeDisconnectedInfo : SVylTimestampedInfo {
    SVyl_bluetooth_nodeDisconnectedInfo() = default;
    SVyl_bluetooth_nodeDisconnectedInfo(const char* bdaddr, unsigned short connHandle, unsigned dpi,
                                        unsigned hciOrdinal)
        : SVylTimestampedInfo(true), m_connHandle(connHandle), m_dpi(dpi),
          m_hciOrdinal(hciOrdinal) {
        osvCopyString(m_bdaddr, bdaddr);
    }
    char m_bdaddr[256]{};
    uint16_t m_connHandle{};
    uint32_t m_dpi{};
    uint32_t m_hciOrdinal{};
};

// ---- platform ----

struct SVyl_platform_IgnitionStateReportInfo : SVylTimestampedInfo {
    SVyl_platform_IgnitionStateReportInfo() = default;
    SVyl_platform_IgnitionStateReportInfo(bool ignitionState, unsigned timeRemaining)
        : SVylTimestampedInfo(true), m_ignitionState(ignitionState),
          m_timeRemaining(timeRemaining) {}
    bool m_ignitionState{};
    uint32_t m_timeRemaining{};
};

// ---- internal GPS ----

struct SVyl_position_InternalGpsLocationInfo : SVylTimestampedInfo {
    SVyl_position_InternalGpsLocationInfo() = default;
    SVyl_position_InternalGpsLocationInfo(double lat, double lon)
        : SVylTimestampedInfo(true), m_lat(lat), m_lon(lon) {}
    double m_lat{};
    double m_lon{};
};

struct SVyl_position_InternalGpsSpeedInfo : SVylTimestampedInfo {
    SVyl_position_InternalGpsSpeedInfo() = default;
    explicit SVyl_position_InternalGpsSpeedInfo(unsigned mph)
        : SVylTimestampedInfo(true), m_mph(mph) {}
    uint32_t m_mph{};
};

struct SVyl_position_InternalGpsFixStatusInfo : SVylTimestampedInfo {
    SVyl_position_InternalGpsFixStatusInfo() = default;
    SVyl_position_InternalGpsFixStatusInfo(
        GpsFixStatusWordAntennaFault antennaFault, GpsFixStatusWordFixDimension fixDimension,
        bool gpsFixStatus, GpsFixStatusWordPositionalDilutionOfPrecisionCheck pdopCheck,
        GpsFixStatusWordNumSatInView satellitesInViewCount,
        GpsFixStatusWordNumSatUsable satellitesUsableCount)
        : SVylTimestampedInfo(true), m_antennaFault(antennaFault), m_fixDimension(fixDimension),
          m_gpsFixStatus(gpsFixStatus), m_pdopCheck(pdopCheck),
          m_satellitesInViewCount(satellitesInViewCount),
          m_satellitesUsableCount(satellitesUsableCount) {}

    // The 16-bit status word carried by the stored fix-status event: bits 0-5 satellites in
    // view, 6-8 satellites usable, 9-11 antenna fault, 12-13 fix dimension, 14-15 PDOP check.
    uint32_t packedStatusWord() const {
        return (m_satellitesInViewCount & 63u) | (m_satellitesUsableCount & 7u) << 6 |
               (m_antennaFault & 7u) << 9 | (m_fixDimension & 3u) << 12 | (m_pdopCheck & 3u) << 14;
    }

    GpsFixStatusWordAntennaFault m_antennaFault{};
    GpsFixStatusWordFixDimension m_fixDimension{};
    bool m_gpsFixStatus{};
    GpsFixStatusWordPositionalDilutionOfPrecisionCheck m_pdopCheck{};
    GpsFixStatusWordNumSatInView m_satellitesInViewCount{};
    GpsFixStatusWordNumSatUsable m_satellitesUsableCount{};
};

struct SVyl_position_InternalGpsAccuracyInfo : SVylTimestampedInfo {
    SVyl_position_InternalGpsAccuracyInfo() = default;
    explicit SVyl_position_InternalGpsAccuracyInfo(float accuracy)
        : SVylTimestampedInfo(true), m_accuracy(accuracy) {}
    float m_accuracy{};
};

struct SVyl_position_InternalGpsSBASInfo : SVylTimestampedInfo {
    SVyl_position_InternalGpsSBASInfo() = default;
    SVyl_position_InternalGpsSBASInfo(unsigned sbasCorrection, unsigned sbasEn)
        : SVylTimestampedInfo(true), m_sbasCorrection(sbasCorrection), m_sbasEn(sbasEn) {}
    uint32_t m_sbasCorrection{};
    uint32_t m_sbasEn{};
};

// ---- VPN ----

struct SVyl_vpn_AddressUpdateInfo : SVylTimestampedInfo {
    SVyl_vpn_AddressUpdateInfo() = default;
    explicit SVyl_vpn_AddressUpdateInfo(unsigned addr) : SVylTimestampedInfo(true), m_addr(addr) {}
    uint32_t m_addr{};
};

struct SVyl_vpn_ConnectionStatusInfo : SVylTimestampedInfo {
    SVyl_vpn_ConnectionStatusInfo() = default;
    explicit SVyl_vpn_ConnectionStatusInfo(bool up) : SVylTimestampedInfo(true), m_up(up) {}
    bool m_up{};
};

// ---- navigation ----

struct SVyl_navigation_LocationFix3DInfo : SVylTimestampedInfo {
    SVyl_navigation_LocationFix3DInfo() = default;
    SVyl_navigation_LocationFix3DInfo(double latitudeDegrees, double longitudeDegrees,
                                      double altitudeMeters, const char* sourceName,
                                      unsigned confidence)
        : SVylTimestampedInfo(true), m_latitudeDegrees(latitudeDegrees),
          m_longitudeDegrees(longitudeDegrees), m_altitudeMeters(altitudeMeters),
          m_confidence(confidence) {
        osvCopyString(m_sourceName, sourceName);
    }
    double m_latitudeDegrees{};
    double m_longitudeDegrees{};
    double m_altitudeMeters{};
    char m_sourceName[32]{};
    uint32_t m_confidence{};
};

struct SVyl_navigation_SpeedHeading2DInfo : SVylTimestampedInfo {
    SVyl_navigation_SpeedHeading2DInfo() = default;
    SVyl_navigation_SpeedHeading2DInfo(double speedMetersPerHour2D, double headingDegreesTrue,
                                       const char* sourceName, unsigned confidence)
        : SVylTimestampedInfo(true), m_speedMetersPerHour2D(speedMetersPerHour2D),
          m_headingDegreesTrue(headingDegreesTrue), m_confidence(confidence) {
        osvCopyString(m_sourceName, sourceName);
    }
    double m_speedMetersPerHour2D{};
    double m_headingDegreesTrue{};
    char m_sourceName[32]{};
    uint32_t m_confidence{};
};

struct SVyl_navigation_SBASStatusInfo : SVylTimestampedInfo {
    SVyl_navigation_SBASStatusInfo() = default;
    SVyl_navigation_SBASStatusInfo(unsigned sbasCorrection, unsigned sbasEn, const char* sourceName)
        : SVylTimestampedInfo(true), m_sbasCorrection(sbasCorrection), m_sbasEn(sbasEn) {
        osvCopyString(m_sourceName, sourceName);
    }
    uint32_t m_sbasCorrection{};
    uint32_t m_sbasEn{};
    char m_sourceName[32]{};
};

struct SVyl_navigation_BestNavigationSBASInfo : SVylTimestampedInfo {
    SVyl_navigation_BestNavigationSBASInfo() = default;
    SVyl_navigation_BestNavigationSBASInfo(unsigned sbasCorrection, unsigned sbasEn)
        : SVylTimestampedInfo(true), m_sbasCorrection(sbasCorrection), m_sbasEn(sbasEn) {}
    uint32_t m_sbasCorrection{};
    uint32_t m_sbasEn{};
};

struct SVyl_navigation_AccuracyInfo : SVylTimestampedInfo {
    SVyl_navigation_AccuracyInfo() = default;
    SVyl_navigation_AccuracyInfo(double accuracyMeters, const char* sourceName)
        : SVylTimestampedInfo(true), m_accuracyMeters(accuracyMeters) {
        osvCopyString(m_sourceName, sourceName);
    }
    double m_accuracyMeters{};
    char m_sourceName[32]{};
};

struct SVyl_navigation_BestAccuracyInfo : SVylTimestampedInfo {
    SVyl_navigation_BestAccuracyInfo() = default;
    explicit SVyl_navigation_BestAccuracyInfo(double accuracyMeters)
        : SVylTimestampedInfo(true), m_accuracyMeters(accuracyMeters) {}
    double m_accuracyMeters{};
};

struct SVyl_navigation_NavigationSourceStatusInfo : SVylTimestampedInfo {
    SVyl_navigation_NavigationSourceStatusInfo() = default;
    SVyl_navigation_NavigationSourceStatusInfo(const char* sourceName, unsigned confidence,
                                               const char* status)
        : SVylTimestampedInfo(true), m_confidence(confidence) {
        osvCopyString(m_sourceName, sourceName);
        osvCopyString(m_status, status);
    }
    char m_sourceName[32]{};
    uint32_t m_confidence{};
    char m_status[256]{};
};

struct SVyl_navigation_GPSNavigationSourceStatusInfo : SVylTimestampedInfo {
    SVyl_navigation_GPSNavigationSourceStatusInfo() = default;
    SVyl_navigation_GPSNavigationSourceStatusInfo(const char* sourceName, const char* style,
                                                  unsigned status)
        : SVylTimestampedInfo(true), m_status(status) {
        osvCopyString(m_sourceName, sourceName);
        osvCopyString(m_style, style);
    }
    char m_sourceName[32]{};
    char m_style[256]{};
    uint32_t m_status{};
};

struct SVyl_navigation_BestLocationFix3DInfo : SVylTimestampedInfo {
    SVyl_navigation_BestLocationFix3DInfo() = default;
    SVyl_navigation_BestLocationFix3DInfo(double latitudeDegrees, double longitudeDegrees,
                                          double altitudeMeters)
        : SVylTimestampedInfo(true), m_latitudeDegrees(latitudeDegrees),
          m_longitudeDegrees(longitudeDegrees), m_altitudeMeters(altitudeMeters) {}
    double m_latitudeDegrees{};
    double m_longitudeDegrees{};
    double m_altitudeMeters{};
};

struct SVyl_navigation_BestSpeedHeading2DInfo : SVylTimestampedInfo {
    SVyl_navigation_BestSpeedHeading2DInfo() = default;
    SVyl_navigation_BestSpeedHeading2DInfo(double speedMetersPerHour2D, double headingDegreesTrue)
        : SVylTimestampedInfo(true), m_speedMetersPerHour2D(speedMetersPerHour2D),
          m_headingDegreesTrue(headingDegreesTrue) {}
    double m_speedMetersPerHour2D{};
    double m_headingDegreesTrue{};
};

#pragma pack(pop)

// ---- layout shared with other processes ----
// The records derive from the timestamp base, so offsetof is used on non-standard-layout types;
// GCC and Clang lay out such non-virtual single inheritance predictably, which is what the
// checks below hold them to.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define OSV_RECORD_SIZE(type, size)                                                                \
    static_assert(sizeof(type) == (size), #type " size");                                          \
    static_assert(std::is_trivially_copyable<type>::value, #type " must copy as bytes")
#define OSV_FIELD_AT(type, field, offset)                                                          \
    static_assert(offsetof(type, field) == (offset), #type "::" #field " offset")

OSV_RECORD_SIZE(SVylTimestampedInfo, 20);
OSV_FIELD_AT(SVylTimestampedInfo, m_todTimestamp, 0);
OSV_FIELD_AT(SVylTimestampedInfo, m_monTimestamp, 8);
OSV_FIELD_AT(SVylTimestampedInfo, m_valid, 16);

OSV_RECORD_SIZE(SVyl_wan_ConnectionEstablishedInfo, 28);
OSV_FIELD_AT(SVyl_wan_ConnectionEstablishedInfo, m_cost, 20);
OSV_FIELD_AT(SVyl_wan_ConnectionEstablishedInfo, m_dpi, 24);
OSV_RECORD_SIZE(SVyl_wan_ConnectionLostInfo, 24);
OSV_FIELD_AT(SVyl_wan_ConnectionLostInfo, m_dpi, 20);
OSV_RECORD_SIZE(SVyl_wan_ConnectionActivatedInfo, 28);
OSV_FIELD_AT(SVyl_wan_ConnectionActivatedInfo, m_cost, 20);
OSV_FIELD_AT(SVyl_wan_ConnectionActivatedInfo, m_dpi, 24);
OSV_RECORD_SIZE(SVyl_wan_ConnectionDeactivatedInfo, 24);
OSV_FIELD_AT(SVyl_wan_ConnectionDeactivatedInfo, m_dpi, 20);
OSV_RECORD_SIZE(SVyl_wan_ConnectionIPv4AddressInfo, 284);
OSV_FIELD_AT(SVyl_wan_ConnectionIPv4AddressInfo, m_addr, 20);
OSV_FIELD_AT(SVyl_wan_ConnectionIPv4AddressInfo, m_dpi, 24);
OSV_FIELD_AT(SVyl_wan_ConnectionIPv4AddressInfo, m_ipAddrString, 28);
OSV_RECORD_SIZE(SVyl_wan_WirelessSignalStrengthInfo, 40);
OSV_FIELD_AT(SVyl_wan_WirelessSignalStrengthInfo, m_dbm, 20);
OSV_FIELD_AT(SVyl_wan_WirelessSignalStrengthInfo, m_dpi, 28);
OSV_FIELD_AT(SVyl_wan_WirelessSignalStrengthInfo, m_snr, 32);
OSV_RECORD_SIZE(SVyl_wan_LinkStateInfo, 284);
OSV_FIELD_AT(SVyl_wan_LinkStateInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_wan_LinkStateInfo, m_linkState, 24);
OSV_FIELD_AT(SVyl_wan_LinkStateInfo, m_lsString, 28);
OSV_RECORD_SIZE(SVyl_wan_DeadGatewayDetectInfo, 24);
OSV_FIELD_AT(SVyl_wan_DeadGatewayDetectInfo, m_dpi, 20);

OSV_RECORD_SIZE(SVyl_process_DeviceConfigConflictWarningInfo, 28);
OSV_FIELD_AT(SVyl_process_DeviceConfigConflictWarningInfo, m_matchCount, 20);
OSV_FIELD_AT(SVyl_process_DeviceConfigConflictWarningInfo, m_processPID, 24);
OSV_RECORD_SIZE(SVyl_process_WatchdogRegistrationInfo, 280);
OSV_FIELD_AT(SVyl_process_WatchdogRegistrationInfo, m_processName, 17);
OSV_FIELD_AT(SVyl_process_WatchdogRegistrationInfo, m_processPID, 276);
OSV_RECORD_SIZE(SVyl_process_WatchdogDeregistrationInfo, 24);
OSV_FIELD_AT(SVyl_process_WatchdogDeregistrationInfo, m_processPID, 20);
OSV_RECORD_SIZE(SVyl_process_DeadProcessRestartInfo, 280);
OSV_FIELD_AT(SVyl_process_DeadProcessRestartInfo, m_processName, 17);
OSV_FIELD_AT(SVyl_process_DeadProcessRestartInfo, m_processPID, 276);

#define OSV_PRESENCE_BASE(type)                                                                    \
    OSV_FIELD_AT(type, m_dpi, 20);                                                                 \
    OSV_FIELD_AT(type, m_devNode, 24);                                                             \
    OSV_FIELD_AT(type, m_nodeCount, 280);                                                          \
    OSV_FIELD_AT(type, m_deviceDescription, 284)
OSV_RECORD_SIZE(SVyl_devices_DevicePresenceInfo, 540);
OSV_PRESENCE_BASE(SVyl_devices_DevicePresenceInfo);
OSV_RECORD_SIZE(SVyl_devices_DeviceAbsenceInfo, 540);
OSV_PRESENCE_BASE(SVyl_devices_DeviceAbsenceInfo);
OSV_RECORD_SIZE(SVyl_devices_DeviceForceAbsenceInfo, 540);
OSV_PRESENCE_BASE(SVyl_devices_DeviceForceAbsenceInfo);

OSV_RECORD_SIZE(SVyl_devices_WanDeviceDetailGsmInfo, 1304);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailGsmInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailGsmInfo, m_friendlyName, 24);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailGsmInfo, m_iccid, 280);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailGsmInfo, m_imei, 536);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailGsmInfo, m_imsi, 792);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailGsmInfo, m_msisdn, 1048);
OSV_RECORD_SIZE(SVyl_devices_WanDeviceDetailCdmaInfo, 1560);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_esn, 24);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_friendlyName, 280);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_iccid, 536);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_imei, 792);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_imsi, 1048);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailCdmaInfo, m_meid, 1304);
OSV_RECORD_SIZE(SVyl_devices_WanDeviceDetailWifiInfo, 536);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailWifiInfo, m_bssid, 17);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailWifiInfo, m_dpi, 276);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailWifiInfo, m_friendlyName, 280);
OSV_RECORD_SIZE(SVyl_devices_WanDeviceDetailWimaxInfo, 280);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailWimaxInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailWimaxInfo, m_friendlyName, 24);
OSV_RECORD_SIZE(SVyl_devices_WanDeviceDetailUnknownInfo, 280);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailUnknownInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailUnknownInfo, m_friendlyName, 24);
OSV_RECORD_SIZE(SVyl_devices_WanDeviceDetailEthernetInfo, 280);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailEthernetInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_WanDeviceDetailEthernetInfo, m_friendlyName, 24);

OSV_RECORD_SIZE(SVyl_devices_DeviceLockSuccessInfo, 28);
OSV_FIELD_AT(SVyl_devices_DeviceLockSuccessInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_DeviceLockSuccessInfo, m_processPID, 24);
OSV_RECORD_SIZE(SVyl_devices_DeviceLockFailInfo, 28);
OSV_FIELD_AT(SVyl_devices_DeviceLockFailInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_DeviceLockFailInfo, m_processPID, 24);
OSV_RECORD_SIZE(SVyl_devices_DeviceUnlockInfo, 28);
OSV_FIELD_AT(SVyl_devices_DeviceUnlockInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_DeviceUnlockInfo, m_processPID, 24);

OSV_RECORD_SIZE(SVyl_devices_DevicePresenceNoBusInfo, 796);
OSV_PRESENCE_BASE(SVyl_devices_DevicePresenceNoBusInfo);
OSV_FIELD_AT(SVyl_devices_DevicePresenceNoBusInfo, m_reservedString, 540);
OSV_RECORD_SIZE(SVyl_devices_DevicePresenceUsbInfo, 1572);
OSV_PRESENCE_BASE(SVyl_devices_DevicePresenceUsbInfo);
OSV_FIELD_AT(SVyl_devices_DevicePresenceUsbInfo, m_reservedString, 540);
OSV_FIELD_AT(SVyl_devices_DevicePresenceUsbInfo, m_productString, 796);
OSV_FIELD_AT(SVyl_devices_DevicePresenceUsbInfo, m_manufString, 1052);
OSV_FIELD_AT(SVyl_devices_DevicePresenceUsbInfo, m_idProd, 1308);
OSV_FIELD_AT(SVyl_devices_DevicePresenceUsbInfo, m_idVendor, 1312);
OSV_FIELD_AT(SVyl_devices_DevicePresenceUsbInfo, m_serialNoString, 1316);
OSV_RECORD_SIZE(SVyl_devices_DevicePresencePciOrCardbusInfo, 1320);
OSV_PRESENCE_BASE(SVyl_devices_DevicePresencePciOrCardbusInfo);
OSV_FIELD_AT(SVyl_devices_DevicePresencePciOrCardbusInfo, m_reservedString, 540);
OSV_FIELD_AT(SVyl_devices_DevicePresencePciOrCardbusInfo, m_productString, 796);
OSV_FIELD_AT(SVyl_devices_DevicePresencePciOrCardbusInfo, m_manufString, 1052);
OSV_FIELD_AT(SVyl_devices_DevicePresencePciOrCardbusInfo, m_deviceClass, 1308);
OSV_FIELD_AT(SVyl_devices_DevicePresencePciOrCardbusInfo, m_idVendor, 1312);
OSV_FIELD_AT(SVyl_devices_DevicePresencePciOrCardbusInfo, m_idProd, 1316);
OSV_RECORD_SIZE(SVyl_devices_DevicePresencePcmciaInfo, 1060);
OSV_PRESENCE_BASE(SVyl_devices_DevicePresencePcmciaInfo);
OSV_FIELD_AT(SVyl_devices_DevicePresencePcmciaInfo, m_reservedString, 540);
OSV_FIELD_AT(SVyl_devices_DevicePresencePcmciaInfo, m_productString, 796);
OSV_FIELD_AT(SVyl_devices_DevicePresencePcmciaInfo, m_idVendor, 1052);
OSV_FIELD_AT(SVyl_devices_DevicePresencePcmciaInfo, m_idProd, 1056);
OSV_RECORD_SIZE(SVyl_devices_SDKModemIndexInfo, 28);
OSV_FIELD_AT(SVyl_devices_SDKModemIndexInfo, m_dpi, 20);
OSV_FIELD_AT(SVyl_devices_SDKModemIndexInfo, m_sdkModemIndex, 24);

OSV_RECORD_SIZE(SVyl_bluetooth_nodeConnectedInfo, 284);
OSV_FIELD_AT(SVyl_bluetooth_nodeConnectedInfo, m_bdaddr, 17);
OSV_FIELD_AT(SVyl_bluetooth_nodeConnectedInfo, m_connHandle, 274);
OSV_FIELD_AT(SVyl_bluetooth_nodeConnectedInfo, m_dpi, 276);
OSV_FIELD_AT(SVyl_bluetooth_nodeConnectedInfo, m_hciOrdinal, 280);
OSV_RECORD_SIZE(SVyl_bluetooth_nodeDisconnectedInfo, 284);
OSV_FIELD_AT(SVyl_bluetooth_nodeDisconnectedInfo, m_bdaddr, 17);
OSV_FIELD_AT(SVyl_bluetooth_nodeDisconnectedInfo, m_connHandle, 274);
OSV_FIELD_AT(SVyl_bluetooth_nodeDisconnectedInfo, m_dpi, 276);
OSV_FIELD_AT(SVyl_bluetooth_nodeDisconnectedInfo, m_hciOrdinal, 280);

OSV_RECORD_SIZE(SVyl_platform_IgnitionStateReportInfo, 24);
OSV_FIELD_AT(SVyl_platform_IgnitionStateReportInfo, m_ignitionState, 17);
OSV_FIELD_AT(SVyl_platform_IgnitionStateReportInfo, m_timeRemaining, 20);

OSV_RECORD_SIZE(SVyl_position_InternalGpsLocationInfo, 36);
OSV_FIELD_AT(SVyl_position_InternalGpsLocationInfo, m_lat, 20);
OSV_FIELD_AT(SVyl_position_InternalGpsLocationInfo, m_lon, 28);
OSV_RECORD_SIZE(SVyl_position_InternalGpsSpeedInfo, 24);
OSV_FIELD_AT(SVyl_position_InternalGpsSpeedInfo, m_mph, 20);
OSV_RECORD_SIZE(SVyl_position_InternalGpsFixStatusInfo, 44);
OSV_FIELD_AT(SVyl_position_InternalGpsFixStatusInfo, m_antennaFault, 20);
OSV_FIELD_AT(SVyl_position_InternalGpsFixStatusInfo, m_fixDimension, 24);
OSV_FIELD_AT(SVyl_position_InternalGpsFixStatusInfo, m_gpsFixStatus, 28);
OSV_FIELD_AT(SVyl_position_InternalGpsFixStatusInfo, m_pdopCheck, 32);
OSV_FIELD_AT(SVyl_position_InternalGpsFixStatusInfo, m_satellitesInViewCount, 36);
OSV_FIELD_AT(SVyl_position_InternalGpsFixStatusInfo, m_satellitesUsableCount, 40);
OSV_RECORD_SIZE(SVyl_position_InternalGpsAccuracyInfo, 24);
OSV_FIELD_AT(SVyl_position_InternalGpsAccuracyInfo, m_accuracy, 20);
OSV_RECORD_SIZE(SVyl_position_InternalGpsSBASInfo, 28);
OSV_FIELD_AT(SVyl_position_InternalGpsSBASInfo, m_sbasCorrection, 20);
OSV_FIELD_AT(SVyl_position_InternalGpsSBASInfo, m_sbasEn, 24);

OSV_RECORD_SIZE(SVyl_vpn_AddressUpdateInfo, 24);
OSV_FIELD_AT(SVyl_vpn_AddressUpdateInfo, m_addr, 20);
OSV_RECORD_SIZE(SVyl_vpn_ConnectionStatusInfo, 20);
OSV_FIELD_AT(SVyl_vpn_ConnectionStatusInfo, m_up, 17);

OSV_RECORD_SIZE(SVyl_navigation_LocationFix3DInfo, 80);
OSV_FIELD_AT(SVyl_navigation_LocationFix3DInfo, m_latitudeDegrees, 20);
OSV_FIELD_AT(SVyl_navigation_LocationFix3DInfo, m_longitudeDegrees, 28);
OSV_FIELD_AT(SVyl_navigation_LocationFix3DInfo, m_altitudeMeters, 36);
OSV_FIELD_AT(SVyl_navigation_LocationFix3DInfo, m_sourceName, 44);
OSV_FIELD_AT(SVyl_navigation_LocationFix3DInfo, m_confidence, 76);
OSV_RECORD_SIZE(SVyl_navigation_SpeedHeading2DInfo, 72);
OSV_FIELD_AT(SVyl_navigation_SpeedHeading2DInfo, m_speedMetersPerHour2D, 20);
OSV_FIELD_AT(SVyl_navigation_SpeedHeading2DInfo, m_headingDegreesTrue, 28);
OSV_FIELD_AT(SVyl_navigation_SpeedHeading2DInfo, m_sourceName, 36);
OSV_FIELD_AT(SVyl_navigation_SpeedHeading2DInfo, m_confidence, 68);
OSV_RECORD_SIZE(SVyl_navigation_SBASStatusInfo, 60);
OSV_FIELD_AT(SVyl_navigation_SBASStatusInfo, m_sbasCorrection, 20);
OSV_FIELD_AT(SVyl_navigation_SBASStatusInfo, m_sbasEn, 24);
OSV_FIELD_AT(SVyl_navigation_SBASStatusInfo, m_sourceName, 28);
OSV_RECORD_SIZE(SVyl_navigation_BestNavigationSBASInfo, 28);
OSV_FIELD_AT(SVyl_navigation_BestNavigationSBASInfo, m_sbasCorrection, 20);
OSV_FIELD_AT(SVyl_navigation_BestNavigationSBASInfo, m_sbasEn, 24);
OSV_RECORD_SIZE(SVyl_navigation_AccuracyInfo, 60);
OSV_FIELD_AT(SVyl_navigation_AccuracyInfo, m_accuracyMeters, 20);
OSV_FIELD_AT(SVyl_navigation_AccuracyInfo, m_sourceName, 28);
OSV_RECORD_SIZE(SVyl_navigation_BestAccuracyInfo, 28);
OSV_FIELD_AT(SVyl_navigation_BestAccuracyInfo, m_accuracyMeters, 20);
OSV_RECORD_SIZE(SVyl_navigation_NavigationSourceStatusInfo, 312);
OSV_FIELD_AT(SVyl_navigation_NavigationSourceStatusInfo, m_sourceName, 17);
OSV_FIELD_AT(SVyl_navigation_NavigationSourceStatusInfo, m_confidence, 52);
OSV_FIELD_AT(SVyl_navigation_NavigationSourceStatusInfo, m_status, 56);
OSV_RECORD_SIZE(SVyl_navigation_GPSNavigationSourceStatusInfo, 312);
OSV_FIELD_AT(SVyl_navigation_GPSNavigationSourceStatusInfo, m_sourceName, 17);
OSV_FIELD_AT(SVyl_navigation_GPSNavigationSourceStatusInfo, m_style, 49);
OSV_FIELD_AT(SVyl_navigation_GPSNavigationSourceStatusInfo, m_status, 308);
OSV_RECORD_SIZE(SVyl_navigation_BestLocationFix3DInfo, 44);
OSV_FIELD_AT(SVyl_navigation_BestLocationFix3DInfo, m_latitudeDegrees, 20);
OSV_FIELD_AT(SVyl_navigation_BestLocationFix3DInfo, m_longitudeDegrees, 28);
OSV_FIELD_AT(SVyl_navigation_BestLocationFix3DInfo, m_altitudeMeters, 36);
OSV_RECORD_SIZE(SVyl_navigation_BestSpeedHeading2DInfo, 36);
OSV_FIELD_AT(SVyl_navigation_BestSpeedHeading2DInfo, m_speedMetersPerHour2D, 20);
OSV_FIELD_AT(SVyl_navigation_BestSpeedHeading2DInfo, m_headingDegreesTrue, 28);

static_assert(sizeof(GpsFixStatusWordAntennaFault) == 4 && sizeof(EOsvDeviceBusType) == 4 &&
                  sizeof(WANLinkClassficationCodes) == 4,
              "enumerations are 4 bytes in the shared layout");

#undef OSV_PRESENCE_BASE
#undef OSV_FIELD_AT
#undef OSV_RECORD_SIZE
#pragma GCC diagnostic pop
