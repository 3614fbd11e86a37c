// The D-Bus binding against a private dbus-daemon: documents, registration, routing, replies,
// name ownership, release at destruction and loss of the bus.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "qcf_dbus.h"
#include "qcf_debug.h"
#include "test_env.h"

namespace {

using QCF::DBus::Dispatcher;
using QCF::DBus::Interface;
using QCF::DBus::Method;
using QCF::DBus::Object;
using QCF::DBus::translate;

const char* const kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
                          "\n"
                          "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection "
                          "1.0//EN\"\n"
                          "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

struct Reply {
    bool done = false;
    GVariant* value = nullptr;
    std::string errorName;
    std::string message;
    GQuark domain = 0;
    int code = 0;

    ~Reply() {
        if (value)
            g_variant_unref(value);
    }
    std::string printed() const {
        if (!value)
            return std::string();
        gchar* text = g_variant_print(value, FALSE);
        std::string result = text;
        g_free(text);
        return result;
    }
};

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
    Reply* reply = static_cast<Reply*>(data);
    GError* error = nullptr;
    reply->value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (error) {
        gchar* name = g_dbus_error_get_remote_error(error);
        reply->errorName = name ? name : "";
        g_free(name);
        reply->domain = error->domain;
        reply->code = error->code;
        g_dbus_error_strip_remote_error(error);
        reply->message = error->message;
        g_error_free(error);
    }
    reply->done = true;
}

// A second party on the private bus, calling the way other processes do.
class Client {
public:
    explicit Client(const std::string& address) {
        GError* error = nullptr;
        m_connection = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (error) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
    }
    ~Client() {
        if (m_connection)
            g_object_unref(m_connection);
    }

    std::unique_ptr<Reply> call(const std::string& destination, const std::string& path,
                                const std::string& interface, const std::string& method,
                                GVariant* parameters = nullptr) {
        std::unique_ptr<Reply> reply(new Reply);
        g_dbus_connection_call(m_connection, destination.c_str(), path.c_str(), interface.c_str(),
                               method.c_str(), parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                               nullptr, onReply, reply.get());
        EXPECT_TRUE(testenv::waitUntil([&] { return reply->done; }));
        return reply;
    }

    bool nameHasOwner(const std::string& name) {
        auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameHasOwner", g_variant_new("(s)", name.c_str()));
        return reply->printed() == "(true,)";
    }

private:
    GDBusConnection* m_connection = nullptr;
};

// An exported object and the client that talks to its dispatcher's unique name.
class DispatcherTest : public testenv::BusTest {
protected:
    void SetUp() override {
        m_dispatcher.reset(new Dispatcher);
        m_connection = m_dispatcher->create_connection(false);
        ASSERT_TRUE(m_connection);
        m_unique = m_connection->get_unique_name();
        m_client.reset(new Client(m_bus.address()));
        m_watched = m_connection->gobj();
        g_object_add_weak_pointer(G_OBJECT(m_watched), reinterpret_cast<gpointer*>(&m_watched));
    }

    void TearDown() override {
        m_dispatcher.reset();
        m_connection.reset();
        // Nothing may keep the connection alive once its users are gone: a connection that
        // outlived its dispatcher would also be handed to the next one to ask for the bus.
        EXPECT_TRUE(testenv::waitUntil([this] { return m_watched == nullptr; }));
        if (m_watched)
            g_object_remove_weak_pointer(G_OBJECT(m_watched),
                                         reinterpret_cast<gpointer*>(&m_watched));
    }

    std::unique_ptr<Dispatcher> m_dispatcher;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    std::string m_unique;
    std::unique_ptr<Client> m_client;
    GDBusConnection* m_watched = nullptr;
};

