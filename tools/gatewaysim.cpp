// gatewaysim: plays the gateway services around the bridge on a bus, one action per command line,
// for people trying the daemon and for whole-process tests. It uses the bus the daemon would use:
// the session bus when QCF_SESSION_BUS is set (DBUS_SESSION_BUS_ADDRESS names it), else the
// system bus. Gateway happenings go through the platform event generator, as a gateway service
// would announce them: filed in the content segment, broadcast and stored in the event database.
// The commands are listed in kUsage below (gatewaysim --help).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib-unix.h>
#include <unistd.h>

#include "config_commit.h"
#include "locations.h"
#include "osv.h"
#include "qcf_eventgen.h"
#include "tessarc_version.h"
#include "vyl_fs.h"
#include "watchdog_service.h"

namespace {

const char* const kGpsSource = "gatewaysim";

const char kUsage[] =
    "usage: gatewaysim COMMAND [ARGS]\n"
    "Plays the gateway services around tessarc on the bus (the session bus when QCF_SESSION_BUS\n"
    "is set, else the system bus), one action per run.\n"
    "commands:\n"
    "  watchdog                         answer the watchdog service until killed\n"
    "  wan-up DPI, wan-down DPI         WAN activated or deactivated on device DPI\n"
    "  vpn up|down                      VPN status\n"
    "  gps SENTENCE                     one NMEA sentence (CR LF added when missing)\n"
    "  gps-raw TEXT                     TEXT with C escapes (\\r, \\n, \\001 ...) as it is\n"
    "  gps-file FILE RATE_HZ [--loop]   the sentences of FILE, RATE_HZ a second\n"
    "  device-present NAME DPI, device-absent NAME DPI\n"
    "                                   a device NAME (e.g. ttyUSB0) appears or goes\n"
    "  commit-config FILE               install FILE as the configuration, commit, announce\n"
    "  GROUP OPERATION [NAME=VALUE ...] any platform event, e.g. wan ConnectionActivated dpi=7\n"
    "                                   (arguments left out are 0, empty or false)\n"
    "  list                             every GROUP OPERATION with its arguments\n"
    "  --help, --version\n"
    "Platform events are filed in the content segment, broadcast and stored in the event\n"
    "database under VYL_ROOT.\n";

// Bad arguments: the usage on standard error, exit status 2.
int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

GDBusConnection* openBus() {
    GError* error = nullptr;
    GBusType type = std::getenv("QCF_SESSION_BUS") ? G_BUS_TYPE_SESSION : G_BUS_TYPE_SYSTEM;
    GDBusConnection* bus = g_bus_get_sync(type, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "gatewaysim: no bus: %s\n", error ? error->message : "unknown");
        g_clear_error(&error);
    }
    return bus;
}

bool parseUnsigned(const char* text, unsigned& value) {
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFul || text[0] == '-')
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

// Emits and waits until the bus has the message, so that the caller may exit at once.
bool emit(GDBusConnection* bus, const char* path, const char* interface, const char* member,
          GVariant* body) {
    GError* error = nullptr;
    bool ok = g_dbus_connection_emit_signal(bus, nullptr, path, interface, member, body, &error);
    if (ok)
        ok = g_dbus_connection_flush_sync(bus, nullptr, &error);
    if (!ok) {
        std::fprintf(stderr, "gatewaysim: %s.%s not sent: %s\n", interface, member,
                     error ? error->message : "unknown");
        g_clear_error(&error);
    }
    return ok;
}

// ---- generator operations ----

// The arguments of one operation, given as NAME=VALUE words and checked against the operation's
// list of "NAME:TYPE" (u unsigned, q 16-bit unsigned, d double, f float, b boolean, s text,
// v severity) before anything is announced.
class COperationArgs {
public:
    bool parse(const char* params, const std::vector<std::string>& words) {
        std::map<std::string, char> types;
        std::istringstream list(params);
        for (std::string param; list >> param;)
            types[param.substr(0, param.size() - 2)] = param.back();
        for (const std::string& word : words) {
            const size_t equals = word.find('=');
            const std::string name = word.substr(0, equals);
            auto type = types.find(name);
            if (equals == std::string::npos || type == types.end()) {
                std::fprintf(stderr, "gatewaysim: \"%s\" is not one of: %s\n", word.c_str(),
                             params);
                return false;
            }
            const std::string value = word.substr(equals + 1);
            if (!valid(type->second, value)) {
                std::fprintf(stderr, "gatewaysim: bad value for %s: \"%s\"\n", name.c_str(),
                             value.c_str());
                return false;
            }
            m_values[name] = value;
        }
        return true;
    }

