// Platform paths. Every path handed out here lies under VYL_ROOT (environment; unset or empty
// means "/"), so that tests and demos run inside a temporary folder. Thread-safe.
#pragma once

#include <string>

enum platformIndex {
    LOG_DIR_INDEX = 1,
    DELS_DB_DIR_INDEX = 4,
    DELS_DB_FILE_INDEX = 5,
    CONFIG_DIR_INDEX = 21,
    PID_DIR_INDEX = 45,
};

// The path of a platform index, or an empty string for an index this platform does not know.
std::string getLocation(int index);

namespace vyl {

// VYL_ROOT without a trailing slash ("" for the real root).
std::string rootPrefix();

// `relative` (no leading slash) under VYL_ROOT: "var/lock" -> "$VYL_ROOT/var/lock".
std::string rootPath(const std::string& relative);

} // namespace vyl
