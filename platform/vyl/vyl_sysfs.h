// Device discovery over sysfs ($VYL_ROOT/sys, the kernel's own layout): which devices a class
// (the ttys) holds, on which bus they sit, their USB ids, and the port identifier (DPI) of the
// physical port they hang on. Pure functions of the file tree; callable from any thread.
//
// DPI layout, a class byte on top of 24 bits:
//   0x01LLLLLL  built-in serial port, L = the tty's line (ttyS0 -> 0x01000000, the rear panel)
//   0x02BPPPPP  USB port path "B-P.P.P.P.P": bus B and up to five hub ports P, one hex digit
//               each, first port in the high digit (1-1.4 -> 0x02114000)
//   0x03HHHHHH  USB port path that does not fit the above (bus or port above 15, deeper than
//               five ports): H is a 24-bit hash of the path text, stable but not collision-free
//   0xFF000000  unknown
// A DPI names the port, not the device: the same adapter plugged into the same socket always gets
// the same DPI, and the ttys of one multi-port adapter share it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr uint32_t VYL_DPI_LEGACY = 0x01000000u;
constexpr uint32_t VYL_DPI_USB = 0x02000000u;
constexpr uint32_t VYL_DPI_USB_HASHED = 0x03000000u;
constexpr uint32_t VYL_DPI_UNKNOWN = 0xFF000000u;

// The DPI of the device whose sysfs directory (a class link such as sys/class/tty/ttyS0, or the
// directory it resolves to) is `sysfsPath`; VYL_DPI_UNKNOWN when it is not a device.
uint32_t llGetDpiFromSysfs(const char* sysfsPath);

namespace vyl {

enum ESysfsBus {
    SB_NONE = 0,   // no device behind it (virtual consoles, pseudo-terminals)
    SB_USB = 1,    // below a USB device
    SB_LEGACY = 2, // any other bus: the machine's own ports
};

struct SSysfsDevice {
    std::string name;      // "ttyUSB0"
    std::string node;      // "$VYL_ROOT/dev/ttyUSB0"
    std::string sysfsPath; // resolved class device directory
    ESysfsBus bus = SB_NONE;
    unsigned idVendor = 0; // USB only
    unsigned idProduct = 0;
    std::string usbPort; // "1-1.4", USB only
    // False for a built-in serial port the driver reserved without finding a UART ("type" 0):
    // opening one fails.
    bool present = true;
    uint32_t dpi = VYL_DPI_UNKNOWN;
};

// Describes the device at `sysfsPath`; false when the path does not resolve to a directory.
bool describeSysfsDevice(const std::string& sysfsPath, SSysfsDevice& device);

// Every entry of $VYL_ROOT/sys/class/<cls> that resolves, in name order; -1 when the class
// folder cannot be read (or `cls` is no plain name).
int listSysfsDevices(const std::string& cls, std::vector<SSysfsDevice>& devices);

struct SUsbId {
    unsigned vendor;
    unsigned product;
};

// What one device specification accepts, in plain terms.
struct SDeviceMatch {
    ESysfsBus bus = SB_NONE;
    std::vector<SUsbId> usbIds;        // SB_USB: adapters accepted
    std::vector<std::string> builtins; // SB_LEGACY: port kinds accepted; "tty" is an on-board UART
    std::vector<uint32_t> dpis;        // when not empty, only devices on one of these ports
};

bool deviceMatches(const SDeviceMatch& match, const SSysfsDevice& device);

// Empties `found`, then fills it with node -> sysfs path of each device of class `cls` that some
// match accepts. The count, or -1 when the class folder cannot be read.
int findSysfsDevices(const std::string& cls, const std::vector<SDeviceMatch>& matches,
                     std::map<std::string, std::string>& found);

// The DPI of a USB port path such as "1-1.4" (the name of the USB device's sysfs directory);
// VYL_DPI_UNKNOWN when the text is no port path.
uint32_t usbPortDpi(const std::string& port);

} // namespace vyl
