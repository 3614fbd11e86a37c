#include "qcf_dbus_method_base.h"

namespace QCF {
namespace DBus {

namespace {

// Child `index` of `tuple` when it exists and has `type`, else null; the caller unrefs it.
GVariant* childOfType(GVariant* tuple, unsigned index, const GVariantType* type) {
    if (!tuple || !g_variant_is_container(tuple) || index >= g_variant_n_children(tuple))
        return nullptr;
    GVariant* child = g_variant_get_child_value(tuple, index);
    if (!g_variant_is_of_type(child, type)) {
        g_variant_unref(child);
        return nullptr;
    }
    return child;
}

} // namespace

GVariant* translate<std::string>::getVariant(const std::string& value) {
    // A D-Bus string cannot carry NUL or broken UTF-8 (g_variant_new would refuse it and the
    // reply would fail): text from outside, such as terminal bytes, is cut at a NUL and has
    // broken sequences replaced.
    std::string text = value.substr(0, value.find('\0'));
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return g_variant_new("s", text.c_str());
    return g_variant_new_take_string(
        g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
}

std::string translate<std::string>::getData(GVariant* tuple, unsigned index) {
    GVariant* child = childOfType(tuple, index, G_VARIANT_TYPE_STRING);
    if (!child)
        return std::string();
    std::string value = g_variant_get_string(child, nullptr);
    g_variant_unref(child);
    return value;
}

GVariant* translate<int>::getVariant(int value) {
    return g_variant_new("i", value);
}

unsigned int translate<unsigned int>::getData(GVariant* tuple, unsigned index) {
    GVariant* child = childOfType(tuple, index, G_VARIANT_TYPE_UINT32);
    if (!child)
        return 0;
    unsigned int value = g_variant_get_uint32(child);
    g_variant_unref(child);
    return value;
}

bool translate<bool>::getData(GVariant* tuple, unsigned index) {
    GVariant* child = childOfType(tuple, index, G_VARIANT_TYPE_BOOLEAN);
    if (!child)
        return false;
    bool value = g_variant_get_boolean(child) != FALSE;
    g_variant_unref(child);
    return value;
}

MethodBase::MethodBase(const std::string& name, const std::string& interface_name)
    : m_name(name), m_interface_name(interface_name) {}

std::string MethodBase::get_name() const {
    return m_name;
}

void MethodBase::set_arg_name(int, const std::string&) {}

GVariant* MethodBase::getResponse(GVariant*) {
    return nullptr;
}

std::string MethodBase::introspect() {
    return std::string();
}

void MethodBase::set_path(const std::string& path) {
    m_path = path;
}

void MethodBase::set_interface(const std::string& interface_name) {
    m_interface_name = interface_name;
}

void MethodBase::set_connection(const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    m_connection = connection;
}

} // namespace DBus
} // namespace QCF
