#include "osv_eventgen.h"

#include <cstdarg>
#include <cstdlib>

#include <gio/gio.h>
#include <giomm/init.h>
#include <syslog.h>

#include "locations.h"
#include "osvevents.h"
#include "vyl_fs.h"

namespace {

constexpr unsigned kBroadcast = 1u;
constexpr unsigned kStore = 2u;

// The facility goes with each line: openlog would change the identity and facility of every
// later line of the process, the other components' included.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ::vsyslog(LOG_LOCAL3 | LOG_ERR, format, args);
    va_end(args);
}

// A D-Bus string from a record field or a caller's text: null reads as empty, and bytes that
// are no UTF-8 (a field cut at 255 bytes may split a character) become U+FFFD, since GVariant
// refuses such strings.
GVariant* text(const char* value) {
    if (!value)
        value = "";
    if (g_utf8_validate(value, -1, nullptr))
        return g_variant_new_string(value);
    gchar* valid = g_utf8_make_valid(value, -1);
    GVariant* result = g_variant_new_string(valid);
    g_free(valid);
    return result;
}

const char* orEmpty(const char* value) {
    return value ? value : "";
}

gboolean flag(bool value) {
    return value ? TRUE : FALSE;
}

} // namespace

enum CVylEventGenerator::ESignalGroup : int {
    OSG_NAVIGATION,
    OSG_INTERNAL_GPS,
    OSG_VPN,
    OSG_PLATFORM,
    OSG_PROCESSES,
    OSG_BLUETOOTH,
    OSG_DEVICES,
    OSG_WAN,
};

namespace {

struct SSignalGroup {
    const char* interface;
    const char* path;
};

// By ESignalGroup.
const SSignalGroup kGroups[] = {
    {"com.ulvaro.navigation.NavigationEvents", "/com/ulvaro/navigation/NavigationEvents"},
    {"com.ulvaro.navigation.IInternalGps", "/com/ulvaro/navigation/IInternalGps"},
    {"com.ulvaro.vpn.IVpnStateEvents", "/com/ulvaro/vpn/IVpnStateEvents"},
    {"com.ulvaro.watchdog.IPlatformEvents", "/com/ulvaro/watchdog/IPlatformEvents"},
    {"com.ulvaro.watchdog.IProcessEvents", "/com/ulvaro/watchdog/IProcessEvents"},
    {"com.ulvaro.btservice.IPiconetEvents", "/com/ulvaro/btservice/IPiconetEvents"},
    {"com.ulvaro.devices.IDeviceEvents", "/com/ulvaro/devices/IDeviceEvents"},
    {"com.ulvaro.wan.IWanStateEvents", "/com/ulvaro/wan/IWanStateEvents"},
};

} // namespace

CVylEventGenerator::CVylEventGenerator(bool useDels, bool useDbus, bool useSystemBus)
    : m_useDels(useDels), m_useDbus(useDbus), m_useSystemBus(useSystemBus) {}

CVylEventGenerator::~CVylEventGenerator() {
    m_delsSource.reset();
    flushDbus();
    releaseOsvPointer(m_osv);
}

// ---- channels ----

void CVylEventGenerator::initDbus() {
    std::lock_guard<std::recursive_mutex> guard(m_openLock);
    Gio::init();
    const bool system = m_useSystemBus && !std::getenv("QCF_SESSION_BUS");
    GError* error = nullptr;
    GDBusConnection* bus =
        g_bus_get_sync(system ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        logLine("Error in creating DBUS connection: %s\n", error ? error->message : "unknown");
        g_clear_error(&error);
        disableDbus();
        return;
    }
    // A bus that goes away must not end the process with a clean status.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    m_dbusConnection = Glib::wrap(bus);
}

void CVylEventGenerator::disableDbus() {
    m_useDbus = false;
}

void CVylEventGenerator::flushDbus() {
    Glib::RefPtr<Gio::DBus::Connection> bus;
    {
        std::lock_guard<std::recursive_mutex> guard(m_openLock);
        bus = m_dbusConnection;
    }
    if (!bus || bus->is_closed())
        return;
    GError* error = nullptr;
    if (!g_dbus_connection_flush_sync(bus->gobj(), nullptr, &error)) {
        logLine("Error in flushing DBUS connection: %s\n", error ? error->message : "unknown");
        g_clear_error(&error);
    }
}

Glib::RefPtr<Gio::DBus::Connection> CVylEventGenerator::connection() {
    std::lock_guard<std::recursive_mutex> guard(m_openLock);
    // A connection the bus closed (a restarting bus) is replaced by a new one.
    if (m_dbusConnection && m_dbusConnection->is_closed())
        m_dbusConnection.reset();
    if (!m_dbusConnection && m_useDbus) {
        try {
            initDbus();
        } catch (...) {
            logLine("Error in creating DBUS connection!\n");
        }
    }
    return m_dbusConnection;
}

