// The shared content segment: one 1 MiB POSIX shared memory object that every platform process
// maps, holding the current picture of the gateway (devices, WAN state, processes, Bluetooth
// connections, navigation sources, ignition, VPN). Offsets and sizes are a contract with other
// processes and are pinned by the checks at the end of this header.
//
// Every operation on SOsvContent takes the segment's robust, recursive, process-shared mutex, so
// any thread of any process may call them, and they may nest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <pthread.h>

#include "osvtypes.h"

constexpr uint32_t OSV_VERSION = 8;
constexpr std::size_t OSV_SEGMENT_SIZE = 1048576;
// Used when VYL_OSV_NAME is unset or empty.
constexpr const char* OSV_DEFAULT_NAME = "/vylosv";

constexpr int OSV_MAX_DEVICES = 32;
constexpr int OSV_MAX_PROCESSES = 32;
constexpr int OSV_MAX_PROCESS_DEVICES = 16;
constexpr int OSV_MAX_BT_DEVICES = 8;
constexpr int OSV_MAX_BT_CONNECTIONS = 16;
constexpr int OSV_MAX_NAV_SOURCES = 16;
constexpr std::size_t OSV_RECORD_AREA_SIZE = 3072;
// What a free navigation source slot holds in its last word (the GPS status of no source).
constexpr uint32_t OSV_NAV_SOURCE_FREE_WORD = 0xFFFF;

#pragma pack(push, 4)

// One device, keyed by dpi.
struct SOsvDeviceInfo {
    uint32_t m_dpi;
    EOsvDeviceBusType m_deviceBusType;
    // The presence record of the device's bus kind (m_deviceBusType): plain for ODBT_UNKNOWN.
    unsigned char m_devicePresence[OSV_RECORD_AREA_SIZE];
    bool m_isNetworkDevice;
    SVyl_wan_ConnectionEstablishedInfo m_wanEstablished;
    SVyl_wan_ConnectionLostInfo m_wanLost;
    SVyl_wan_ConnectionActivatedInfo m_wanActivated;
    SVyl_wan_ConnectionDeactivatedInfo m_wanDeactivated;
    SVyl_wan_ConnectionIPv4AddressInfo m_wanIpv4Address;
    SVyl_wan_WirelessSignalStrengthInfo m_wanWirelessSignalStrength;
    SVyl_wan_LinkStateInfo m_wanLinkState;
    SVyl_wan_DeadGatewayDetectInfo m_wanDeadGateway;
    SVyl_devices_DeviceLockSuccessInfo m_deviceLock;
    SVyl_devices_DeviceUnlockInfo m_deviceUnlock;
    // The WAN detail record of the device's class (m_wanDeviceType).
    unsigned char m_wanDeviceDetails[OSV_RECORD_AREA_SIZE];
    WANLinkClassficationCodes m_wanDeviceType;
    SVyl_devices_SDKModemIndexInfo m_deviceSDKIndex;
    unsigned char m_reserved[3260];

    // Copies of the record areas read as the given record type; every presence kind starts with
    // the fields of the plain presence record, so SVyl_devices_DevicePresenceInfo always fits.
    template <class T> T presenceAs() const { return areaAs<T>(m_devicePresence); }
    template <class T> T wanDetailsAs() const { return areaAs<T>(m_wanDeviceDetails); }

private:
    template <class T> static T areaAs(const unsigned char* area) {
        static_assert(sizeof(T) <= OSV_RECORD_AREA_SIZE, "record larger than its area");
        T record;
        std::memcpy(static_cast<void*>(&record), area, sizeof(T));
        return record;
    }
};

// A device held by a process: its lock, lock-failure and unlock records.
struct SOsvProcessDeviceInfo {
    uint32_t m_dpi;
    SVyl_devices_DeviceLockSuccessInfo m_deviceLock;
    SVyl_devices_DeviceLockFailInfo m_deviceLockFail;
    SVyl_devices_DeviceUnlockInfo m_deviceUnlock;
};