    unsigned u(const char* name) const {
        unsigned value = 0;
        parseUnsigned(text(name), value);
        return value;
    }
    double d(const char* name) const { return std::strtod(text(name), nullptr); }
    bool b(const char* name) const { return toBool(text(name)); }
    const char* s(const char* name) const { return text(name); }
    DelsSeverity severity() const {
        const auto found = m_values.find("severity");
        return found == m_values.end() ? DSEV_NORMAL : toSeverity(found->second);
    }

private:
    const char* text(const char* name) const {
        const auto found = m_values.find(name);
        return found == m_values.end() ? "" : found->second.c_str();
    }
    static bool toBool(const std::string& value) {
        return value == "1" || value == "true" || value == "yes" || value == "up";
    }
    static DelsSeverity toSeverity(const std::string& value) {
        static const char* const names[] = {"critical", "high", "normal", "discardable", "archive"};
        for (int i = 0; i < 5; ++i)
            if (value == names[i])
                return static_cast<DelsSeverity>(i);
        unsigned number = 0;
        return parseUnsigned(value.c_str(), number) && number < DSEV_LIMIT
                   ? static_cast<DelsSeverity>(number)
                   : DSEV_LIMIT;
    }
    static bool valid(char type, const std::string& value) {
        unsigned number = 0;
        char* end = nullptr;
        switch (type) {
        case 'u':
            return parseUnsigned(value.c_str(), number);
        case 'q':
            return parseUnsigned(value.c_str(), number) && number <= 0xFFFF;
        case 'd':
        case 'f':
            std::strtod(value.c_str(), &end);
            return !value.empty() && *end == '\0';
        case 'b':
            return toBool(value) || value == "0" || value == "false" || value == "no" ||
                   value == "down";
        case 'v':
            return toSeverity(value) != DSEV_LIMIT;
        default:
            return true;
        }
    }

    std::map<std::string, std::string> m_values;
};

struct SOperation {
    const char* group;
    const char* name;
    const char* params;
    void (*invoke)(const COperationArgs&);
};

using A = const COperationArgs&;
CVylEventGenerator& gen() {
    return g_eventGen;
}

