#include "qcf_dbus_signal_proxy_base.h"

#include "qcf_debug.h"

namespace QCF {
namespace DBus {

namespace {
const gchar* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}
} // namespace

SignalProxyBase::SignalProxyBase(const std::string& name, const std::string& interface_name)
    : m_name(name), m_interface_name(interface_name) {}

SignalProxyBase::~SignalProxyBase() {
    unsubscribe();
}

void SignalProxyBase::subscribe(GDBusSignalCallback callback) {
    unsubscribe();
    if (!m_connection)
        return;
    m_signal_id = g_dbus_connection_signal_subscribe(
        m_connection->gobj(), orNull(m_dest), orNull(m_interface_name), orNull(m_name),
        orNull(m_path), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback, this, nullptr);
    if (m_signal_id != 0)
        m_subscribedOn = m_connection;
}

void SignalProxyBase::unsubscribe() {
    if (m_signal_id != 0 && m_subscribedOn)
        g_dbus_connection_signal_unsubscribe(m_subscribedOn->gobj(), m_signal_id);
    m_signal_id = 0;
    m_subscribedOn.reset();
}

bool SignalProxyBase::argumentsMatch(GVariant* parameters, const char* expected,
                                     const gchar* sender, const gchar* interface_name,
                                     const gchar* signal_name) const {
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(expected)))
        return true;
    // The sender is another process: a malformed signal is its fault, never a reason to stop.
    logWarning("D-Bus signal %s.%s from %s dropped: arguments %s, expected %s",
               interface_name ? interface_name : "", signal_name ? signal_name : "",
               sender ? sender : "(unknown)",
               parameters ? g_variant_get_type_string(parameters) : "none", expected);
    return false;
}

} // namespace DBus
} // namespace QCF
