#include "fake_sysfs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace testenv {

namespace {

const char* const kPci = "sys/devices/pci0000:00/0000:00:14.0";

// "../" once per folder of `fromDir` (below the root): the way back to the root from a link
// made there, so that links are relative like the kernel's.
std::string up(const std::string& fromDir) {
    std::string result;
    std::stringstream parts(fromDir);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        if (!piece.empty())
            result += "../";
    }
    return result;
}

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

} // namespace

FakeSysfs::FakeSysfs(const std::string& root) : m_root(root) {
    mkdirs("sys/class/tty");
    mkdirs("sys/bus/usb/devices");
    mkdirs("sys/bus/usb-serial/devices");
    mkdirs("sys/bus/pnp/devices");
    mkdirs("sys/bus/platform/devices");
    mkdirs("dev");
}

void FakeSysfs::mkdirs(const std::string& relative) const {
    std::string partial = m_root;
    std::stringstream parts(relative);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        partial += "/" + piece;
        ::mkdir(partial.c_str(), 0755);
    }
}

void FakeSysfs::write(const std::string& relative, const std::string& content) const {
    mkdirs(parentOf(relative));
    std::ofstream out(m_root + "/" + relative, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + relative);
}

// A link at `relative` (below the root) to `target` (below the root), written relatively.
void FakeSysfs::link(const std::string& target, const std::string& relative) const {
    mkdirs(parentOf(relative));
    std::string text = up(parentOf(relative)) + target;
    std::string at = m_root + "/" + relative;
    ::unlink(at.c_str());
    if (::symlink(text.c_str(), at.c_str()) != 0)
        throw std::runtime_error("cannot link " + relative);
}

std::string FakeSysfs::addTty(const std::string& ttyDir, const std::string& name,
                              const std::string& deviceLink, const std::string& dev) {
    std::string dir = ttyDir + "/" + name;
    mkdirs(dir);
    write(dir + "/dev", dev + "\n");
    write(dir + "/uevent", "MAJOR=" + dev.substr(0, dev.find(':')) + "\nDEVNAME=" + name + "\n");
    link("sys/class/tty", dir + "/subsystem");
    if (!deviceLink.empty())
        link(deviceLink, dir + "/device");
    link(dir, "sys/class/tty/" + name);
    std::string nodeFile = "dev/" + name;
    if (::access((m_root + "/" + nodeFile).c_str(), F_OK) != 0)
        write(nodeFile, "");
    return classPath(name);
}

std::string FakeSysfs::addUsbSerial(const std::string& name, const std::string& port,
                                    unsigned vendor, unsigned product) {
    size_t dash = port.find('-');
    if (dash == std::string::npos || dash == 0)
        throw std::invalid_argument("USB port path without bus: " + port);
    std::string bus = port.substr(0, dash);
    std::string dir = std::string(kPci) + "/usb" + bus;
    // The root hub, then every hub on the path, then the adapter itself.
    std::vector<std::string> chain;
    std::string path = bus + "-";
    std::stringstream ports(port.substr(dash + 1));
    std::string piece;
    bool first = true;
    while (std::getline(ports, piece, '.')) {
        path += (first ? "" : ".") + piece;
        chain.push_back(path);
        first = false;
    }
    auto usbDevice = [this](const std::string& at, const std::string& devName, unsigned v,
                            unsigned p, const std::string& cls) {
        mkdirs(at);
        write(at + "/idVendor", hex4(v) + "\n");
        write(at + "/idProduct", hex4(p) + "\n");
        write(at + "/bDeviceClass", cls + "\n");
        link("sys/bus/usb", at + "/subsystem");
        link(at, "sys/bus/usb/devices/" + devName);
    };
    usbDevice(dir, "usb" + bus, 0x1d6b, 0x0002, "09");
    for (size_t i = 0; i < chain.size(); ++i) {
        dir += "/" + chain[i];
        bool adapter = i + 1 == chain.size();
        usbDevice(dir, chain[i], adapter ? vendor : 0x8087, adapter ? product : 0x0024,
                  adapter ? "00" : "09");
    }
    std::string intf = dir + "/" + chain.back() + ":1.0";
    mkdirs(intf);
    write(intf + "/bInterfaceNumber", "00\n");
    link("sys/bus/usb", intf + "/subsystem");
    if (name.compare(0, 6, "ttyUSB") == 0) {
        std::string portDev = intf + "/" + name;
        mkdirs(portDev);
        link("sys/bus/usb-serial", portDev + "/subsystem");
        link(portDev, "sys/bus/usb-serial/devices/" + name);
        return addTty(portDev + "/tty", name, portDev, "188:" + std::to_string(m_minor++));
    }
    return addTty(intf + "/tty", name, intf, "166:" + std::to_string(m_minor++));
}

std::string FakeSysfs::addBuiltinSerial(unsigned line, bool present) {
    std::string name = "ttyS" + std::to_string(line);
    std::string parent;
    if (present) {
        parent = "sys/devices/pnp0/00:0" + std::to_string(5 + line);
        mkdirs(parent);
        write(parent + "/id", "PNP0501\n");
        link("sys/bus/pnp", parent + "/subsystem");
    } else {
        parent = "sys/devices/platform/serial8250";
        mkdirs(parent);
        link("sys/bus/platform", parent + "/subsystem");
    }
    std::string ttyDir = parent + "/tty";
    std::string result = addTty(ttyDir, name, parent, "4:" + std::to_string(64 + line));
    write(ttyDir + "/" + name + "/type", present ? "4\n" : "0\n");
    write(ttyDir + "/" + name + "/line", std::to_string(line) + "\n");
    write(ttyDir + "/" + name + "/port", present ? "0x3F8\n" : "0x0\n");
    return result;
}

std::string FakeSysfs::addVirtualTty(const std::string& name) {
    return addTty("sys/devices/virtual/tty", name, std::string(), "4:" + std::to_string(m_minor++));
}

void FakeSysfs::remove(const std::string& name) {
    std::string device = devicePath(name);
    std::string cls = classPath(name);
    ::unlink(cls.c_str());
    ::unlink(node(name).c_str());
    if (!device.empty()) {
        // The device folder of the tty; for USB the whole adapter.
        std::string top = device;
        size_t intf = device.find(":1.0/");
        if (intf != std::string::npos)
            top = parentOf(device.substr(0, intf));
        ::nftw(top.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

void FakeSysfs::linkNode(const std::string& name, const std::string& target) const {
    std::string at = node(name);
    ::unlink(at.c_str());
    if (::symlink(target.c_str(), at.c_str()) != 0)
        throw std::runtime_error("cannot link " + at);
}

std::string FakeSysfs::node(const std::string& name) const {
    return m_root + "/dev/" + name;
}

std::string FakeSysfs::classPath(const std::string& name) const {
    return m_root + "/sys/class/tty/" + name;
}

std::string FakeSysfs::devicePath(const std::string& name) const {
    char* resolved = ::realpath(classPath(name).c_str(), nullptr);
    if (!resolved)
        return std::string();
    std::string result = resolved;
    ::free(resolved);
    return result;
}

} // namespace testenv
