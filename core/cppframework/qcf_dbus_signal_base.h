// Base of exported D-Bus signals: an interface keeps its signals and puts each one's
// introspection text into the document; a concrete signal overrides introspect and emits.
// Main-loop thread only.
#pragma once

#include <string>

#include <giomm/dbusconnection.h>

namespace QCF {
namespace DBus {

class SignalBase {
public:
    SignalBase(const std::string& name, const std::string& interface_name);
    SignalBase(const SignalBase& other) = default;
    virtual ~SignalBase() = default;

    virtual void set_arg_name(int index, const std::string& name);
    virtual std::string get_name() const;
    // This signal's lines of the introspection document.
    virtual std::string introspect();

    void set_path(const std::string& path);
    void set_interface(const std::string& interface_name);
    void set_connection(const Glib::RefPtr<Gio::DBus::Connection>& connection);

protected:
    std::string m_name;
    std::string m_path;
    std::string m_interface_name;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
};

} // namespace DBus
} // namespace QCF
