// Configuration repository: a committed file is copied into $VYL_ROOT/var/lib/vyl/config-repo/
// under its own name, and one line per commit (UTC time, file, message) is appended to the
// repository's "commits.log". Main-thread use; no locking across processes.
#pragma once

#include <string>

// 0 when the file was committed; -1 otherwise, with the reason in *detail when given.
int configFileCommit(const char* path, const char* message, std::string* detail);

namespace vyl {
std::string configRepoDir();
}
