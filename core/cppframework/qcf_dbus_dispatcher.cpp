#include "qcf_dbus_dispatcher.h"

#include <exception>

#include <giomm/init.h>
#include <glibmm/exception.h>

#include "qcf_debug.h"

namespace QCF {
namespace DBus {

namespace {

const char* orEmpty(const gchar* text) {
    return text ? text : "";
}

// g_bus_get_sync hands out one shared connection per bus. Once that one was closed it stays
// closed for as long as anybody holds it, so a fresh one is opened to the same address instead.
GDBusConnection* openFresh(GBusType type, GError** error) {
    gchar* address = g_dbus_address_get_for_bus_sync(type, nullptr, error);
    if (!address)
        return nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error);
    g_free(address);
    return connection;
}

} // namespace

Dispatcher::Dispatcher() : m_vtable(), m_closedHandler(0) {
    m_vtable.method_call = &Dispatcher::on_method;
    m_vtable.get_property = nullptr;
    m_vtable.set_property = nullptr;
}

Dispatcher::~Dispatcher() {
    release();
}

Glib::RefPtr<Gio::DBus::Connection> Dispatcher::create_connection(bool system) {
    logTrace("in %s", __PRETTY_FUNCTION__);
    logDebug("creating connection to %s bus", system ? "system" : "session");
    // Wrapping a GDBusConnection in its giomm type needs giomm's wrappers registered.
    Gio::init();

    GBusType type = system ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION;
    GError* error = nullptr;
    GDBusConnection* connection = g_bus_get_sync(type, nullptr, &error);
    if (connection && g_dbus_connection_is_closed(connection)) {
        g_object_unref(connection);
        connection = openFresh(type, &error);
    }
    if (!connection) {
        logWarning("in %s, failed to create connection", __PRETTY_FUNCTION__);
        if (error)
            logDebug("%s", error->message);
        g_clear_error(&error);
        return m_connection;
    }

    if (m_connection && m_connection->gobj() == connection) {
        // The same shared connection again: it is held and watched already.
        g_object_unref(connection);
        return m_connection;
    }
    // Registrations and names belong to the connection they were made on.
    release();
    m_connection = Glib::wrap(connection, false);
    watch_connection();
    return m_connection;
}

void Dispatcher::register_object(std::shared_ptr<Object>& object) {
    logTrace("in %s", __PRETTY_FUNCTION__);
    if (!object) {
        logWarning("in %s, no object given", __PRETTY_FUNCTION__);
        return;
    }
    object->finalize(m_connection);
    std::string path = object->getPath();
    bool exportable = m_connection && g_variant_is_object_path(path.c_str());
    if (!m_connection)
        logWarning("in %s, no connection to export %s on", __PRETTY_FUNCTION__, path.c_str());
    else if (!exportable)
        logWarning("in %s, %s is not an object path", __PRETTY_FUNCTION__, path.c_str());

    for (int i = 0; exportable && object->getInterfaceInfo(i); ++i) {
        GDBusInterfaceInfo* info = object->getInterfaceInfo(i);
        logDebug("  looping %d", i);
        logDebug("    path: %s", path.c_str());
        logDebug("    interface: %s", info->name);
        if (!g_dbus_is_interface_name(info->name)) {
            logWarning("in %s, %s is not an interface name", __PRETTY_FUNCTION__, info->name);
            continue;
        }
        GError* error = nullptr;
        guint id = g_dbus_connection_register_object(m_connection->gobj(), path.c_str(), info,
                                                     &m_vtable, this, nullptr, &error);
        if (error) {
            logDebug("%s", error->message);
            g_error_free(error);
            continue;
        }
        if (id)
            m_registrations.push_back(id);
    }
    m_objects.emplace(path, object);
}

void Dispatcher::request_name(const std::string& name) {
    logTrace("in %s", __PRETTY_FUNCTION__);
    if (!m_connection || !g_dbus_is_name(name.c_str()) || g_dbus_is_unique_name(name.c_str())) {
        logWarning("in %s, cannot own name %s", __PRETTY_FUNCTION__, name.c_str());
        return;
    }
    m_ownerships.push_back(g_bus_own_name_on_connection(
        m_connection->gobj(), name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
        &Dispatcher::on_name_acquired, &Dispatcher::on_name_lost, this, nullptr));
}

void Dispatcher::stop() {
    logTrace("in %s", __PRETTY_FUNCTION__);
}

void Dispatcher::set_on_closed(const sigc::slot<void>& handler) {
    m_onClosed = handler;
}

void Dispatcher::on_method(GDBusConnection* connection, const gchar* sender,
                           const gchar* object_path, const gchar* interface_name,
                           const gchar* method_name, GVariant* parameters,
                           GDBusMethodInvocation* invocation, gpointer user_data) {
    static_cast<Dispatcher*>(user_data)->handle_method(
        connection, sender, object_path, interface_name, method_name, parameters, invocation);
}

void Dispatcher::handle_method(GDBusConnection*, const gchar* sender, const gchar* object_path,
                               const gchar* interface_name, const gchar* method_name,
                               GVariant* parameters, GDBusMethodInvocation* invocation) {
    logTrace("in %s: sender %s, path %s, interface %s, method %s", __PRETTY_FUNCTION__,
             orEmpty(sender), orEmpty(object_path), orEmpty(interface_name), orEmpty(method_name));

    auto it = m_objects.find(orEmpty(object_path));
    if (it == m_objects.end()) {
        g_dbus_method_invocation_return_error(
            invocation, G_DBUS_ERROR, G_DBUS_ERROR_MATCH_RULE_NOT_FOUND, "TODO Generic error");
        return;
    }
    std::shared_ptr<Object> object = it->second;
    logDebug("%s", object->getPath().c_str());

    // The registered descriptions come from the object's own document, but a second object on
    // the same path may have registered interfaces that the routed-to object lacks.
    std::shared_ptr<Interface> interface = object->getInterface(orEmpty(interface_name));
    if (!interface || !interface->getMethod(orEmpty(method_name))) {
        logWarning("in %s, %s has no method %s.%s", __PRETTY_FUNCTION__, object_path,
                   orEmpty(interface_name), orEmpty(method_name));
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                              "No method %s in interface %s at object path %s",
                                              orEmpty(method_name), orEmpty(interface_name),
                                              object_path);
        return;
    }

