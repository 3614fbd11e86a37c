// Exported D-Bus methods: the polymorphic base the interfaces keep, the typed methods without
// input arguments that the services use, and the mapping between C++ values and GVariants.
// Main-loop thread only.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include <gio/gio.h>
#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

namespace QCF {
namespace DBus {

// One specialisation per value type; each offers only the operations some caller needs.
template <typename T> struct translate;

template <> struct translate<std::string> {
    static std::string getString() { return "s"; }
    static GVariant* getVariant(const std::string& value);
    // Child `index` of `tuple`; empty when the tuple has no such child or it is not a string.
    static std::string getData(GVariant* tuple, unsigned index);
};

template <> struct translate<int> {
    static std::string getString() { return "i"; }
    static GVariant* getVariant(int value);
};

template <> struct translate<unsigned int> {
    // 0 when the tuple has no such child or it is not a uint32.
    static unsigned int getData(GVariant* tuple, unsigned index);
};

template <> struct translate<bool> {
    // false when the tuple has no such child or it is not a boolean.
    static bool getData(GVariant* tuple, unsigned index);
};

class MethodBase {
public:
    MethodBase(const std::string& name, const std::string& interface_name);
    MethodBase(const MethodBase& other) = default;
    // Virtual although the interfaces always hold the concrete type: a method kept only through
    // a base pointer must still be destroyed completely.
    virtual ~MethodBase() = default;

    virtual std::string get_name() const;
    virtual void set_arg_name(int index, const std::string& name);
    // The reply tuple as a new floating GVariant, or null for a method without result.
    virtual GVariant* getResponse(GVariant* parameters);
    // This method's lines of the introspection document.
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

// A method whose one out argument is an R computed by a slot. Only the forms without input
// arguments exist; the further positions keep the shape open for ones that take arguments.
template <typename R, typename A1 = sigc::nil, typename A2 = sigc::nil, typename A3 = sigc::nil,
          typename A4 = sigc::nil, typename A5 = sigc::nil, typename A6 = sigc::nil,
          typename A7 = sigc::nil>
class Method : public MethodBase {
    static_assert(std::is_same<A1, sigc::nil>::value && std::is_same<A2, sigc::nil>::value &&
                      std::is_same<A3, sigc::nil>::value && std::is_same<A4, sigc::nil>::value &&
                      std::is_same<A5, sigc::nil>::value && std::is_same<A6, sigc::nil>::value &&
                      std::is_same<A7, sigc::nil>::value,
                  "methods with input arguments are not supported");

public:
    static constexpr int ARG_NAMES = 8;

    Method(const std::string& name, const std::string& interface_name)
        : MethodBase(name, interface_name) {}

    static std::shared_ptr<Method> create(const std::string& name,
                                          const std::string& interface_name) {
        return std::make_shared<Method>(name, interface_name);
    }

    // Index 0 names the result; 1 .. 7 are kept for input arguments.
    void set_arg_name(int index, const std::string& name) override {
        if (index >= 0 && index < ARG_NAMES)
            m_argNames[index] = name;
    }

    void set_method(const sigc::slot0<R>& method) { m_method = method; }

    // The parameters are not read: there are no input arguments.
    GVariant* getResponse(GVariant*) override {
        R result = m_method ? m_method() : R();
        GVariant* child = translate<R>::getVariant(result);
        return g_variant_new_tuple(&child, 1);
    }

    std::string introspect() override {
        return "<method name=\"" + m_name + "\">\n" + "      <arg type=\"" +
               translate<R>::getString() + "\" direction=\"out\" name=\"" + m_argNames[0] +
               "\" />\n" + "    </method>\n";
    }

private:
    std::string m_argNames[ARG_NAMES];
    sigc::slot0<R> m_method;
};

} // namespace DBus
} // namespace QCF
