#include "qcf_watched.h"

#include <exception>
#include <string>

#include <gio/gio.h>
#include <glibmm/main.h>

#include "qcf_debug.h"

namespace {

const char* const WATCHDOG_SERVICE = "com.ulvaro.watchdog";
const char* const WATCHDOG_PATH = "/com/ulvaro/watchdog";
const char* const WATCHDOG_INTERFACE = "com.ulvaro.watchdog.Manager";

// Back-off factors double up to this bound, so that the delay settles at 64 seconds.
const int MAX_ATTEMPTS_FACTOR = 60;

// Deregistration runs after the main loop has ended (or from a destructor), where nothing else
// is left to wait for: a synchronous call, but one that a hung watchdog cannot stretch out.
const int DEREGISTER_TIMEOUT_MS = 2000;

// True only for a reply whose first value is boolean true. Anything else that is not a boolean
// is logged: a watchdog answering in another shape counts as refusing.
bool replyIsTrue(const char* method, GVariant* reply) {
    if (g_variant_is_of_type(reply, G_VARIANT_TYPE_TUPLE) && g_variant_n_children(reply) > 0) {
        GVariant* first = g_variant_get_child_value(reply, 0);
        bool isBoolean = g_variant_is_of_type(first, G_VARIANT_TYPE_BOOLEAN);
        bool value = isBoolean && g_variant_get_boolean(first);
        g_variant_unref(first);
        if (isBoolean)
            return value;
    }
    QCF::logError("Watchdog answered %s with '%s' instead of a boolean", method,
                  g_variant_get_type_string(reply));
    return false;
}

} // namespace

class CVylWatchedAppMixinImpl : public sigc::trackable {
public:
    CVylWatchedAppMixinImpl(const char* serviceName, int ticklePeriod,
                            CVylWatchdogTimerFactory timers);
    ~CVylWatchedAppMixinImpl();

    bool enabled() const { return m_ticklePeriod > 0; }
    bool registered() const { return m_watchdogConnected; }

    bool tickle();
    void connectToWatchdog(Glib::RefPtr<Gio::DBus::Connection> connection);
    bool connectToWatchdogX();
    void retryWatchdogConnection();
    void disconnectFromWatchdog();

private:
    enum ECall { WDC_REGISTER, WDC_TICKLE };

    // One outstanding call. It holds the cancellable it was started with: once that is
    // cancelled, the implementation may be gone and the reply is dropped unread.
    struct SPendingCall {
        CVylWatchedAppMixinImpl* impl;
        GCancellable* cancellable;
        ECall call;
    };

    static void onReply(GObject* source, GAsyncResult* result, gpointer data);
    void startCall(ECall call, const char* method, GVariant* parameters);
    void handleReply(ECall call, GVariant* reply, GError* error);
    void registerDone(bool ok);
    void tickleDone(bool ok);
    void cancelPendingCalls();
    sigc::connection arm(const sigc::slot<bool>& slot, unsigned seconds);

    const std::string m_serviceName;
    sigc::connection m_watchdogTimer;
    bool m_watchdogConnected;
    const int m_ticklePeriod;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    int m_watchdogAttempts;

    sigc::connection m_retryTimer;
    CVylWatchdogTimerFactory m_timers;
    GCancellable* m_cancellable;
    bool m_registerPending;
    bool m_ticklePending;
};

CVylWatchedAppMixinImpl::CVylWatchedAppMixinImpl(const char* serviceName, int ticklePeriod,
                                                 CVylWatchdogTimerFactory timers)
    : m_serviceName(serviceName ? serviceName : ""), m_watchdogConnected(false),
      m_ticklePeriod(ticklePeriod), m_watchdogAttempts(1), m_timers(std::move(timers)),
      m_cancellable(g_cancellable_new()), m_registerPending(false), m_ticklePending(false) {
    if (enabled())
        QCF::logDebug("%s started", "CVylWatchedAppMixinImpl");
    else
        QCF::logDebug("%s started, watchdog registration disabled", "CVylWatchedAppMixinImpl");
}