// One process, established by name, found by pid.
struct SOsvProcessInfo {
    char m_processName[64];
    // The low 16 bits of the pid; the full pid sits in the registration and restart records.
    uint16_t m_pid;
    uint16_t m_dpiOccupied;
    SVyl_process_WatchdogRegistrationInfo m_watchdogRegistration;
    SVyl_process_WatchdogDeregistrationInfo m_watchdogDeregistration;
    SVyl_process_DeadProcessRestartInfo m_processRestart;
    SVyl_process_DeviceConfigConflictWarningInfo m_deviceConfictWarning;
    uint64_t m_deviceActionTodTimestamp;
    uint64_t m_deviceActionMonTimestamp;
    uint64_t m_configUpdateTodTimestamp;
    uint64_t m_configUpdateMonTimestamp;
    SOsvProcessDeviceInfo m_deviceInfo[OSV_MAX_PROCESS_DEVICES];
};

struct SOsvBluetoothInfo {
    uint32_t m_dpi;
    uint16_t m_connHandle;
    SVyl_bluetooth_nodeConnectedInfo m_btNodeConnected;
    SVyl_bluetooth_nodeDisconnectedInfo m_btNodeDisconnected;
};

struct SOsvNavSourceInfo {
    char m_sourceName[32];
    SVyl_navigation_LocationFix3DInfo m_location;
    SVyl_navigation_SpeedHeading2DInfo m_speedHeading;
    SVyl_navigation_NavigationSourceStatusInfo m_navStatus;
    SVyl_navigation_GPSNavigationSourceStatusInfo m_gpsStatus;
};

struct SOsvLocationInfo {
    SVyl_position_InternalGpsLocationInfo m_internalLocation;
    SVyl_position_InternalGpsSpeedInfo m_internalSpeed;
    SVyl_position_InternalGpsFixStatusInfo m_internalGpsFixStatus;
};

struct SOsvPlatformInfo {
    SVyl_platform_IgnitionStateReportInfo m_ignitionState;
    unsigned char m_reserved[4074];
};

struct SOsvBestNavInfo {
    SVyl_navigation_BestLocationFix3DInfo m_bestLocation;
    SVyl_navigation_BestSpeedHeading2DInfo m_bestSpeedHeading;
    unsigned char m_reserved[4096];
};

struct SOsvVPNInfo {
    SVyl_vpn_ConnectionStatusInfo m_currStatus;
    SVyl_vpn_AddressUpdateInfo m_tunnelIPv4Addr;
    unsigned char m_reserved[10240];
};

struct SOsvLocationAccuracyInfo {
    SVyl_position_InternalGpsAccuracyInfo m_internalAccuracy;
    SVyl_position_InternalGpsSBASInfo m_internalSbas;
    unsigned char m_reserved[256];
};

// Accuracy and SBAS of navigation source k (same index as m_navSourceData).
struct SOsvNavAccuracyInfo {
    SVyl_navigation_AccuracyInfo m_accuracy;
    SVyl_navigation_SBASStatusInfo m_sbasStatus;
    unsigned char m_reserved[256];
};

struct SOsvBestNavAccuracyInfo {
    SVyl_navigation_BestAccuracyInfo m_bestAccuracy;
    SVyl_navigation_BestNavigationSBASInfo m_bestSbas;
    unsigned char m_reserved[4096];
};

// Activation history of one WAN device, as the segment holds it.
struct SOsvWanActivity {
    uint32_t m_dpi;
    SVyl_wan_ConnectionActivatedInfo m_activated;
    SVyl_wan_ConnectionDeactivatedInfo m_deactivated;
    // Latest activation newer than latest deactivation.
    bool isActive() const { return osvIsLater(m_activated, m_deactivated); }
};

// The segment itself. Only ever reached through getOsvPointer(); never constructed or copied.
struct SOsvContent {
    SOsvContent() = delete;
    SOsvContent(const SOsvContent&) = delete;
    SOsvContent& operator=(const SOsvContent&) = delete;

