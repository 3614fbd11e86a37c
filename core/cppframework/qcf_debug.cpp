#include "qcf_debug.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <unistd.h>

#include "delsbase.h"
#include "locations.h"
#include "vyl_fs.h"

namespace {

const char* const kLayout = "%d{%H:%M:%S,%q} %p: %m%n";
const long kMaxFileBytes = 1048576;

std::mutex s_clockMutex;
std::function<time_t()> s_clock;

std::mutex s_observerMutex;
std::function<void(CVylLogLevel, const std::string&)> s_observer;
std::atomic<bool> s_observed{false};

CVylLogger* s_instance = nullptr;

std::string utcDate(time_t when) {
    struct tm utc;
    ::gmtime_r(&when, &utc);
    char text[16];
    ::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

void notifyObserver(CVylLogLevel level, const std::string& text) {
    std::function<void(CVylLogLevel, const std::string&)> observer;
    {
        std::lock_guard<std::mutex> lock(s_observerMutex);
        observer = s_observer;
    }
    if (observer)
        observer(level, text);
}

// Formats at most LINE_BYTES - 1 characters: longer texts are cut, never overrun. Texts from
// outside (bus arguments, terminal fields, device names) end up in lines, so control characters
// are written as escapes: a line end or a terminal escape sequence cannot forge or hide lines.
// Idempotent, since an escaped line holds no control character any more.
std::string format(const char* fmt, va_list args) {
    char line[CVylDebugLog::LINE_BYTES];
    int n = std::vsnprintf(line, sizeof line, fmt ? fmt : "", args);
    if (n < 0)
        line[0] = '\0';
    std::string text;
    for (const char* c = line; *c; ++c) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte == '\r')
            text += "\\r";
        else if (byte == '\n')
            text += "\\n";
        else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            text += escape;
        } else
            text += *c;
    }
    if (text.size() >= CVylDebugLog::LINE_BYTES)
        text.resize(CVylDebugLog::LINE_BYTES - 1);
    return text;
}

void writeToStreams(CVylLogLevel level, const std::string& text) {
    std::FILE* stream = level >= VYL_LOG_WARN ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
}

log4cplus::SharedAppenderPtr makeAppender(const std::string& name, const std::string& path,
                                          CVylLogLevel threshold) {
    log4cplus::SharedAppenderPtr appender(
        new CVylTimeOfDayRolloverAppender(path, kMaxFileBytes, 1, true));
    appender->setName(name);
    appender->setThreshold(threshold);
    appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kLayout)));
    return appender;
}

} // namespace

// ---------------------------------------------------------------------------------------------

CVylTimeOfDayRolloverAppender::CVylTimeOfDayRolloverAppender(const log4cplus::tstring& path,
                                                             long maxBytes, int backups,
                                                             bool flushEach)
    : log4cplus::RollingFileAppender(path, maxBytes, backups, flushEach), m_gmtDays(now() / 86400) {
}

void CVylTimeOfDayRolloverAppender::setClock(std::function<time_t()> clock) {
    std::lock_guard<std::mutex> lock(s_clockMutex);
    s_clock = std::move(clock);
}

time_t CVylTimeOfDayRolloverAppender::now() {
    std::lock_guard<std::mutex> lock(s_clockMutex);
    return s_clock ? s_clock() : ::time(nullptr);
}

// Called with the appender's lock held by log4cplus.
void CVylTimeOfDayRolloverAppender::append(const log4cplus::spi::InternalLoggingEvent& event) {
    time_t current = now();
    time_t today = current / 86400;
    if (today != m_gmtDays) {
        std::string date = utcDate(current);
        m_gmtDays = today;
        out.close();
        out.clear();
        size_t slash = filename.rfind('/');
        size_t start = slash == std::string::npos ? 0 : slash + 1;
        if (filename.size() >= start + date.size())
            filename.replace(start, date.size(), date);
        open(std::ios_base::out | std::ios_base::app);
    }
    log4cplus::RollingFileAppender::append(event);
}

// ---------------------------------------------------------------------------------------------

