// Device acquisition for framework applications: finds the candidate devices of a device
// specification list, locks one of them with an advisory device lock, tells the application
// which device it holds or lost, follows the gateway's "DevicePresence" / "DeviceAbsence"
// signals and re-evaluates after configuration changes. Main-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

class CVylDeviceSpecList;
class CVylEventGenerator;
class CVylYamlMixin;

enum EDeviceController {
    EDC_UNSCANNED = 0,
    EDC_ITERATING_CANDIDATES = 1,
    EDC_DEVICE_ACQUIRED = 2,
    EDC_NO_CANDIDATES = 3,
    EDC_NO_DEVICE = 4,
    EDC_CANDIDATES_EXHAUSTED = 5,
    EDC_NUM_STATES = 6,
};

// Arms the one-shot tick: calls `slot` once after `seconds` (the slot answers false). The default
// is Glib::signal_timeout().connect_seconds; tests put in their own to drive ticks by hand.
typedef std::function<sigc::connection(const sigc::slot<bool>& slot, unsigned seconds)>
    CVylDeviceTimerFactory;

class CVylDeviceControllingMixinImpl;

class CVylDeviceControllingMixin {
public:
    // `spec` belongs to the application and must outlive the mixin; null means no device.
    CVylDeviceControllingMixin(CVylEventGenerator& events,
                               sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> postDbus,
                               const CVylDeviceSpecList* spec,
                               CVylDeviceTimerFactory timers = CVylDeviceTimerFactory());
    // Leaves a held lock in place: the process is going away and the lock dies with it.
    virtual ~CVylDeviceControllingMixin();

    virtual void onDeviceAcquired(const std::string& node);
    virtual void onDeviceLost(const std::string& node);
    // true restarts with the first candidate; false stops in EDC_CANDIDATES_EXHAUSTED.
    virtual bool onDeviceCandidatesExhausted();
    virtual bool isDeviceAcquisitionEnabled() const;

    // One step of the state machine; true when a device is (or already was) held.
    bool acquireDevice();
    bool acquireDevice(const char* node, uint32_t dpi);
    bool releaseDevice();
    bool releaseDevice(const char* node, uint32_t dpi);
    // Connected to the configuration update signal; the argument is not consulted.
    void onConfigurationChange(const CVylYamlMixin* previous);

    const CVylDeviceSpecList* getDeviceSpecList() const;
    EDeviceController getDeviceState() const;
    // The node currently held, empty when none.
    const std::string& getAcquiredDevNode() const;

    CVylDeviceControllingMixin(const CVylDeviceControllingMixin&) = delete;
    CVylDeviceControllingMixin& operator=(const CVylDeviceControllingMixin&) = delete;

private:
    std::unique_ptr<CVylDeviceControllingMixinImpl> m_impl;
};
