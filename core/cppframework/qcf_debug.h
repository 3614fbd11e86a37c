// Process-wide logging: one CVylLogger singleton writing through log4cplus to two daily files
// under the platform log folder, an application log (threshold follows the configured level) and
// a critical log (error and worse). Lines may be written from any thread.
#pragma once

#include <atomic>
#include <cstdarg>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include <log4cplus/fileappender.h>
#include <log4cplus/logger.h>
#include <sys/types.h>

class CDelsEventSource;

typedef int CVylLogLevel;

enum : int {
    VYL_LOG_TRACE = 0,
    VYL_LOG_DEBUG = 10000,
    VYL_LOG_INFO = 20000,
    VYL_LOG_WARN = 30000,
    VYL_LOG_ERROR = 40000,
    VYL_LOG_FATAL = 50000,
};

#define VYL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Size-based rolling file appender that also switches to a new dated file at the first line
// written after UTC midnight. The file name must end in "<YYYY-MM-DD><name>" after its last '/'.
class CVylTimeOfDayRolloverAppender : public log4cplus::RollingFileAppender {
public:
    CVylTimeOfDayRolloverAppender(const log4cplus::tstring& path, long maxFileSize,
                                  int maxBackupIndex, bool flushEach);

    // The clock used for the day number; tests inject their own.
    static void setClock(std::function<time_t()> clock);
    static time_t now();

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override;

private:
    time_t m_gmtDays;
};

// Receives the lines that must also become events in the event store: fatal lines with
// severity 0 (critical) and the logger's own internal errors with severity 1 (high).
// A logger with an application name installs one on the event database of the platform; a
// sink set afterwards replaces it.
typedef std::function<void(int severity, const std::string& text)> CVylLogEventSink;

class CVylDebugLog {
public:
    CVylDebugLog(const char* appName, const char* logDir);
    ~CVylDebugLog();

    // 0 when `path` is a directory afterwards, -1 when creating one failed, 1 out of memory.
    static int mkpath(const char* path, mode_t mode);

    void log(CVylLogLevel level, const char* format, va_list args, int eventSeverity);
    void logError(const char* format, ...) VYL_PRINTF(2, 3);
    void setLogThreshold(CVylLogLevel level);
    void setEventSink(CVylLogEventSink sink);
    // Whether a line of this level reaches a file (or the standard streams without a logger).
    bool wants(CVylLogLevel level) const;
    // See CVylLogger::suspend and resume.
    void suspend();
    void resume();

    static constexpr int NO_EVENT = -1;
    static constexpr size_t LINE_BYTES = 350;

private:
    void open();

    std::string m_appName;
    std::string m_dir;
    std::shared_ptr<log4cplus::Logger> m_logger;
    // Empty when the event database could not be opened. Declared before the sink that uses it.
    std::shared_ptr<CDelsEventSource> m_delsSource;
    CVylLogEventSink m_eventSink;
    std::atomic<int> m_appThreshold{VYL_LOG_WARN};
};

class CVylLogger {
public:
    // Creates the singleton unless one exists (then false and nothing changes).
    static bool createInstance(const char* appName, const char* logDir);
    // The singleton, null before createInstance.
    static CVylLogger* instance();

    void logTrace(const char* format, ...) VYL_PRINTF(2, 3);
    void logDebug(const char* format, ...) VYL_PRINTF(2, 3);
    void logInfo(const char* format, ...) VYL_PRINTF(2, 3);
    void logWarning(const char* format, ...) VYL_PRINTF(2, 3);
    void logError(const char* format, ...) VYL_PRINTF(2, 3);
    void logCritical(const char* format, ...) VYL_PRINTF(2, 3);
    void logFatal(const char* format, ...) VYL_PRINTF(2, 3);

    void setLogThreshold(CVylLogLevel level);
    void setEventSink(CVylLogEventSink sink);
    bool wants(CVylLogLevel level) const { return m_debug.wants(level); }
    // log4cplus's worker threads do not survive fork(), and its exit handler waits for them: a
    // forked child would never exit. suspend() shuts log4cplus down before a fork, resume() starts
    // it again on the same files in the process that goes on. Lines in between go nowhere.
    void suspend();
    void resume();

    CVylLogger(const CVylLogger&) = delete;
    CVylLogger& operator=(const CVylLogger&) = delete;

private:
    CVylLogger(const char* appName, const char* logDir);
    CVylDebugLog m_debug;
};

// Shorthands used throughout the framework and the bridge: they log through the singleton, or
// to the standard streams (warn and above to stderr) while none exists, e.g. in unit tests.
namespace QCF {
void logTrace(const char* format, ...) VYL_PRINTF(1, 2);
void logDebug(const char* format, ...) VYL_PRINTF(1, 2);
void logInfo(const char* format, ...) VYL_PRINTF(1, 2);
void logWarning(const char* format, ...) VYL_PRINTF(1, 2);
void logError(const char* format, ...) VYL_PRINTF(1, 2);
void logFatal(const char* format, ...) VYL_PRINTF(1, 2);

// Whether a line of this level would be written anywhere: callers that build costly texts for a
// line (hex dumps, escaped chunks) ask first.
bool logEnabled(CVylLogLevel level);

// Every formatted line (level, text) also goes to this observer when set; tests capture with it.
void setLogObserver(std::function<void(CVylLogLevel, const std::string&)> observer);
} // namespace QCF
