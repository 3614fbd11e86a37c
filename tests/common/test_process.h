// Child processes for whole-process tests: the daemon under test, the gateway simulator.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <giomm/dbusconnection.h>
#include <sys/types.h>

namespace testenv {

class Process {
public:
    // Starts `program` (from build/bin when it is there, else a path or a name on PATH) with
    // `args`; stdout and stderr go to a file read back by output().
    Process(const std::string& program, const std::vector<std::string>& args);
    ~Process(); // kills the child if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    void signal(int sig);
    // Waits for the exit; the exit status, or -1 on time-out (the child keeps running).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string output() const;

private:
    pid_t m_pid = -1;
    int m_status = -1;
    bool m_exited = false;
    std::string m_outputPath;
};

// A client connection to the private bus of the test (DBUS_SESSION_BUS_ADDRESS).
Glib::RefPtr<Gio::DBus::Connection> sessionConnection();
// A round trip to the bus on `connection`: match rules it sent before (AddMatch goes out
// without waiting for its reply) are in place at the bus afterwards.
bool settle(const Glib::RefPtr<Gio::DBus::Connection>& connection);
bool nameHasOwner(const Glib::RefPtr<Gio::DBus::Connection>& connection, const std::string& name);
// Calls a method without arguments and returns its reply (null on error, with `error` filled).
GVariant* callMethod(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                     const std::string& busName, const std::string& path,
                     const std::string& interface, const std::string& method,
                     std::string* error = nullptr);
std::string callString(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                       const std::string& busName, const std::string& path,
                       const std::string& interface, const std::string& method);

} // namespace testenv