const SOperation kOperations[] = {
    {"wan", "ConnectionEstablished", "cost:u dpi:u severity:v",
     [](A a) { gen().wan_ConnectionEstablished(a.u("cost"), a.u("dpi"), a.severity()); }},
    {"wan", "ConnectionLost", "dpi:u severity:v",
     [](A a) { gen().wan_ConnectionLost(a.u("dpi"), a.severity()); }},
    {"wan", "ConnectionActivated", "cost:u dpi:u severity:v",
     [](A a) { gen().wan_ConnectionActivated(a.u("cost"), a.u("dpi"), a.severity()); }},
    {"wan", "ConnectionDeactivated", "dpi:u severity:v",
     [](A a) { gen().wan_ConnectionDeactivated(a.u("dpi"), a.severity()); }},
    {"wan", "ConnectionIPv4Address", "addr:u dpi:u ipAddrString:s severity:v",
     [](A a) {
         gen().wan_ConnectionIPv4Address(a.u("addr"), a.u("dpi"), a.s("ipAddrString"),
                                         a.severity());
     }},
    {"wan", "WirelessSignalStrength", "dbm:d dpi:u snr:d severity:v",
     [](A a) {
         gen().wan_WirelessSignalStrength(a.d("dbm"), a.u("dpi"), a.d("snr"), a.severity());
     }},
    {"wan", "LinkState", "dpi:u linkState:u lsString:s severity:v",
     [](A a) { gen().wan_LinkState(a.u("dpi"), a.u("linkState"), a.s("lsString"), a.severity()); }},
    {"wan", "DeadGatewayDetect", "dpi:u severity:v",
     [](A a) { gen().wan_DeadGatewayDetect(a.u("dpi"), a.severity()); }},
    {"process", "DeviceConfigConflictWarning", "matchCount:u processPID:u severity:v",
     [](A a) {
         gen().process_DeviceConfigConflictWarning(a.u("matchCount"), a.u("processPID"),
                                                   a.severity());
     }},
    {"process", "WatchdogRegistration", "processName:s processPID:u severity:v",
     [](A a) {
         gen().process_WatchdogRegistration(a.s("processName"), a.u("processPID"), a.severity());
     }},
    {"process", "WatchdogDeregistration", "processPID:u severity:v",
     [](A a) { gen().process_WatchdogDeregistration(a.u("processPID"), a.severity()); }},
    {"process", "DeadProcessRestart", "processName:s processPID:u severity:v",
     [](A a) {
         gen().process_DeadProcessRestart(a.s("processName"), a.u("processPID"), a.severity());
     }},
    {"devices", "DevicePresence", "devNode:s deviceDescription:s dpi:u severity:v",
     [](A a) {
         gen().devices_DevicePresence(a.s("devNode"), a.s("deviceDescription"), a.u("dpi"),
                                      a.severity());
     }},
    {"devices", "DeviceAbsence", "devNode:s deviceDescription:s dpi:u severity:v",
     [](A a) {
         gen().devices_DeviceAbsence(a.s("devNode"), a.s("deviceDescription"), a.u("dpi"),
                                     a.severity());
     }},
    {"devices", "DeviceForceAbsence", "devNode:s deviceDescription:s dpi:u severity:v",
     [](A a) {
         gen().devices_DeviceForceAbsence(a.s("devNode"), a.s("deviceDescription"), a.u("dpi"),
                                          a.severity());
     }},
    {"devices", "WanDeviceDetailGsm",
     "dpi:u friendlyName:s iccid:s imei:s imsi:s msisdn:s severity:v",
     [](A a) {
         gen().devices_WanDeviceDetailGsm(a.u("dpi"), a.s("friendlyName"), a.s("iccid"),
                                          a.s("imei"), a.s("imsi"), a.s("msisdn"), a.severity());
     }},
    {"devices", "WanDeviceDetailCdma",
     "dpi:u esn:s friendlyName:s iccid:s imei:s imsi:s meid:s severity:v",
     [](A a) {
         gen().devices_WanDeviceDetailCdma(a.u("dpi"), a.s("esn"), a.s("friendlyName"),
                                           a.s("iccid"), a.s("imei"), a.s("imsi"), a.s("meid"),
                                           a.severity());
     }},
    {"devices", "WanDeviceDetailWifi", "bssid:s dpi:u friendlyName:s severity:v",
     [](A a) {
         gen().devices_WanDeviceDetailWifi(a.s("bssid"), a.u("dpi"), a.s("friendlyName"),
                                           a.severity());
     }},
    {"devices", "WanDeviceDetailWimax", "dpi:u friendlyName:s severity:v",
     [](A a) {
         gen().devices_WanDeviceDetailWimax(a.u("dpi"), a.s("friendlyName"), a.severity());
     }},
    {"devices", "WanDeviceDetailEthernet", "dpi:u friendlyName:s severity:v",
     [](A a) {
         gen().devices_WanDeviceDetailEthernet(a.u("dpi"), a.s("friendlyName"), a.severity());
     }},
    {"devices", "WanDeviceDetailUnknown", "dpi:u friendlyName:s severity:v",
     [](A a) {
         gen().devices_WanDeviceDetailUnknown(a.u("dpi"), a.s("friendlyName"), a.severity());
     }},
    {"devices", "DeviceLockSuccess", "dpi:u processPID:u severity:v",
     [](A a) { gen().devices_DeviceLockSuccess(a.u("dpi"), a.u("processPID"), a.severity()); }},
    {"devices", "DeviceLockFail", "dpi:u processPID:u severity:v",
     [](A a) { gen().devices_DeviceLockFail(a.u("dpi"), a.u("processPID"), a.severity()); }},
    {"devices", "DeviceUnlock", "dpi:u processPID:u severity:v",
     [](A a) { gen().devices_DeviceUnlock(a.u("dpi"), a.u("processPID"), a.severity()); }},
    {"devices", "DevicePresenceNoBus", "devNode:s dpi:u reservedString:s severity:v",
     [](A a) {
         gen().devices_DevicePresenceNoBus(a.s("devNode"), a.u("dpi"), a.s("reservedString"),
                                           a.severity());
     }},
    {"devices", "DevicePresenceUsb",
     "devNode:s reservedString:s productString:s manufString:s serialNoString:s dpi:u "
     "idProd:u idVendor:u severity:v",
     [](A a) {
         gen().devices_DevicePresenceUsb(
             a.s("devNode"), a.s("reservedString"), a.s("productString"), a.s("manufString"),
             a.s("serialNoString"), a.u("dpi"), a.u("idProd"), a.u("idVendor"), a.severity());
     }},
    {"devices", "DevicePresencePciOrCardbus",
     "devNode:s reservedString:s productString:s manufString:s dpi:u deviceClass:u "
     "idVendor:u idProd:u severity:v",
     [](A a) {
         gen().devices_DevicePresencePciOrCardbus(
             a.s("devNode"), a.s("reservedString"), a.s("productString"), a.s("manufString"),
             a.u("dpi"), a.u("deviceClass"), a.u("idVendor"), a.u("idProd"), a.severity());
     }},
    {"devices", "DevicePresencePcmcia",
     "idProd:u devNode:s dpi:u reservedString:s idVendor:u productString:s severity:v",
     [](A a) {
         gen().devices_DevicePresencePcmcia(a.u("idProd"), a.s("devNode"), a.u("dpi"),
                                            a.s("reservedString"), a.u("idVendor"),
                                            a.s("productString"), a.severity());
     }},
    {"devices", "SDKModemIndex", "dpi:u sdkModemIndex:u",
     [](A a) { gen().devices_SDKModemIndex(a.u("dpi"), a.u("sdkModemIndex")); }},
    {"bluetooth", "nodeConnected", "bdaddr:s connHandle:q dpi:u hciOrdinal:u severity:v",
     [](A a) {
         gen().bluetooth_nodeConnected(a.s("bdaddr"),
                                       static_cast<unsigned short>(a.u("connHandle")), a.u("dpi"),
                                       a.u("hciOrdinal"), a.severity());
     }},
    {"bluetooth", "nodeDisconnected", "bdaddr:s connHandle:q dpi:u hciOrdinal:u severity:v",
     [](A a) {
         gen().bluetooth_nodeDisconnected(a.s("bdaddr"),
                                          static_cast<unsigned short>(a.u("connHandle")),
                                          a.u("dpi"), a.u("hciOrdinal"), a.severity());
     }},
    {"platform", "IgnitionStateReport", "ignitionState:b timeRemaining:u severity:v",
     [](A a) {
         gen().platform_IgnitionStateReport(a.b("ignitionState"), a.u("timeRemaining"),
                                            a.severity());
     }},
    {"position", "InternalGpsLocation", "lat:d lon:d severity:v",
     [](A a) { gen().position_InternalGpsLocation(a.d("lat"), a.d("lon"), a.severity()); }},
    {"position", "InternalGpsSpeed", "mph:u severity:v",
     [](A a) { gen().position_InternalGpsSpeed(a.u("mph"), a.severity()); }},
    {"position", "InternalGpsFixStatus",
     "antennaFault:u fixDimension:u gpsFixStatus:b pdopCheck:u satellitesInViewCount:u "
     "satellitesUsableCount:u severity:v",
     [](A a) {
         gen().position_InternalGpsFixStatus(
             static_cast<GpsFixStatusWordAntennaFault>(a.u("antennaFault")),
             static_cast<GpsFixStatusWordFixDimension>(a.u("fixDimension")), a.b("gpsFixStatus"),
             static_cast<GpsFixStatusWordPositionalDilutionOfPrecisionCheck>(a.u("pdopCheck")),
             static_cast<GpsFixStatusWordNumSatInView>(a.u("satellitesInViewCount")),
             static_cast<GpsFixStatusWordNumSatUsable>(a.u("satellitesUsableCount")), a.severity());
     }},
    {"position", "InternalGpsAccuracy", "accuracy:f severity:v",
     [](A a) {
         gen().position_InternalGpsAccuracy(static_cast<float>(a.d("accuracy")), a.severity());
     }},
    {"position", "InternalGpsSBAS", "sbasCorrection:u sbasEn:u severity:v",
     [](A a) {
         gen().position_InternalGpsSBAS(a.u("sbasCorrection"), a.u("sbasEn"), a.severity());
     }},
    {"vpn", "AddressUpdate", "addr:u severity:v",
     [](A a) { gen().vpn_AddressUpdate(a.u("addr"), a.severity()); }},
    {"vpn", "ConnectionStatus", "up:b severity:v",
     [](A a) { gen().vpn_ConnectionStatus(a.b("up"), a.severity()); }},
    {"navigation", "LocationFix3D",
     "latitudeDegrees:d longitudeDegrees:d altitudeMeters:d sourceName:s confidence:u",
     [](A a) {
         gen().navigation_LocationFix3D(a.d("latitudeDegrees"), a.d("longitudeDegrees"),
                                        a.d("altitudeMeters"), a.s("sourceName"),
                                        a.u("confidence"));
     }},
    {"navigation", "SpeedHeading2D",
     "speedMetersPerHour2D:d headingDegreesTrue:d sourceName:s confidence:u",
     [](A a) {
         gen().navigation_SpeedHeading2D(a.d("speedMetersPerHour2D"), a.d("headingDegreesTrue"),
                                         a.s("sourceName"), a.u("confidence"));
     }},
    {"navigation", "SBASStatus", "sbasCorrection:u sbasEn:u sourceName:s",
     [](A a) {
         gen().navigation_SBASStatus(a.u("sbasCorrection"), a.u("sbasEn"), a.s("sourceName"));
     }},
    {"navigation", "BestNavigationSBAS", "sbasCorrection:u sbasEn:u",
     [](A a) { gen().navigation_BestNavigationSBAS(a.u("sbasCorrection"), a.u("sbasEn")); }},
    {"navigation", "Accuracy", "accuracyMeters:d sourceName:s",
     [](A a) { gen().navigation_Accuracy(a.d("accuracyMeters"), a.s("sourceName")); }},
    {"navigation", "BestAccuracy", "accuracyMeters:d",
     [](A a) { gen().navigation_BestAccuracy(a.d("accuracyMeters")); }},
    {"navigation", "NavigationSourceStatus", "sourceName:s confidence:u status:s",
     [](A a) {
         gen().navigation_NavigationSourceStatus(a.s("sourceName"), a.u("confidence"),
                                                 a.s("status"));
     }},
    {"navigation", "GPSNavigationSourceStatus", "sourceName:s style:s status:u",
     [](A a) {
         gen().navigation_GPSNavigationSourceStatus(a.s("sourceName"), a.s("style"), a.u("status"));
     }},
    {"navigation", "BestLocationFix3D", "latitudeDegrees:d longitudeDegrees:d altitudeMeters:d",
     [](A a) {
         gen().navigation_BestLocationFix3D(a.d("latitudeDegrees"), a.d("longitudeDegrees"),
                                            a.d("altitudeMeters"));
     }},
    {"navigation", "BestSpeedHeading2D", "speedMetersPerHour2D:d headingDegreesTrue:d",
     [](A a) {
         gen().navigation_BestSpeedHeading2D(a.d("speedMetersPerHour2D"),
                                             a.d("headingDegreesTrue"));
     }},
};

