// Signal proxies against a private dbus-daemon: matching by interface, path and sender, and no
// delivery after destruction. Each typed form the bridge subscribes to, and malformed bodies for
// them, are driven through the whole daemon by the bridge's own tests.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "qcf_dbus.h"
#include "test_process.h"

namespace {

using QCF::DBus::SignalProxy;

const char* const kVpn = "com.ulvaro.vpn.IVpnStateEvents";

class ASignalProxy : public testenv::BusTest {
protected:
    void SetUp() override {
        m_listener = testenv::sessionConnection();
        m_emitter = testenv::sessionConnection();
        ASSERT_TRUE(m_listener && m_emitter);
    }

    void settle() { ASSERT_TRUE(testenv::settle(m_listener)); }

    void emit(const char* interface, const char* member, GVariant* body,
              const char* path = "/com/ulvaro/test",
              const Glib::RefPtr<Gio::DBus::Connection>& from = {}) {
        auto connection = from ? from : m_emitter;
        ASSERT_TRUE(g_dbus_connection_emit_signal(connection->gobj(), nullptr, path, interface,
                                                  member, body, nullptr));
        g_dbus_connection_flush_sync(connection->gobj(), nullptr, nullptr);
    }

    template <typename P> std::shared_ptr<P> subscribed(const char* member, const char* interface) {
        auto proxy = P::create(member, interface);
        proxy->set_connection(m_listener);
        proxy->finalize();
        return proxy;
    }

    Glib::RefPtr<Gio::DBus::Connection> m_listener;
    Glib::RefPtr<Gio::DBus::Connection> m_emitter;
};

TEST_F(ASignalProxy, MatchesByMemberAloneOrAlsoByInterfacePathAndSender) {
    auto any = subscribed<SignalProxy<void, unsigned int>>("Ping", "");
    auto only = SignalProxy<void, unsigned int>::create("Ping", "com.ulvaro.a");
    only->set_path("/only/here");
    only->set_dest(m_emitter->get_unique_name());
    only->set_connection(m_listener);
    only->finalize();
    std::vector<unsigned> gotAny, gotOnly;
    any->connect([&](unsigned v) { gotAny.push_back(v); });
    only->connect([&](unsigned v) { gotOnly.push_back(v); });
    settle();
    auto other = testenv::sessionConnection();
    emit("com.ulvaro.a", "Ping", g_variant_new("(u)", 1u), "/elsewhere");
    emit("com.ulvaro.a", "Ping", g_variant_new("(u)", 2u), "/only/here", other);
    emit("com.ulvaro.b", "Ping", g_variant_new("(u)", 3u), "/only/here");
    emit("com.ulvaro.a", "Pong", g_variant_new("(u)", 4u), "/only/here");
    emit("com.ulvaro.a", "Ping", g_variant_new("(u)", 5u), "/only/here");
    ASSERT_TRUE(testenv::waitUntil([&] { return gotAny.size() >= 4; }));
    std::sort(gotAny.begin(), gotAny.end()); // two senders: no order between them
    EXPECT_EQ(gotAny, (std::vector<unsigned>{1, 2, 3, 5}));
    EXPECT_EQ(gotOnly, (std::vector<unsigned>{5}));
}

// Neither a destroyed proxy nor one finalised without a connection fires; one finalised twice
// fires once per signal.
TEST_F(ASignalProxy, StopsDeliveringOnceDestroyedAndWhenFinalizedTwiceDeliversOnce) {
    auto lonely = SignalProxy<void, bool>::create("ConnectionStatus", kVpn);
    lonely->finalize(); // no connection: subscribes to nothing
    int early = 0;
    lonely->connect([&](bool) { ++early; });
    {
        auto gone = subscribed<SignalProxy<void, bool>>("ConnectionStatus", kVpn);
        gone->connect([&](bool) { ++early; });
    }
    auto twice = subscribed<SignalProxy<void, bool>>("ConnectionStatus", kVpn);
    twice->finalize();
    int seen = 0;
    twice->connect([&](bool) { ++seen; });
    settle();
    emit(kVpn, "ConnectionStatus", g_variant_new("(b)", TRUE));
    emit(kVpn, "ConnectionStatus", g_variant_new("(b)", FALSE));
    ASSERT_TRUE(testenv::waitUntil([&] { return seen >= 2; }));
    // A third signal flushes anything that a stale subscription would still deliver.
    emit(kVpn, "ConnectionStatus", g_variant_new("(b)", TRUE));
    ASSERT_TRUE(testenv::waitUntil([&] { return seen >= 3; }));
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(early, 0);
}

} // namespace
