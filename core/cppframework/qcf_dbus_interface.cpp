#include "qcf_dbus_interface.h"

#include "qcf_debug.h"

namespace QCF {
namespace DBus {

Interface::Interface(const std::string& name) : m_name(name) {}

std::shared_ptr<Interface> Interface::create(const std::string& name) {
    return std::make_shared<Interface>(name);
}

bool Interface::add_method(std::shared_ptr<MethodBase> method) {
    if (!method)
        return true;
    std::string name = method->get_name();
    if (!getMethod(name))
        m_methods.emplace(name, std::move(method));
    return true;
}

bool Interface::add_signal(std::shared_ptr<SignalBase> signal) {
    if (!signal)
        return true;
    std::string name = signal->get_name();
    if (!getSignal(name))
        m_signals.emplace(name, std::move(signal));
    return true;
}

std::shared_ptr<MethodBase> Interface::getMethod(const std::string& name) {
    logTrace("in %s: method %s", __PRETTY_FUNCTION__, name.c_str());
    auto it = m_methods.find(name);
    return it == m_methods.end() ? std::shared_ptr<MethodBase>() : it->second;
}

std::shared_ptr<SignalBase> Interface::getSignal(const std::string& name) {
    logTrace("in %s: signal %s", __PRETTY_FUNCTION__, name.c_str());
    auto it = m_signals.find(name);
    return it == m_signals.end() ? std::shared_ptr<SignalBase>() : it->second;
}

void Interface::set_path(const std::string& path) {
    m_path = path;
    for (auto& entry : m_methods)
        entry.second->set_path(path);
    for (auto& entry : m_signals)
        entry.second->set_path(path);
}

void Interface::set_connection(const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    m_connection = connection;
    for (auto& entry : m_methods)
        entry.second->set_connection(connection);
    for (auto& entry : m_signals)
        entry.second->set_connection(connection);
}

std::string Interface::introspect() {
    std::string text = "  <interface name=\"" + m_name + "\">\n";
    for (auto& entry : m_methods)
        text += entry.second->introspect();
    for (auto& entry : m_signals)
        text += entry.second->introspect();
    text += "  </interface>\n";
    return text;
}

} // namespace DBus
} // namespace QCF