void listOperations() {
    for (const SOperation& op : kOperations)
        std::printf("%s %s %s\n", op.group, op.name, op.params);
}

// Runs one operation; 2 for an unknown operation or bad arguments, 1 when the content segment
// cannot be mapped (the operation then only broadcasts and stores).
int runOperation(const std::string& group, const std::string& name,
                 const std::vector<std::string>& words) {
    for (const SOperation& op : kOperations) {
        if (group != op.group || name != op.name)
            continue;
        COperationArgs args;
        if (!args.parse(op.params, words))
            return 2;
        op.invoke(args);
        SOsvContent* content = getOsvPointer();
        if (!content) {
            std::fprintf(stderr, "gatewaysim: content segment %s unavailable\n",
                         osvSegmentName().c_str());
            return 1;
        }
        releaseOsvPointer(content);
        return 0;
    }
    std::fprintf(stderr, "gatewaysim: no operation \"%s %s\" (gatewaysim list shows them)\n",
                 group.c_str(), name.c_str());
    return 2;
}

bool isGroup(const std::string& word) {
    for (const SOperation& op : kOperations)
        if (word == op.group)
            return true;
    return false;
}

bool gps(GDBusConnection* bus, const std::string& sentence) {
    return emit(bus, "/com/ulvaro/NavigationEvents/IExclusiveSerialGpsSource",
                "com.ulvaro.NavigationEvents.IExclusiveSerialGpsSource", "GpsRawNMEA",
                g_variant_new("(ss)", kGpsSource, sentence.c_str()));
}