TEST(DBusObject, DocumentListsInterfacesMethodsAndResultsInNameOrder) {
    auto object = std::make_shared<Object>("/com/example/Thing");
    object->create_method<int>("com.example.Zeta", "count", sigc::slot0<int>())
        ->set_arg_name(0, "n");
    object->create_method<std::string>("com.example.Alpha", "name", sigc::slot0<std::string>())
        ->set_arg_name(0, "text");
    object->create_method<std::string>("com.example.Alpha", "describe", sigc::slot0<std::string>());
    object->createInterface("com.example.Mid");

    std::string expected = std::string(kHead) +
                           "<node name=\"/com/example/Thing\" >\n"
                           "  <interface name=\"com.example.Alpha\">\n"
                           "<method name=\"describe\">\n"
                           "      <arg type=\"s\" direction=\"out\" name=\"\" />\n"
                           "    </method>\n"
                           "<method name=\"name\">\n"
                           "      <arg type=\"s\" direction=\"out\" name=\"text\" />\n"
                           "    </method>\n"
                           "  </interface>\n"
                           "  <interface name=\"com.example.Mid\">\n"
                           "  </interface>\n"
                           "  <interface name=\"com.example.Zeta\">\n"
                           "<method name=\"count\">\n"
                           "      <arg type=\"i\" direction=\"out\" name=\"n\" />\n"
                           "    </method>\n"
                           "  </interface>\n"
                           "</node>\n";
    EXPECT_EQ(expected, object->introspect());

    object->finalize(Glib::RefPtr<Gio::DBus::Connection>());
    const char* names[] = {"com.example.Alpha", "com.example.Mid", "com.example.Zeta"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(nullptr, object->getInterfaceInfo(i));
        EXPECT_STREQ(names[i], object->getInterfaceInfo(i)->name);
    }
    EXPECT_EQ(nullptr, object->getInterfaceInfo(3));
    EXPECT_EQ(nullptr, object->getInterfaceInfo(-1));
}

TEST(DBusObject, WithoutInterfacesHasBareDocumentAndNoDescriptions) {
    Object object("/e");
    EXPECT_EQ(std::string(kHead) + "<node name=\"/e\" >\n</node>\n", object.introspect());
    EXPECT_EQ(nullptr, object.getInterfaceInfo(0));
    object.finalize(Glib::RefPtr<Gio::DBus::Connection>());
    EXPECT_EQ(nullptr, object.getInterfaceInfo(0));
}

TEST(DBusObject, KeepsTheFirstOfTwoEntriesWithTheSameName) {
    Object object("/o");
    auto first = Interface::create("com.example.I");
    object.add_interface(first, "com.example.I");
    object.add_interface(Interface::create("com.example.I"), "com.example.I");
    EXPECT_EQ(first, object.getInterface("com.example.I"));
    EXPECT_EQ(first, object.createInterface("com.example.I"));

    object.create_method<int>("com.example.I", "m", [] { return 1; });
    object.create_method<int>("com.example.I", "m", [] { return 2; });
    GVariant* reply = object.getResponse("com.example.I", "m", nullptr);
    ASSERT_NE(nullptr, reply);
    g_variant_ref_sink(reply);
    int value = 0;
    g_variant_get(reply, "(i)", &value);
    EXPECT_EQ(1, value);
    g_variant_unref(reply);

    // Pairs the object lacks give no reply rather than a crash.
    EXPECT_EQ(nullptr, object.getResponse("com.example.Nope", "m", nullptr));
    EXPECT_EQ(nullptr, object.getResponse("com.example.I", "nope", nullptr));
}

TEST(DBusObject, RefinalisingReplacesTheDescriptions) {
    Object object("/o");
    object.createInterface("com.example.B");
    object.finalize(Glib::RefPtr<Gio::DBus::Connection>());
    object.createInterface("com.example.A");
    object.finalize(Glib::RefPtr<Gio::DBus::Connection>());
    ASSERT_NE(nullptr, object.getInterfaceInfo(1));
    EXPECT_STREQ("com.example.A", object.getInterfaceInfo(0)->name);
    EXPECT_STREQ("com.example.B", object.getInterfaceInfo(1)->name);
}

TEST(DBusObject, NameThatBreaksTheDocumentExportsNothing) {
    Object object("/o");
    object.createInterface("com.example.\"bad");
    testenv::LogCapture log;
    object.finalize(Glib::RefPtr<Gio::DBus::Connection>());
    EXPECT_EQ(nullptr, object.getInterfaceInfo(0));
    EXPECT_EQ(1u, log.starting(VYL_LOG_WARN, "in ").size());
}