    uint32_t m_osvVersion;
    // Room for the lock where the host's pthread_mutex_t fits in 24 bytes (32-bit hosts); wider
    // mutexes live at the start of the reserved tail instead (see mutex()).
    unsigned char m_mutex[24];
    pthread_mutexattr_t m_mutexattr;
    uint32_t m_dpiOccupied;
    SOsvDeviceInfo m_deviceInfoList[OSV_MAX_DEVICES];
    uint32_t m_procOccupied;
    SOsvProcessInfo m_procInfoList[OSV_MAX_PROCESSES];
    SOsvLocationInfo m_locationInfo;
    uint8_t m_btDpiOccupied;
    uint16_t m_btConnHandleOccupied[OSV_MAX_BT_DEVICES];
    SOsvBluetoothInfo m_bluetoothInfoList[OSV_MAX_BT_DEVICES][OSV_MAX_BT_CONNECTIONS];
    SOsvPlatformInfo m_platformInfo;
    uint16_t m_navSourceOccupied;
    SOsvNavSourceInfo m_navSourceData[OSV_MAX_NAV_SOURCES];
    SOsvBestNavInfo m_bestNavInfo;
    SOsvVPNInfo m_vpnInfo;
    SOsvLocationAccuracyInfo m_locationAccuracyInfo;
    SOsvNavAccuracyInfo m_navSourceAccuracy[OSV_MAX_NAV_SOURCES];
    SOsvBestNavAccuracyInfo m_bestNavAccInfo;
    unsigned char m_reserved[537196];

    // ---- lock ----
    // The segment's mutex (inside the mapping).
    pthread_mutex_t* mutex();
    // Takes the mutex, recovering it when its previous owner died. The segment is writable by
    // every local user, so a holder that never lets go must not hang the reader: after a bounded
    // wait (2 s) it returns false after a line in the system log, and the read or filing in hand
    // is given up (a read answers as if there were no record). Once a thread has given up, the
    // nested attempts of the same operation give up at once.
    bool lock();
    void unlock();
    // How long lock() waits; for tests.
    static void setLockWaitMilliseconds(unsigned milliseconds);

    // Under the lock, before filing: the record's padding is cleared (the segment is readable by
    // everyone; stack bytes must not leak into it) and its monotonic stamp made strictly later
    // than every record filed before, so that "which came later" never sees a tie.
    template <class TRecord> void restamp(TRecord& record) {
#if defined(__has_builtin)
#if __has_builtin(__builtin_clear_padding)
        __builtin_clear_padding(&record);
#endif
#endif
        stampAfterLast(record);
    }

    // ---- slots: index or -1 ----
    int dpiIndex(unsigned dpi);
    int establishDpi(unsigned dpi);
    int procIndex(unsigned pid);
    int procIndex(const char* name);
    int establishProc(unsigned pid, const char* name);
    int procDpiIndex(unsigned pid, unsigned dpi);
    int establishProcDpi(unsigned pid, unsigned dpi);
    int btDpiIndex(unsigned dpi);
    int btConnHandleIndex(int btIndex, unsigned short handle);
    // The connection slot (0 ... 15) of the device's table; the device index via btDpiIndex.
    int establishBtNodeConnection(unsigned dpi, unsigned short handle);
    int navSourceIndex(const char* name);
    int establishNavSource(const char* name);
    void removeNavSource(const char* name);

