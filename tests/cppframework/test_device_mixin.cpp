// Device acquisition on a private bus over a fake sysfs tree: locks held by another process, ticks
// driven by hand, presence and absence signals, configuration changes, malformed signals.
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_sysfs.h"
#include "log_capture.h"
#include "qcf_dev.h"
#include "qcf_eventgen.h"
#include "test_process.h"
#include "vyl_devlock.h"
#include "vyl_devspec.h"
#include "vyl_sysfs.h"

namespace {

const char* const kIface = "com.ulvaro.devices.IDeviceEvents";
const char* const kGuc232 = "- bus: usb\n  whitelist: [{idVendor: 0x0557, idProduct: 0x2008}]\n";

// Device-lock events as "kind dpi"; all of them come from this process.
class RecordingEvents : public CVylEventGenerator {
public:
    RecordingEvents() : CVylEventGenerator(false, false, false) {}
    void devices_DeviceLockSuccess(unsigned d, unsigned p, DelsSeverity) override {
        record("Lock", d, p);
    }
    void devices_DeviceLockFail(unsigned d, unsigned p, DelsSeverity) override {
        record("Fail", d, p);
    }
    void devices_DeviceUnlock(unsigned d, unsigned p, DelsSeverity) override {
        record("Unlock", d, p);
    }
    void record(const char* kind, unsigned dpi, unsigned pid) {
        EXPECT_EQ(pid, static_cast<unsigned>(::getpid()));
        events.push_back(kind + (" " + std::to_string(dpi)));
    }
    std::vector<std::string> events;
};

class TestApp : public CVylDeviceControllingMixin {
public:
    using CVylDeviceControllingMixin::CVylDeviceControllingMixin;
    void onDeviceAcquired(const std::string&) override {}
    void onDeviceLost(const std::string& node) override { lost.push_back(node); }
    bool onDeviceCandidatesExhausted() override { return true; }
    bool isDeviceAcquisitionEnabled() const override { return enabled; }
    bool enabled = true;
    std::vector<std::string> lost;
};

class DeviceMixin : public testenv::BusTest {
protected:
    DeviceMixin() : m_sys(m_root.path()), m_spec("", EVDDL_BUS) {
        m_sys.addUsbSerial("ttyUSB0", "1-1.3", 0x067b, 0x2303);
        m_sys.addUsbSerial("ttyUSB1", "1-1.4", 0x067b, 0x2303);
        EXPECT_EQ(m_spec._yamlParseBuf("- bus: usb\n  whitelist: [{idVendor: 0x067b, "
                                       "idProduct: 0x2303}]\n"),
                  0);
    }
    // Builds the mixin and brings D-Bus up, which makes the first attempt.
    void start(bool enabled = true) {
        m_app = std::make_unique<TestApp>(m_events, m_postDbus, &m_spec,
                                          [this](const sigc::slot<bool>& tick, unsigned seconds) {
                                              EXPECT_EQ(seconds, 2u);
                                              m_ticks.push_back(tick);
                                              return sigc::connection();
                                          });
        m_app->enabled = enabled;
        m_connection = testenv::sessionConnection();
        m_peer = testenv::sessionConnection();
        m_postDbus.emit(m_connection);
        ASSERT_TRUE(testenv::settle(m_connection));
    }
    void emit(const char* member, GVariant* args) {
        g_dbus_connection_emit_signal(m_peer->gobj(), nullptr, "/com/ulvaro/devices", kIface,
                                      member, args, nullptr);
        g_dbus_connection_flush_sync(m_peer->gobj(), nullptr, nullptr);
    }
    // Sends a signal and waits until the mixin logged `line` for it.
    void signalAndWait(const char* member, const std::string& name, const std::string& line) {
        emit(member, g_variant_new("(su)", name.c_str(), dpi(name)));
        ASSERT_TRUE(testenv::waitUntil([&] { return m_log.has(line); })) << line;
    }
    uint32_t dpi(const std::string& name) {
        return llGetDpiFromSysfs(m_sys.classPath(name).c_str());
    }
    // Ticks fire only when the test says so.
    void fire() {
        ASSERT_EQ(m_ticks.size(), 1u);
        sigc::slot<bool> tick = m_ticks.front();
        m_ticks.clear();
        tick();
    }
    EDeviceController state() const { return m_app->getDeviceState(); }
    std::string ev(const char* kind, const std::string& name) {
        return kind + (" " + std::to_string(dpi(name)));
    }