SOsvContent* CVylEventGenerator::segment() {
    std::lock_guard<std::recursive_mutex> guard(m_openLock);
    if (!m_osvTried) {
        m_osvTried = true;
        m_osv = getOsvPointer();
        if (!m_osv)
            logLine("Content segment %s unavailable: happenings are not filed\n",
                    osvSegmentName().c_str());
    }
    return m_osv;
}

CDelsEventSource* CVylEventGenerator::source() {
    std::lock_guard<std::recursive_mutex> guard(m_openLock);
    if (!m_delsSource && m_useDels) {
        try {
            // A fresh system may not have the folder yet; the store creates only the file.
            vyl::makeDirs(getLocation(DELS_DB_DIR_INDEX), 0755);
            m_delsSource.reset(
                CDelsEventSource::create(getLocation(DELS_DB_FILE_INDEX), DNT_ORIGIN, true, false));
        } catch (const std::exception& e) {
            logLine("Error in creating event source: %s\n", e.what());
        } catch (...) {
            logLine("Error in creating event source\n");
        }
        // One attempt: a store that cannot be opened would otherwise cost a try (and a log
        // line) per happening.
        if (!m_delsSource)
            m_useDels = false;
    }
    return m_delsSource.get();
}

void CVylEventGenerator::broadcast(ESignalGroup group, const char* member, GVariant* body) {
    g_variant_ref_sink(body);
    if (Glib::RefPtr<Gio::DBus::Connection> bus = connection()) {
        GError* error = nullptr;
        if (!g_dbus_connection_emit_signal(bus->gobj(), nullptr, kGroups[group].path,
                                           kGroups[group].interface, member, body, &error)) {
            logLine("Error in sending DBUS message: %s\n", error ? error->message : "unknown");
            g_clear_error(&error);
        }
    }
    g_variant_unref(body);
}

void CVylEventGenerator::store(const CDelsEvent& event) {
    CDelsEventSource* events = source();
    if (!events)
        return;
    // A happening that cannot be stored must not unwind into the component announcing it.
    CDelsEvent copy(event);
    try {
        events->sendEvent(copy);
    } catch (const std::exception& e) {
        logLine("Error in storing event %u: %s\n", event.getMessageId(), e.what());
    } catch (...) {
        logLine("Error in storing event %u\n", event.getMessageId());
    }
}

template <class TRecord, class TSignals, class TEvent>
void CVylEventGenerator::announce(TRecord& record, TSignals signals, TEvent event) {
    unsigned mask = (m_useDbus ? kBroadcast : 0u) | (m_useDels ? kStore : 0u);
    if (SOsvContent* osv = segment())
        osv->update(record, mask);
    if ((mask & kBroadcast) && m_useDbus)
        signals();
    if ((mask & kStore) && m_useDels)
        store(event());
}

template <class TRecord, class TSignals>
void CVylEventGenerator::announce(TRecord& record, TSignals signals) {
    unsigned mask = m_useDbus ? kBroadcast : 0u;
    if (SOsvContent* osv = segment())
        osv->update(record, mask);
    if ((mask & kBroadcast) && m_useDbus)
        signals();
}

// ---- WAN ----

void CVylEventGenerator::wan_ConnectionEstablished(unsigned cost, unsigned dpi, DelsSeverity) {
    SVyl_wan_ConnectionEstablishedInfo r(cost, dpi);
    announce(
        r,
        [&] {
            broadcast(OSG_WAN, "ConnectionEstablished", g_variant_new("(uu)", r.m_cost, r.m_dpi));
        },
        [&] { return osv::CVylWanConnectionEstablishmentEvent(dpi); });
}

void CVylEventGenerator::wan_ConnectionLost(unsigned dpi, DelsSeverity) {
    SVyl_wan_ConnectionLostInfo r(dpi);
    announce(
        r, [&] { broadcast(OSG_WAN, "ConnectionLost", g_variant_new("(u)", r.m_dpi)); },
        [&] { return osv::CVylWanConnectionLossEvent(dpi); });
}

void CVylEventGenerator::wan_ConnectionActivated(unsigned cost, unsigned dpi, DelsSeverity) {
    SVyl_wan_ConnectionActivatedInfo r(cost, dpi);
    announce(
        r,
        [&] {
            broadcast(OSG_WAN, "ConnectionActivated", g_variant_new("(uu)", r.m_cost, r.m_dpi));
        },
        [&] { return osv::CVylWanConnectionActivationEvent(dpi); });
}