    // An exception must not unwind through GDBus's C frames: the caller gets an error instead.
    const char* failure = nullptr;
    std::string what;
    GVariant* reply = nullptr;
    try {
        reply = object->getResponse(interface_name, method_name, parameters);
    } catch (const std::exception& e) {
        what = e.what();
        failure = what.c_str();
    } catch (const Glib::Exception& e) {
        what = e.what();
        failure = what.c_str();
    } catch (...) {
        failure = "unknown exception";
    }
    if (failure) {
        logError("in %s, %s.%s at %s failed: %s", __PRETTY_FUNCTION__, interface_name, method_name,
                 object_path, failure);
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                              "%s.%s failed", interface_name, method_name);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, reply);
}

void Dispatcher::on_name_acquired(GDBusConnection* connection, const gchar* name,
                                  gpointer user_data) {
    static_cast<Dispatcher*>(user_data)->handle_name_acquired(connection, name);
}

void Dispatcher::on_name_lost(GDBusConnection* connection, const gchar* name, gpointer user_data) {
    static_cast<Dispatcher*>(user_data)->handle_name_lost(connection, name);
}

void Dispatcher::handle_name_acquired(GDBusConnection*, const gchar* name) {
    logTrace("in %s: name %s", __PRETTY_FUNCTION__, orEmpty(name));
}

void Dispatcher::handle_name_lost(GDBusConnection*, const gchar* name) {
    logTrace("in %s: name %s", __PRETTY_FUNCTION__, orEmpty(name));
    // Clients cannot reach the service by name any more, which nobody would notice otherwise.
    logWarning("in %s, not owning bus name %s", __PRETTY_FUNCTION__, orEmpty(name));
}

void Dispatcher::on_closed(GDBusConnection* connection, gboolean remote_peer_vanished,
                           GError* error, gpointer user_data) {
    static_cast<Dispatcher*>(user_data)->handle_closed(connection, remote_peer_vanished, error);
}

void Dispatcher::handle_closed(GDBusConnection*, gboolean, GError* error) {
    logError("D-Bus connection lost");
    if (error)
        logDebug("%s", error->message);
    if (!m_onClosed)
        return;
    try {
        m_onClosed();
    } catch (const std::exception& e) {
        logError("in %s, connection-lost handler failed: %s", __PRETTY_FUNCTION__, e.what());
    } catch (...) {
        logError("in %s, connection-lost handler failed", __PRETTY_FUNCTION__);
    }
}

void Dispatcher::release() {
    for (guint id : m_ownerships)
        g_bus_unown_name(id);
    m_ownerships.clear();
    if (m_connection)
        for (guint id : m_registrations)
            g_dbus_connection_unregister_object(m_connection->gobj(), id);
    m_registrations.clear();
    unwatch_connection();
}

void Dispatcher::watch_connection() {
    if (!m_connection)
        return;
    // GDBus would otherwise end the whole process when the bus goes away.
    g_dbus_connection_set_exit_on_close(m_connection->gobj(), FALSE);
    m_closedHandler =
        g_signal_connect(m_connection->gobj(), "closed", G_CALLBACK(&Dispatcher::on_closed), this);
}

void Dispatcher::unwatch_connection() {
    if (m_connection && m_closedHandler)
        g_signal_handler_disconnect(m_connection->gobj(), m_closedHandler);
    m_closedHandler = 0;
}

} // namespace DBus
} // namespace QCF
