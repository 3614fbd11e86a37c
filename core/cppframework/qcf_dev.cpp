#include "qcf_dev.h"

#include <cstdlib>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glibmm/main.h>

#include "delstypes.h"
#include "locations.h"
#include "qcf_debug.h"
#include "qcf_eventgen.h"
#include "vyl_devlock.h"
#include "vyl_devspec.h"
#include "vyl_sysfs.h"

namespace {

const char* const kDeviceEventsInterface = "com.ulvaro.devices.IDeviceEvents";
const char* const kPresenceMember = "DevicePresence";
const char* const kAbsenceMember = "DeviceAbsence";
const unsigned kTickSeconds = 2;
const uint32_t kUnknownDpi = 0xFF000000u;

// The text as one word for /bin/sh, whatever it holds.
std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// Runs the lockdev program with `option` on `node`; true when it exits with status 0.
bool runLockdev(const char* option, const std::string& node) {
    // A node that reads as an option would change what the program does, quoted or not.
    if (node.empty() || node[0] == '-')
        return false;
    std::string command = std::string("/usr/sbin/lockdev ") + option + " " + shellQuote(node);
    int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The node's path below the platform root: "$VYL_ROOT/dev/ttyS0" -> "/dev/ttyS0".
std::string withoutRoot(const std::string& node) {
    std::string root = vyl::rootPrefix();
    if (!root.empty() && node.size() > root.size() && node.compare(0, root.size(), root) == 0 &&
        node[root.size()] == '/')
        return node.substr(root.size());
    return node;
}

// Whether the device name of a presence or absence signal ("ttyUSB0") designates `node`.
// Nodes are "/dev/NAME" below the platform root; a node elsewhere must be named in full.
bool namesNode(const std::string& name, const std::string& node) {
    if (name.empty())
        return false;
    std::string path = withoutRoot(node);
    static const std::string kDev = "/dev/";
    if (path.compare(0, kDev.size(), kDev) == 0 && name == path.substr(kDev.size()))
        return true;
    return name == path || name == node;
}

} // namespace

class CVylDeviceControllingMixinImpl : public sigc::trackable {
public:
    CVylDeviceControllingMixinImpl(CVylDeviceControllingMixin* parent, CVylEventGenerator& events,
                                   const CVylDeviceSpecList* spec, CVylDeviceTimerFactory timers)
        : m_eventGen(events), m_deviceSpec(spec), m_deviceCandidate(m_deviceCandidates.end()),
          m_parent(parent), m_timers(std::move(timers)) {
        if (!m_timers) {
            m_timers = [](const sigc::slot<bool>& slot, unsigned seconds) {
                return Glib::signal_timeout().connect_seconds(slot, seconds);
            };
        }
    }

    ~CVylDeviceControllingMixinImpl() {
        m_tick.disconnect();
        // The subscriptions carry a pointer to this object: they must not outlive it.
        if (m_connection && !m_connection->is_closed()) {
            for (guint id : {m_presenceId, m_absenceId}) {
                if (id)
                    g_dbus_connection_signal_unsubscribe(m_connection->gobj(), id);
            }
        }
    }

    void registerSignals(Glib::RefPtr<Gio::DBus::Connection> connection);
    bool acquireDevice();
    bool acquireDevice(const char* node, uint32_t dpi);
    bool releaseDevice();
    bool releaseDevice(const char* node, uint32_t dpi);
    void onConfigurationChange(const CVylYamlMixin* previous);

    const CVylDeviceSpecList* getDeviceSpecList() const { return m_deviceSpec; }
    EDeviceController getDeviceState() const { return m_deviceState; }
    const std::string& getAcquiredDevNode() const { return m_acquiredDevNode; }

