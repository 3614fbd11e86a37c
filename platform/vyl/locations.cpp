#include "locations.h"

#include <cstdlib>

namespace vyl {

std::string rootPrefix() {
    const char* root = ::getenv("VYL_ROOT");
    std::string prefix = root ? root : "";
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    return prefix;
}

std::string rootPath(const std::string& relative) {
    return rootPrefix() + "/" + relative;
}

} // namespace vyl

std::string getLocation(int index) {
    switch (index) {
    case LOG_DIR_INDEX:
        return vyl::rootPath("var/log/vyl");
    case DELS_DB_DIR_INDEX:
        return vyl::rootPath("var/lib/dels");
    case DELS_DB_FILE_INDEX:
        return vyl::rootPath("var/lib/dels/dels.db");
    case CONFIG_DIR_INDEX:
        return vyl::rootPath("etc/vyl");
    case PID_DIR_INDEX:
        return vyl::rootPath("run/vyl");
    default:
        return std::string();
    }
}