void CVylEventGenerator::wan_ConnectionDeactivated(unsigned dpi, DelsSeverity) {
    SVyl_wan_ConnectionDeactivatedInfo r(dpi);
    announce(
        r, [&] { broadcast(OSG_WAN, "ConnectionDeactivated", g_variant_new("(u)", r.m_dpi)); },
        [&] { return osv::CVylWanConnectionDeactivationEvent(dpi); });
}

void CVylEventGenerator::wan_ConnectionIPv4Address(unsigned addr, unsigned dpi,
                                                   const char* ipAddrString, DelsSeverity) {
    SVyl_wan_ConnectionIPv4AddressInfo r(addr, dpi, ipAddrString);
    announce(
        r,
        [&] {
            broadcast(OSG_WAN, "ConnectionIPv4Address",
                      g_variant_new("(u@s)", r.m_dpi, text(r.m_ipAddrString)));
        },
        [&] { return osv::CVylWanConnectionIpv4AddressEvent(addr, dpi); });
}

void CVylEventGenerator::wan_WirelessSignalStrength(double dbm, unsigned dpi, double snr,
                                                    DelsSeverity) {
    SVyl_wan_WirelessSignalStrengthInfo r(dbm, dpi, snr);
    announce(
        r,
        [&] {
            broadcast(OSG_WAN, "WirelessSignalStrength",
                      g_variant_new("(dud)", r.m_dbm, r.m_dpi, r.m_snr));
        },
        [&] { return osv::CVylWirelessWanConnectionSignalStrengthEvent(dbm, dpi, snr); });
}

void CVylEventGenerator::wan_LinkState(unsigned dpi, unsigned linkState, const char* lsString,
                                       DelsSeverity) {
    SVyl_wan_LinkStateInfo r(dpi, linkState, lsString);
    announce(
        r,
        [&] {
            broadcast(OSG_WAN, "LinkState",
                      g_variant_new("(uu@s)", r.m_dpi, r.m_linkState, text(r.m_lsString)));
        },
        [&] { return osv::CVylWanLinkStateEvent(dpi, linkState); });
}

void CVylEventGenerator::wan_DeadGatewayDetect(unsigned dpi, DelsSeverity) {
    SVyl_wan_DeadGatewayDetectInfo r(dpi);
    announce(
        r, [&] { broadcast(OSG_WAN, "DeadGatewayDetect", g_variant_new("(u)", r.m_dpi)); },
        [&] { return osv::CVylWanLinkDeadGatewayDetectEvent(dpi); });
}

// ---- processes ----

void CVylEventGenerator::process_DeviceConfigConflictWarning(unsigned matchCount,
                                                             unsigned processPID, DelsSeverity) {
    SVyl_process_DeviceConfigConflictWarningInfo r(matchCount, processPID);
    announce(
        r,
        [&] {
            broadcast(OSG_DEVICES, "DeviceConfigConflictWarning",
                      g_variant_new("(uu)", r.m_matchCount, r.m_processPID));
        },
        [&] {
            return osv::CGatewayDeviceConfigurationConflictWarningEvent(matchCount, processPID);
        });
}

void CVylEventGenerator::process_WatchdogRegistration(const char* processName, unsigned processPID,
                                                      DelsSeverity severity) {
    SVyl_process_WatchdogRegistrationInfo r(processName, processPID);
    announce(
        r,
        [&] {
            broadcast(OSG_PROCESSES, "WatchdogRegistration",
                      g_variant_new("(u@s)", r.m_processPID, text(r.m_processName)));
        },
        [&] {
            return osv::CGatewaySoftwareWatchdogProcessRegistrationEvent(orEmpty(processName),
                                                                         processPID, severity);
        });
}

void CVylEventGenerator::process_WatchdogDeregistration(unsigned processPID,
                                                        DelsSeverity severity) {
    SVyl_process_WatchdogDeregistrationInfo r(processPID);
    announce(
        r,
        [&] {
            broadcast(OSG_PROCESSES, "WatchdogDeregistration",
                      g_variant_new("(u)", r.m_processPID));
        },
        [&] {
            return osv::CGatewaySoftwareWatchdogProcessDeregistrationEvent(processPID, severity);
        });
}

void CVylEventGenerator::process_DeadProcessRestart(const char* processName, unsigned processPID,
                                                    DelsSeverity) {
    SVyl_process_DeadProcessRestartInfo r(processName, processPID);
    announce(
        r,
        [&] {
            broadcast(OSG_PROCESSES, "DeadProcessRestart",
                      g_variant_new("(u@s)", r.m_processPID, text(r.m_processName)));
        },
        [&] {
            return osv::CGatewaySoftwareWatchdogDeadProcessRestartEvent(orEmpty(processName),
                                                                        processPID);
        });
}

