// Watchdog registration for framework applications: registers the application with the
// gateway's watchdog service once the bus connection exists, tickles it at a fixed period,
// registers again with a growing back-off when a call fails, and deregisters at shutdown.
// Main-loop thread only.
#pragma once

#include <functional>
#include <memory>

#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

#include "qcf_app.h"

// Arms a main-loop timer that calls `slot` every `seconds` for as long as it returns true.
// The default is Glib::signal_timeout().connect_seconds; tests put in their own to run the
// back-off without waiting for it.
typedef std::function<sigc::connection(const sigc::slot<bool>& slot, unsigned seconds)>
    CVylWatchdogTimerFactory;

class CVylWatchedAppMixinImpl;

class CVylWatchedAppMixin {
public:
    // A tickle period of 0 (or less) disables the mixin: it never talks to the watchdog.
    CVylWatchedAppMixin(const char* serviceName, CVylConnectionSignal postDbusSignal,
                        CVylVoidSignal postRunSignal, int ticklePeriod,
                        CVylWatchdogTimerFactory timers = CVylWatchdogTimerFactory());
    virtual ~CVylWatchedAppMixin();

    // Timer callback: sends "Tickle"; a failure leads to a new registration. Always true.
    bool tickle();
    void connectToWatchdog(Glib::RefPtr<Gio::DBus::Connection> connection);
    // Retry timer callback: registers over the stored connection. Always false (one-shot).
    bool connectToWatchdogX();
    void retryWatchdogConnection();
    void disconnectFromWatchdog();

    bool isWatchdogRegistered() const;

    CVylWatchedAppMixin(const CVylWatchedAppMixin&) = delete;
    CVylWatchedAppMixin& operator=(const CVylWatchedAppMixin&) = delete;

private:
    std::unique_ptr<CVylWatchedAppMixinImpl> m_impl;
};
