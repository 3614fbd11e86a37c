// One exported D-Bus object path with its interfaces: builds the introspection document, keeps
// the interface descriptions parsed from it for registration, and computes method replies.
// Main-loop thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <gio/gio.h>
#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

#include "qcf_dbus_interface.h"
#include "qcf_dbus_method_base.h"
#include "qcf_dbus_signal_base.h"

namespace QCF {
namespace DBus {

class Object {
public:
    explicit Object(const std::string& path);
    ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    std::string getPath() const;

    // Empty pointer when the object has no interface of that name.
    std::shared_ptr<Interface> getInterface(const std::string& name);
    // An interface whose name is already present stays; the argument is dropped.
    void add_interface(std::shared_ptr<Interface> interface, const std::string& name);
    // The existing interface of that name or a new, added one.
    std::shared_ptr<Interface> createInterface(const std::string& name);

    void add_method(std::shared_ptr<MethodBase> method, const std::string& interface_name);
    void add_signal(std::shared_ptr<SignalBase> signal, const std::string& interface_name);

    // The caller names the result afterwards with set_arg_name(0, name).
    template <typename R>
    std::shared_ptr<Method<R>> create_method(const std::string& interface_name,
                                             const std::string& method_name,
                                             sigc::slot0<R> function) {
        std::shared_ptr<Method<R>> method =
            createInterface(interface_name)->template create_method<R>(method_name);
        method->set_method(function);
        return method;
    }

    std::string introspect();

    // Freezes the document into interface descriptions and hands connection and path down to
    // every interface, method and signal.
    void finalize(Glib::RefPtr<Gio::DBus::Connection> connection);

    // The index-th parsed interface description in ascending name order; null past the end and
    // before finalize.
    GDBusInterfaceInfo* getInterfaceInfo(int index);

    // A new floating reply tuple, or null for a method without result and for an interface or
    // method that the object does not have.
    GVariant* getResponse(const std::string& interface_name, const std::string& method_name,
                          GVariant* parameters);

private:
    std::string m_path;
    GDBusNodeInfo* m_nodeInfo;
    std::map<std::string, std::shared_ptr<Interface>> m_interfaces;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
};

} // namespace DBus
} // namespace QCF