// ---- devices ----

namespace {

// "DevicePresence" and "DeviceAbsence" carry the node name and the dpi.
template <class TRecord> GVariant* nodeBody(const TRecord& r) {
    return g_variant_new("(@su)", text(r.m_devNode), r.m_dpi);
}

// An absence names the node the segment recorded for the device; a device whose presence was
// never filed there (only its lock, say) keeps the caller's name rather than going unnamed.
template <class TRecord> GVariant* absenceBody(const TRecord& r, const char* devNode) {
    return g_variant_new("(@su)", text(r.m_devNode[0] ? r.m_devNode : devNode), r.m_dpi);
}

} // namespace

void CVylEventGenerator::devices_DevicePresence(const char* devNode, const char* deviceDescription,
                                                unsigned dpi, DelsSeverity) {
    SVyl_devices_DevicePresenceInfo r(dpi, devNode, 0, deviceDescription);
    announce(
        r, [&] { broadcast(OSG_DEVICES, "DevicePresence", nodeBody(r)); },
        [&] { return osv::CGatewayDevicePresenceDetectEvent(orEmpty(deviceDescription), dpi); });
}

void CVylEventGenerator::devices_DeviceAbsence(const char* devNode, const char* deviceDescription,
                                               unsigned dpi, DelsSeverity) {
    SVyl_devices_DeviceAbsenceInfo r(dpi, devNode, 0, deviceDescription);
    announce(
        r, [&] { broadcast(OSG_DEVICES, "DeviceAbsence", absenceBody(r, devNode)); },
        [&] { return osv::CGatewayDeviceAbsenceDetectEvent(orEmpty(deviceDescription), dpi); });
}

void CVylEventGenerator::devices_DeviceForceAbsence(const char* devNode,
                                                    const char* deviceDescription, unsigned dpi,
                                                    DelsSeverity) {
    SVyl_devices_DeviceForceAbsenceInfo r(dpi, devNode, 0, deviceDescription);
    announce(
        r, [&] { broadcast(OSG_DEVICES, "DeviceForceAbsence", absenceBody(r, devNode)); },
        [&] { return osv::CGatewayDeviceAbsenceDetectEvent(orEmpty(deviceDescription), dpi); });
}

void CVylEventGenerator::devices_WanDeviceDetailGsm(unsigned dpi, const char* friendlyName,
                                                    const char* iccid, const char* imei,
                                                    const char* imsi, const char* msisdn,
                                                    DelsSeverity) {
    SVyl_devices_WanDeviceDetailGsmInfo r(dpi, friendlyName, iccid, imei, imsi, msisdn);
    announce(
        r,
        [&] {
            broadcast(OSG_DEVICES, "WanDeviceDetailGsm",
                      g_variant_new("(u@s@s@s@s@s)", r.m_dpi, text(r.m_friendlyName),
                                    text(r.m_imsi), text(r.m_imei), text(r.m_iccid),
                                    text(r.m_msisdn)));
        },
        [&] {
            return osv::CVylWANDeviceDetailEvent(
                dpi, WANLinkClassficationCodes::GSM,
                osv::wanDetailText(friendlyName, {{",IMSI=", imsi},
                                                  {",IMEI=", imei},
                                                  {",ICCID=", iccid},
                                                  {",MSISDN=", msisdn}}));
        });
}

void CVylEventGenerator::devices_WanDeviceDetailCdma(unsigned dpi, const char* esn,
                                                     const char* friendlyName, const char* iccid,
                                                     const char* imei, const char* imsi,
                                                     const char* meid, DelsSeverity) {
    SVyl_devices_WanDeviceDetailCdmaInfo r(dpi, esn, friendlyName, iccid, imei, imsi, meid);
    announce(
        r,
        [&] {
            broadcast(OSG_DEVICES, "WanDeviceDetailCdma",
                      g_variant_new("(u@s@s@s@s@s@s)", r.m_dpi, text(r.m_friendlyName),
                                    text(r.m_imsi), text(r.m_imei), text(r.m_iccid), text(r.m_esn),
                                    text(r.m_meid)));
        },
        [&] {
            return osv::CVylWANDeviceDetailEvent(
                dpi, WANLinkClassficationCodes::CDMA,
                osv::wanDetailText(friendlyName, {{",IMSI=", imsi},
                                                  {",IMEI=", imei},
                                                  {",ICCID=", iccid},
                                                  {",ESN=", esn},
                                                  {",MEID=", meid}}));
        });
}

