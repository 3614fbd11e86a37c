#include "vyl_fs.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

int failWith(std::string& why, const std::string& what) {
    int error = errno;
    why = what + ": " + std::strerror(error);
    errno = error;
    return -1;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int readRegularFile(const std::string& path, size_t limit, std::string& text, std::string& why) {
    text.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failWith(why, "cannot open");
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        failWith(why, "cannot read");
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        errno = EINVAL;
        return -1;
    }
    std::vector<char> buffer(65536);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failWith(why, "cannot read");
            ::close(fd);
            return -1;
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<size_t>(n) > limit) {
            ::close(fd);
            why = "file too large";
            errno = EFBIG;
            return -1;
        }
        text.append(buffer.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

int replaceFile(const std::string& path, const std::string& text, mode_t mode, std::string& why) {
    std::string temporary = path + ".XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return failWith(why, "cannot create a temporary file beside " + path);
    temporary = name.data();
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    if (!ok)
        failWith(why, "cannot write " + temporary);
    if (::close(fd) != 0 && ok) {
        failWith(why, "cannot write " + temporary);
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failWith(why, "cannot replace " + path);
        ok = false;
    }
    if (!ok) {
        int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return -1;
    }
    // The rename itself is durable only once the folder is synced.
    std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return 0;
}

} // namespace vyl
