// The D-Bus binding against a private dbus-daemon: documents, routing, replies, name ownership,
// release at destruction and loss of the bus.
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_dbus.h"
#include "test_process.h"

namespace {

using QCF::DBus::Dispatcher;
using QCF::DBus::Object;

// Calls the way other processes do, from a second connection, while the main context runs:
// the reply's value, or "!" followed by the error's name and message.
std::string call(const Glib::RefPtr<Gio::DBus::Connection>& from, const std::string& destination,
                 const std::string& method, const std::string& path = "/com/example/App",
                 const std::string& interface = "com.example.A") {
    GAsyncResult* result = nullptr;
    g_dbus_connection_call(
        from->gobj(), destination.c_str(), path.c_str(), interface.c_str(), method.c_str(), nullptr,
        nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject*, GAsyncResult* r, gpointer out) {
            *static_cast<GAsyncResult**>(out) = G_ASYNC_RESULT(g_object_ref(r));
        },
        &result);
    if (!testenv::waitUntil([&] { return result != nullptr; }))
        return "!timeout";
    GError* error = nullptr;
    GVariant* value = g_dbus_connection_call_finish(from->gobj(), result, &error);
    g_object_unref(result);
    gchar* name = value ? g_variant_print(value, FALSE) : g_dbus_error_get_remote_error(error);
    std::string text = name ? name : "";
    g_free(name);
    if (value)
        g_variant_unref(value);
    else {
        g_dbus_error_strip_remote_error(error);
        text = "!" + text + " " + error->message;
        g_error_free(error);
    }
    return text;
}

// An exported object's dispatcher and a client that talks to its unique name.
class DispatcherTest : public testenv::BusTest {
protected:
    void SetUp() override {
        m_connection = m_dispatcher->create_connection(false);
        ASSERT_TRUE(m_connection);
        m_unique = m_connection->get_unique_name();
        m_watched = m_connection->gobj();
        g_object_add_weak_pointer(G_OBJECT(m_watched), reinterpret_cast<gpointer*>(&m_watched));
    }
    void TearDown() override {
        m_object.reset();
        m_dispatcher.reset();
        m_connection.reset();
        // A connection that outlived its dispatcher would be handed to the next one to ask.
        EXPECT_TRUE(testenv::waitUntil([this] { return m_watched == nullptr; }));
        if (m_watched)
            g_object_remove_weak_pointer(G_OBJECT(m_watched),
                                         reinterpret_cast<gpointer*>(&m_watched));
    }

    std::unique_ptr<Dispatcher> m_dispatcher{new Dispatcher};
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    std::string m_unique;
    Glib::RefPtr<Gio::DBus::Connection> m_client = testenv::sessionConnection();
    GDBusConnection* m_watched = nullptr;
    std::shared_ptr<Object> m_object = std::make_shared<Object>("/com/example/App");
};

TEST_F(DispatcherTest, AnswersCallsWithOneElementTuplesOfTheResults) {
    m_object->create_method<std::string>("com.example.A", "text",
                                         [] { return std::string("running"); });
    m_object->create_method<int>("com.example.A", "number", [] { return 42; });
    m_object->create_method<int>("com.example.A", "number", [] { return 43; }); // first one stays
    m_object->create_method<std::string>("com.example.A", "unset", sigc::slot0<std::string>());
    // Not UTF-8 and an embedded NUL: the bus would refuse such a string outright.
    m_object->create_method<std::string>("com.example.A", "broken", [] {
        return std::string("ab\xff\xfe"
                           "c\0d",
                           7);
    });
    m_dispatcher->register_object(m_object);

    const std::pair<const char*, const char*> cases[] = {
        {"text", "('running',)"},
        {"number", "(42,)"},
        {"unset", "('',)"},
        {"broken", "('ab\xef\xbf\xbd\xef\xbf\xbd"
                   "c',)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, call(m_client, m_unique, c.first));
    // A second object on the path exports an interface that calls are not routed to: the first
    // object answers that it has no such method.
    auto second = std::make_shared<Object>("/com/example/App");
    second->create_method<int>("com.example.B", "other", [] { return 1; });
    m_dispatcher->register_object(second);
    EXPECT_EQ(0u, call(m_client, m_unique, "other", "/com/example/App", "com.example.B")
                      .find("!org.freedesktop.DBus.Error.UnknownMethod "));
}

// An invalid path, interface name or one that breaks the document only costs its own object.
TEST_F(DispatcherTest, FailingMethodAndInvalidNamesAreReportedAndServiceGoesOn) {
    m_object->create_method<int>("com.example.A", "fail",
                                 []() -> int { throw std::runtime_error("no data"); });
    m_object->create_method<int>("com.example.A", "fine", [] { return 3; });
    m_object->create_method<int>("nodots", "get", [] { return 1; });
    auto badPath = std::make_shared<Object>("no/path");
    auto badDocument = std::make_shared<Object>("/com/example/Bad");
    badDocument->createInterface("com.example.\"bad");
    testenv::LogCapture log;
    m_dispatcher->register_object(badPath);
    m_dispatcher->register_object(badDocument);
    m_dispatcher->register_object(m_object);
    EXPECT_EQ(3u, log.starting(VYL_LOG_WARN, "in ").size());
    EXPECT_EQ(0u, call(m_client, m_unique, "fail").find("!org.freedesktop.DBus.Error.Failed "));
    EXPECT_EQ(1u, log.starting(VYL_LOG_ERROR, "in ").size());
    EXPECT_EQ("(3,)", call(m_client, m_unique, "fine"));
}

TEST_F(DispatcherTest, OwnsTheNameAndReleasesEverythingWhenDestroyed) {
    m_object->create_method<int>("com.example.A", "get", [] { return 5; });
    m_dispatcher->register_object(m_object);
    m_dispatcher->request_name("com.example.Service");
    EXPECT_TRUE(testenv::waitUntil(
        [this] { return testenv::nameHasOwner(m_client, "com.example.Service"); }));
    EXPECT_EQ("(5,)", call(m_client, "com.example.Service", "get"));

    // The connection stays in use elsewhere; calls must no longer reach the dead dispatcher.
    m_dispatcher.reset();
    EXPECT_TRUE(testenv::waitUntil(
        [this] { return !testenv::nameHasOwner(m_client, "com.example.Service"); }));
    EXPECT_EQ('!', call(m_client, m_unique, "get")[0]);
}

TEST_F(DispatcherTest, LostBusCallsTheHandlerAndLeavesTheProcessRunning) {
    bool lost = false;
    m_dispatcher->set_on_closed([&lost] { lost = true; });
    testenv::LogCapture log;
    ASSERT_EQ(0, ::kill(m_bus.pid(), SIGKILL));
    EXPECT_TRUE(testenv::waitUntil([&lost] { return lost; }));
    EXPECT_TRUE(log.has(VYL_LOG_ERROR, "D-Bus connection lost"));

    // A bus that cannot be reached gives an empty connection, and the rest does no harm.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (m_root / "no-bus")).c_str(), 1);
    Dispatcher unreachable;
    EXPECT_FALSE(unreachable.create_connection(false));
    unreachable.register_object(m_object);
    unreachable.request_name("com.example.Nobody");

    // While the dead connection is still held, reconnecting reaches the new bus, not the old one.
    testenv::PrivateBus restarted;
    Dispatcher again;
    auto connection = again.create_connection(false);
    ASSERT_TRUE(connection);
    EXPECT_EQ("()", call(testenv::sessionConnection(), connection->get_unique_name(), "Ping", "/",
                         "org.freedesktop.DBus.Peer"));
}

} // namespace