void CVylEventGenerator::devices_WanDeviceDetailWifi(const char* bssid, unsigned dpi,
                                                     const char* friendlyName, DelsSeverity) {
    SVyl_devices_WanDeviceDetailWifiInfo r(bssid, dpi, friendlyName);
    announce(
        r,
        [&] {
            broadcast(OSG_DEVICES, "WanDeviceDetailWifi",
                      g_variant_new("(u@s@s)", r.m_dpi, text(r.m_friendlyName), text(r.m_bssid)));
        },
        [&] {
            return osv::CVylWANDeviceDetailEvent(
                dpi, WANLinkClassficationCodes::WIFI,
                osv::wanDetailText(friendlyName, {{",BSSID=", bssid}}));
        });
}

// The WAN detail operations that carry a friendly name only.
template <class TRecord>
void CVylEventGenerator::announceNamedDetail(TRecord& r, const char* member,
                                             WANLinkClassficationCodes code) {
    announce(
        r,
        [&] {
            broadcast(OSG_DEVICES, member, g_variant_new("(u@s)", r.m_dpi, text(r.m_friendlyName)));
        },
        [&] {
            return osv::CVylWANDeviceDetailEvent(r.m_dpi, code,
                                                 osv::wanDetailText(r.m_friendlyName, {}));
        });
}

void CVylEventGenerator::devices_WanDeviceDetailWimax(unsigned dpi, const char* friendlyName,
                                                      DelsSeverity) {
    SVyl_devices_WanDeviceDetailWimaxInfo r(dpi, friendlyName);
    announceNamedDetail(r, "WanDeviceDetailWimax", WANLinkClassficationCodes::WIMAX);
}

void CVylEventGenerator::devices_WanDeviceDetailEthernet(unsigned dpi, const char* friendlyName,
                                                         DelsSeverity) {
    SVyl_devices_WanDeviceDetailEthernetInfo r(dpi, friendlyName);
    announceNamedDetail(r, "WanDeviceDetailEthernet", WANLinkClassficationCodes::ETHERNET);
}

void CVylEventGenerator::devices_WanDeviceDetailUnknown(unsigned dpi, const char* friendlyName,
                                                        DelsSeverity) {
    SVyl_devices_WanDeviceDetailUnknownInfo r(dpi, friendlyName);
    announceNamedDetail(r, "WanDeviceDetailUnknown", WANLinkClassficationCodes::Unknown);
}

namespace {

template <class TRecord> GVariant* lockBody(const TRecord& r) {
    return g_variant_new("(uu)", r.m_dpi, r.m_processPID);
}

} // namespace

void CVylEventGenerator::devices_DeviceLockSuccess(unsigned dpi, unsigned processPID,
                                                   DelsSeverity) {
    SVyl_devices_DeviceLockSuccessInfo r(dpi, processPID);
    announce(
        r, [&] { broadcast(OSG_DEVICES, "DeviceLockSuccess", lockBody(r)); },
        [&] { return osv::CGatewayDeviceLockSuccessReportEvent(dpi, processPID); });
}

void CVylEventGenerator::devices_DeviceLockFail(unsigned dpi, unsigned processPID, DelsSeverity) {
    SVyl_devices_DeviceLockFailInfo r(dpi, processPID);
    announce(
        r, [&] { broadcast(OSG_DEVICES, "DeviceLockFail", lockBody(r)); },
        [&] { return osv::CGatewayDeviceLockFailReportEvent(dpi, processPID); });
}

void CVylEventGenerator::devices_DeviceUnlock(unsigned dpi, unsigned processPID, DelsSeverity) {
    SVyl_devices_DeviceUnlockInfo r(dpi, processPID);
    announce(
        r, [&] { broadcast(OSG_DEVICES, "DeviceUnlock", lockBody(r)); },
        [&] { return osv::CGatewayDeviceUnlockReportEvent(dpi, processPID); });
}

// The bus-specific presences: the generic "DevicePresence" first, then their own signal; the
// stored text is the description the segment built.
template <class TRecord, class TBody>
void CVylEventGenerator::announceBusPresence(TRecord& r, const char* member, TBody body) {
    announce(
        r,
        [&] {
            broadcast(OSG_DEVICES, "DevicePresence", nodeBody(r));
            broadcast(OSG_DEVICES, member, body());
        },
        [&] { return osv::CGatewayDevicePresenceDetectEvent(r.m_deviceDescription, r.m_dpi); });
}