    // ---- filing: bit 0 of mask (broadcast) and bit 1 (store) may be cleared ----
    void update(SVyl_wan_ConnectionEstablishedInfo& record, unsigned& mask);
    void update(SVyl_wan_ConnectionLostInfo& record, unsigned& mask);
    void update(SVyl_wan_ConnectionActivatedInfo& record, unsigned& mask);
    void update(SVyl_wan_ConnectionDeactivatedInfo& record, unsigned& mask);
    void update(SVyl_wan_ConnectionIPv4AddressInfo& record, unsigned& mask);
    void update(SVyl_wan_WirelessSignalStrengthInfo& record, unsigned& mask);
    void update(SVyl_wan_LinkStateInfo& record, unsigned& mask);
    void update(SVyl_wan_DeadGatewayDetectInfo& record, unsigned& mask);
    void update(SVyl_process_DeviceConfigConflictWarningInfo& record, unsigned& mask);
    void update(SVyl_process_WatchdogRegistrationInfo& record, unsigned& mask);
    void update(SVyl_process_WatchdogDeregistrationInfo& record, unsigned& mask);
    void update(SVyl_process_DeadProcessRestartInfo& record, unsigned& mask);
    void update(SVyl_devices_DevicePresenceInfo& record, unsigned& mask);
    void update(SVyl_devices_DeviceAbsenceInfo& record, unsigned& mask);
    void update(SVyl_devices_DeviceForceAbsenceInfo& record, unsigned& mask);
    void update(SVyl_devices_WanDeviceDetailGsmInfo& record, unsigned& mask);
    void update(SVyl_devices_WanDeviceDetailCdmaInfo& record, unsigned& mask);
    void update(SVyl_devices_WanDeviceDetailWifiInfo& record, unsigned& mask);
    void update(SVyl_devices_WanDeviceDetailWimaxInfo& record, unsigned& mask);
    void update(SVyl_devices_WanDeviceDetailUnknownInfo& record, unsigned& mask);
    void update(SVyl_devices_WanDeviceDetailEthernetInfo& record, unsigned& mask);
    void update(SVyl_devices_DeviceLockSuccessInfo& record, unsigned& mask);
    void update(SVyl_devices_DeviceLockFailInfo& record, unsigned& mask);
    void update(SVyl_devices_DeviceUnlockInfo& record, unsigned& mask);
    void update(SVyl_devices_DevicePresenceNoBusInfo& record, unsigned& mask);
    void update(SVyl_devices_DevicePresenceUsbInfo& record, unsigned& mask);
    void update(SVyl_devices_DevicePresencePciOrCardbusInfo& record, unsigned& mask);
    void update(SVyl_devices_DevicePresencePcmciaInfo& record, unsigned& mask);
    void update(SVyl_devices_SDKModemIndexInfo& record, unsigned& mask);
    void update(SVyl_bluetooth_nodeConnectedInfo& record, unsigned& mask);
    void update(SVyl_bluetooth_nodeDisconnectedInfo& record, unsigned& mask);
    void update(SVyl_platform_IgnitionStateReportInfo& record, unsigned& mask);
    void update(SVyl_position_InternalGpsLocationInfo& record, unsigned& mask);
    void update(SVyl_position_InternalGpsSpeedInfo& record, unsigned& mask);
    void update(SVyl_position_InternalGpsFixStatusInfo& record, unsigned& mask);
    void update(SVyl_position_InternalGpsAccuracyInfo& record, unsigned& mask);
    void update(SVyl_position_InternalGpsSBASInfo& record, unsigned& mask);
    void update(SVyl_vpn_AddressUpdateInfo& record, unsigned& mask);
    void update(SVyl_vpn_ConnectionStatusInfo& record, unsigned& mask);
    void update(SVyl_navigation_LocationFix3DInfo& record, unsigned& mask);
    void update(SVyl_navigation_SpeedHeading2DInfo& record, unsigned& mask);
    void update(SVyl_navigation_SBASStatusInfo& record, unsigned& mask);
    void update(SVyl_navigation_BestNavigationSBASInfo& record, unsigned& mask);
    void update(SVyl_navigation_AccuracyInfo& record, unsigned& mask);
    void update(SVyl_navigation_BestAccuracyInfo& record, unsigned& mask);
    void update(SVyl_navigation_NavigationSourceStatusInfo& record, unsigned& mask);
    void update(SVyl_navigation_GPSNavigationSourceStatusInfo& record, unsigned& mask);
    void update(SVyl_navigation_BestLocationFix3DInfo& record, unsigned& mask);
    void update(SVyl_navigation_BestSpeedHeading2DInfo& record, unsigned& mask);

