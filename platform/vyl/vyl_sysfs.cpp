#include "vyl_sysfs.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>

#include "locations.h"

namespace {

const int kMaxWalk = 64; // deepest real device paths are far shallower

std::string resolve(const std::string& path) {
    std::string result;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        result = real;
        ::free(real);
    }
    return result;
}

bool isDir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readLine(const std::string& path, std::string& line) {
    std::ifstream in(path);
    if (!in || !std::getline(in, line))
        return false;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    return true;
}

// USB ids as sysfs writes them: four hex digits.
bool readUsbId(const std::string& path, unsigned& id) {
    std::string text;
    if (!readLine(path, text) || text.empty() || text.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    id = value;
    return true;
}

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// Built-in ports are numbered by the tty's line, the digits ending its name.
uint32_t legacyDpi(const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
        --digits;
    if (digits == name.size() || name.size() - digits > 7)
        return VYL_DPI_UNKNOWN;
    unsigned long line = std::strtoul(name.c_str() + digits, nullptr, 10);
    return line > 0xFFFFFFu ? VYL_DPI_UNKNOWN : VYL_DPI_LEGACY | static_cast<uint32_t>(line);
}

// Parses "B-P.P..." into numbers; false when the text is something else (root hubs "usb1",
// interfaces "1-1.4:1.0").
bool parseUsbPort(const std::string& text, std::vector<unsigned long>& numbers) {
    numbers.clear();
    size_t pos = 0;
    char expected = '-';
    while (true) {
        size_t start = pos;
        unsigned long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 9)
            value = value * 10 + static_cast<unsigned long>(text[pos++] - '0');
        if (pos == start || value == 0)
            return false;
        numbers.push_back(value);
        if (pos == text.size())
            return numbers.size() >= 2;
        if (text[pos] != expected)
            return false;
        expected = '.';
        ++pos;
    }
}

bool describe(const std::string& sysfsPath, const std::string& name, vyl::SSysfsDevice& device) {
    std::string real = resolve(sysfsPath);
    if (real.empty() || !isDir(real))
        return false;
    device = vyl::SSysfsDevice();
    device.sysfsPath = real;
    device.name = name.empty() ? baseName(real) : name;
    device.node = vyl::rootPath("dev/" + device.name);

    std::string deviceDir = resolve(real + "/device");
    if (deviceDir.empty() || !isDir(deviceDir))
        return true; // virtual: consoles, pseudo-terminals

    // The USB device is the nearest directory above that carries the ids; interfaces and
    // usb-serial ports below it do not. Stop at the sysfs root, wherever the tree lives.
    std::string sysRoot = resolve(vyl::rootPath("sys"));
    std::string dir = deviceDir;
    for (int depth = 0; depth < kMaxWalk && dir != "/" && dir != sysRoot; ++depth) {
        if (!sysRoot.empty() && dir.compare(0, sysRoot.size() + 1, sysRoot + "/") != 0)
            break;
        unsigned vendor = 0, product = 0;
        bool hasVendor = readUsbId(dir + "/idVendor", vendor);
        bool hasProduct = readUsbId(dir + "/idProduct", product);
        if (hasVendor || hasProduct) {
            device.bus = vyl::SB_USB;
            device.idVendor = vendor;
            device.idProduct = product;
            device.usbPort = baseName(dir);
            device.dpi = vyl::usbPortDpi(device.usbPort);
            return true;
        }
        dir = parentOf(dir);
    }
    device.bus = vyl::SB_LEGACY;
    device.dpi = legacyDpi(device.name);
    std::string type;
    if (readLine(real + "/type", type) && type == "0")
        device.present = false;
    return true;
}

} // namespace

uint32_t llGetDpiFromSysfs(const char* sysfsPath) {
    vyl::SSysfsDevice device;
    if (!sysfsPath || !*sysfsPath || !describe(sysfsPath, std::string(), device))
        return VYL_DPI_UNKNOWN;
    return device.dpi;
}

namespace vyl {

uint32_t usbPortDpi(const std::string& port) {
    std::vector<unsigned long> numbers;
    if (!parseUsbPort(port, numbers))
        return VYL_DPI_UNKNOWN;
    bool fits = numbers.size() <= 6;
    for (unsigned long n : numbers)
        fits = fits && n <= 15;
    if (fits) {
        uint32_t dpi = VYL_DPI_USB | static_cast<uint32_t>(numbers[0]) << 20;
        for (size_t i = 1; i < numbers.size(); ++i)
            dpi |= static_cast<uint32_t>(numbers[i]) << (20 - 4 * i);
        return dpi;
    }
    // FNV-1a, folded to 24 bits.
    uint32_t hash = 2166136261u;
    for (unsigned char c : port) {
        hash ^= c;
        hash *= 16777619u;
    }
    return VYL_DPI_USB_HASHED | ((hash >> 24) ^ (hash & 0xFFFFFFu));
}

bool describeSysfsDevice(const std::string& sysfsPath, SSysfsDevice& device) {
    return describe(sysfsPath, std::string(), device);
}

int listSysfsDevices(const std::string& cls, std::vector<SSysfsDevice>& devices) {
    devices.clear();
    if (cls.empty() || cls == "." || cls == ".." || cls.find('/') != std::string::npos) {
        syslog(LOG_ERR, "vyl: \"%s\" is no device class", cls.c_str());
        return -1;
    }
    std::string classDir = rootPath("sys/class/" + cls);
    DIR* dir = ::opendir(classDir.c_str());
    if (!dir) {
        syslog(LOG_ERR, "vyl: cannot read device class folder %s", classDir.c_str());
        return -1;
    }
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        SSysfsDevice device;
        if (describe(classDir + "/" + name, name, device)) // dangling links are skipped
            devices.push_back(device);
    }
    return static_cast<int>(devices.size());
}

bool deviceMatches(const SDeviceMatch& match, const SSysfsDevice& device) {
    if (device.bus == SB_NONE || device.bus != match.bus)
        return false;
    bool listed = false;
    if (device.bus == SB_USB) {
        for (const SUsbId& id : match.usbIds)
            listed = listed || (id.vendor == device.idVendor && id.product == device.idProduct);
    } else {
        for (const std::string& kind : match.builtins)
            listed = listed || (kind == "tty" && device.present);
    }
    if (!listed)
        return false;
    return match.dpis.empty() ||
           std::find(match.dpis.begin(), match.dpis.end(), device.dpi) != match.dpis.end();
}

int findSysfsDevices(const std::string& cls, const std::vector<SDeviceMatch>& matches,
                     std::map<std::string, std::string>& found) {
    found.clear();
    std::vector<SSysfsDevice> devices;
    if (listSysfsDevices(cls, devices) < 0)
        return -1;
    for (const SSysfsDevice& device : devices)
        for (const SDeviceMatch& match : matches)
            if (deviceMatches(match, device)) {
                found[device.node] = device.sysfsPath;
                break;
            }
    return static_cast<int>(found.size());
}

} // namespace vyl
