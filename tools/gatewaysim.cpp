// gatewaysim: plays the gateway services around the bridge on a bus, one action per command line,
// for people trying the daemon and for whole-process tests. It uses the bus the daemon would use:
// the session bus when QCF_SESSION_BUS is set (DBUS_SESSION_BUS_ADDRESS names it), else the
// system bus.
//
//   gatewaysim watchdog                    answer the watchdog service until killed
//   gatewaysim wan-up DPI | wan-down DPI   WAN activation signals, filed in the content segment
//   gatewaysim vpn up|down                 VPN status signal, filed in the content segment
//   gatewaysim gps SENTENCE                one raw NMEA sentence (CR LF added when missing)
//   gatewaysim gps-raw TEXT                TEXT with C escapes (\r, \n, \001 ...) sent as it is
//   gatewaysim gps-file FILE RATE_HZ [--loop]  the lines of FILE at RATE_HZ sentences a second
//   gatewaysim device-present NAME DPI | device-absent NAME DPI
//   gatewaysim commit-config FILE          copy into the configuration folder, commit, announce
//   gatewaysim --version
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib-unix.h>
#include <unistd.h>

#include "config_commit.h"
#include "locations.h"
#include "osv.h"
#include "tessarc_version.h"
#include "watchdog_service.h"

namespace {

const char* const kGpsSource = "gatewaysim";

int usage() {
    std::fprintf(stderr, "usage: gatewaysim watchdog\n"
                         "       gatewaysim wan-up DPI | wan-down DPI\n"
                         "       gatewaysim vpn up|down\n"
                         "       gatewaysim gps SENTENCE | gps-raw TEXT\n"
                         "       gatewaysim gps-file FILE RATE_HZ [--loop]\n"
                         "       gatewaysim device-present NAME DPI | device-absent NAME DPI\n"
                         "       gatewaysim commit-config FILE\n"
                         "       gatewaysim --version\n");
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

// The gates read the segment, not the signals: file the record before announcing it.
template <class TRecord> bool fileInSegment(TRecord record) {
    SOsvContent* content = getOsvPointer();
    if (!content) {
        std::fprintf(stderr, "gatewaysim: content segment %s unavailable\n",
                     osvSegmentName().c_str());
        return false;
    }
    unsigned mask = 3;
    content->update(record, mask);
    releaseOsvPointer(content);
    return true;
}

int wan(GDBusConnection* bus, bool up, const char* dpiText) {
    unsigned dpi = 0;
    if (!parseUnsigned(dpiText, dpi))
        return usage();
    const char* path = "/com/ulvaro/wan/IWanStateEvents";
    const char* interface = "com.ulvaro.wan.IWanStateEvents";
    if (up) {
        bool filed = fileInSegment(SVyl_wan_ConnectionActivatedInfo(0, dpi));
        bool sent =
            emit(bus, path, interface, "ConnectionActivated", g_variant_new("(uu)", 0u, dpi));
        return filed && sent ? 0 : 1;
    }
    bool filed = fileInSegment(SVyl_wan_ConnectionDeactivatedInfo(dpi));
    bool sent = emit(bus, path, interface, "ConnectionDeactivated", g_variant_new("(u)", dpi));
    return filed && sent ? 0 : 1;
}

int vpn(GDBusConnection* bus, const std::string& state) {
    if (state != "up" && state != "down")
        return usage();
    bool up = state == "up";
    bool filed = fileInSegment(SVyl_vpn_ConnectionStatusInfo(up));
    bool sent = emit(bus, "/com/ulvaro/vpn/IVpnStateEvents", "com.ulvaro.vpn.IVpnStateEvents",
                     "ConnectionStatus", g_variant_new("(b)", up ? TRUE : FALSE));
    return filed && sent ? 0 : 1;
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

int device(GDBusConnection* bus, bool present, const char* name, const char* dpiText) {
    unsigned dpi = 0;
    if (!parseUnsigned(dpiText, dpi))
        return usage();
    return emit(bus, "/com/ulvaro/devices/IDeviceEvents", "com.ulvaro.devices.IDeviceEvents",
                present ? "DevicePresence" : "DeviceAbsence", g_variant_new("(su)", name, dpi))
               ? 0
               : 1;
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
    std::string temporary = target + ".gatewaysim";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        out.flush();
        if (!out) {
            std::fprintf(stderr, "gatewaysim: cannot write %s\n", temporary.c_str());
            ::unlink(temporary.c_str());
            return 1;
        }
    }
    // Readers never see a half-written configuration file.
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "gatewaysim: cannot replace %s: %s\n", target.c_str(),
                     std::strerror(errno));
        ::unlink(temporary.c_str());
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
    const int extra = argc - 2;
    GDBusConnection* bus = openBus();
    if (!bus)
        return 1;
    int status = 2;
    if (command == "watchdog" && extra == 0) {
        status = watchdog(bus);
    } else if ((command == "wan-up" || command == "wan-down") && extra == 1) {
        status = wan(bus, command == "wan-up", argv[2]);
    } else if (command == "vpn" && extra == 1) {
        status = vpn(bus, argv[2]);
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
        status = device(bus, command == "device-present", argv[2], argv[3]);
    } else if (command == "commit-config" && extra == 1) {
        status = commitConfig(bus, argv[2]);
    } else {
        status = usage();
    }
    g_object_unref(bus);
    return status;
}