void CVylEventGenerator::devices_DevicePresenceNoBus(const char* devNode, unsigned dpi,
                                                     const char* reservedString, DelsSeverity) {
    SVyl_devices_DevicePresenceNoBusInfo r(dpi, devNode, 0, "", reservedString);
    announceBusPresence(r, "DevicePresenceNoBus",
                        [&] { return g_variant_new("(u@s)", r.m_dpi, text(r.m_reservedString)); });
}

void CVylEventGenerator::devices_DevicePresenceUsb(const char* devNode, const char* reservedString,
                                                   const char* productString,
                                                   const char* manufString,
                                                   const char* serialNoString, unsigned dpi,
                                                   unsigned idProd, unsigned idVendor,
                                                   DelsSeverity) {
    SVyl_devices_DevicePresenceUsbInfo r(dpi, devNode, 0, "", reservedString, productString,
                                         manufString, idProd, idVendor, serialNoString);
    announceBusPresence(r, "DevicePresenceUsb", [&] {
        return g_variant_new("(u@s@suu@s@s)", r.m_dpi, text(r.m_productString),
                             text(r.m_manufString), r.m_idProd, r.m_idVendor,
                             text(r.m_serialNoString), text(r.m_reservedString));
    });
}

void CVylEventGenerator::devices_DevicePresencePciOrCardbus(const char* devNode,
                                                            const char* reservedString,
                                                            const char* productString,
                                                            const char* manufString, unsigned dpi,
                                                            unsigned deviceClass, unsigned idVendor,
                                                            unsigned idProd, DelsSeverity) {
    SVyl_devices_DevicePresencePciOrCardbusInfo r(dpi, devNode, 0, "", reservedString,
                                                  productString, manufString, deviceClass, idVendor,
                                                  idProd);
    announceBusPresence(r, "DevicePresencePciOrCardbus", [&] {
        return g_variant_new("(u@s@suuu@s)", r.m_dpi, text(r.m_productString),
                             text(r.m_manufString), r.m_deviceClass, r.m_idVendor, r.m_idProd,
                             text(r.m_reservedString));
    });
}

void CVylEventGenerator::devices_DevicePresencePcmcia(unsigned idProd, const char* devNode,
                                                      unsigned dpi, const char* reservedString,
                                                      unsigned idVendor, const char* productString,
                                                      DelsSeverity) {
    SVyl_devices_DevicePresencePcmciaInfo r(dpi, devNode, 0, "", reservedString, productString,
                                            idVendor, idProd);
    announceBusPresence(r, "DevicePresencePcmcia", [&] {
        return g_variant_new("(u@suu@s)", r.m_dpi, text(r.m_productString), r.m_idVendor,
                             r.m_idProd, text(r.m_reservedString));
    });
}

void CVylEventGenerator::devices_SDKModemIndex(unsigned dpi, unsigned sdkModemIndex) {
    SVyl_devices_SDKModemIndexInfo r(dpi, sdkModemIndex);
    announce(r, [&] {
        broadcast(OSG_DEVICES, "SDKModemIndex", g_variant_new("(uu)", r.m_dpi, r.m_sdkModemIndex));
    });
}

// ---- Bluetooth ----

void CVylEventGenerator::bluetooth_nodeConnected(const char* bdaddr, unsigned short connHandle,
                                                 unsigned dpi, unsigned hciOrdinal, DelsSeverity) {
    SVyl_bluetooth_nodeConnectedInfo r(bdaddr, connHandle, dpi, hciOrdinal);
    announce(
        r,
        [&] {
            broadcast(OSG_BLUETOOTH, "nodeConnected",
                      g_variant_new("(uuq@s)", r.m_hciOrdinal, r.m_dpi, r.m_connHandle,
                                    text(r.m_bdaddr)));
        },
        [&] {
            return osv::CGatewayBluetoothConnectionDetectEvent(orEmpty(bdaddr), connHandle, dpi);
        });
}

void CVylEventGenerator::bluetooth_nodeDisconnected(const char* bdaddr, unsigned short connHandle,
                                                    unsigned dpi, unsigned hciOrdinal,
                                                    DelsSeverity) {
    SVyl_bluetooth_nodeDisconnectedInfo r(bdaddr, connHandle, dpi, hciOrdinal);
    announce(
        r,
        [&] {
            broadcast(OSG_BLUETOOTH, "nodeDisconnected",
                      g_variant_new("(u@suq)", r.m_hciOrdinal, text(r.m_bdaddr), r.m_dpi,
                                    r.m_connHandle));
        },
        [&] { return osv::CGatewayBluetoothDisconnectionDetectEvent(connHandle, dpi); });
}

// ---- platform ----

