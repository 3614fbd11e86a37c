// Platform events as a test sees them from outside: the signals on the private bus and the events
// stored in an event database file. Header-only; the test program links SQLite through the event
// store. Main thread only, apart from the signal callback.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "test_process.h"

namespace testenv {

// Every signal the private bus carries, as "path interface.member signature body".
class SignalLog {
public:
    SignalLog() : m_bus(testenv::sessionConnection()) {
        m_id = g_dbus_connection_signal_subscribe(m_bus->gobj(), nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                  &SignalLog::received, this, nullptr);
        EXPECT_TRUE(testenv::settle(m_bus));
    }
    ~SignalLog() { g_dbus_connection_signal_unsubscribe(m_bus->gobj(), m_id); }

    // The signals that arrived since the last take, once there are at least `count`.
    std::vector<std::string> take(size_t count) {
        testenv::waitUntil([&] { return size() >= count; });
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<std::string> taken;
        taken.swap(m_signals);
        return taken;
    }
    // Waits until a signal that contains `text` arrived (taken or not).
    bool waitFor(const std::string& text) {
        return testenv::waitUntil([&] {
            std::lock_guard<std::mutex> guard(m_mutex);
            for (const std::string& seen : m_all)
                if (seen.find(text) != std::string::npos)
                    return true;
            return false;
        });
    }
    size_t size() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_signals.size();
    }

private:
    static void received(GDBusConnection*, const gchar* sender, const gchar* path,
                         const gchar* interface, const gchar* member, GVariant* body,
                         gpointer self) {
        if (std::string(sender) == "org.freedesktop.DBus")
            return;
        gchar* printed = g_variant_print(body, FALSE);
        auto* log = static_cast<SignalLog*>(self);
        std::lock_guard<std::mutex> guard(log->m_mutex);
        log->m_signals.push_back(std::string(path) + " " + interface + "." + member + " " +
                                 g_variant_get_type_string(body) + " " + printed);
        log->m_all.push_back(log->m_signals.back());
        g_free(printed);
    }

    Glib::RefPtr<Gio::DBus::Connection> m_bus;
    guint m_id = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_signals;
    std::vector<std::string> m_all;
};

// The stored events of a database file, oldest first, as "messageId severity param0 param1
// text".
inline std::vector<std::string> storedEvents(const std::string& path) {
    std::vector<std::string> events;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* select = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT messageId, generatedSeverity, param0, param1, additionalInfo "
                           "FROM events ORDER BY id",
                           -1, &select, nullptr);
        while (select && sqlite3_step(select) == SQLITE_ROW) {
            std::string event;
            for (int column = 0; column < 4; ++column)
                event += std::to_string(sqlite3_column_int64(select, column)) + " ";
            const void* text = sqlite3_column_blob(select, 4);
            event.append(static_cast<const char*>(text ? text : ""),
                         sqlite3_column_bytes(select, 4));
            events.push_back(event);
        }
        sqlite3_finalize(select);
    }
    sqlite3_close(db);
    return events;
}

} // namespace testenv
