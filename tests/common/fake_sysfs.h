// A sysfs tree shaped like a real machine's under a temporary platform root: USB serial adapters
// behind hubs, on-board UARTs (present or reserved by the driver), virtual ttys, each with its
// sys/class/tty link, the tty's `device` link and a device node file under dev/. Plugging and
// unplugging happen between tests' steps; main thread only.
#pragma once

#include <string>

namespace testenv {

class FakeSysfs {
public:
    // `root`: the platform root (TempRoot::path()).
    explicit FakeSysfs(const std::string& root);

    // A USB serial adapter with ids `vendor`:`product` in port `port` ("1-1.4": bus 1, root hub
    // port 1, hub port 4), its tty `name` on interface 0. "ttyUSB*" names get the usb-serial
    // layout (tty below a port device), others the cdc-acm one (tty below the interface). Hubs
    // on the way are made with their own ids. Returns the class path sys/class/tty/NAME.
    std::string addUsbSerial(const std::string& name, const std::string& port, unsigned vendor,
                             unsigned product);
    // An on-board UART on line `line` ("ttyS<line>"): under pnp0 when `present`, else under the
    // serial8250 platform device with "type" 0 (reserved by the driver, no UART found).
    std::string addBuiltinSerial(unsigned line, bool present = true);
    // A tty without a device behind it (virtual console, pseudo-terminal master).
    std::string addVirtualTty(const std::string& name);
    // Makes the device node of tty `name` a link to `target` (a pseudo-terminal's slave, so that
    // whoever opens the node talks to the test).
    void linkNode(const std::string& name, const std::string& target) const;
    // Unplugs: removes the class link, the device folder and the node.
    void remove(const std::string& name);

    // "$root/dev/NAME" and the absolute class path "$root/sys/class/tty/NAME".
    std::string node(const std::string& name) const;
    std::string classPath(const std::string& name) const;
    // The resolved device directory of the tty, as a sysfs search reports it.
    std::string devicePath(const std::string& name) const;

private:
    void mkdirs(const std::string& relative) const;
    void write(const std::string& relative, const std::string& content) const;
    void link(const std::string& target, const std::string& relative) const;
    std::string addTty(const std::string& ttyDir, const std::string& name,
                       const std::string& deviceLink, const std::string& dev);

    std::string m_root;
    unsigned m_minor = 0;
};

} // namespace testenv
