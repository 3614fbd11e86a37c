// The framework's platform event generator, reduced to the device-lock announcements that the
// device-controlling mixin makes. Until the event store and the shared content segment take the
// events, each announcement is one debug line. Main-loop thread only.
#pragma once

#include <cstdint>
#include <sys/types.h>

class CVylEventGenerator {
public:
    // Channels: D-Bus signals, stored events, and the system bus (else the session bus). They are
    // kept for the full generator; this one only logs.
    CVylEventGenerator(bool useDbus, bool useDels, bool useSystemBus);
    virtual ~CVylEventGenerator();

    virtual void devices_DeviceLockSuccess(uint32_t dpi, pid_t processPID, int severity);
    virtual void devices_DeviceLockFail(uint32_t dpi, pid_t processPID, int severity);
    virtual void devices_DeviceUnlock(uint32_t dpi, pid_t processPID, int severity);

    CVylEventGenerator(const CVylEventGenerator&) = delete;
    CVylEventGenerator& operator=(const CVylEventGenerator&) = delete;

protected:
    bool m_useDels;
    bool m_useDbus;
    bool m_useSystemBus;
};

// The one generator of the process, built before main with every channel on.
extern CVylEventGenerator g_eventGen;