    // State names of the log lines, in the order of EDeviceController.
    static const char* const m_deviceStateNames[EDC_NUM_STATES];

private:
    void changeState(EDeviceController state);
    void scanDevices();
    void scheduleTick();
    bool onTimerTick();
    bool enabled() const { return m_parent->isDeviceAcquisitionEnabled(); }
    // Disabled acquisition from a searching state: stop searching.
    void toNoDevice();
    void addNewCandidates();
    void onDevicePresence(const std::string& name, uint32_t dpi);
    void onDeviceAbsence(const std::string& name, uint32_t dpi);
    uint32_t dpiOf(const std::string& sysfsPath) const;

    static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* member, GVariant* parameters, gpointer self);

    std::unique_ptr<CVylYamlMixin> m_cachedDeviceSpec;
    bool m_cachedEnabled = false;
    EDeviceController m_deviceState = EDC_UNSCANNED;
    CVylEventGenerator& m_eventGen;
    const CVylDeviceSpecList* m_deviceSpec;
    std::map<std::string, std::string> m_deviceCandidates;
    std::map<std::string, std::string>::iterator m_deviceCandidate;
    std::string m_acquiredDevNode;
    CVylDeviceControllingMixin* m_parent;

    CVylDeviceTimerFactory m_timers;
    sigc::connection m_tick;
    bool m_tickPending = false;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    guint m_presenceId = 0;
    guint m_absenceId = 0;
};

const char* const CVylDeviceControllingMixinImpl::m_deviceStateNames[EDC_NUM_STATES] = {
    "UNSCANNED", "ITERATING_CANDIDATES", "DEVICE_ACQUIRED", "NO_CANDIDATES",
    "NO_DEVICE", "CANDIDATES_EXHAUSTED",
};

void CVylDeviceControllingMixinImpl::changeState(EDeviceController state) {
    if (state == m_deviceState)
        return;
    QCF::logDebug("%s -> %s", m_deviceStateNames[m_deviceState], m_deviceStateNames[state]);
    m_deviceState = state;
}

void CVylDeviceControllingMixinImpl::scanDevices() {
    // A rescan starts from nothing: candidates of an earlier search may be gone.
    m_deviceCandidates.clear();
    m_deviceCandidate = m_deviceCandidates.end();
    if (!m_deviceSpec || !enabled()) {
        changeState(EDC_NO_DEVICE);
        return;
    }
    int n = m_deviceSpec->findDevices(m_deviceCandidates);
    if (n < 0) {
        QCF::logError("error searching device candidates");
        m_deviceCandidates.clear();
        m_deviceCandidate = m_deviceCandidates.end();
        changeState(EDC_UNSCANNED);
    } else if (n == 0 || m_deviceCandidates.empty()) {
        m_deviceCandidate = m_deviceCandidates.end();
        changeState(EDC_NO_CANDIDATES);
    } else {
        QCF::logInfo("scanned %d devices", n);
        m_deviceCandidate = m_deviceCandidates.begin();
        changeState(EDC_ITERATING_CANDIDATES);
    }
}

void CVylDeviceControllingMixinImpl::scheduleTick() {
    // One tick at a time: a second one would shorten the pause between two candidates.
    if (m_tickPending)
        return;
    m_tickPending = true;
    m_tick =
        m_timers(sigc::mem_fun(*this, &CVylDeviceControllingMixinImpl::onTimerTick), kTickSeconds);
}

bool CVylDeviceControllingMixinImpl::onTimerTick() {
    m_tickPending = false;
    try {
        if (m_deviceState == EDC_UNSCANNED || m_deviceState == EDC_ITERATING_CANDIDATES)
            acquireDevice();
    } catch (const std::exception& e) {
        QCF::logError("device acquisition tick failed: %s", e.what());
    }
    return false;
}

void CVylDeviceControllingMixinImpl::toNoDevice() {
    changeState(EDC_NO_DEVICE);
    QCF::logDebug("device acquisition disabled");
}

uint32_t CVylDeviceControllingMixinImpl::dpiOf(const std::string& sysfsPath) const {
    return llGetDpiFromSysfs(sysfsPath.c_str());
}