    // ---- reading (copies taken under the lock); "false" also means "no such record" ----
    // Devices: every dpi with a slot, present or not.
    std::vector<unsigned> getDpis();
    bool isDevicePresent(unsigned dpi);
    bool getDeviceInfo(unsigned dpi, SOsvDeviceInfo& info);
    std::string getDeviceNode(unsigned dpi);
    bool isDeviceWan(unsigned dpi);
    bool isDeviceWanUnknown(unsigned dpi);
    bool isDeviceWanGsm(unsigned dpi);
    bool isDeviceWanCdma(unsigned dpi);
    bool isDeviceWanWifi(unsigned dpi);
    bool isDeviceWanWimax(unsigned dpi);
    bool isDeviceWanEthernet(unsigned dpi);
    // The class code of a WAN device; -1 when the dpi is not a WAN device.
    int getWanDeviceClass(unsigned dpi);
    // The WAN detail area of the device (read with SOsvDeviceInfo::wanDetailsAs) and its class.
    bool getWanDeviceInfo(unsigned dpi, SOsvDeviceInfo& info, WANLinkClassficationCodes& code);
    bool isWanDeviceConnected(unsigned dpi);
    bool isWanDeviceActive(unsigned dpi);
    bool getWanIpv4Address(unsigned dpi, unsigned& addr, std::string& text);
    bool getWanSignalStrength(unsigned dpi, double& dbm);
    bool getWanSnr(unsigned dpi, double& snr);
    bool getWanLinkState(unsigned dpi, unsigned& linkState, std::string& text);
    // A dead gateway reported after the latest establishment and activation.
    bool hasWanGotADeadGateway(unsigned dpi);
    bool isDeviceLocked(unsigned dpi);
    // Every device slot with an activation or deactivation record.
    std::vector<SOsvWanActivity> getWanActivity();
    // The active WAN device (latest activation newer than latest deactivation); with several,
    // the most recently activated one.
    bool getActiveWanDpi(unsigned& dpi);
    bool hasActiveWan();
    bool getDeviceSDKModemIndex(unsigned dpi, unsigned& index);
    // The smallest modem index not held by a present device.
    unsigned getNextDeviceSDKModemIndex();

    // Navigation: best location and speed/heading.
    bool getLatitude(double& degrees);
    bool getLongitude(double& degrees);
    bool getAltitudeMeters(double& meters);
    bool getSpeedMetersPerHour(double& speed);
    bool getHeading(double& degreesTrue);
    // Internal GPS fix status; the *_Unknown values when no status was filed.
    bool hasGpsFix();
    GpsFixStatusWordAntennaFault getAntennaFault();
    GpsFixStatusWordFixDimension getFixDimension();
    GpsFixStatusWordPositionalDilutionOfPrecisionCheck getPdopCheck();
    GpsFixStatusWordNumSatInView getSatellitesInViewCount();
    GpsFixStatusWordNumSatUsable getSatellitesUsableCount();
    // Navigation sources that filed a GPS source status, in slot order.
    bool getFirstGpsSourceName(std::string& name);
    std::vector<std::string> getGpsSourceNames();

    // Processes.
    std::vector<unsigned> getProcs();
    bool isRunning(unsigned pid);
    bool isRegistered(unsigned pid);
    bool getProcessName(unsigned pid, std::string& name);
    bool hasConfigConflict(unsigned pid);

    // Bluetooth.
    bool isBtNodeConnectionPresent(unsigned dpi, unsigned short handle);
    bool getBtNodeAddress(unsigned dpi, unsigned short handle, std::string& bdaddr);
    std::vector<unsigned> getBtDpis();
    // Handles of the device's connections that are present.
    std::vector<unsigned short> getBtConnHandles(unsigned dpi);