std::string withLineEnd(std::string sentence) {
    while (!sentence.empty() && (sentence.back() == '\n' || sentence.back() == '\r'))
        sentence.pop_back();
    return sentence + "\r\n";
}

int gpsFile(GDBusConnection* bus, const char* file, const char* rateText, bool loop) {
    double rate = std::atof(rateText);
    if (rate <= 0 || rate > 1000)
        return usage();
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '$')
            lines.push_back(withLineEnd(line));
    if (lines.empty()) {
        std::fprintf(stderr, "gatewaysim: no sentences in %s\n", file);
        return 1;
    }
    const useconds_t pause = static_cast<useconds_t>(1e6 / rate);
    do {
        for (const auto& line : lines) {
            if (!gps(bus, line))
                return 1;
            ::usleep(pause);
        }
    } while (loop);
    return 0;
}

int commitConfig(GDBusConnection* bus, const char* file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "gatewaysim: cannot read %s\n", file);
        return 1;
    }
    std::string base = file;
    size_t slash = base.rfind('/');
    if (slash != std::string::npos)
        base = base.substr(slash + 1);
    std::string target = getLocation(CONFIG_DIR_INDEX) + "/" + base;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string why;
    // Readers never see a half-written configuration file.
    if (vyl::replaceFile(target, text, 0644, why) != 0) {
        std::fprintf(stderr, "gatewaysim: %s\n", why.c_str());
        return 1;
    }
    std::string detail;
    if (configFileCommit(target.c_str(), "gatewaysim: commit-config", &detail) != 0)
        std::fprintf(stderr, "gatewaysim: commit of %s failed: %s\n", target.c_str(),
                     detail.c_str());
    bool sent = emit(bus, "/com/ulvaro/configuration/IConfigurationEvent/ConfigurationChanged",
                     "com.ulvaro.configuration.IConfigurationEvent", "ConfigurationChanged",
                     g_variant_new("(sss)", "commit", target.c_str(), "gatewaysim"));
    return sent ? 0 : 1;
}

