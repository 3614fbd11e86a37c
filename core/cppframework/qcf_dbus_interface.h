// One named D-Bus interface of an exported object: its methods and signals by name, and its
// part of the object's introspection document. Main-loop thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <giomm/dbusconnection.h>

#include "qcf_dbus_method_base.h"
#include "qcf_dbus_signal_base.h"

namespace QCF {
namespace DBus {

class Interface {
public:
    explicit Interface(const std::string& name);
    static std::shared_ptr<Interface> create(const std::string& name);

    // A method or signal whose name is already present is ignored; both return true.
    bool add_method(std::shared_ptr<MethodBase> method);
    bool add_signal(std::shared_ptr<SignalBase> signal);

    // Empty pointer when there is no such entry.
    std::shared_ptr<MethodBase> getMethod(const std::string& name);
    std::shared_ptr<SignalBase> getSignal(const std::string& name);

    template <typename R> std::shared_ptr<Method<R>> create_method(const std::string& name) {
        std::shared_ptr<Method<R>> method = Method<R>::create(name, m_name);
        add_method(method);
        return method;
    }

    const std::string& getName() const { return m_name; }

    void set_path(const std::string& path);
    void set_connection(const Glib::RefPtr<Gio::DBus::Connection>& connection);

    std::string introspect();

private:
    std::map<std::string, std::shared_ptr<MethodBase>> m_methods;
    std::map<std::string, std::shared_ptr<SignalBase>> m_signals;
    std::string m_name;
    std::string m_path;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
};

} // namespace DBus
} // namespace QCF
