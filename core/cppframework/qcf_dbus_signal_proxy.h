// Typed signal proxies: a D-Bus signal of another service delivered as a sigc signal with typed
// arguments. Create, set_connection, finalize (subscribes), then connect handlers. A signal whose
// arguments differ from the form in number or type is dropped with a log line. Main-loop thread
// only.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <sigc++/sigc++.h>

#include "qcf_dbus_method_base.h"
#include "qcf_dbus_signal_proxy_base.h"

namespace QCF {
namespace DBus {

// The bus type letter of an argument type a proxy can deliver.
template <typename T> struct SignalArgCode;
template <> struct SignalArgCode<std::string> { static constexpr char code = 's'; };
template <> struct SignalArgCode<unsigned int> { static constexpr char code = 'u'; };
template <> struct SignalArgCode<bool> { static constexpr char code = 'b'; };

namespace detail {
template <typename... T> struct TypeList {};

// The leading argument types before the first sigc::nil.
template <typename Done, typename... Rest> struct TakeUntilNil;
template <typename... Done> struct TakeUntilNil<TypeList<Done...>> {
    using type = TypeList<Done...>;
};
template <typename... Done, typename Head, typename... Rest>
struct TakeUntilNil<TypeList<Done...>, Head, Rest...> {
    using type = typename std::conditional<
        std::is_same<Head, sigc::nil>::value, TypeList<Done...>,
        typename TakeUntilNil<TypeList<Done..., Head>, Rest...>::type>::type;
};
} // namespace detail

template <typename R, typename A1 = sigc::nil, typename A2 = sigc::nil, typename A3 = sigc::nil,
          typename A4 = sigc::nil, typename A5 = sigc::nil, typename A6 = sigc::nil,
          typename A7 = sigc::nil>
class SignalProxy : public sigc::signal<R, A1, A2, A3, A4, A5, A6, A7>, public SignalProxyBase {
    static_assert(std::is_same<R, void>::value, "signal proxies deliver to void handlers");
    using Args =
        typename detail::TakeUntilNil<detail::TypeList<>, A1, A2, A3, A4, A5, A6, A7>::type;

public:
    SignalProxy(const std::string& name, const std::string& interface_name)
        : SignalProxyBase(name, interface_name) {}

    static std::shared_ptr<SignalProxy> create(const std::string& name,
                                               const std::string& interface_name) {
        return std::make_shared<SignalProxy>(name, interface_name);
    }

    // Without a connection nothing is subscribed and the handlers never run.
    void finalize() override { subscribe(&SignalProxy::handleSignal); }

    // The bus type of the arguments this form takes, e.g. "(su)".
    static std::string signature() { return signatureOf(Args()); }

    static void handleSignal(GDBusConnection*, const gchar* sender, const gchar*,
                             const gchar* interface_name, const gchar* signal_name,
                             GVariant* parameters, gpointer user_data) {
        auto* self = static_cast<SignalProxy*>(user_data);
        const std::string expected = signature();
        if (!self->argumentsMatch(parameters, expected.c_str(), sender, interface_name,
                                  signal_name))
            return;
        self->deliver(parameters, Args());
    }

private:
    template <typename... T> static std::string signatureOf(detail::TypeList<T...>) {
        return std::string("(") + std::string{SignalArgCode<T>::code...} + ")";
    }

    template <typename... T> void deliver(GVariant* parameters, detail::TypeList<T...>) {
        deliverAt<T...>(parameters, std::index_sequence_for<T...>());
    }

    template <typename... T, std::size_t... I>
    void deliverAt(GVariant* parameters, std::index_sequence<I...>) {
        (void)parameters; // unused by the form without arguments
        this->emit(translate<T>::getData(parameters, static_cast<unsigned>(I))...);
    }
};

} // namespace DBus
} // namespace QCF
