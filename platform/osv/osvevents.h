// The platform's typed events: one class per happening that the event generator stores, each a
// CDelsEvent with its message id, severity, parameters and text fixed by its constructor and
// stamped at construction. Plain values, usable from any thread.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "delstypes.h"
#include "osvtypes.h"

namespace osv {

// Message ids of the platform's events.
enum EOsvMessageId : unsigned {
    OMID_VPN_STATUS = 263,
    OMID_VPN_ADDRESS = 264,
    OMID_DEVICE_PRESENCE = 267,
    OMID_DEVICE_ABSENCE = 268,
    OMID_DEAD_PROCESS_RESTART = 275,
    OMID_WATCHDOG_REGISTRATION = 276,
    OMID_WATCHDOG_DEREGISTRATION = 277,
    OMID_DEVICE_LOCK_SUCCESS = 284,
    // A lock refused because another process holds the device; kept apart from 284 so that a
    // reader of the store never takes a refusal for a held lock.
    OMID_DEVICE_LOCK_FAIL = 285,
    OMID_DEVICE_UNLOCK = 286,
    OMID_CONFIG_CONFLICT = 287,
    OMID_BT_CONNECTION = 288,
    OMID_BT_DISCONNECTION = 289,
    OMID_WAN_ESTABLISHED = 512,
    OMID_WAN_LOST = 513,
    OMID_WAN_ACTIVATED = 514,
    OMID_WAN_DEACTIVATED = 515,
    OMID_WAN_IPV4_ADDRESS = 516,
    OMID_WAN_SIGNAL_STRENGTH = 517,
    OMID_WAN_LINK_STATE = 518,
    OMID_WAN_DEAD_GATEWAY = 519,
    OMID_WAN_DEVICE_DETAIL = 524,
    OMID_GPS_LOCATION = 772,
    OMID_GPS_SPEED = 773,
    OMID_GPS_FIX_STATUS = 774,
    OMID_IGNITION_STATE = 775,
    OMID_GPS_SBAS = 782,
    OMID_GPS_ACCURACY = 783,
};

// Degrees as 32-bit fixed point with 23 fraction bits, truncated toward zero; NaN and values
// the 32 bits cannot hold give 0.
unsigned scaledDegrees(double degrees);
// The IEEE-754 bit pattern of `value`.
unsigned floatBits(float value);
// "dBm=<dbm>,SNR=<snr>", each with six significant digits.
std::string signalStrengthText(double dbm, double snr);
// "friendlyName=<name>", then ",KEY=value" for every non-empty value; keys carry their ",".
std::string wanDetailText(const char* friendlyName,
                          std::initializer_list<std::pair<const char*, const char*>> keyed);

// One event of the catalogue: what every class below is.
class COsvEvent : public CDelsEvent {
protected:
    COsvEvent(EOsvMessageId id, DelsSeverity severity, unsigned param0, unsigned param1 = 0,
              const std::string& text = std::string())
        : CDelsEvent(id, severity, param0, param1, text.c_str()) {}
};

// ---- WAN ----

class CVylWanConnectionEstablishmentEvent : public COsvEvent {
public:
    explicit CVylWanConnectionEstablishmentEvent(unsigned dpi)
        : COsvEvent(OMID_WAN_ESTABLISHED, DSEV_CRITICAL, dpi) {}
};
class CVylWanConnectionLossEvent : public COsvEvent {
public:
    explicit CVylWanConnectionLossEvent(unsigned dpi)
        : COsvEvent(OMID_WAN_LOST, DSEV_CRITICAL, dpi) {}
};
class CVylWanConnectionActivationEvent : public COsvEvent {
public:
    explicit CVylWanConnectionActivationEvent(unsigned dpi)
        : COsvEvent(OMID_WAN_ACTIVATED, DSEV_CRITICAL, dpi) {}
};
class CVylWanConnectionDeactivationEvent : public COsvEvent {
public:
    explicit CVylWanConnectionDeactivationEvent(unsigned dpi)
        : COsvEvent(OMID_WAN_DEACTIVATED, DSEV_CRITICAL, dpi) {}
};
class CVylWanConnectionIpv4AddressEvent : public COsvEvent {
public:
    CVylWanConnectionIpv4AddressEvent(unsigned addr, unsigned dpi)
        : COsvEvent(OMID_WAN_IPV4_ADDRESS, DSEV_CRITICAL, dpi, addr) {}
};
class CVylWirelessWanConnectionSignalStrengthEvent : public COsvEvent {
public:
    CVylWirelessWanConnectionSignalStrengthEvent(double dbm, unsigned dpi, double snr)
        : COsvEvent(OMID_WAN_SIGNAL_STRENGTH, DSEV_NORMAL, dpi, 0, signalStrengthText(dbm, snr)) {}
};
class CVylWanLinkStateEvent : public COsvEvent {
public:
    CVylWanLinkStateEvent(unsigned dpi, unsigned linkState)
        : COsvEvent(OMID_WAN_LINK_STATE, DSEV_NORMAL, dpi, linkState) {}
};
class CVylWanLinkDeadGatewayDetectEvent : public COsvEvent {
public:
    explicit CVylWanLinkDeadGatewayDetectEvent(unsigned dpi)
        : COsvEvent(OMID_WAN_DEAD_GATEWAY, DSEV_HIGH, dpi) {}
};
class CVylWANDeviceDetailEvent : public COsvEvent {
public:
    CVylWANDeviceDetailEvent(unsigned dpi, WANLinkClassficationCodes code, const std::string& text)
        : COsvEvent(OMID_WAN_DEVICE_DETAIL, DSEV_CRITICAL, dpi, static_cast<unsigned>(code), text) {
    }
};

// ---- devices ----

class CGatewayDevicePresenceDetectEvent : public COsvEvent {
public:
    CGatewayDevicePresenceDetectEvent(const std::string& text, unsigned dpi)
        : COsvEvent(OMID_DEVICE_PRESENCE, DSEV_CRITICAL, dpi, 0, text) {}
};
class CGatewayDeviceAbsenceDetectEvent : public COsvEvent {
public:
    CGatewayDeviceAbsenceDetectEvent(const std::string& text, unsigned dpi)
        : COsvEvent(OMID_DEVICE_ABSENCE, DSEV_CRITICAL, dpi, 0, text) {}
};
class CGatewayDeviceLockSuccessReportEvent : public COsvEvent {
public:
    CGatewayDeviceLockSuccessReportEvent(unsigned dpi, unsigned pid)
        : COsvEvent(OMID_DEVICE_LOCK_SUCCESS, DSEV_NORMAL, dpi, pid) {}
};
class CGatewayDeviceLockFailReportEvent : public COsvEvent {
public:
    CGatewayDeviceLockFailReportEvent(unsigned dpi, unsigned pid)
        : COsvEvent(OMID_DEVICE_LOCK_FAIL, DSEV_NORMAL, dpi, pid) {}
};
class CGatewayDeviceUnlockReportEvent : public COsvEvent {
public:
    CGatewayDeviceUnlockReportEvent(unsigned dpi, unsigned pid)
        : COsvEvent(OMID_DEVICE_UNLOCK, DSEV_NORMAL, dpi, pid) {}
};
class CGatewayDeviceConfigurationConflictWarningEvent : public COsvEvent {
public:
    CGatewayDeviceConfigurationConflictWarningEvent(unsigned matchCount, unsigned pid)
        : COsvEvent(OMID_CONFIG_CONFLICT, DSEV_HIGH, pid, matchCount) {}
};

// ---- processes ----

class CGatewaySoftwareWatchdogDeadProcessRestartEvent : public COsvEvent {
public:
    CGatewaySoftwareWatchdogDeadProcessRestartEvent(const std::string& name, unsigned pid)
        : COsvEvent(OMID_DEAD_PROCESS_RESTART, DSEV_HIGH, pid, 0, name) {}
};
class CGatewaySoftwareWatchdogProcessRegistrationEvent : public COsvEvent {
public:
    CGatewaySoftwareWatchdogProcessRegistrationEvent(const std::string& name, unsigned pid,
                                                     DelsSeverity severity)
        : COsvEvent(OMID_WATCHDOG_REGISTRATION, severity, pid, 0, name) {}
};
class CGatewaySoftwareWatchdogProcessDeregistrationEvent : public COsvEvent {
public:
    CGatewaySoftwareWatchdogProcessDeregistrationEvent(unsigned pid, DelsSeverity severity)
        : COsvEvent(OMID_WATCHDOG_DEREGISTRATION, severity, pid) {}
};

// ---- Bluetooth ----

class CGatewayBluetoothConnectionDetectEvent : public COsvEvent {
public:
    CGatewayBluetoothConnectionDetectEvent(const std::string& bdaddr, unsigned short connHandle,
                                           unsigned dpi)
        : COsvEvent(OMID_BT_CONNECTION, DSEV_HIGH, dpi, connHandle, bdaddr) {}
};
class CGatewayBluetoothDisconnectionDetectEvent : public COsvEvent {
public:
    CGatewayBluetoothDisconnectionDetectEvent(unsigned short connHandle, unsigned dpi)
        : COsvEvent(OMID_BT_DISCONNECTION, DSEV_HIGH, dpi, connHandle) {}
};

// ---- VPN and platform ----

class CGatewayVpnConnectionStatusEvent : public COsvEvent {
public:
    explicit CGatewayVpnConnectionStatusEvent(bool up)
        : COsvEvent(OMID_VPN_STATUS, DSEV_CRITICAL, up ? 1u : 0u) {}
};
class CGatewayVpnTunnelIpv4AddressUpdateEvent : public COsvEvent {
public:
    explicit CGatewayVpnTunnelIpv4AddressUpdateEvent(unsigned addr)
        : COsvEvent(OMID_VPN_ADDRESS, DSEV_CRITICAL, addr) {}
};
class CGatewayIgnitionStateReportEvent : public COsvEvent {
public:
    CGatewayIgnitionStateReportEvent(bool ignitionState, unsigned timeRemaining)
        : COsvEvent(OMID_IGNITION_STATE, DSEV_CRITICAL, ignitionState ? 1u : 0u, timeRemaining) {}
};

// ---- internal GPS ----

class CGatewayLocationViaInternalGpsEvent : public COsvEvent {
public:
    CGatewayLocationViaInternalGpsEvent(double lat, double lon, DelsSeverity severity)
        : COsvEvent(OMID_GPS_LOCATION, severity, scaledDegrees(lat), scaledDegrees(lon)) {}
};
class CGatewaySpeedViaInternalGpsEvent : public COsvEvent {
public:
    CGatewaySpeedViaInternalGpsEvent(unsigned mph, DelsSeverity severity)
        : COsvEvent(OMID_GPS_SPEED, severity, mph) {}
};
class CGatewayInternalGpsFixStatusEvent : public COsvEvent {
public:
    CGatewayInternalGpsFixStatusEvent(GpsFixStatusWordAntennaFault antennaFault,
                                      GpsFixStatusWordFixDimension fixDimension, bool gpsFixStatus,
                                      GpsFixStatusWordPositionalDilutionOfPrecisionCheck pdopCheck,
                                      GpsFixStatusWordNumSatInView satellitesInView,
                                      GpsFixStatusWordNumSatUsable satellitesUsable,
                                      DelsSeverity severity)
        : COsvEvent(OMID_GPS_FIX_STATUS, severity, gpsFixStatus ? 1u : 0u,
                    SVyl_position_InternalGpsFixStatusInfo(antennaFault, fixDimension, gpsFixStatus,
                                                           pdopCheck, satellitesInView,
                                                           satellitesUsable)
                        .packedStatusWord()) {}
};
class CGatewaySBASStatusViaInternalGpsEvent : public COsvEvent {
public:
    CGatewaySBASStatusViaInternalGpsEvent(unsigned sbasCorrection, unsigned sbasEn,
                                          DelsSeverity severity)
        : COsvEvent(OMID_GPS_SBAS, severity, sbasCorrection, sbasEn) {}
};
class CGatewayAccuracyViaInternalGpsEvent : public COsvEvent {
public:
    CGatewayAccuracyViaInternalGpsEvent(float accuracy, DelsSeverity severity)
        : COsvEvent(OMID_GPS_ACCURACY, severity, floatBits(accuracy)) {}
};

} // namespace osv