    // Platform and VPN.
    bool isIgnitionOn();
    unsigned getShutdownDelaySecsRemaining();
    // The current VPN status: false also when none was ever filed.
    bool getVpnConnectionStatus();
    bool getVpnAddr(unsigned& addr);

private:
    void stampAfterLast(SVylTimestampedInfo& record);
    unsigned fullPid(int procSlot) const;
    int findNavSource(const char* name) const;
    void clearNavSource(int index);
    SOsvProcessDeviceInfo* procDeviceEntry(unsigned pid, unsigned dpi, bool establish);
    void markNetworkDevice(int slot);
    template <class TRecord> void fileDeviceRecord(TRecord& record, TRecord SOsvDeviceInfo::*field);
    template <class TRecord> void fileWanDetails(TRecord& record, WANLinkClassficationCodes code);
    template <class TRecord> void fileBusPresence(TRecord& record, unsigned& mask);
    template <class TRecord> void fileNavRecord(TRecord& record, TRecord SOsvNavSourceInfo::*field);
    template <class TRecord>
    void fileNavAccuracy(TRecord& record, TRecord SOsvNavAccuracyInfo::*field);
};

#pragma pack(pop)

// Maps the segment named by VYL_OSV_NAME (or "/vylosv"), creating and initialising it when
// needed; null when it cannot be opened or mapped.
SOsvContent* getOsvPointer();
// Unmaps a segment from getOsvPointer(); null is ignored.
void releaseOsvPointer(SOsvContent* content);
// The shared memory object name in use.
std::string osvSegmentName();

// Holds the segment's lock for a scope.
class COsvLock {
public:
    explicit COsvLock(SOsvContent* content);
    ~COsvLock();
    COsvLock(const COsvLock&) = delete;
    COsvLock& operator=(const COsvLock&) = delete;
    // False when the lock could not be had: give up what needed it.
    explicit operator bool() const { return m_locked; }

private:
    SOsvContent* m_content;
    bool m_locked;
    bool m_gaveUp; // this guard is the one whose wait timed out
};

// ---- layout shared with other processes ----
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define OSV_FIELD_AT(type, field, offset)                                                          \
    static_assert(offsetof(type, field) == (offset), #type "::" #field " offset")

static_assert(sizeof(SOsvDeviceInfo) == 10240, "device slot size");
OSV_FIELD_AT(SOsvDeviceInfo, m_dpi, 0);
OSV_FIELD_AT(SOsvDeviceInfo, m_deviceBusType, 4);
OSV_FIELD_AT(SOsvDeviceInfo, m_devicePresence, 8);
OSV_FIELD_AT(SOsvDeviceInfo, m_isNetworkDevice, 3080);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanEstablished, 3084);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanLost, 3112);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanActivated, 3136);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanDeactivated, 3164);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanIpv4Address, 3188);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanWirelessSignalStrength, 3472);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanLinkState, 3512);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanDeadGateway, 3796);
OSV_FIELD_AT(SOsvDeviceInfo, m_deviceLock, 3820);
OSV_FIELD_AT(SOsvDeviceInfo, m_deviceUnlock, 3848);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanDeviceDetails, 3876);
OSV_FIELD_AT(SOsvDeviceInfo, m_wanDeviceType, 6948);
OSV_FIELD_AT(SOsvDeviceInfo, m_deviceSDKIndex, 6952);
OSV_FIELD_AT(SOsvDeviceInfo, m_reserved, 6980);

static_assert(sizeof(SOsvProcessDeviceInfo) == 88, "process device entry size");
static_assert(sizeof(SOsvProcessInfo) == 2120, "process slot size");
OSV_FIELD_AT(SOsvProcessInfo, m_processName, 0);
OSV_FIELD_AT(SOsvProcessInfo, m_pid, 64);
OSV_FIELD_AT(SOsvProcessInfo, m_dpiOccupied, 66);
OSV_FIELD_AT(SOsvProcessInfo, m_watchdogRegistration, 68);
OSV_FIELD_AT(SOsvProcessInfo, m_watchdogDeregistration, 348);
OSV_FIELD_AT(SOsvProcessInfo, m_processRestart, 372);
OSV_FIELD_AT(SOsvProcessInfo, m_deviceConfictWarning, 652);
OSV_FIELD_AT(SOsvProcessInfo, m_deviceActionTodTimestamp, 680);
OSV_FIELD_AT(SOsvProcessInfo, m_deviceActionMonTimestamp, 688);
OSV_FIELD_AT(SOsvProcessInfo, m_configUpdateTodTimestamp, 696);
OSV_FIELD_AT(SOsvProcessInfo, m_configUpdateMonTimestamp, 704);
OSV_FIELD_AT(SOsvProcessInfo, m_deviceInfo, 712);

