// A stand-in for the gateway's watchdog service: owns "com.ulvaro.watchdog" on a bus, answers
// "Register", "Tickle" and "Deregister" as it is told, and records every call. It runs on its own
// thread and main context, so a client that blocks in a synchronous call still gets its answer.
// Its operations may be called from any thread.
#pragma once

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>

namespace testenv {

class FakeWatchdog {
public:
    enum EAnswer {
        FWA_TRUE,       // "(b)" true ("()" for "Deregister")
        FWA_FALSE,      // "(b)" false
        FWA_ERROR,      // the D-Bus error "com.ulvaro.watchdog.Error.Refused"
        FWA_WRONG_TYPE, // "(s)" instead of "(b)"
        FWA_SILENT,     // no answer until the fake goes away
    };

    struct SCall {
        std::string method;
        std::string name;    // first argument
        unsigned period = 0; // third argument of "Register"
    };

    explicit FakeWatchdog(const std::string& address);
    ~FakeWatchdog();
    FakeWatchdog(const FakeWatchdog&) = delete;
    FakeWatchdog& operator=(const FakeWatchdog&) = delete;

    // True when the service name is ours.
    bool owned() const { return m_owned; }
    // How to answer `method` from now on (all answer FWA_TRUE at first).
    void answer(const std::string& method, EAnswer answer);

    std::vector<SCall> calls() const;
    size_t count(const std::string& method) const;

private:
    void threadMain(const std::string& address, std::promise<bool>* owned);
    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                       gpointer self);

    mutable std::mutex m_mutex;
    bool m_owned = false;
    std::map<std::string, EAnswer> m_answers;
    std::vector<SCall> m_calls;

    // Touched only by the fake's own thread once it runs.
    GMainContext* m_context = g_main_context_new();
    GMainLoop* m_loop = g_main_loop_new(m_context, FALSE);
    std::vector<GDBusMethodInvocation*> m_held;
    std::thread m_thread;
};

} // namespace testenv
