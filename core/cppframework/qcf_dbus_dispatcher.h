// The process's one contact with the message bus for exported services: opens the connection,
// exports objects, owns the well-known name and routes incoming method calls by object path.
// Every operation runs on the thread of the GLib main loop.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

#include "qcf_dbus_object.h"

namespace QCF {
namespace DBus {

class Dispatcher {
public:
    Dispatcher();
    // Unregisters the exported interfaces and releases the owned names, so that no call can
    // reach a dispatcher that is gone even while others still hold the connection.
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // The system or the session bus; an empty reference when it cannot be reached.
    Glib::RefPtr<Gio::DBus::Connection> create_connection(bool system);
    void register_object(std::shared_ptr<Object>& object);
    void request_name(const std::string& name);
    void stop();

    // Called on the main loop when the bus connection is lost after it was opened; the process
    // is not ended by the binding, the owner decides.
    void set_on_closed(const sigc::slot<void>& handler);

    static void on_method(GDBusConnection* connection, const gchar* sender,
                          const gchar* object_path, const gchar* interface_name,
                          const gchar* method_name, GVariant* parameters,
                          GDBusMethodInvocation* invocation, gpointer user_data);
    void handle_method(GDBusConnection* connection, const gchar* sender, const gchar* object_path,
                       const gchar* interface_name, const gchar* method_name, GVariant* parameters,
                       GDBusMethodInvocation* invocation);

    static void on_name_acquired(GDBusConnection* connection, const gchar* name,
                                 gpointer user_data);
    static void on_name_lost(GDBusConnection* connection, const gchar* name, gpointer user_data);
    void handle_name_acquired(GDBusConnection* connection, const gchar* name);
    void handle_name_lost(GDBusConnection* connection, const gchar* name);

private:
    static void on_closed(GDBusConnection* connection, gboolean remote_peer_vanished, GError* error,
                          gpointer user_data);
    void handle_closed(GDBusConnection* connection, gboolean remote_peer_vanished, GError* error);
    void release();
    void watch_connection();
    void unwatch_connection();

    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    std::map<std::string, std::shared_ptr<Object>> m_objects;
    GDBusInterfaceVTable m_vtable;

    std::vector<guint> m_registrations;
    std::vector<guint> m_ownerships;
    gulong m_closedHandler;
    sigc::slot<void> m_onClosed;
};

} // namespace DBus
} // namespace QCF