CVylWatchedAppMixinImpl::~CVylWatchedAppMixinImpl() {
    try {
        disconnectFromWatchdog();
    } catch (const std::exception& e) {
        QCF::logError("Deregistering from watchdog failed: %s", e.what());
    } catch (...) {
        QCF::logError("Deregistering from watchdog failed");
    }
    cancelPendingCalls();
    g_object_unref(m_cancellable);
    QCF::logDebug("%s deleted", "~CVylWatchedAppMixinImpl");
}

sigc::connection CVylWatchedAppMixinImpl::arm(const sigc::slot<bool>& slot, unsigned seconds) {
    if (m_timers)
        return m_timers(slot, seconds);
    return Glib::signal_timeout().connect_seconds(slot, seconds);
}

void CVylWatchedAppMixinImpl::cancelPendingCalls() {
    if (!m_registerPending && !m_ticklePending)
        return;
    g_cancellable_cancel(m_cancellable);
    g_object_unref(m_cancellable);
    m_cancellable = g_cancellable_new();
    m_registerPending = false;
    m_ticklePending = false;
}

void CVylWatchedAppMixinImpl::startCall(ECall call, const char* method, GVariant* parameters) {
    if (call == WDC_REGISTER)
        m_registerPending = true;
    else
        m_ticklePending = true;
    SPendingCall* pending =
        new SPendingCall{this, static_cast<GCancellable*>(g_object_ref(m_cancellable)), call};
    g_dbus_connection_call(m_connection->gobj(), WATCHDOG_SERVICE, WATCHDOG_PATH,
                           WATCHDOG_INTERFACE, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
                           -1, m_cancellable, &CVylWatchedAppMixinImpl::onReply, pending);
}

void CVylWatchedAppMixinImpl::onReply(GObject* source, GAsyncResult* result, gpointer data) {
    SPendingCall* pending = static_cast<SPendingCall*>(data);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!g_cancellable_is_cancelled(pending->cancellable)) {
        try {
            pending->impl->handleReply(pending->call, reply, error);
        } catch (const std::exception& e) {
            QCF::logError("Watchdog reply handling failed: %s", e.what());
        } catch (...) {
            QCF::logError("Watchdog reply handling failed");
        }
    }
    if (reply)
        g_variant_unref(reply);
    g_clear_error(&error);
    g_object_unref(pending->cancellable);
    delete pending;
}

void CVylWatchedAppMixinImpl::handleReply(ECall call, GVariant* reply, GError* error) {
    if (call == WDC_REGISTER) {
        m_registerPending = false;
        if (error)
            QCF::logError("%s", error->message);
        registerDone(!error && replyIsTrue("Register", reply));
    } else {
        m_ticklePending = false;
        if (error)
            QCF::logDebug("Tickle: %s", error->message);
        tickleDone(!error && replyIsTrue("Tickle", reply));
    }
}

void CVylWatchedAppMixinImpl::connectToWatchdog(Glib::RefPtr<Gio::DBus::Connection> connection) {
    if (!enabled())
        return;
    // A newer connection replaces the stored one even while registered, so that tickles and
    // later registrations never stay on a connection that has gone away.
    if (connection && connection != m_connection)
        m_connection = connection;
    if (m_watchdogConnected) {
        QCF::logDebug("%s already connected to watchdog", "connectToWatchdog");
        return;
    }
    if (m_registerPending) {
        // The outstanding reply decides; a second registration would only race it.
        QCF::logDebug("%s: registration with watchdog already under way", "connectToWatchdog");
        return;
    }
    m_retryTimer.disconnect();

    if (!connection) {
        m_retryTimer = arm(sigc::mem_fun(*this, &CVylWatchedAppMixinImpl::connectToWatchdogX),
                           static_cast<unsigned>(m_watchdogAttempts));
        return;
    }
    QCF::logDebug("Attempting to register with watchdog as %s", m_serviceName.c_str());
    guint32 timeout = static_cast<guint32>(m_ticklePeriod) * 2u;
    startCall(WDC_REGISTER, "Register",
              g_variant_new("(ssu)", m_serviceName.c_str(), m_serviceName.c_str(), timeout));
}