bool CVylDeviceControllingMixinImpl::acquireDevice() {
    switch (m_deviceState) {
    case EDC_UNSCANNED:
        if (!enabled()) {
            toNoDevice();
            return false;
        }
        scanDevices();
        if (m_deviceState == EDC_UNSCANNED)
            return false;
        return acquireDevice();
    case EDC_ITERATING_CANDIDATES:
        if (!enabled()) {
            toNoDevice();
            return false;
        }
        if (m_deviceCandidate != m_deviceCandidates.end()) {
            // Copies: the lock callbacks may rescan and so replace the map.
            std::string node = m_deviceCandidate->first;
            uint32_t dpi = dpiOf(m_deviceCandidate->second);
            if (acquireDevice(node.c_str(), dpi))
                return true;
            if (m_deviceState == EDC_ITERATING_CANDIDATES &&
                m_deviceCandidate != m_deviceCandidates.end())
                ++m_deviceCandidate;
            scheduleTick();
            return false;
        }
        changeState(EDC_CANDIDATES_EXHAUSTED);
        if (!m_parent->onDeviceCandidatesExhausted())
            return false;
        m_deviceCandidate = m_deviceCandidates.begin();
        changeState(EDC_ITERATING_CANDIDATES);
        scheduleTick();
        return false;
    case EDC_DEVICE_ACQUIRED:
        QCF::logDebug("device already acquired");
        return true;
    case EDC_NO_CANDIDATES:
        QCF::logDebug("no devices to attempt to acquire");
        return false;
    case EDC_NO_DEVICE:
        if (!enabled()) {
            QCF::logDebug("device acquisition disabled");
            return false;
        }
        changeState(EDC_UNSCANNED);
        scheduleTick();
        return false;
    case EDC_CANDIDATES_EXHAUSTED:
        if (!enabled()) {
            toNoDevice();
            return false;
        }
        m_deviceCandidate = m_deviceCandidates.begin();
        changeState(EDC_ITERATING_CANDIDATES);
        scheduleTick();
        return false;
    case EDC_NUM_STATES:
        break;
    }
    return false;
}

bool CVylDeviceControllingMixinImpl::acquireDevice(const char* node, uint32_t dpi) {
    if (!node || !*node) {
        QCF::logWarning("error locking device %s", node ? node : "(null)");
        return false;
    }
    bool locked = false;
    pid_t holder = dev_lock(node);
    if (holder == 0) {
        locked = true;
    } else if (holder < 0) {
        locked = runLockdev("-l", node);
        if (!locked)
            QCF::logWarning("error locking device %s", node);
    } else {
        QCF::logWarning("device %s already locked by PID=%d", node, static_cast<int>(holder));
        m_eventGen.devices_DeviceLockFail(dpi, getpid(), DSEV_NORMAL);
    }
    if (locked) {
        QCF::logDebug("successfully locked device %s", node);
        m_eventGen.devices_DeviceLockSuccess(dpi, getpid(), DSEV_NORMAL);
        changeState(EDC_DEVICE_ACQUIRED);
        m_acquiredDevNode = node;
        m_parent->onDeviceAcquired(m_acquiredDevNode);
    }
    return locked;
}

bool CVylDeviceControllingMixinImpl::releaseDevice(const char* node, uint32_t dpi) {
    bool unlocked = false;
    if (!node || !*node) {
        QCF::logWarning("error unlocking device %s", node ? node : "(null)");
    } else {
        pid_t result = dev_unlock(node, getpid());
        if (result == 0) {
            unlocked = true;
        } else if (result == -1) {
            unlocked = runLockdev("-u", node);
            if (!unlocked)
                QCF::logWarning("error unlocking device %s", node);
        } else {
            QCF::logWarning("failed to unlock device %s, error: %d", node,
                            static_cast<int>(result));
        }
    }
    if (unlocked) {
        QCF::logDebug("successfully unlocked device %s", node);
        m_eventGen.devices_DeviceUnlock(dpi, getpid(), DSEV_NORMAL);
        changeState(EDC_NO_DEVICE);
        if (m_acquiredDevNode == node)
            m_acquiredDevNode.clear();
    }
    scheduleTick();
    return unlocked;
}