void CVylEventGenerator::platform_IgnitionStateReport(bool ignitionState, unsigned timeRemaining,
                                                      DelsSeverity) {
    SVyl_platform_IgnitionStateReportInfo r(ignitionState, timeRemaining);
    announce(
        r,
        [&] {
            broadcast(OSG_PLATFORM, "IgnitionStateReport",
                      g_variant_new("(bu)", flag(r.m_ignitionState), r.m_timeRemaining));
        },
        [&] { return osv::CGatewayIgnitionStateReportEvent(ignitionState, timeRemaining); });
}

// ---- internal GPS ----

void CVylEventGenerator::position_InternalGpsLocation(double lat, double lon,
                                                      DelsSeverity severity) {
    SVyl_position_InternalGpsLocationInfo r(lat, lon);
    announce(
        r,
        [&] {
            broadcast(OSG_INTERNAL_GPS, "InternalGpsLocation",
                      g_variant_new("(dd)", r.m_lat, r.m_lon));
        },
        [&] { return osv::CGatewayLocationViaInternalGpsEvent(lat, lon, severity); });
}

void CVylEventGenerator::position_InternalGpsSpeed(unsigned mph, DelsSeverity severity) {
    SVyl_position_InternalGpsSpeedInfo r(mph);
    announce(
        r, [&] { broadcast(OSG_INTERNAL_GPS, "InternalGpsSpeed", g_variant_new("(u)", r.m_mph)); },
        [&] { return osv::CGatewaySpeedViaInternalGpsEvent(mph, severity); });
}

void CVylEventGenerator::position_InternalGpsFixStatus(
    GpsFixStatusWordAntennaFault antennaFault, GpsFixStatusWordFixDimension fixDimension,
    bool gpsFixStatus, GpsFixStatusWordPositionalDilutionOfPrecisionCheck pdopCheck,
    GpsFixStatusWordNumSatInView satellitesInViewCount,
    GpsFixStatusWordNumSatUsable satellitesUsableCount, DelsSeverity severity) {
    SVyl_position_InternalGpsFixStatusInfo r(antennaFault, fixDimension, gpsFixStatus, pdopCheck,
                                             satellitesInViewCount, satellitesUsableCount);
    announce(
        r,
        [&] {
            broadcast(OSG_INTERNAL_GPS, "InternalGpsFixStatus",
                      g_variant_new("(uubuuu)", static_cast<guint32>(r.m_antennaFault),
                                    static_cast<guint32>(r.m_fixDimension), flag(r.m_gpsFixStatus),
                                    static_cast<guint32>(r.m_pdopCheck),
                                    static_cast<guint32>(r.m_satellitesInViewCount),
                                    static_cast<guint32>(r.m_satellitesUsableCount)));
        },
        [&] {
            return osv::CGatewayInternalGpsFixStatusEvent(antennaFault, fixDimension, gpsFixStatus,
                                                          pdopCheck, satellitesInViewCount,
                                                          satellitesUsableCount, severity);
        });
}

void CVylEventGenerator::position_InternalGpsAccuracy(float accuracy, DelsSeverity severity) {
    SVyl_position_InternalGpsAccuracyInfo r(accuracy);
    announce(
        r,
        [&] {
            broadcast(OSG_INTERNAL_GPS, "InternalGpsAccuracy",
                      g_variant_new("(d)", static_cast<double>(r.m_accuracy)));
        },
        [&] { return osv::CGatewayAccuracyViaInternalGpsEvent(accuracy, severity); });
}

void CVylEventGenerator::position_InternalGpsSBAS(unsigned sbasCorrection, unsigned sbasEn,
                                                  DelsSeverity severity) {
    SVyl_position_InternalGpsSBASInfo r(sbasCorrection, sbasEn);
    announce(
        r,
        [&] {
            broadcast(OSG_INTERNAL_GPS, "InternalGpsSBAS",
                      g_variant_new("(uu)", r.m_sbasCorrection, r.m_sbasEn));
        },
        [&] {
            return osv::CGatewaySBASStatusViaInternalGpsEvent(sbasCorrection, sbasEn, severity);
        });
}

// ---- VPN ----

void CVylEventGenerator::vpn_AddressUpdate(unsigned addr, DelsSeverity) {
    SVyl_vpn_AddressUpdateInfo r(addr);
    announce(
        r, [&] { broadcast(OSG_VPN, "AddressUpdate", g_variant_new("(u)", r.m_addr)); },
        [&] { return osv::CGatewayVpnTunnelIpv4AddressUpdateEvent(addr); });
}

