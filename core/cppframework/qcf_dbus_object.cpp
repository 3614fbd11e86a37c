#include "qcf_dbus_object.h"

#include "qcf_debug.h"

namespace QCF {
namespace DBus {

namespace {

const char* const kPublicId = "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN";
const char* const kSystemId = "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd";

} // namespace

Object::Object(const std::string& path) : m_path(path), m_nodeInfo(nullptr) {}

Object::~Object() {
    if (m_nodeInfo)
        g_dbus_node_info_unref(m_nodeInfo);
}

std::string Object::getPath() const {
    return m_path;
}

std::shared_ptr<Interface> Object::getInterface(const std::string& name) {
    auto it = m_interfaces.find(name);
    return it == m_interfaces.end() ? std::shared_ptr<Interface>() : it->second;
}

void Object::add_interface(std::shared_ptr<Interface> interface, const std::string& name) {
    if (interface)
        m_interfaces.emplace(name, std::move(interface));
}

std::shared_ptr<Interface> Object::createInterface(const std::string& name) {
    std::shared_ptr<Interface> interface = getInterface(name);
    if (interface)
        return interface;
    interface = Interface::create(name);
    add_interface(interface, name);
    return interface;
}

void Object::add_method(std::shared_ptr<MethodBase> method, const std::string& interface_name) {
    createInterface(interface_name)->add_method(std::move(method));
}

void Object::add_signal(std::shared_ptr<SignalBase> signal, const std::string& interface_name) {
    createInterface(interface_name)->add_signal(std::move(signal));
}

std::string Object::introspect() {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
                       "\n";
    text += std::string("<!DOCTYPE node PUBLIC \"") + kPublicId + "\"\n";
    text += std::string("\"") + kSystemId + "\">\n";
    text += "<node name=\"" + m_path + "\" >\n";
    for (auto& entry : m_interfaces)
        text += entry.second->introspect();
    text += "</node>\n";
    return text;
}

void Object::finalize(Glib::RefPtr<Gio::DBus::Connection> connection) {
    logTrace("in %s", __PRETTY_FUNCTION__);
    m_connection = connection;
    if (m_nodeInfo) {
        g_dbus_node_info_unref(m_nodeInfo);
        m_nodeInfo = nullptr;
    }
    GError* error = nullptr;
    m_nodeInfo = g_dbus_node_info_new_for_xml(introspect().c_str(), &error);
    if (!m_nodeInfo) {
        // Only a name that is not a valid D-Bus name gets here; the object then exports nothing.
        logWarning("in %s, introspection data of %s does not parse: %s", __PRETTY_FUNCTION__,
                   m_path.c_str(), error ? error->message : "");
        g_clear_error(&error);
    }
    for (auto& entry : m_interfaces) {
        entry.second->set_connection(connection);
        entry.second->set_path(m_path);
    }
}

GDBusInterfaceInfo* Object::getInterfaceInfo(int index) {
    if (!m_nodeInfo || !m_nodeInfo->interfaces || index < 0)
        return nullptr;
    for (int i = 0; i < index; ++i)
        if (!m_nodeInfo->interfaces[i])
            return nullptr;
    return m_nodeInfo->interfaces[index];
}

GVariant* Object::getResponse(const std::string& interface_name, const std::string& method_name,
                              GVariant* parameters) {
    std::shared_ptr<Interface> interface = getInterface(interface_name);
    std::shared_ptr<MethodBase> method = interface ? interface->getMethod(method_name) : nullptr;
    if (!method) {
        logWarning("in %s, %s has no method %s.%s", __PRETTY_FUNCTION__, m_path.c_str(),
                   interface_name.c_str(), method_name.c_str());
        return nullptr;
    }
    return method->getResponse(parameters);
}

} // namespace DBus
} // namespace QCF
