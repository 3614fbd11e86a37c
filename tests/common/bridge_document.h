// The bridge's built-in configuration document as the tests know it, kept apart from the
// product's copy so that a change to either shows up as a failing comparison.
#pragma once

#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testenv {

inline const char* const kBridgeDocument = "%YAML 1.1\n"
                                           "---\n"
                                           "enabled: no\n"
                                           "gatesTriggers:\n"
                                           "  vpnUp:\n"
                                           "    retval: osv.vpn.connected()\n"
                                           "  wanUp:\n"
                                           "    retval: osv.wan.active ~= nil\n"
                                           "networkSettings:\n"
                                           "  gate: wanUp\n"
                                           "  maxBufBytesToSvr: 2097152\n"
                                           "  maxBufBytesScanAvi: 32768\n"
                                           "  overrideServerIPAddr: ''\n"
                                           "  overrideServerTCPPort: ''\n"
                                           "serialSettings:\n"
                                           "  device: # defaults inherited from global TTY spec\n"
                                           "    - bus: usb\n"
                                           "      devlevel: bus\n"
                                           "      whitelist:\n"
                                           "        # Prolific PL-2303\n"
                                           "        - idProduct: 0x2303\n"
                                           "          idVendor: 0x067b\n"
                                           "        # IOGEAR GUC232A\n"
                                           "        - idProduct: 0x2008\n"
                                           "          idVendor: 0x0557\n"
                                           "    - bus: legacy\n"
                                           "      devlevel: bus\n"
                                           "      selector:\n"
                                           "        DPI: # rear-panel serial port\n"
                                           "          - 0x01000000\n"
                                           "      whitelist:\n"
                                           "        - builtin: tty\n"
                                           "  lineSettings:\n"
                                           "    speed: 57600\n"
                                           "  retryTimeout: 10\n"
                                           "  inactivityTimeout: 60\n"
                                           "...\n";

// The serial device list of the document (under serialSettings/device), moved to the top level.
inline std::string bridgeDeviceList() {
    // The list's lines are the ones four columns in between "  device:" and the next key.
    std::istringstream in(std::strstr(kBridgeDocument, "\n  device:") + 1);
    std::string list, line;
    std::getline(in, line);
    while (std::getline(in, line) && line.compare(0, 4, "    ") == 0)
        list += line.substr(4) + "\n";
    return list;
}

// The document with the scalar values of some keys replaced; a key is named by its path of
// mapping keys ("networkSettings/gate"). Throws std::invalid_argument for a path it lacks.
inline std::string bridgeDocumentWith(const std::map<std::string, std::string>& values) {
    std::string out = kBridgeDocument;
    for (const auto& value : values) {
        // Each key of the path is looked for after its parent, two columns further in.
        size_t at = 0, indent = 0;
        std::istringstream path(value.first);
        for (std::string key; at != std::string::npos && std::getline(path, key, '/'); indent += 2)
            at = out.find("\n" + std::string(indent, ' ') + key + ":", at);
        if (at == std::string::npos)
            throw std::invalid_argument("no key " + value.first + " in the bridge document");
        at = out.find(':', at + 1) + 1;
        out.replace(at, out.find('\n', at) - at, " " + value.second);
    }
    return out;
}

} // namespace testenv