void CVylEventGenerator::vpn_ConnectionStatus(bool up, DelsSeverity) {
    SVyl_vpn_ConnectionStatusInfo r(up);
    announce(
        r, [&] { broadcast(OSG_VPN, "ConnectionStatus", g_variant_new("(b)", flag(r.m_up))); },
        [&] { return osv::CGatewayVpnConnectionStatusEvent(up); });
}

// ---- navigation sources: filed and broadcast, never stored ----

void CVylEventGenerator::navigation_LocationFix3D(double latitudeDegrees, double longitudeDegrees,
                                                  double altitudeMeters, const char* sourceName,
                                                  unsigned confidence) {
    SVyl_navigation_LocationFix3DInfo r(latitudeDegrees, longitudeDegrees, altitudeMeters,
                                        sourceName, confidence);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "LocationFix3D",
                  g_variant_new("(ddd@su)", r.m_latitudeDegrees, r.m_longitudeDegrees,
                                r.m_altitudeMeters, text(r.m_sourceName), r.m_confidence));
    });
}

void CVylEventGenerator::navigation_SpeedHeading2D(double speedMetersPerHour2D,
                                                   double headingDegreesTrue,
                                                   const char* sourceName, unsigned confidence) {
    SVyl_navigation_SpeedHeading2DInfo r(speedMetersPerHour2D, headingDegreesTrue, sourceName,
                                         confidence);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "SpeedHeading2D",
                  g_variant_new("(dd@su)", r.m_speedMetersPerHour2D, r.m_headingDegreesTrue,
                                text(r.m_sourceName), r.m_confidence));
    });
}

void CVylEventGenerator::navigation_SBASStatus(unsigned sbasCorrection, unsigned sbasEn,
                                               const char* sourceName) {
    SVyl_navigation_SBASStatusInfo r(sbasCorrection, sbasEn, sourceName);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "SBASStatus",
                  g_variant_new("(uu@s)", r.m_sbasCorrection, r.m_sbasEn, text(r.m_sourceName)));
    });
}

void CVylEventGenerator::navigation_BestNavigationSBAS(unsigned sbasCorrection, unsigned sbasEn) {
    SVyl_navigation_BestNavigationSBASInfo r(sbasCorrection, sbasEn);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "BestNavigationSBAS",
                  g_variant_new("(uu)", r.m_sbasCorrection, r.m_sbasEn));
    });
}

void CVylEventGenerator::navigation_Accuracy(double accuracyMeters, const char* sourceName) {
    SVyl_navigation_AccuracyInfo r(accuracyMeters, sourceName);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "Accuracy",
                  g_variant_new("(d@s)", r.m_accuracyMeters, text(r.m_sourceName)));
    });
}

void CVylEventGenerator::navigation_BestAccuracy(double accuracyMeters) {
    SVyl_navigation_BestAccuracyInfo r(accuracyMeters);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "BestAccuracy", g_variant_new("(d)", r.m_accuracyMeters));
    });
}

void CVylEventGenerator::navigation_NavigationSourceStatus(const char* sourceName,
                                                           unsigned confidence,
                                                           const char* status) {
    SVyl_navigation_NavigationSourceStatusInfo r(sourceName, confidence, status);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "NavigationSourceStatus",
                  g_variant_new("(@su@s)", text(r.m_sourceName), r.m_confidence, text(r.m_status)));
    });
}

void CVylEventGenerator::navigation_GPSNavigationSourceStatus(const char* sourceName,
                                                              const char* style, unsigned status) {
    SVyl_navigation_GPSNavigationSourceStatusInfo r(sourceName, style, status);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "GPSNavigationSourceStatus",
                  g_variant_new("(@s@su)", text(r.m_sourceName), text(r.m_style), r.m_status));
    });
}

void CVylEventGenerator::navigation_BestLocationFix3D(double latitudeDegrees,
                                                      double longitudeDegrees,
                                                      double altitudeMeters) {
    SVyl_navigation_BestLocationFix3DInfo r(latitudeDegrees, longitudeDegrees, altitudeMeters);
    announce(r, [&] {
        broadcast(
            OSG_NAVIGATION, "BestLocationFix3D",
            g_variant_new("(ddd)", r.m_latitudeDegrees, r.m_longitudeDegrees, r.m_altitudeMeters));
    });
}

void CVylEventGenerator::navigation_BestSpeedHeading2D(double speedMetersPerHour2D,
                                                       double headingDegreesTrue) {
    SVyl_navigation_BestSpeedHeading2DInfo r(speedMetersPerHour2D, headingDegreesTrue);
    announce(r, [&] {
        broadcast(OSG_NAVIGATION, "BestSpeedHeading2D",
                  g_variant_new("(dd)", r.m_speedMetersPerHour2D, r.m_headingDegreesTrue));
    });
}