bool CVylDeviceControllingMixinImpl::releaseDevice() {
    if (m_deviceState != EDC_DEVICE_ACQUIRED)
        return false;
    auto it = m_deviceCandidates.find(m_acquiredDevNode);
    uint32_t dpi = it == m_deviceCandidates.end() ? kUnknownDpi : dpiOf(it->second);
    // A copy: a successful release empties the member.
    std::string node = m_acquiredDevNode;
    return releaseDevice(node.c_str(), dpi);
}

void CVylDeviceControllingMixinImpl::registerSignals(
    Glib::RefPtr<Gio::DBus::Connection> connection) {
    if (connection && !connection->is_closed()) {
        if (m_connection && !m_connection->is_closed()) {
            for (guint id : {m_presenceId, m_absenceId}) {
                if (id)
                    g_dbus_connection_signal_unsubscribe(m_connection->gobj(), id);
            }
        }
        m_connection = connection;
        m_presenceId = g_dbus_connection_signal_subscribe(
            connection->gobj(), nullptr, kDeviceEventsInterface, kPresenceMember, nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &CVylDeviceControllingMixinImpl::onSignal, this, nullptr);
        m_absenceId = g_dbus_connection_signal_subscribe(
            connection->gobj(), nullptr, kDeviceEventsInterface, kAbsenceMember, nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &CVylDeviceControllingMixinImpl::onSignal, this, nullptr);
    }
    m_cachedDeviceSpec.reset(m_deviceSpec ? m_deviceSpec->clone() : nullptr);
    m_cachedEnabled = enabled();
    acquireDevice();
}

void CVylDeviceControllingMixinImpl::onSignal(GDBusConnection*, const gchar*, const gchar*,
                                              const gchar*, const gchar* member,
                                              GVariant* parameters, gpointer self) {
    auto* impl = static_cast<CVylDeviceControllingMixinImpl*>(self);
    const char* name = member ? member : "";
    try {
        if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(su)"))) {
            QCF::logWarning("ignoring %s with arguments of type %s, expected (su)", name,
                            parameters ? g_variant_get_type_string(parameters) : "()");
            return;
        }
        const gchar* device = nullptr;
        guint32 dpi = 0;
        g_variant_get(parameters, "(&su)", &device, &dpi);
        if (std::string(name) == kPresenceMember)
            impl->onDevicePresence(device, dpi);
        else if (std::string(name) == kAbsenceMember)
            impl->onDeviceAbsence(device, dpi);
    } catch (const std::exception& e) {
        QCF::logError("%s handling failed: %s", name, e.what());
    }
}

void CVylDeviceControllingMixinImpl::addNewCandidates() {
    if (!m_deviceSpec)
        return;
    std::map<std::string, std::string> found;
    if (m_deviceSpec->findDevices(found) < 0) {
        QCF::logError("error searching device candidates");
        return;
    }
    // map::insert keeps existing keys and every iterator, the iteration position included.
    m_deviceCandidates.insert(found.begin(), found.end());
}

void CVylDeviceControllingMixinImpl::onDevicePresence(const std::string& name, uint32_t dpi) {
    QCF::logDebug("Device %s is present on %d", name.c_str(), static_cast<int>(dpi));
    switch (m_deviceState) {
    case EDC_UNSCANNED:
    case EDC_NO_CANDIDATES:
    case EDC_NO_DEVICE:
    case EDC_CANDIDATES_EXHAUSTED:
        scanDevices();
        acquireDevice();
        break;
    case EDC_ITERATING_CANDIDATES:
    case EDC_DEVICE_ACQUIRED:
        addNewCandidates();
        break;
    case EDC_NUM_STATES:
        break;
    }
}

