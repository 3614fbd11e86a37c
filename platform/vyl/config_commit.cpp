#include "config_commit.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "locations.h"
#include "vyl_fs.h"

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
    std::string temporary = target + ".tmp";
    {
        std::ifstream in(source, std::ios::binary);
        if (!in)
            return fail(detail, "cannot read " + source + ": " + std::strerror(errno));
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        out.flush();
        if (!out)
            return fail(detail, "cannot write " + temporary);
    }
    ::chmod(temporary.c_str(), 0644);
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return fail(detail, "cannot replace " + target + ": " + std::strerror(errno));
    }

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