CVylDebugLog::CVylDebugLog(const char* appName, const char* logDir)
    : m_appName(appName ? appName : "") {
    if (appName) {
        m_dir = logDir ? logDir : getLocation(LOG_DIR_INDEX);
        open();
    }
    // Fatal lines and internal errors are also events of the gateway (message 274).
    mkpath(getLocation(DELS_DB_DIR_INDEX).c_str(), 0755);
    try {
        m_delsSource.reset(
            CDelsEventSource::create(getLocation(DELS_DB_FILE_INDEX), DNT_ORIGIN, true, false));
        CDelsEventSource* source = m_delsSource.get();
        m_eventSink = [source](int severity, const std::string& text) {
            CDelsEvent event(274, static_cast<DelsSeverity>(severity),
                             static_cast<unsigned>(::getpid()), 0, text.c_str());
            source->sendEvent(event);
        };
    } catch (const std::exception& e) {
        logError("failed to construct DELS event source: %s", e.what());
    }
}

CVylDebugLog::~CVylDebugLog() = default;

void CVylDebugLog::open() {
    mkpath(m_dir.c_str(), 0755);
    std::string date = utcDate(CVylTimeOfDayRolloverAppender::now());
    std::string appPath = m_dir + "/" + date + m_appName + ".log";
    std::string criticalPath = m_dir + "/" + date + "critical.log";

    m_logger = std::make_shared<log4cplus::Logger>(log4cplus::Logger::getInstance(m_appName));
    m_logger->setLogLevel(log4cplus::TRACE_LOG_LEVEL);
    m_logger->setAdditivity(false);
    m_logger->removeAllAppenders();
    m_logger->addAppender(
        makeAppender("app", appPath, m_appThreshold.load(std::memory_order_relaxed)));
    m_logger->addAppender(makeAppender("critical", criticalPath, VYL_LOG_ERROR));
}

void CVylDebugLog::suspend() {
    if (!m_logger)
        return;
    m_logger->removeAllAppenders();
    m_logger.reset();
    log4cplus::deinitialize();
}

void CVylDebugLog::resume() {
    if (m_logger || m_appName.empty())
        return;
    log4cplus::initialize();
    open();
}

int CVylDebugLog::mkpath(const char* path, mode_t mode) {
    if (!path)
        return -1;
    if (vyl::makeDirs(path, mode) == 0)
        return 0;
    return errno == ENOMEM ? 1 : -1;
}

bool CVylDebugLog::wants(CVylLogLevel level) const {
    if (!m_logger)
        return true;
    // The critical log takes errors whatever the application log's threshold is.
    return level >= std::min<int>(m_appThreshold.load(std::memory_order_relaxed), VYL_LOG_ERROR);
}

void CVylDebugLog::log(CVylLogLevel level, const char* fmt, va_list args, int eventSeverity) {
    if (eventSeverity == NO_EVENT && !wants(level) && !s_observed.load(std::memory_order_relaxed))
        return;
    std::string text = format(fmt, args);
    if (m_logger) {
        if (m_logger->isEnabledFor(level))
            m_logger->forcedLog(level, text);
    } else {
        writeToStreams(level, text);
    }
    notifyObserver(level, text);
    if (eventSeverity != NO_EVENT && m_eventSink) {
        try {
            m_eventSink(eventSeverity, text);
        } catch (const std::exception& e) {
            std::string failure =
                std::string("Could not generate GatewayCoreSoftwareInternalException: ") + e.what();
            if (m_logger)
                m_logger->forcedLog(VYL_LOG_ERROR, failure);
            else
                writeToStreams(VYL_LOG_ERROR, failure);
        }
    }
}

void CVylDebugLog::logError(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log(VYL_LOG_ERROR, fmt, args, 1);
    va_end(args);
}

void CVylDebugLog::setLogThreshold(CVylLogLevel level) {
    m_appThreshold.store(level, std::memory_order_relaxed);
    if (!m_logger)
        return;
    log4cplus::SharedAppenderPtr app = m_logger->getAppender("app");
    if (app)
        app->setThreshold(level);
}

void CVylDebugLog::setEventSink(CVylLogEventSink sink) {
    m_eventSink = std::move(sink);
}

// ---------------------------------------------------------------------------------------------

CVylLogger::CVylLogger(const char* appName, const char* logDir) : m_debug(appName, logDir) {}

bool CVylLogger::createInstance(const char* appName, const char* logDir) {
    if (s_instance)
        return false;
    log4cplus::initialize();
    s_instance = new CVylLogger(appName, logDir);
    return true;
}

