#include "config_commit.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "locations.h"
#include "vyl_fs.h"
#include "vyl_yaml.h"

namespace vyl {
std::string configRepoDir() {
    return rootPath("var/lib/vyl/config-repo");
}
} // namespace vyl

namespace {

int fail(std::string* detail, const std::string& why) {
    if (detail)
        *detail = why;
    return -1;
}

std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace

int configFileCommit(const char* path, const char* message, std::string* detail) {
    if (!path || !*path)
        return fail(detail, "no file given");
    std::string repo = vyl::configRepoDir();
    if (vyl::makeDirs(repo, 0755) != 0)
        return fail(detail, "cannot create " + repo + ": " + std::strerror(errno));

    std::string source(path);
    std::string name = source.substr(source.rfind('/') + 1);
    std::string target = repo + "/" + name;
    // Read and written whole: an empty file is a valid commit, and the copy in the repository is
    // replaced atomically.
    std::string text, why;
    if (vyl::readRegularFile(source, VYL_YAML_MAX_FILE_BYTES, text, why) != 0)
        return fail(detail, "cannot read " + source + ": " + why);
    if (vyl::replaceFile(target, text, 0644, why) != 0)
        return fail(detail, why);

    char stamp[32];
    time_t now = ::time(nullptr);
    struct tm utc;
    ::gmtime_r(&now, &utc);
    ::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::ofstream log(repo + "/commits.log", std::ios::app);
    log << stamp << ' ' << name << ": " << oneLine(message ? message : "") << '\n';
    if (!log)
        return fail(detail, "cannot append to the commit log");
    return 0;
}
