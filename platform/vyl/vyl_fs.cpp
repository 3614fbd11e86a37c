#include "vyl_fs.h"

#include <cerrno>
#include <sys/stat.h>

namespace vyl {

int makeDirs(const std::string& dir, mode_t mode) {
    if (dir.empty() || dir == "." || dir == "/")
        return 0;
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string partial = dir.substr(0, pos);
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

} // namespace vyl
