#include "bridge_document.h"

#include <sstream>

namespace testenv {

const char* const kBridgeDocument = "%YAML 1.1\n"
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

std::string bridgeDeviceList() {
    // The device list sits between its key and the next key of serialSettings, four columns in.
    std::istringstream in(kBridgeDocument);
    std::string list;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 9, "  device:") == 0) {
            inside = true;
            continue;
        }
        if (inside && line.compare(0, 4, "    ") != 0)
            break;
        if (inside)
            list += line.substr(4) + "\n";
    }
    return list;
}

} // namespace testenv
