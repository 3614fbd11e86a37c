#include "fake_watchdog.h"

#include "watchdog_service.h"

namespace testenv {

namespace {

// GDBus refuses to return a value that contradicts the introspection data, so a reply of the
// wrong shape is sent as a raw message.
void replyRaw(GDBusMethodInvocation* invocation, GVariant* body) {
    GDBusMessage* reply =
        g_dbus_message_new_method_reply(g_dbus_method_invocation_get_message(invocation));
    g_dbus_message_set_body(reply, body);
    g_dbus_connection_send_message(g_dbus_method_invocation_get_connection(invocation), reply,
                                   G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(reply);
    g_object_unref(invocation);
}

} // namespace

FakeWatchdog::FakeWatchdog(const std::string& address) {
    m_context = g_main_context_new();
    m_loop = g_main_loop_new(m_context, FALSE);
    m_thread = std::thread(&FakeWatchdog::threadMain, this, address);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_readyCond.wait(lock, [this] { return m_ready; });
}

FakeWatchdog::~FakeWatchdog() {
    // Queued rather than g_main_loop_quit: a quit before the loop runs would be lost.
    g_main_context_invoke(m_context, &FakeWatchdog::quitLoop, this);
    m_thread.join();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_context);
}

gboolean FakeWatchdog::quitLoop(gpointer self) {
    g_main_loop_quit(static_cast<FakeWatchdog*>(self)->m_loop);
    return G_SOURCE_REMOVE;
}

void FakeWatchdog::threadMain(std::string address) {
    g_main_context_push_thread_default(m_context);
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_clear_error(&error);

    guint registration = 0;
    bool owned = false;
    if (connection) {
        GDBusNodeInfo* node =
            g_dbus_node_info_new_for_xml(WatchdogService::kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {
            &FakeWatchdog::methodCall, nullptr, nullptr, {nullptr}};
        registration =
            g_dbus_connection_register_object(connection, WatchdogService::kPath,
                                              node->interfaces[0], &vtable, this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        // 4: do not queue; reply 1: primary owner.
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", WatchdogService::kName, 4u), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply) {
            guint32 result = 0;
            g_variant_get(reply, "(u)", &result);
            owned = result == 1;
            g_variant_unref(reply);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_owned = owned;
        m_ready = true;
    }
    m_readyCond.notify_all();

    g_main_loop_run(m_loop);

    for (GDBusMethodInvocation* invocation : m_held)
        g_dbus_method_invocation_return_dbus_error(invocation, "com.ulvaro.watchdog.Error.Gone",
                                                   "The watchdog went away");
    m_held.clear();
    if (connection) {
        if (registration)
            g_dbus_connection_unregister_object(connection, registration);
        if (owned) {
            // Released explicitly so that the name is free once the destructor returns.
            GVariant* reply = g_dbus_connection_call_sync(
                connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "ReleaseName", g_variant_new("(s)", WatchdogService::kName), nullptr,
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            if (reply)
                g_variant_unref(reply);
        }
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    // Let pending idle work of the connection run before the context goes.
    while (g_main_context_iteration(m_context, FALSE)) {
    }
    g_main_context_pop_thread_default(m_context);
}

void FakeWatchdog::methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar* method, GVariant* parameters,
                              GDBusMethodInvocation* invocation, gpointer self) {
    static_cast<FakeWatchdog*>(self)->onCall(method, parameters, invocation);
}

void FakeWatchdog::onCall(const gchar* method, GVariant* parameters,
                          GDBusMethodInvocation* invocation) {
    std::string name(method);
    SCall call;
    call.method = name;
    const gchar* first = nullptr;
    g_variant_get_child(parameters, 0, "&s", &first);
    call.name = first;
    if (name == "Register")
        g_variant_get_child(parameters, 2, "u", &call.period);

    EAnswer how = FWA_TRUE;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_answers.find(name);
        if (found != m_answers.end())
            how = found->second;
        m_calls.push_back(call);
        if (name == "Register" && how == FWA_TRUE)
            m_registered.insert(call.name);
        else if (name == "Deregister")
            m_registered.erase(call.name);
    }

    bool deregister = name == "Deregister";
    switch (how) {
    case FWA_TRUE:
    case FWA_FALSE:
        g_dbus_method_invocation_return_value(
            invocation, deregister ? g_variant_new("()") : g_variant_new("(b)", how == FWA_TRUE));
        break;
    case FWA_ERROR:
        g_dbus_method_invocation_return_dbus_error(invocation, "com.ulvaro.watchdog.Error.Refused",
                                                   "Refused by the watchdog");
        break;
    case FWA_WRONG_TYPE:
        replyRaw(invocation, g_variant_new("(s)", "yes"));
        break;
    case FWA_SILENT:
        m_held.push_back(invocation);
        break;
    }
}

bool FakeWatchdog::owned() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_owned;
}

void FakeWatchdog::answer(const std::string& method, EAnswer how) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[method] = how;
}

std::vector<FakeWatchdog::SCall> FakeWatchdog::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

size_t FakeWatchdog::count(const std::string& method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& call : m_calls)
        if (call.method == method)
            ++n;
    return n;
}

std::set<std::string> FakeWatchdog::registered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registered;
}

} // namespace testenv