static_assert(sizeof(SOsvBluetoothInfo) == 576, "Bluetooth slot size");
OSV_FIELD_AT(SOsvBluetoothInfo, m_dpi, 0);
OSV_FIELD_AT(SOsvBluetoothInfo, m_connHandle, 4);
OSV_FIELD_AT(SOsvBluetoothInfo, m_btNodeConnected, 8);
OSV_FIELD_AT(SOsvBluetoothInfo, m_btNodeDisconnected, 292);

static_assert(sizeof(SOsvNavSourceInfo) == 808, "navigation source slot size");
OSV_FIELD_AT(SOsvNavSourceInfo, m_sourceName, 0);
OSV_FIELD_AT(SOsvNavSourceInfo, m_location, 32);
OSV_FIELD_AT(SOsvNavSourceInfo, m_speedHeading, 112);
OSV_FIELD_AT(SOsvNavSourceInfo, m_navStatus, 184);
OSV_FIELD_AT(SOsvNavSourceInfo, m_gpsStatus, 496);

static_assert(sizeof(SOsvLocationInfo) == 104, "location size");
OSV_FIELD_AT(SOsvLocationInfo, m_internalSpeed, 36);
OSV_FIELD_AT(SOsvLocationInfo, m_internalGpsFixStatus, 60);
static_assert(sizeof(SOsvPlatformInfo) == 4100, "platform size");
static_assert(sizeof(SOsvBestNavInfo) == 4176, "best navigation size");
static_assert(sizeof(SOsvVPNInfo) == 10284, "VPN size");
OSV_FIELD_AT(SOsvVPNInfo, m_tunnelIPv4Addr, 20);
static_assert(sizeof(SOsvLocationAccuracyInfo) == 308, "location accuracy size");
static_assert(sizeof(SOsvNavAccuracyInfo) == 376, "navigation accuracy size");
static_assert(sizeof(SOsvBestNavAccuracyInfo) == 4152, "best accuracy size");

static_assert(sizeof(SOsvContent) == OSV_SEGMENT_SIZE, "segment size");
static_assert(sizeof(pthread_mutexattr_t) == 4, "mutex attributes are 4 bytes");
OSV_FIELD_AT(SOsvContent, m_osvVersion, 0);
OSV_FIELD_AT(SOsvContent, m_mutex, 4);
OSV_FIELD_AT(SOsvContent, m_mutexattr, 28);
OSV_FIELD_AT(SOsvContent, m_dpiOccupied, 32);
OSV_FIELD_AT(SOsvContent, m_deviceInfoList, 36);
OSV_FIELD_AT(SOsvContent, m_procOccupied, 327716);
OSV_FIELD_AT(SOsvContent, m_procInfoList, 327720);
OSV_FIELD_AT(SOsvContent, m_locationInfo, 395560);
OSV_FIELD_AT(SOsvContent, m_btDpiOccupied, 395664);
OSV_FIELD_AT(SOsvContent, m_btConnHandleOccupied, 395666);
OSV_FIELD_AT(SOsvContent, m_bluetoothInfoList, 395684);
OSV_FIELD_AT(SOsvContent, m_platformInfo, 469412);
OSV_FIELD_AT(SOsvContent, m_navSourceOccupied, 473512);
OSV_FIELD_AT(SOsvContent, m_navSourceData, 473516);
OSV_FIELD_AT(SOsvContent, m_bestNavInfo, 486444);
OSV_FIELD_AT(SOsvContent, m_vpnInfo, 490620);
OSV_FIELD_AT(SOsvContent, m_locationAccuracyInfo, 500904);
OSV_FIELD_AT(SOsvContent, m_navSourceAccuracy, 501212);
OSV_FIELD_AT(SOsvContent, m_bestNavAccInfo, 507228);
OSV_FIELD_AT(SOsvContent, m_reserved, 511380);

#undef OSV_FIELD_AT
#pragma GCC diagnostic pop
