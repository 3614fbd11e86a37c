// Shared test helpers: a temporary platform root, a private dbus-daemon and deadline waits.
// Used from the test's main thread only.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <glib.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testenv {

// Sets (without a value: unsets) environment variable `name`; the value it had.
inline std::optional<std::string> swapEnv(const char* name,
                                          const std::optional<std::string>& value) {
    const char* old = ::getenv(name);
    std::optional<std::string> previous = old ? std::optional<std::string>(old) : std::nullopt;
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
    return previous;
}

// A fresh folder set as VYL_ROOT (and a unique VYL_OSV_NAME) for the lifetime of the object.
class TempRoot {
public:
    TempRoot() {
        char tmpl[] = "/tmp/tessarc-test-XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
        m_oldRoot = swapEnv("VYL_ROOT", m_path);
        m_osv = "/tessarc-test-osv-" + m_path.substr(18);
        m_oldOsv = swapEnv("VYL_OSV_NAME", m_osv);
    }
    ~TempRoot() {
        ::shm_unlink(m_osv.c_str());
        // The configuration-count semaphore of the platform's event database under this root.
        std::string semaphore = "config-count-" + m_path + "/var/lib/dels/dels.db";
        std::replace(semaphore.begin(), semaphore.end(), '/', '-');
        ::sem_unlink(semaphore.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
        swapEnv("VYL_ROOT", m_oldRoot);
        swapEnv("VYL_OSV_NAME", m_oldOsv);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }
    // Writes a file under the root, creating its folders.
    void write(const std::string& relative, const std::string& content) const {
        std::filesystem::path full = *this / relative;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
    }

private:
    std::string m_path;
    std::string m_osv;
    std::optional<std::string> m_oldRoot;
    std::optional<std::string> m_oldOsv;
};

// A bus configuration for a private dbus-daemon (session type, fresh socket under /tmp,
// EXTERNAL authentication) whose default policy holds `policy`, followed by `extra`.
inline std::string busConfig(const std::string& policy, const std::string& extra = "") {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>session</type>\n  <listen>unix:tmpdir=/tmp</listen>\n"
           "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n" +
           policy + "  </policy>\n" + extra + "</busconfig>\n";
}

// A private dbus-daemon; while it lives, DBUS_SESSION_BUS_ADDRESS points at it and
// QCF_SESSION_BUS is set. `configXml` replaces the permissive default (for policy tests).
class PrivateBus {
public:
    explicit PrivateBus(const std::string& configXml = "") {
        char tmpl[] = "/tmp/tessarc-bus-XXXXXX.conf";
        int fd = ::mkstemps(tmpl, 5);
        if (fd < 0)
            throw std::runtime_error("mkstemps failed");
        ::close(fd);
        m_configPath = tmpl;
        std::ofstream(m_configPath)
            << (configXml.empty()
                    ? busConfig("    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                "    <allow eavesdrop=\"true\"/>\n"
                                "    <allow own=\"*\"/>\n")
                    : configXml);
        int pipefd[2];
        if (::pipe(pipefd) != 0)
            throw std::runtime_error("pipe failed");
        m_pid = ::fork();
        if (m_pid == 0) {
            std::string printAddress = "--print-address=" + std::to_string(pipefd[1]);
            std::string config = "--config-file=" + m_configPath;
            ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), printAddress.c_str(), "--nofork",
                     "--nopidfile", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipefd[1]);
        char buf[512];
        ssize_t n;
        while (m_address.find('\n') == std::string::npos &&
               (n = ::read(pipefd[0], buf, sizeof buf)) > 0)
            m_address.append(buf, n);
        ::close(pipefd[0]);
        if (m_address.empty())
            throw std::runtime_error("dbus-daemon did not start");
        m_address.erase(m_address.find('\n'));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
        ::setenv("QCF_SESSION_BUS", "1", 1);
    }
    ~PrivateBus() {
        if (m_pid > 0 && ::kill(m_pid, SIGTERM) == 0)
            ::waitpid(m_pid, nullptr, 0);
        ::unlink(m_configPath.c_str());
        ::unsetenv("QCF_SESSION_BUS");
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return m_address; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::string m_address;
    std::string m_configPath;
};

// Iterates the default GLib main context until `done` is true or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs `body` in a child process that exits with what `body` returns.
template <class Body> pid_t forkChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

// The exit status of child `pid` (any child for -1), 128 + the signal that ended it, or -1 when
// none ended in time (a child named by its PID is then killed).
inline int childStatus(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) > 0; }, timeout)) {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A whole file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Today's date in UTC as "YYYY-MM-DD", the prefix of the daily log files.
inline std::string utcDate() {
    char text[16];
    time_t now = ::time(nullptr);
    struct tm utc;
    ::strftime(text, sizeof text, "%Y-%m-%d", ::gmtime_r(&now, &utc));
    return text;
}

class BusTest : public ::testing::Test {
protected:
    TempRoot m_root;
    PrivateBus m_bus;
};

} // namespace testenv