CVylLogger* CVylLogger::instance() {
    return s_instance;
}

#define VYL_LOG_BODY(level, severity)                                                              \
    va_list args;                                                                                  \
    va_start(args, fmt);                                                                           \
    m_debug.log(level, fmt, args, severity);                                                       \
    va_end(args)

void CVylLogger::logTrace(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_TRACE, CVylDebugLog::NO_EVENT);
}
void CVylLogger::logDebug(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_DEBUG, CVylDebugLog::NO_EVENT);
}
void CVylLogger::logInfo(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_INFO, CVylDebugLog::NO_EVENT);
}
void CVylLogger::logWarning(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_WARN, CVylDebugLog::NO_EVENT);
}
void CVylLogger::logError(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_ERROR, CVylDebugLog::NO_EVENT);
}
void CVylLogger::logCritical(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_FATAL, CVylDebugLog::NO_EVENT);
}
void CVylLogger::logFatal(const char* fmt, ...) {
    VYL_LOG_BODY(VYL_LOG_FATAL, 0);
}

void CVylLogger::setLogThreshold(CVylLogLevel level) {
    m_debug.setLogThreshold(level);
}

void CVylLogger::setEventSink(CVylLogEventSink sink) {
    m_debug.setEventSink(std::move(sink));
}

void CVylLogger::suspend() {
    m_debug.suspend();
}

void CVylLogger::resume() {
    m_debug.resume();
}

// ---------------------------------------------------------------------------------------------

namespace QCF {

bool logEnabled(CVylLogLevel level) {
    CVylLogger* logger = CVylLogger::instance();
    return !logger || logger->wants(level) || s_observed.load(std::memory_order_relaxed);
}

namespace {
void logVia(CVylLogLevel level, int severity, const char* fmt, va_list args) {
    if (severity == CVylDebugLog::NO_EVENT && !logEnabled(level))
        return;
    if (CVylLogger* logger = CVylLogger::instance()) {
        // Re-enter through the singleton's formatter so that the event seam applies.
        std::string text = format(fmt, args);
        switch (level) {
        case VYL_LOG_TRACE:
            logger->logTrace("%s", text.c_str());
            break;
        case VYL_LOG_DEBUG:
            logger->logDebug("%s", text.c_str());
            break;
        case VYL_LOG_INFO:
            logger->logInfo("%s", text.c_str());
            break;
        case VYL_LOG_WARN:
            logger->logWarning("%s", text.c_str());
            break;
        case VYL_LOG_ERROR:
            logger->logError("%s", text.c_str());
            break;
        default:
            if (severity == 0)
                logger->logFatal("%s", text.c_str());
            else
                logger->logCritical("%s", text.c_str());
            break;
        }
        return;
    }
    std::string text = format(fmt, args);
    writeToStreams(level, text);
    notifyObserver(level, text);
}
} // namespace

#define QCF_LOG_BODY(level, severity)                                                              \
    va_list args;                                                                                  \
    va_start(args, fmt);                                                                           \
    logVia(level, severity, fmt, args);                                                            \
    va_end(args)

void logTrace(const char* fmt, ...) {
    QCF_LOG_BODY(VYL_LOG_TRACE, CVylDebugLog::NO_EVENT);
}
void logDebug(const char* fmt, ...) {
    QCF_LOG_BODY(VYL_LOG_DEBUG, CVylDebugLog::NO_EVENT);
}
void logInfo(const char* fmt, ...) {
    QCF_LOG_BODY(VYL_LOG_INFO, CVylDebugLog::NO_EVENT);
}
void logWarning(const char* fmt, ...) {
    QCF_LOG_BODY(VYL_LOG_WARN, CVylDebugLog::NO_EVENT);
}
void logError(const char* fmt, ...) {
    QCF_LOG_BODY(VYL_LOG_ERROR, CVylDebugLog::NO_EVENT);
}
void logFatal(const char* fmt, ...) {
    QCF_LOG_BODY(VYL_LOG_FATAL, 0);
}

void setLogObserver(std::function<void(CVylLogLevel, const std::string&)> observer) {
    std::lock_guard<std::mutex> lock(s_observerMutex);
    s_observed = static_cast<bool>(observer);
    s_observer = std::move(observer);
}

} // namespace QCF
