#include "test_process.h"

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <giomm/init.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_env.h"

namespace testenv {

Process::Process(const std::string& program, const std::vector<std::string>& args) {
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

Process::~Process() {
    if (running()) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_outputPath.c_str());
}

bool Process::running() {
    if (m_exited || m_pid <= 0)
        return false;
    int status;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_exited = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void Process::signal(int sig) {
    if (running())
        ::kill(m_pid, sig);
}

int Process::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_status;
}

std::string Process::output() const {
    return readFile(m_outputPath);
}

Glib::RefPtr<Gio::DBus::Connection> sessionConnection() {
    Gio::init();
    const char* address = ::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address)
        throw std::runtime_error("no private bus");
    return Gio::DBus::Connection::create_for_address_sync(
        address, Gio::DBus::CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                     Gio::DBus::CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
}

GVariant* callMethod(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                     const std::string& busName, const std::string& path,
                     const std::string& interface, const std::string& method, std::string* error) {
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection->gobj(), busName.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &failure);
    if (failure) {
        if (error) {
            gchar* remote = g_dbus_error_get_remote_error(failure);
            *error = std::string(remote ? remote : "") + ": " + failure->message;
            g_free(remote);
        }
        g_error_free(failure);
    }
    return reply;
}

bool settle(const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection->gobj(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

bool nameHasOwner(const Glib::RefPtr<Gio::DBus::Connection>& connection, const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection->gobj(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!reply)
        return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

std::string callString(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                       const std::string& busName, const std::string& path,
                       const std::string& interface, const std::string& method) {
    std::string error;
    GVariant* reply = callMethod(connection, busName, path, interface, method, &error);
    if (!reply)
        return "error " + error;
    std::string text;
    if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)"))) {
        const gchar* value = nullptr;
        g_variant_get(reply, "(&s)", &value);
        text = value;
    }
    g_variant_unref(reply);
    return text;
}

} // namespace testenv
