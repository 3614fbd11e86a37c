#include "bridge_document.h"

#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

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

std::string bridgeDocumentWith(const std::map<std::string, std::string>& values) {
    std::istringstream in(kBridgeDocument);
    std::string out;
    std::set<std::string> replaced;
    // The keys above the current line, with their indentation.
    std::vector<std::pair<size_t, std::string>> parents;
    for (std::string line; std::getline(in, line);) {
        size_t indent = line.find_first_not_of(' ');
        size_t colon = line.find(':');
        bool isKey = indent != std::string::npos && colon != std::string::npos &&
                     line[indent] != '-' && line[indent] != '#' && line[indent] != '%';
        if (isKey) {
            while (!parents.empty() && parents.back().first >= indent)
                parents.pop_back();
            std::string path;
            for (const auto& parent : parents)
                path += parent.second + "/";
            std::string key = line.substr(indent, colon - indent);
            path += key;
            parents.emplace_back(indent, key);
            auto found = values.find(path);
            if (found != values.end()) {
                line = line.substr(0, colon + 1) + " " + found->second;
                replaced.insert(path);
            }
        }
        out += line + "\n";
    }
    for (const auto& value : values)
        if (!replaced.count(value.first))
            throw std::invalid_argument("no key " + value.first + " in the bridge document");
    return out;
}

} // namespace testenv