void CVylDeviceControllingMixinImpl::onDeviceAbsence(const std::string& name, uint32_t dpi) {
    QCF::logDebug("Device %s on %d is absent", name.c_str(), static_cast<int>(dpi));
    QCF::logDebug("Device State is: %s", m_deviceStateNames[m_deviceState]);
    switch (m_deviceState) {
    case EDC_ITERATING_CANDIDATES:
    case EDC_CANDIDATES_EXHAUSTED:
        for (auto it = m_deviceCandidates.begin(); it != m_deviceCandidates.end(); ++it) {
            if (!namesNode(name, it->first))
                continue;
            if (it == m_deviceCandidate)
                ++m_deviceCandidate;
            m_deviceCandidates.erase(it);
            break;
        }
        break;
    case EDC_DEVICE_ACQUIRED:
        if (namesNode(name, m_acquiredDevNode)) {
            std::string node = m_acquiredDevNode;
            releaseDevice(node.c_str(), dpi);
            m_parent->onDeviceLost(node);
            scanDevices();
        }
        break;
    default:
        break;
    }
}

void CVylDeviceControllingMixinImpl::onConfigurationChange(const CVylYamlMixin*) {
    bool changed = m_cachedDeviceSpec && m_deviceSpec && *m_cachedDeviceSpec != *m_deviceSpec;
    if (changed) {
        if (m_deviceState == EDC_DEVICE_ACQUIRED) {
            std::map<std::string, std::string> found;
            int n = m_deviceSpec->findDevices(found);
            // A failed search says nothing about the held device: keep it.
            bool gone = n >= 0 && found.count(m_acquiredDevNode) == 0;
            if (gone || !enabled())
                releaseDevice();
        } else {
            scanDevices();
            // Without a tick the new candidates would wait for an outside nudge.
            if (m_deviceState == EDC_ITERATING_CANDIDATES)
                scheduleTick();
        }
    }
    m_cachedDeviceSpec.reset(m_deviceSpec ? m_deviceSpec->clone() : nullptr);
}

// ---------------------------------------------------------------------------------------------

CVylDeviceControllingMixin::CVylDeviceControllingMixin(
    CVylEventGenerator& events, sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> postDbus,
    const CVylDeviceSpecList* spec, CVylDeviceTimerFactory timers)
    : m_impl(new CVylDeviceControllingMixinImpl(this, events, spec, std::move(timers))) {
    postDbus.connect(sigc::mem_fun(*m_impl, &CVylDeviceControllingMixinImpl::registerSignals));
}

CVylDeviceControllingMixin::~CVylDeviceControllingMixin() = default;

void CVylDeviceControllingMixin::onDeviceAcquired(const std::string&) {}

void CVylDeviceControllingMixin::onDeviceLost(const std::string&) {}

bool CVylDeviceControllingMixin::onDeviceCandidatesExhausted() {
    return true;
}

bool CVylDeviceControllingMixin::isDeviceAcquisitionEnabled() const {
    return false;
}

bool CVylDeviceControllingMixin::acquireDevice() {
    return m_impl->acquireDevice();
}

bool CVylDeviceControllingMixin::acquireDevice(const char* node, uint32_t dpi) {
    return m_impl->acquireDevice(node, dpi);
}

bool CVylDeviceControllingMixin::releaseDevice() {
    return m_impl->releaseDevice();
}

bool CVylDeviceControllingMixin::releaseDevice(const char* node, uint32_t dpi) {
    return m_impl->releaseDevice(node, dpi);
}

void CVylDeviceControllingMixin::onConfigurationChange(const CVylYamlMixin* previous) {
    m_impl->onConfigurationChange(previous);
}

const CVylDeviceSpecList* CVylDeviceControllingMixin::getDeviceSpecList() const {
    return m_impl->getDeviceSpecList();
}

EDeviceController CVylDeviceControllingMixin::getDeviceState() const {
    return m_impl->getDeviceState();
}

const std::string& CVylDeviceControllingMixin::getAcquiredDevNode() const {
    return m_impl->getAcquiredDevNode();
}
