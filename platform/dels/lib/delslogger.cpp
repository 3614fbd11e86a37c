#include "delslogger.h"

#include <cstdio>
#include <sys/time.h>
#include <syslog.h>

namespace {
constexpr size_t kLineSize = 1024;
}

CDelsLogger& CDelsLogger::logger() {
    static CDelsLogger* s_logger = new CDelsLogger();
    return *s_logger;
}

CDelsLogger::CDelsLogger() : m_enabled(true), m_ident("DELS") {
    openlog(m_ident.c_str(), LOG_PID, LOG_LOCAL0);
}

void CDelsLogger::resetParams(const char* ident, int option, int facility) {
    std::lock_guard<std::mutex> lock(m_openMutex);
    // closelog drops syslog's pointer to the old identity before the string changes.
    closelog();
    m_ident = ident ? ident : "";
    openlog(m_ident.c_str(), option, facility);
}

void CDelsLogger::emit(int priority, bool timed, const char* format, va_list args) {
    if (!m_enabled) {
        return;
    }
    char text[kLineSize];
    vsnprintf(text, sizeof text, format, args);
    if (timed) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        syslog(priority, "+%03dus: %s", static_cast<int>(now.tv_usec), text);
    } else {
        syslog(priority, "%s", text);
    }
}

#define DELS_LOGGER_OP(name, priority, timed)                                                      \
    void CDelsLogger::name(const char* format, ...) {                                              \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        emit(priority, timed, format, args);                                                       \
        va_end(args);                                                                              \
    }

DELS_LOGGER_OP(logError, LOG_ERR, false)
DELS_LOGGER_OP(logInfo, LOG_INFO, false)
DELS_LOGGER_OP(logDebug, LOG_DEBUG, false)
DELS_LOGGER_OP(logErrorT, LOG_ERR, true)
DELS_LOGGER_OP(logInfoT, LOG_INFO, true)
DELS_LOGGER_OP(logDebugT, LOG_DEBUG, true)