TEST(DBusMethod, ReplyIsAOneElementTupleOfTheResult) {
    struct Case {
        std::shared_ptr<QCF::DBus::MethodBase> method;
        std::string printed;
        std::string type;
    };
    auto text = Method<std::string>::create("t", "com.example.I");
    text->set_method([] { return std::string("running"); });
    auto number = Method<int>::create("n", "com.example.I");
    number->set_method([] { return 42; });
    auto broken = Method<std::string>::create("b", "com.example.I");
    broken->set_method([] {
        return std::string("ab\xff\xfe"
                           "c\0d",
                           7);
    });
    const Case cases[] = {
        {text, "('running',)", "(s)"},
        {number, "(42,)", "(i)"},
        {Method<std::string>::create("e", "com.example.I"), "('',)", "(s)"},
        {Method<int>::create("z", "com.example.I"), "(0,)", "(i)"},
        {broken,
         "('ab\xef\xbf\xbd\xef\xbf\xbd"
         "c',)",
         "(s)"},
    };
    for (const Case& c : cases) {
        GVariant* reply = g_variant_ref_sink(c.method->getResponse(nullptr));
        ASSERT_NE(nullptr, reply) << c.printed;
        gchar* printed = g_variant_print(reply, FALSE);
        EXPECT_EQ(c.printed, printed);
        EXPECT_EQ(c.type, g_variant_get_type_string(reply));
        g_free(printed);
        g_variant_unref(reply);
    }
}

TEST(DBusTranslate, ReadsTupleChildrenAndFallsBackOnWrongShapes) {
    GVariant* tuple = g_variant_ref_sink(g_variant_new("(sub)", "abc", 7u, TRUE));
    EXPECT_EQ("abc", translate<std::string>::getData(tuple, 0));
    EXPECT_EQ(7u, translate<unsigned int>::getData(tuple, 1));
    EXPECT_TRUE(translate<bool>::getData(tuple, 2));

    EXPECT_EQ("", translate<std::string>::getData(tuple, 1));
    EXPECT_EQ(0u, translate<unsigned int>::getData(tuple, 0));
    EXPECT_FALSE(translate<bool>::getData(tuple, 1));
    EXPECT_EQ("", translate<std::string>::getData(tuple, 3));
    EXPECT_EQ(0u, translate<unsigned int>::getData(tuple, 99));
    EXPECT_EQ("", translate<std::string>::getData(nullptr, 0));
    GVariant* scalar = g_variant_ref_sink(g_variant_new_uint32(5));
    EXPECT_EQ(0u, translate<unsigned int>::getData(scalar, 0));
    g_variant_unref(scalar);
    g_variant_unref(tuple);
}

TEST_F(DispatcherTest, AnswersCallsWithTheMethodsResults) {
    auto object = std::make_shared<Object>("/com/example/App");
    object
        ->create_method<std::string>("com.example.Status", "getCurrentStatus",
                                     [] { return std::string("running"); })
        ->set_arg_name(0, "statusStr");
    object->create_method<int>("com.example.Status", "getCount", [] { return 42; });
    object->create_method<std::string>("com.example.Status", "getEmpty",
                                       sigc::slot0<std::string>());
    m_dispatcher->register_object(object);

    const std::pair<const char*, const char*> cases[] = {
        {"getCurrentStatus", "('running',)"},
        {"getCount", "(42,)"},
        {"getEmpty", "('',)"},
    };
    for (const auto& c : cases) {
        auto reply = m_client->call(m_unique, "/com/example/App", "com.example.Status", c.first);
        EXPECT_EQ("", reply->errorName) << c.first;
        EXPECT_EQ(c.second, reply->printed()) << c.first;
    }
}

