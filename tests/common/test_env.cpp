#include "test_env.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <ftw.h>
#include <glib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testenv {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

void mkdirs(const std::string& dir) {
    std::string partial;
    std::stringstream parts(dir);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        partial += piece + "/";
        ::mkdir(partial.c_str(), 0755);
    }
}

} // namespace

TempRoot::TempRoot() {
    char tmpl[] = "/tmp/tessarc-test-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
    if (const char* old = ::getenv("VYL_ROOT")) {
        m_hadRoot = true;
        m_oldRoot = old;
    }
    if (const char* old = ::getenv("VYL_OSV_NAME")) {
        m_hadOsv = true;
        m_oldOsv = old;
    }
    ::setenv("VYL_ROOT", m_path.c_str(), 1);
    std::string osv = "/tessarc-test-osv-" + m_path.substr(m_path.rfind('-') + 1);
    ::setenv("VYL_OSV_NAME", osv.c_str(), 1);
}

TempRoot::~TempRoot() {
    if (const char* osv = ::getenv("VYL_OSV_NAME"))
        ::shm_unlink(osv);
    ::nftw(m_path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (m_hadRoot)
        ::setenv("VYL_ROOT", m_oldRoot.c_str(), 1);
    else
        ::unsetenv("VYL_ROOT");
    if (m_hadOsv)
        ::setenv("VYL_OSV_NAME", m_oldOsv.c_str(), 1);
    else
        ::unsetenv("VYL_OSV_NAME");
}

void TempRoot::write(const std::string& relative, const std::string& content) const {
    std::string full = m_path + "/" + relative;
    mkdirs(full.substr(0, full.rfind('/')));
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string busConfig(const std::string& policy, const std::string& extra) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:tmpdir=/tmp</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n" +
           policy + "  </policy>\n" + extra + "</busconfig>\n";
}

PrivateBus::PrivateBus(const std::string& configXml) {
    char tmpl[] = "/tmp/tessarc-bus-XXXXXX.conf";
    int fd = ::mkstemps(tmpl, 5);
    if (fd < 0)
        throw std::runtime_error("mkstemps failed");
    m_configPath = tmpl;
    // Without a configuration of the test's own, anyone may do anything.
    const std::string text = configXml.empty() ? busConfig("    <allow send_destination=\"*\" "
                                                           "eavesdrop=\"true\"/>\n"
                                                           "    <allow eavesdrop=\"true\"/>\n"
                                                           "    <allow own=\"*\"/>\n")
                                               : configXml;
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("writing bus configuration failed");
    ::close(fd);

    int pipefd[2];
    if (::pipe(pipefd) != 0)
        throw std::runtime_error("pipe failed");
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(pipefd[0]);
        std::string printAddress = "--print-address=" + std::to_string(pipefd[1]);
        std::string config = "--config-file=" + m_configPath;
        ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), printAddress.c_str(), "--nofork",
                 "--nopidfile", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipefd[1]);
    char buf[512];
    std::string line;
    ssize_t n;
    while (line.find('\n') == std::string::npos && (n = ::read(pipefd[0], buf, sizeof buf)) > 0)
        line.append(buf, n);
    ::close(pipefd[0]);
    if (line.empty())
        throw std::runtime_error("dbus-daemon did not start");
    m_address = line.substr(0, line.find('\n'));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
    ::setenv("QCF_SESSION_BUS", "1", 1);
}

PrivateBus::~PrivateBus() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_configPath.c_str());
    ::unsetenv("QCF_SESSION_BUS");
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int msLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string utcDate() {
    char text[16];
    time_t now = ::time(nullptr);
    struct tm utc;
    ::gmtime_r(&now, &utc);
    ::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

} // namespace testenv
