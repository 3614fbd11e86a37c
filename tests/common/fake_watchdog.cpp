#include "fake_watchdog.h"

#include <algorithm>

#include "watchdog_service.h"

namespace testenv {

static GVariant* callBus(GDBusConnection* connection, const char* method, GVariant* args) {
    return g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", method, args, nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
}

FakeWatchdog::FakeWatchdog(const std::string& address) {
    std::promise<bool> owned;
    std::future<bool> ready = owned.get_future();
    m_thread = std::thread(&FakeWatchdog::threadMain, this, address, &owned);
    m_owned = ready.get();
}

FakeWatchdog::~FakeWatchdog() {
    // Queued rather than g_main_loop_quit: a quit before the loop runs would be lost.
    g_main_context_invoke(
        m_context,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return gboolean(G_SOURCE_REMOVE);
        },
        m_loop);
    m_thread.join();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_context);
}

void FakeWatchdog::threadMain(const std::string& address, std::promise<bool>* ready) {
    g_main_context_push_thread_default(m_context);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    bool owned = false;
    if (connection) {
        GDBusNodeInfo* node =
            g_dbus_node_info_new_for_xml(WatchdogService::kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {&FakeWatchdog::onCall, nullptr, nullptr, {}};
        g_dbus_connection_register_object(connection, WatchdogService::kPath, node->interfaces[0],
                                          &vtable, this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        // 4: do not queue; reply 1: primary owner.
        if (GVariant* reply = callBus(connection, "RequestName",
                                      g_variant_new("(su)", WatchdogService::kName, 4u))) {
            guint32 result = 0;
            g_variant_get(reply, "(u)", &result);
            owned = result == 1;
            g_variant_unref(reply);
        }
    }
    ready->set_value(owned);

    g_main_loop_run(m_loop);

    for (GDBusMethodInvocation* invocation : m_held)
        g_dbus_method_invocation_return_dbus_error(invocation, "com.ulvaro.watchdog.Error.Gone",
                                                   "The watchdog went away");
    if (connection) {
        // Released explicitly so that the name is free once the destructor returns.
        if (GVariant* reply =
                callBus(connection, "ReleaseName", g_variant_new("(s)", WatchdogService::kName)))
            g_variant_unref(reply);
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    // Let pending idle work of the connection run before the context goes.
    while (g_main_context_iteration(m_context, FALSE)) {
    }
    g_main_context_pop_thread_default(m_context);
}

void FakeWatchdog::onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                          const gchar* method, GVariant* parameters,
                          GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakeWatchdog*>(data);
    SCall call;
    call.method = method;
    const gchar* first = nullptr;
    g_variant_get_child(parameters, 0, "&s", &first);
    call.name = first;
    if (call.method == "Register")
        g_variant_get_child(parameters, 2, "u", &call.period);
    EAnswer how;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        how = self->m_answers.count(call.method) ? self->m_answers[call.method] : FWA_TRUE;
        self->m_calls.push_back(call);
    }
    if (how == FWA_ERROR) {
        g_dbus_method_invocation_return_dbus_error(invocation, "com.ulvaro.watchdog.Error.Refused",
                                                   "Refused by the watchdog");
    } else if (how == FWA_SILENT) {
        self->m_held.push_back(invocation);
    } else if (how == FWA_WRONG_TYPE) {
        // GDBus refuses to return a value that contradicts the introspection data, so the reply
        // of the wrong shape goes out as a raw message.
        GDBusMessage* reply =
            g_dbus_message_new_method_reply(g_dbus_method_invocation_get_message(invocation));
        g_dbus_message_set_body(reply, g_variant_new("(s)", "yes"));
        g_dbus_connection_send_message(g_dbus_method_invocation_get_connection(invocation), reply,
                                       G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(reply);
        g_object_unref(invocation);
    } else {
        g_dbus_method_invocation_return_value(
            invocation, call.method == "Deregister" ? g_variant_new("()")
                                                    : g_variant_new("(b)", how == FWA_TRUE));
    }
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
    return std::count_if(m_calls.begin(), m_calls.end(),
                         [&](const SCall& call) { return call.method == method; });
}

} // namespace testenv
