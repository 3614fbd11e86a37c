// Child processes for whole-process tests (the daemon, the gateway simulator) and calls to them
// over the test's private bus.
#pragma once

#include <chrono>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <giomm/dbusconnection.h>
#include <giomm/init.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_env.h"

namespace testenv {

// The blank-separated words of `text`: arguments written as one line.
inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

class Process {
public:
    // Starts `program` (from build/bin when it is there, else a path or a name on PATH) with
    // `args`; stdout and stderr go to a file read back by output().
    Process(const std::string& program, const std::vector<std::string>& args) {
        char tmpl[] = "/tmp/tessarc-out-XXXXXX";
        int out = ::mkstemp(tmpl);
        if (out < 0)
            throw std::runtime_error("mkstemp failed");
        m_outputPath = tmpl;
        std::string path = std::string(TESSARC_BIN_DIR) + "/" + program;
        if (program.find('/') != std::string::npos || ::access(path.c_str(), X_OK) != 0)
            path = program;
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out);
    }
    ~Process() {
        if (running() && ::kill(m_pid, SIGKILL) == 0)
            ::waitpid(m_pid, nullptr, 0);
        ::unlink(m_outputPath.c_str());
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    bool running() {
        int status;
        if (m_pid > 0 && m_status < 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid)
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_pid > 0 && m_status < 0;
    }
    void signal(int sig) {
        if (running())
            ::kill(m_pid, sig);
    }
    // The exit status, or -1 on time-out (the child keeps running).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return m_status;
    }
    std::string output() const { return readFile(m_outputPath); }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_outputPath;
};

// A client connection to the private bus of the test (DBUS_SESSION_BUS_ADDRESS).
inline Glib::RefPtr<Gio::DBus::Connection> sessionConnection() {
    Gio::init();
    const char* address = ::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address)
        throw std::runtime_error("no private bus");
    return Gio::DBus::Connection::create_for_address_sync(
        address, Gio::DBus::CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                     Gio::DBus::CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
}

// Calls a method: its reply, null on error.
inline GVariant* callMethod(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                            const std::string& busName, const std::string& path,
                            const std::string& interface, const std::string& method,
                            GVariant* args = nullptr) {
    return g_dbus_connection_call_sync(connection->gobj(), busName.c_str(), path.c_str(),
                                       interface.c_str(), method.c_str(), args, nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
}

// The string of an "(s)" reply; empty on error.
inline std::string callString(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                              const std::string& busName, const std::string& path,
                              const std::string& interface, const std::string& method) {
    GVariant* reply = callMethod(connection, busName, path, interface, method);
    const gchar* text = "";
    if (reply && g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
        g_variant_get(reply, "(&s)", &text);
    std::string result = text;
    if (reply)
        g_variant_unref(reply);
    return result;
}

// A round trip to the bus: match rules sent before (AddMatch goes out without waiting for its
// reply) are in place afterwards.
inline bool settle(const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    return !callString(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "GetId")
                .empty();
}

inline bool nameHasOwner(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                         const std::string& name) {
    gboolean owned = FALSE;
    if (GVariant* reply = callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameHasOwner",
                                     g_variant_new("(s)", name.c_str()))) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned;
}

} // namespace testenv
