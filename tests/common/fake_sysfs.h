// A sysfs tree shaped like a real machine's under a temporary platform root: USB serial adapters
// behind hubs, on-board UARTs (present or reserved by the driver), virtual ttys, each with its
// sys/class/tty link, the tty's `device` link and a device node file under dev/. Main thread only.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace testenv {

class FakeSysfs {
public:
    explicit FakeSysfs(const std::string& root) : m_root(root) {
        std::filesystem::create_directories(m_root + "/sys/class/tty");
        std::filesystem::create_directories(m_root + "/dev");
    }

    // A USB serial adapter with ids `vendor`:`product` in port `port` ("1-1.4": bus 1, root hub
    // port 1, hub port 4), its tty `name` on interface 0: "ttyUSB*" with the usb-serial layout
    // (tty below a port device), others the cdc-acm one. Returns the class path.
    std::string addUsbSerial(const std::string& name, const std::string& port, unsigned vendor,
                             unsigned product) {
        // Every hub on the way has ids too, so that a walk past the adapter would read a hub's.
        std::string dir =
            "sys/devices/pci0000:00/0000:00:14.0/usb" + port.substr(0, port.find('-'));
        for (size_t end = port.find('.');; end = port.find('.', end + 1)) {
            bool adapter = end == std::string::npos;
            dir += "/" + port.substr(0, end);
            write(dir + "/idVendor", hex4(adapter ? vendor : 0x8087));
            write(dir + "/idProduct", hex4(adapter ? product : 0x0024));
            if (adapter)
                break;
        }
        std::string intf = dir + "/" + port + ":1.0";
        return addTty(name.compare(0, 6, "ttyUSB") == 0 ? intf + "/" + name : intf, name);
    }
    // "ttyS<line>": under pnp0 when `present`, else under the serial8250 platform device with
    // "type" 0 (reserved by the driver, no UART found).
    std::string addBuiltinSerial(unsigned line, bool present = true) {
        std::string name = "ttyS" + std::to_string(line);
        std::string parent = present ? "sys/devices/pnp0/00:0" + std::to_string(5 + line)
                                     : "sys/devices/platform/serial8250";
        std::string result = addTty(parent, name);
        write(parent + "/tty/" + name + "/type", present ? "4\n" : "0\n");
        return result;
    }
    std::string addVirtualTty(const std::string& name) {
        return addTty("sys/devices/virtual", name);
    }
    // Makes the device node of tty `name` a link to `target` (a pseudo-terminal's slave).
    void linkNode(const std::string& name, const std::string& target) const {
        std::filesystem::remove(node(name));
        std::filesystem::create_symlink(target, node(name));
    }
    // Unplugs: removes the class link, the node and the device folder (a USB adapter as a whole).
    void remove(const std::string& name) {
        std::string device = devicePath(name);
        std::filesystem::remove(classPath(name));
        std::filesystem::remove(node(name));
        size_t intf = device.find(":1.0/");
        if (intf != std::string::npos)
            device = std::filesystem::path(device.substr(0, intf)).parent_path();
        if (!device.empty())
            std::filesystem::remove_all(device);
    }

    std::string node(const std::string& name) const { return m_root + "/dev/" + name; }
    std::string classPath(const std::string& name) const {
        return m_root + "/sys/class/tty/" + name;
    }
    // The resolved device directory of the tty, as a sysfs search reports it.
    std::string devicePath(const std::string& name) const {
        std::error_code error;
        std::filesystem::path real = std::filesystem::canonical(classPath(name), error);
        return error ? std::string() : real.string();
    }

private:
    static std::string hex4(unsigned value) {
        char text[8];
        std::snprintf(text, sizeof text, "%04x\n", value & 0xFFFFu);
        return text;
    }
    void write(const std::string& relative, const std::string& content) const {
        std::filesystem::path at = m_root + "/" + relative;
        std::filesystem::create_directories(at.parent_path());
        std::ofstream(at) << content;
    }
    // Relative, like the kernel's links.
    void link(const std::string& target, const std::string& relative) const {
        std::filesystem::path at = m_root + "/" + relative;
        std::filesystem::create_directories(at.parent_path());
        std::filesystem::remove(at);
        std::filesystem::create_symlink(
            std::filesystem::path(m_root + "/" + target).lexically_relative(at.parent_path()), at);
    }
    std::string addTty(const std::string& parent, const std::string& name) {
        std::string dir = parent + "/tty/" + name;
        std::filesystem::create_directories(m_root + "/" + dir);
        if (parent.find("/virtual") == std::string::npos)
            link(parent, dir + "/device");
        link(dir, "sys/class/tty/" + name);
        if (!std::filesystem::exists(node(name)))
            write("dev/" + name, "");
        return classPath(name);
    }

    std::string m_root;
};

} // namespace testenv
