// The event store's own log: every event-store unit writes its lines to syslog through this
// process-wide singleton, never through the application logger (the store sits below it and is
// shared with processes that have none). Any thread may use it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

class CDelsLogger {
public:
    // Created on first use and never destroyed, so that code running during static destruction
    // (an insertion thread being joined, say) can still log.
    static CDelsLogger& logger();

    void enable(bool on) { m_enabled = on; }
    bool enabled() const { return m_enabled; }

    // Closes syslog and opens it again with the given parameters.
    void resetParams(const char* ident, int option, int facility);

    // printf-style; the text is cut to 1023 characters.
    void logError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logDebug(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // As above, prefixed with the microsecond field of the time of day, to see how far apart
    // the steps of one operation are.
    void logErrorT(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logInfoT(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logDebugT(const char* format, ...) __attribute__((format(printf, 2, 3)));

    CDelsLogger(const CDelsLogger&) = delete;
    CDelsLogger& operator=(const CDelsLogger&) = delete;

private:
    CDelsLogger();
    ~CDelsLogger() = default;

    void emit(int priority, bool timed, const char* format, va_list args);

    std::atomic<bool> m_enabled;
    std::mutex m_openMutex;
    // openlog keeps the pointer it is given; this string outlives every use of it.
    std::string m_ident;
};
