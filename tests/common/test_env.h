// Shared test helpers: a temporary platform root, a private dbus-daemon and deadline waits.
// Used from the test's main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <sys/types.h>

namespace testenv {

// A fresh folder set as VYL_ROOT (and a unique VYL_OSV_NAME) for the lifetime of the object.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return m_path; }
    // Absolute path of `relative` under the root.
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }
    // Writes a file under the root, creating its folders.
    void write(const std::string& relative, const std::string& content) const;

private:
    std::string m_path;
    std::string m_oldRoot;
    std::string m_oldOsv;
    bool m_hadRoot = false;
    bool m_hadOsv = false;
};

// A bus configuration for a private dbus-daemon: a session-type bus on a fresh socket under /tmp
// with EXTERNAL authentication, whose default policy holds the lines `policy`, followed by
// `extra` (includes and the like).
std::string busConfig(const std::string& policy, const std::string& extra = std::string());

// A private dbus-daemon; while it lives, DBUS_SESSION_BUS_ADDRESS points at it and
// QCF_SESSION_BUS is set, so the code under test connects to it as its "session bus".
// `configXml` replaces the permissive default configuration (for policy tests).
class PrivateBus {
public:
    explicit PrivateBus(const std::string& configXml = std::string());
    ~PrivateBus();
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
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Milliseconds from now until `deadline`, 0 once it has passed (for poll()).
int msLeft(std::chrono::steady_clock::time_point deadline);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

// Today's date in UTC as "YYYY-MM-DD", the prefix of the daily log files.
std::string utcDate();

// Fixture for tests that need both a temporary root and a private bus.
class BusTest : public ::testing::Test {
protected:
    TempRoot m_root;
    PrivateBus m_bus;
};

} // namespace testenv