void CVylWatchedAppMixinImpl::registerDone(bool ok) {
    if (ok) {
        m_watchdogConnected = true;
        m_watchdogAttempts = 1;
        m_watchdogTimer.disconnect();
        m_watchdogTimer = arm(sigc::mem_fun(*this, &CVylWatchedAppMixinImpl::tickle),
                              static_cast<unsigned>(m_ticklePeriod));
        QCF::logDebug("Connected to watchdog, tickling every %d s", m_ticklePeriod);
        return;
    }
    m_watchdogConnected = false;
    if (m_watchdogAttempts < MAX_ATTEMPTS_FACTOR)
        m_watchdogAttempts *= 2;
    QCF::logError("Failed to register with watchdog, retrying in %d ms", m_watchdogAttempts * 1000);
    m_retryTimer.disconnect();
    m_retryTimer = arm(sigc::mem_fun(*this, &CVylWatchedAppMixinImpl::connectToWatchdogX),
                       static_cast<unsigned>(m_watchdogAttempts));
}

bool CVylWatchedAppMixinImpl::connectToWatchdogX() {
    // This timer ends by returning false; the handle must not outlive it.
    m_retryTimer = sigc::connection();
    connectToWatchdog(m_connection);
    return false;
}

bool CVylWatchedAppMixinImpl::tickle() {
    // A watchdog slower to answer than the period gets one outstanding tickle, not a pile.
    if (!enabled() || m_ticklePending || !m_connection)
        return true;
    startCall(WDC_TICKLE, "Tickle", g_variant_new("(s)", m_serviceName.c_str()));
    return true;
}

void CVylWatchedAppMixinImpl::tickleDone(bool ok) {
    if (ok || !m_watchdogConnected)
        return;
    QCF::logError("Failed to tickle watchdog, retrying");
    retryWatchdogConnection();
}

void CVylWatchedAppMixinImpl::retryWatchdogConnection() {
    m_watchdogTimer.disconnect();
    cancelPendingCalls();
    m_watchdogConnected = false;
    connectToWatchdog(m_connection);
}

void CVylWatchedAppMixinImpl::disconnectFromWatchdog() {
    // Nothing may register or tickle again after shutdown: with the timers left armed, a
    // loop that keeps running would register the application anew.
    m_retryTimer.disconnect();
    m_watchdogTimer.disconnect();
    // A registration still in flight may already have been accepted by the watchdog.
    bool mayBeRegistered = m_watchdogConnected || m_registerPending;
    cancelPendingCalls();
    if (!mayBeRegistered)
        return;
    m_watchdogConnected = false;
    QCF::logDebug("Deregistering from watchdog");
    if (!m_connection)
        return;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        m_connection->gobj(), WATCHDOG_SERVICE, WATCHDOG_PATH, WATCHDOG_INTERFACE, "Deregister",
        g_variant_new("(s)", m_serviceName.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE,
        DEREGISTER_TIMEOUT_MS, nullptr, &error);
    if (error) {
        QCF::logWarning("%s", error->message);
        g_error_free(error);
    }
    if (reply)
        g_variant_unref(reply);
}

CVylWatchedAppMixin::CVylWatchedAppMixin(const char* serviceName,
                                         CVylConnectionSignal postDbusSignal,
                                         CVylVoidSignal postRunSignal, int ticklePeriod,
                                         CVylWatchdogTimerFactory timers)
    : m_impl(new CVylWatchedAppMixinImpl(serviceName, ticklePeriod, std::move(timers))) {
    if (!m_impl->enabled())
        return;
    postDbusSignal.connect(sigc::mem_fun(*m_impl, &CVylWatchedAppMixinImpl::connectToWatchdog));
    postRunSignal.connect(sigc::mem_fun(*m_impl, &CVylWatchedAppMixinImpl::disconnectFromWatchdog));
}

CVylWatchedAppMixin::~CVylWatchedAppMixin() = default;

bool CVylWatchedAppMixin::tickle() {
    return m_impl->tickle();
}

void CVylWatchedAppMixin::connectToWatchdog(Glib::RefPtr<Gio::DBus::Connection> connection) {
    m_impl->connectToWatchdog(connection);
}

bool CVylWatchedAppMixin::connectToWatchdogX() {
    return m_impl->connectToWatchdogX();
}

void CVylWatchedAppMixin::retryWatchdogConnection() {
    m_impl->retryWatchdogConnection();
}

void CVylWatchedAppMixin::disconnectFromWatchdog() {
    m_impl->disconnectFromWatchdog();
}

bool CVylWatchedAppMixin::isWatchdogRegistered() const {
    return m_impl->registered();
}