TEST_F(DispatcherTest, RegistersInterfacesInNameOrderAndIntrospectionListsThem) {
    auto object = std::make_shared<Object>("/com/example/App");
    for (const char* name : {"com.example.C", "com.example.B", "com.example.A"})
        object->create_method<int>(name, "get", [] { return 1; });
    testenv::LogCapture log;
    m_dispatcher->register_object(object);

    EXPECT_EQ((std::vector<std::string>{"  looping 0", "  looping 1", "  looping 2"}),
              log.starting(VYL_LOG_DEBUG, "  looping"));
    EXPECT_EQ(
        (std::vector<std::string>{"    interface: com.example.A", "    interface: com.example.B",
                                  "    interface: com.example.C"}),
        log.starting(VYL_LOG_DEBUG, "    interface:"));

    auto reply = m_client->call(m_unique, "/com/example/App", "org.freedesktop.DBus.Introspectable",
                                "Introspect");
    ASSERT_EQ("", reply->errorName);
    const gchar* xml = nullptr;
    g_variant_get(reply->value, "(&s)", &xml);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, nullptr);
    ASSERT_NE(nullptr, node);
    std::vector<std::string> ours;
    for (GDBusInterfaceInfo** i = node->interfaces; *i; ++i)
        if (g_str_has_prefix((*i)->name, "com.example."))
            ours.push_back((*i)->name);
    g_dbus_node_info_unref(node);
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ((std::vector<std::string>{"com.example.A", "com.example.B", "com.example.C"}), ours);
}

TEST_F(DispatcherTest, CallOnAPathItDoesNotKnowGetsTheGenericError) {
    // A registration that routes into the dispatcher for a path it never exported.
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name=\"com.example.Stray\"><method name=\"poke\"/></interface></node>",
        nullptr);
    GDBusInterfaceVTable vtable = {};
    vtable.method_call = &Dispatcher::on_method;
    guint id = g_dbus_connection_register_object(m_connection->gobj(), "/com/example/Stray",
                                                 node->interfaces[0], &vtable, m_dispatcher.get(),
                                                 nullptr, nullptr);
    ASSERT_NE(0u, id);

    auto reply = m_client->call(m_unique, "/com/example/Stray", "com.example.Stray", "poke");
    EXPECT_EQ("org.freedesktop.DBus.Error.MatchRuleNotFound", reply->errorName);
    EXPECT_EQ("TODO Generic error", reply->message);
    EXPECT_EQ(G_DBUS_ERROR, reply->domain);
    EXPECT_EQ(G_DBUS_ERROR_MATCH_RULE_NOT_FOUND, reply->code);

    g_dbus_connection_unregister_object(m_connection->gobj(), id);
    g_dbus_node_info_unref(node);
}

TEST_F(DispatcherTest, SecondObjectOnAPathLeavesCallsWithTheFirst) {
    auto first = std::make_shared<Object>("/com/example/App");
    first->create_method<std::string>("com.example.A", "who", [] { return std::string("first"); });
    auto second = std::make_shared<Object>("/com/example/App");
    second->create_method<std::string>("com.example.A", "who",
                                       [] { return std::string("second"); });
    second->create_method<int>("com.example.B", "extra", [] { return 7; });
    m_dispatcher->register_object(first);
    m_dispatcher->register_object(second);

    auto who = m_client->call(m_unique, "/com/example/App", "com.example.A", "who");
    EXPECT_EQ("('first',)", who->printed());
    // The second object's own interface got registered, but calls route to the first object,
    // which lacks it: an error, not a crash.
    auto extra = m_client->call(m_unique, "/com/example/App", "com.example.B", "extra");
    EXPECT_EQ("org.freedesktop.DBus.Error.UnknownMethod", extra->errorName);
}

TEST_F(DispatcherTest, FailingMethodAnswersWithAnErrorAndServiceGoesOn) {
    auto object = std::make_shared<Object>("/com/example/App");
    object->create_method<int>("com.example.A", "fail",
                               []() -> int { throw std::runtime_error("no data"); });
    object->create_method<int>("com.example.A", "fine", [] { return 3; });
    m_dispatcher->register_object(object);
    testenv::LogCapture log;

    auto failed = m_client->call(m_unique, "/com/example/App", "com.example.A", "fail");
    EXPECT_EQ("org.freedesktop.DBus.Error.Failed", failed->errorName);
    EXPECT_EQ(1u, log.starting(VYL_LOG_ERROR, "in ").size());
    auto fine = m_client->call(m_unique, "/com/example/App", "com.example.A", "fine");
    EXPECT_EQ("(3,)", fine->printed());
}