    testenv::LogCapture m_log;
    testenv::FakeSysfs m_sys;
    CVylDeviceSpecList m_spec;
    RecordingEvents m_events;
    std::vector<sigc::slot<bool>> m_ticks;
    sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> m_postDbus;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    Glib::RefPtr<Gio::DBus::Connection> m_peer;
    std::unique_ptr<TestApp> m_app;
};

TEST_F(DeviceMixin, SkipsCandidatesLockedElsewhereTriesAnArrivalInItsTurnAndFailsOver) {
    // Another live process (the bus daemon will do) holds both candidates.
    for (const char* name : {"ttyUSB0", "ttyUSB1"})
        m_root.write(std::string("var/lock/LCK..") + name, std::to_string(m_bus.pid()) + "\n");
    start();
    EXPECT_TRUE(m_log.has("device " + m_sys.node("ttyUSB0") +
                          " already locked by PID=" + std::to_string(m_bus.pid())));
    EXPECT_EQ(state(), EDC_ITERATING_CANDIDATES);
    ASSERT_EQ(m_events.events, std::vector<std::string>{ev("Fail", "ttyUSB0")});

    // A device arriving while the candidates are tried is tried in its turn.
    m_sys.addUsbSerial("ttyUSB2", "1-1.5", 0x067b, 0x2303);
    signalAndWait("DevicePresence", "ttyUSB2",
                  "Device ttyUSB2 is present on " + std::to_string(dpi("ttyUSB2")));
    fire();
    EXPECT_EQ(m_events.events.back(), ev("Fail", "ttyUSB1"));
    fire();
    EXPECT_EQ(state(), EDC_DEVICE_ACQUIRED);
    EXPECT_EQ(m_events.events.back(), ev("Lock", "ttyUSB2"));
    std::string lockFile = vyl::devLockPath(m_sys.node("ttyUSB2").c_str());
    EXPECT_EQ(std::stoi(testenv::readFile(lockFile)), ::getpid());

    // Another device going away leaves the held one alone.
    signalAndWait("DeviceAbsence", "ttyUSB0",
                  "Device ttyUSB0 on " + std::to_string(dpi("ttyUSB0")) + " is absent");
    EXPECT_EQ(state(), EDC_DEVICE_ACQUIRED);

    std::string unlock = ev("Unlock", "ttyUSB2");
    uint32_t heldDpi = dpi("ttyUSB2");
    m_sys.remove("ttyUSB2");
    emit("DeviceAbsence", g_variant_new("(su)", "ttyUSB2", heldDpi));
    ASSERT_TRUE(testenv::waitUntil([&] { return !m_app->lost.empty(); }));
    EXPECT_EQ(m_app->lost, std::vector<std::string>{m_sys.node("ttyUSB2")});
    EXPECT_EQ(m_events.events.back(), unlock);
    EXPECT_TRUE(testenv::readFile(lockFile).empty());
    EXPECT_EQ(state(), EDC_ITERATING_CANDIDATES);

    // Fail-over: the next attempts reach the candidate that is free by now.
    ASSERT_EQ(::unlink((m_root / "var/lock/LCK..ttyUSB0").c_str()), 0);
    for (int attempt = 0; attempt < 2 && state() != EDC_DEVICE_ACQUIRED; ++attempt)
        fire();
    EXPECT_EQ(state(), EDC_DEVICE_ACQUIRED);
    EXPECT_EQ(m_events.events.back(), ev("Lock", "ttyUSB0"));
    EXPECT_EQ(m_app->getAcquiredDevNode(), m_sys.node("ttyUSB0"));

    // A lock another live process took over is not released, nor announced as released.
    m_root.write("var/lock/LCK..ttyUSB0", std::to_string(m_bus.pid()) + "\n");
    const size_t announced = m_events.events.size();
    EXPECT_FALSE(m_app->releaseDevice());
    EXPECT_TRUE(m_log.has("failed to unlock device " + m_sys.node("ttyUSB0") +
                          ", error: " + std::to_string(m_bus.pid())));
    EXPECT_EQ(m_events.events.size(), announced);
}

TEST_F(DeviceMixin, PresenceScansWhenIdleAndOnlyAddsCandidatesWhileHolding) {
    ASSERT_EQ(m_spec._yamlParseBuf(kGuc232), 0);
    start();
    EXPECT_EQ(state(), EDC_NO_CANDIDATES);

    for (auto device : {std::make_pair("ttyUSB2", "1-2"), std::make_pair("ttyUSB3", "1-5")}) {
        const char* name = device.first;
        m_sys.addUsbSerial(name, device.second, 0x0557, 0x2008);
        size_t events = m_events.events.size();
        signalAndWait("DevicePresence", name,
                      "Device " + std::string(name) + " is present on " +
                          std::to_string(dpi(name)));
        EXPECT_EQ(state(), EDC_DEVICE_ACQUIRED);
        EXPECT_EQ(m_app->getAcquiredDevNode(), m_sys.node("ttyUSB2"));
        EXPECT_EQ(m_events.events.size(), events + (name == std::string("ttyUSB2")));
    }
}

TEST_F(DeviceMixin, ConfigurationChangesReleaseADeviceNoLongerListedAndSearchTheNewList) {
    start();
    ASSERT_EQ(state(), EDC_DEVICE_ACQUIRED);
    m_app->onConfigurationChange(nullptr); // unchanged list
    EXPECT_EQ(state(), EDC_DEVICE_ACQUIRED);

    ASSERT_EQ(m_spec._yamlParseBuf(kGuc232), 0);
    m_app->onConfigurationChange(nullptr);
    EXPECT_EQ(state(), EDC_NO_DEVICE);
    EXPECT_EQ(m_events.events.back(), ev("Unlock", "ttyUSB0"));

    m_sys.addUsbSerial("ttyUSB2", "1-2", 0x0557, 0x2008);
    ASSERT_EQ(m_spec._yamlParseBuf(kGuc232 + std::string("- {bus: legacy, whitelist: "
                                                         "[builtin: tty]}\n")),
              0);
    m_app->onConfigurationChange(nullptr);
    EXPECT_EQ(state(), EDC_ITERATING_CANDIDATES);
    fire();
    EXPECT_EQ(m_app->getAcquiredDevNode(), m_sys.node("ttyUSB2"));
}

TEST_F(DeviceMixin, MalformedSignalsAreLoggedAndIgnoredAndNoneArrivesAfterDestruction) {
    start();
    ASSERT_EQ(state(), EDC_DEVICE_ACQUIRED);
    emit("DeviceAbsence", nullptr);
    ASSERT_TRUE(testenv::waitUntil([&] {
        return m_log.has("ignoring DeviceAbsence with arguments of type (), expected (su)");
    }));
    EXPECT_EQ(state(), EDC_DEVICE_ACQUIRED);

    // A signal on its way when the mixin dies must not reach it.
    bool seen = false;
    guint probe = g_dbus_connection_signal_subscribe(
        m_connection->gobj(), nullptr, kIface, "DeviceAbsence", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
           gpointer seenFlag) { *static_cast<bool*>(seenFlag) = true; },
        &seen, nullptr);
    emit("DeviceAbsence", g_variant_new("(su)", "ttyUSB0", 0u));
    m_app.reset();
    ASSERT_TRUE(testenv::waitUntil([&] { return seen; }));
    g_dbus_connection_signal_unsubscribe(m_connection->gobj(), probe);
}

TEST_F(DeviceMixin, TheLockdevFallbackTakesANodeNameAsOneWord) {
    m_root.write("var/lock", "not a folder"); // device locks fail: the fallback runs
    start(false);
    EXPECT_TRUE(m_ticks.empty()); // disabled: no attempt, no tick
    std::string marker = m_root / "injected";
    std::string node = m_root / ("dev/ttyX';touch " + marker + ";'$(touch " + marker + ")");
    EXPECT_FALSE(m_app->acquireDevice(node.c_str(), 0x01000000));
    EXPECT_TRUE(m_log.has("error locking device " + node));
    EXPECT_NE(::access(marker.c_str(), F_OK), 0);
}

} // namespace
