// Small file-system helpers of the platform layer. Thread-safe.
#pragma once

#include <string>
#include <sys/types.h>

namespace vyl {

// Creates `dir` and all missing parents with `mode`; 0 when the folder exists afterwards,
// -1 (errno set) otherwise.
int makeDirs(const std::string& dir, mode_t mode);

} // namespace vyl