TEST_F(DispatcherTest, InvalidNamesAreReportedAndSkipped) {
    auto badPath = std::make_shared<Object>("no/path");
    badPath->create_method<int>("com.example.A", "get", [] { return 1; });
    auto mixed = std::make_shared<Object>("/com/example/App");
    mixed->create_method<int>("nodots", "get", [] { return 1; });
    mixed->create_method<int>("com.example.Ok", "get", [] { return 2; });
    testenv::LogCapture log;
    m_dispatcher->register_object(badPath);
    m_dispatcher->register_object(mixed);
    EXPECT_EQ(2u, log.starting(VYL_LOG_WARN, "in ").size());

    auto ok = m_client->call(m_unique, "/com/example/App", "com.example.Ok", "get");
    EXPECT_EQ("(2,)", ok->printed());
}

TEST_F(DispatcherTest, OwnsTheNameAndReleasesEverythingWhenDestroyed) {
    auto object = std::make_shared<Object>("/com/example/App");
    object->create_method<int>("com.example.A", "get", [] { return 5; });
    m_dispatcher->register_object(object);
    m_dispatcher->request_name("com.example.Service");
    EXPECT_TRUE(
        testenv::waitUntil([this] { return m_client->nameHasOwner("com.example.Service"); }));
    auto byName = m_client->call("com.example.Service", "/com/example/App", "com.example.A", "get");
    EXPECT_EQ("(5,)", byName->printed());

    // The connection stays in use elsewhere; calls must no longer reach the dead dispatcher.
    m_dispatcher.reset();
    EXPECT_TRUE(
        testenv::waitUntil([this] { return !m_client->nameHasOwner("com.example.Service"); }));
    auto after = m_client->call(m_unique, "/com/example/App", "com.example.A", "get");
    EXPECT_NE("", after->errorName);
}

TEST_F(DispatcherTest, NameTakenByAnotherProcessIsReported) {
    // Held by the client connection: the bus refuses to hand it over.
    auto held =
        m_client->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "RequestName", g_variant_new("(su)", "com.example.Taken", 4u));
    ASSERT_EQ("(1,)", held->printed());
    testenv::LogCapture log;
    m_dispatcher->request_name("com.example.Taken");
    EXPECT_TRUE(testenv::waitUntil([&] { return !log.starting(VYL_LOG_WARN, "in ").empty(); }));
}

TEST_F(DispatcherTest, LostBusCallsTheHandlerAndLeavesTheProcessRunning) {
    bool lost = false;
    m_dispatcher->set_on_closed([&lost] { lost = true; });
    testenv::LogCapture log;
    ASSERT_EQ(0, ::kill(m_bus.pid(), SIGKILL));
    EXPECT_TRUE(testenv::waitUntil([&lost] { return lost; }));
    EXPECT_TRUE(log.has(VYL_LOG_ERROR, "D-Bus connection lost"));
    EXPECT_TRUE(m_connection->is_closed());

    // While the dead connection is still held, reconnecting reaches the new bus, not the old one.
    testenv::PrivateBus restarted;
    Dispatcher again;
    auto connection = again.create_connection(false);
    ASSERT_TRUE(connection);
    EXPECT_FALSE(connection->is_closed());
    Client client(restarted.address());
    EXPECT_EQ("",
              client.call(connection->get_unique_name(), "/", "org.freedesktop.DBus.Peer", "Ping")
                  ->errorName);
}

TEST(DBusDispatcher, UnreachableBusGivesAnEmptyConnection) {
    testenv::TempRoot root;
    const char* old = ::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string saved = old ? old : "";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", (root.path() + "/no-bus").insert(0, "unix:path=").c_str(),
             1);
    testenv::LogCapture log;
    Dispatcher dispatcher;
    EXPECT_FALSE(dispatcher.create_connection(false));
    EXPECT_TRUE(log.has(VYL_LOG_DEBUG, "creating connection to session bus"));
    EXPECT_EQ(1u, log.starting(VYL_LOG_WARN, "in ").size());

    // Nothing to export on: no crash, no registration.
    auto object = std::make_shared<Object>("/o");
    dispatcher.register_object(object);
    dispatcher.request_name("com.example.Nobody");
    if (old)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

} // namespace
