// Signal proxies against a private dbus-daemon: typed delivery of each form, matching by
// interface, path and sender, malformed arguments dropped, and no delivery after destruction.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_dbus.h"
#include "qcf_debug.h"
#include "test_env.h"
#include "test_process.h"

namespace {

using QCF::DBus::SignalProxy;

const char* const kWan = "com.ulvaro.wan.IWanStateEvents";
const char* const kVpn = "com.ulvaro.vpn.IVpnStateEvents";
const char* const kNav = "com.ulvaro.NavigationEvents.IExclusiveSerialGpsSource";

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

TEST_F(ASignalProxy, DeliversEachFormsArgumentsInBusOrder) {
    auto pair =
        subscribed<SignalProxy<void, unsigned int, unsigned int>>("ConnectionActivated", kWan);
    auto single = subscribed<SignalProxy<void, unsigned int>>("ConnectionDeactivated", kWan);
    auto flag = subscribed<SignalProxy<void, bool>>("ConnectionStatus", kVpn);
    auto text = subscribed<SignalProxy<void, std::string, std::string>>("GpsRawNMEA", kNav);
    std::vector<std::string> got;
    pair->connect([&](unsigned a, unsigned b) {
        got.push_back("act " + std::to_string(a) + " " + std::to_string(b));
    });
    single->connect([&](unsigned a) { got.push_back("deact " + std::to_string(a)); });
    flag->connect([&](bool up) { got.push_back(up ? "vpn up" : "vpn down"); });
    text->connect(
        [&](std::string source, std::string sentence) { got.push_back(source + "|" + sentence); });
    settle();

    emit(kWan, "ConnectionActivated", g_variant_new("(uu)", 3u, 7u));
    emit(kWan, "ConnectionDeactivated", g_variant_new("(u)", 4294967295u));
    emit(kVpn, "ConnectionStatus", g_variant_new("(b)", TRUE));
    emit(kNav, "GpsRawNMEA", g_variant_new("(ss)", "gps0", "$GPRMC,1*00\r\n"));
    ASSERT_TRUE(testenv::waitUntil([&] { return got.size() == 4; }));
    EXPECT_EQ(got, (std::vector<std::string>{"act 3 7", "deact 4294967295", "vpn up",
                                             "gps0|$GPRMC,1*00\r\n"}));
}

// Each malformed body is followed by a good one; only the good one may arrive.
TEST_F(ASignalProxy, DropsSignalsWhoseArgumentsDoNotMatchTheFormWithALogLine) {
    struct SCase {
        const char* what;
        const char* interface;
        const char* member;
        GVariant* (*bad)();
    };
    const SCase cases[] = {
        {"too few for (ss)", kNav, "GpsRawNMEA", [] { return g_variant_new("(s)", "x"); }},
        {"wrong type for (ss)", kNav, "GpsRawNMEA", [] { return g_variant_new("(su)", "a", 1u); }},
        {"no body for (ss)", kNav, "GpsRawNMEA", []() -> GVariant* { return nullptr; }},
        {"signed for (uu)", kWan, "ConnectionActivated",
         [] { return g_variant_new("(ii)", -1, 2); }},
        {"variant for (u)", kWan, "ConnectionDeactivated",
         [] { return g_variant_new("(v)", g_variant_new_uint32(1)); }},
        {"uint for (b)", kVpn, "ConnectionStatus", [] { return g_variant_new("(u)", 1u); }},
    };
    auto text = subscribed<SignalProxy<void, std::string, std::string>>("GpsRawNMEA", kNav);
    auto pair =
        subscribed<SignalProxy<void, unsigned int, unsigned int>>("ConnectionActivated", kWan);
    auto single = subscribed<SignalProxy<void, unsigned int>>("ConnectionDeactivated", kWan);
    auto flag = subscribed<SignalProxy<void, bool>>("ConnectionStatus", kVpn);
    int delivered = 0;
    text->connect([&](std::string, std::string) { ++delivered; });
    pair->connect([&](unsigned, unsigned) { ++delivered; });
    single->connect([&](unsigned) { ++delivered; });
    flag->connect([&](bool) { ++delivered; });
    settle();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testenv::LogCapture log;
        delivered = 0;
        emit(c.interface, c.member, c.bad());
        std::string member = c.member;
        GVariant* good = member == "GpsRawNMEA"            ? g_variant_new("(ss)", "a", "b")
                         : member == "ConnectionActivated" ? g_variant_new("(uu)", 1u, 2u)
                         : member == "ConnectionStatus"    ? g_variant_new("(b)", FALSE)
                                                           : g_variant_new("(u)", 1u);
        emit(c.interface, c.member, good);
        ASSERT_TRUE(testenv::waitUntil([&] { return delivered >= 1; }));
        EXPECT_EQ(delivered, 1);
        EXPECT_EQ(log.count(VYL_LOG_WARN, std::string(c.member) + " from"), 1);
        EXPECT_EQ(log.count(VYL_LOG_WARN, "dropped"), 1);
    }
}

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
    lonely->finalize();
    EXPECT_FALSE(lonely->subscribed());
    int early = 0;
    lonely->connect([&](bool) { ++early; });
    {
        auto gone = subscribed<SignalProxy<void, bool>>("ConnectionStatus", kVpn);
        gone->connect([&](bool) { ++early; });
        EXPECT_TRUE(gone->subscribed());
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
