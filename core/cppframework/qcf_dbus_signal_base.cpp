#include "qcf_dbus_signal_base.h"

namespace QCF {
namespace DBus {

SignalBase::SignalBase(const std::string& name, const std::string& interface_name)
    : m_name(name), m_interface_name(interface_name) {}

void SignalBase::set_arg_name(int, const std::string&) {}

std::string SignalBase::get_name() const {
    return m_name;
}

std::string SignalBase::introspect() {
    return std::string();
}

void SignalBase::set_path(const std::string& path) {
    m_path = path;
}

void SignalBase::set_interface(const std::string& interface_name) {
    m_interface_name = interface_name;
}

void SignalBase::set_connection(const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    m_connection = connection;
}

} // namespace DBus
} // namespace QCF