// ---- watchdog ----

void watchdogCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                  const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                  gpointer) {
    const gchar* name = "";
    g_variant_get_child(parameters, 0, "&s", &name);
    if (std::strcmp(method, "Register") == 0) {
        guint32 period = 0;
        g_variant_get_child(parameters, 2, "u", &period);
        std::printf("watchdog: Register %s (%s), %u s\n", name, sender, period);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", TRUE));
    } else if (std::strcmp(method, "Tickle") == 0) {
        std::printf("watchdog: Tickle %s\n", name);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", TRUE));
    } else {
        std::printf("watchdog: Deregister %s\n", name);
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }
    std::fflush(stdout);
}

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

void nameLost(GDBusConnection*, const gchar* name, gpointer loop) {
    std::fprintf(stderr, "gatewaysim: could not own %s\n", name);
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
}

void nameAcquired(GDBusConnection*, const gchar* name, gpointer) {
    std::printf("watchdog: owning %s\n", name);
    std::fflush(stdout);
}

int watchdog(GDBusConnection* bus) {
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(WatchdogService::kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable = {watchdogCall, nullptr, nullptr, {}};
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GError* error = nullptr;
    guint id = g_dbus_connection_register_object(bus, WatchdogService::kPath, node->interfaces[0],
                                                 &vtable, loop, nullptr, &error);
    if (id == 0) {
        std::fprintf(stderr, "gatewaysim: %s\n", error ? error->message : "cannot register");
        g_clear_error(&error);
        g_main_loop_unref(loop);
        g_dbus_node_info_unref(node);
        return 1;
    }
    guint owner =
        g_bus_own_name_on_connection(bus, WatchdogService::kName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                     nameAcquired, nameLost, loop, nullptr);
    g_unix_signal_add(SIGTERM, quitLoop, loop);
    g_unix_signal_add(SIGINT, quitLoop, loop);
    g_unix_signal_add(SIGHUP, quitLoop, loop);
    g_main_loop_run(loop);
    g_bus_unown_name(owner);
    g_dbus_connection_unregister_object(bus, id);
    g_main_loop_unref(loop);
    g_dbus_node_info_unref(node);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (tessarcPrintVersion(argc, argv, "gatewaysim"))
        return 0;
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const int extra = argc - 2;
    if (command == "list" && extra == 0) {
        listOperations();
        return 0;
    }
    static const char* const kCommands[] = {
        "watchdog", "wan-up",   "wan-down",       "vpn",           "gps",
        "gps-raw",  "gps-file", "device-present", "device-absent", "commit-config"};
    if (!isGroup(command) &&
        std::find(std::begin(kCommands), std::end(kCommands), command) == std::end(kCommands)) {
        std::fprintf(stderr, "gatewaysim: unknown command %s (see gatewaysim --help)\n",
                     command.c_str());
        return 2;
    }
    GDBusConnection* bus = openBus();
    if (!bus)
        return 1;
    const std::vector<std::string> rest(argv + 2, argv + argc);
    int status = 2;
    if (command == "watchdog" && extra == 0) {
        status = watchdog(bus);
    } else if ((command == "wan-up" || command == "wan-down") && extra == 1) {
        status = runOperation("wan",
                              command == "wan-up" ? "ConnectionActivated" : "ConnectionDeactivated",
                              {"dpi=" + rest[0]});
    } else if (command == "vpn" && extra == 1 && (rest[0] == "up" || rest[0] == "down")) {
        status = runOperation("vpn", "ConnectionStatus", {"up=" + rest[0]});
    } else if (command == "gps" && extra == 1) {
        status = gps(bus, withLineEnd(argv[2])) ? 0 : 1;
    } else if (command == "gps-raw" && extra == 1) {
        gchar* text = g_strcompress(argv[2]);
        status = gps(bus, text) ? 0 : 1;
        g_free(text);
    } else if (command == "gps-file" &&
               (extra == 2 || (extra == 3 && !std::strcmp(argv[4], "--loop")))) {
        status = gpsFile(bus, argv[2], argv[3], extra == 3);
    } else if ((command == "device-present" || command == "device-absent") && extra == 2) {
        status = runOperation("devices",
                              command == "device-present" ? "DevicePresence" : "DeviceAbsence",
                              {"devNode=" + rest[0], "dpi=" + rest[1]});
    } else if (command == "commit-config" && extra == 1) {
        status = commitConfig(bus, argv[2]);
    } else if (isGroup(command) && extra >= 1) {
        status = runOperation(command, rest[0], {rest.begin() + 1, rest.end()});
    } else {
        status = usage();
    }
    g_object_unref(bus);
    return status;
}
