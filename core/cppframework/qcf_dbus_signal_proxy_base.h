// Subscriptions to other services' D-Bus signals: the untyped part of a signal proxy (what to
// match, the connection, the subscription id). A proxy unsubscribes when it is destroyed, so no
// callback ever reaches a proxy that is gone. Main-loop thread only.
#pragma once

#include <string>

#include <gio/gio.h>
#include <giomm/dbusconnection.h>

namespace QCF {
namespace DBus {

class SignalProxyBase {
public:
    // Path, sender and connection start empty: the proxy matches any path and any sender.
    SignalProxyBase(const std::string& name, const std::string& interface_name);
    virtual ~SignalProxyBase();
    SignalProxyBase(const SignalProxyBase&) = delete;
    SignalProxyBase& operator=(const SignalProxyBase&) = delete;

    void set_name(const std::string& name) { m_name = name; }
    void set_path(const std::string& path) { m_path = path; }
    void set_dest(const std::string& dest) { m_dest = dest; }
    void set_connection(Glib::RefPtr<Gio::DBus::Connection> connection) {
        m_connection = connection;
    }
    std::string get_name() const { return m_name; }
    // True between a successful finalize and the proxy's end.
    bool subscribed() const { return m_signal_id != 0; }

    // Subscribes; the base has no arguments to deliver and does nothing.
    virtual void finalize() {}

protected:
    // Subscribes with `callback` (user data: this proxy), replacing an earlier subscription of
    // this proxy so that a repeated finalize never leaves a callback behind.
    void subscribe(GDBusSignalCallback callback);
    void unsubscribe();
    // True when `parameters` has exactly the bus type `expected` (a tuple type such as "(su)");
    // otherwise logs the mismatch and the signal is to be dropped.
    bool argumentsMatch(GVariant* parameters, const char* expected, const gchar* sender,
                        const gchar* interface_name, const gchar* signal_name) const;

    std::string m_name;
    std::string m_path;
    std::string m_dest;
    std::string m_interface_name;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    guint m_signal_id = 0;

private:
    // The connection the current subscription was made on (it may be replaced by set_connection).
    Glib::RefPtr<Gio::DBus::Connection> m_subscribedOn;
};

} // namespace DBus
} // namespace QCF
