#include "qcf_app.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

#include <fcntl.h>
#include <giomm/init.h>
#include <glibmm/main.h>
#include <glibmm/optioncontext.h>
#include <glibmm/optionentry.h>
#include <glibmm/optiongroup.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delsbase.h"
#include "locations.h"
#include "qcf_dbus_dispatcher.h"
#include "qcf_gt.h"

namespace {

// Read end and write end of the pipe through which the signal handler wakes the main loop.
int s_unixSigFds[2] = {-1, -1};
unsigned s_dbusRetrySeconds = 60;

void unixSignalHandler(int sig) {
    int saved = errno;
    ssize_t ignored = ::write(s_unixSigFds[1], &sig, sizeof sig);
    (void)ignored;
    errno = saved;
}

template <typename T>
void addOption(Glib::OptionGroup& group, char shortName, const std::string& longName,
               const std::string& description, T& target) {
    Glib::OptionEntry entry;
    entry.set_short_name(shortName);
    entry.set_long_name(longName);
    entry.set_description(description);
    group.add_entry(entry, target);
}

void terminateHandler() {
    QCF::logFatal("Unhandled exception");
    // _Exit skips the exit handlers: write what the event sources hold first.
    CDelsEventSource::flushAll();
    std::_Exit(-1);
}

} // namespace

class CVylAppBaseImpl : public sigc::trackable {
public:
    CVylAppBaseImpl(CVylAppBase* parent, const char* appName, const char* logDir,
                    CVylLogLevel initialLevel, EVylAppType type);
    ~CVylAppBaseImpl();

    void parseCmdLine(int argc, char** argv);
    int run();
    void quit();
    void detach();
    void createPIDFile();
    void removePIDFile();
    void unixSignalInit();
    bool handleUnixSignal(Glib::IOCondition condition);
    bool connectToDbus();
    void registerGatesAndTriggers(const QCF::CGatesAndTriggers& gt, bool evaluateNow);
    void deregisterGatesAndTriggers();
    void onConnectionLost();

    std::string m_appName;
    Glib::RefPtr<Glib::MainLoop> m_mainLoop;
    bool m_daemonize = true;
    std::string m_pidLocation;
    Glib::OptionContext m_optionContext;
    Glib::OptionGroup m_optionGroup;
    Glib::RefPtr<Glib::IOChannel> m_unixSigPipe;
    Glib::RefPtr<Glib::IOChannel> m_dbusSigPipe;
    std::string m_adapterPath;
    std::shared_ptr<QCF::DBus::Object> m_adapter;
    QCF::DBus::Dispatcher m_dispatcher;
    CVylVoidSignal m_preDbusFuncs;
    CVylConnectionSignal m_postDbusFuncs;
    CVylConnectionPtrSignal m_postDbusFuncsDep;
    CVylVoidSignal m_postRunFuncs;
    CVylTriggerSignal m_triggerSignal;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    EVylAppType m_appType;
    CVylAppBase* m_parent;
    QCF::CGatesAndTriggersRegistration m_gatesTriggers;
    sigc::connection m_onTriggerConnection;

    bool m_daemonFlag = false;
    Glib::ustring m_logLevel;
    sigc::connection m_unixSigWatch;
    sigc::connection m_retryTimer;
    int m_exitStatus = 0;
    bool m_pidFileCreated = false;
};

CVylAppBaseImpl::CVylAppBaseImpl(CVylAppBase* parent, const char* appName, const char* logDir,
                                 CVylLogLevel initialLevel, EVylAppType type)
    : m_appName(appName ? appName : ""), m_mainLoop(Glib::MainLoop::create(false)),
      m_pidLocation(getLocation(PID_DIR_INDEX) + "/" + m_appName + ".pid"), m_optionContext(""),
      m_optionGroup("", "", ""), m_appType(type), m_parent(parent) {
    // Whatever umask the process was started with, nothing it creates (logs, PID file,
    // configuration) may be writable by group or others.
    ::umask(::umask(0) | 022);
    // Under a file-size limit a log or configuration write must fail and be handled, not kill
    // the process.
    ::signal(SIGXFSZ, SIG_IGN);
    CVylLogger::createInstance(appName, logDir);
    if (initialLevel != -1)
        CVylLogger::instance()->setLogThreshold(initialLevel);
    QCF::logInfo("%s Started", m_appName.c_str());
    m_preDbusFuncs.connect(sigc::mem_fun(*this, &CVylAppBaseImpl::createPIDFile));
    m_postRunFuncs.connect(sigc::mem_fun(*this, &CVylAppBaseImpl::removePIDFile));
    m_postRunFuncs.connect(sigc::mem_fun(*this, &CVylAppBaseImpl::deregisterGatesAndTriggers));
    std::set_terminate(terminateHandler);
    Gio::init();
    if (m_appType == OAT_CMD_LINE_UTILITY)
        m_daemonize = false;
    m_dispatcher.set_on_closed(sigc::mem_fun(*this, &CVylAppBaseImpl::onConnectionLost));
}

CVylAppBaseImpl::~CVylAppBaseImpl() {
    m_unixSigWatch.disconnect();
    m_retryTimer.disconnect();
}

void CVylAppBaseImpl::parseCmdLine(int argc, char** argv) {
    if (m_appType == OAT_DAEMON)
        addOption(m_optionGroup, 'd', "daemon", "Don't run this application as a daemon",
                  m_daemonFlag);
    addOption(m_optionGroup, 'l', "loglevel", "Log Level: trace, debug, info, warn, error",
              m_logLevel);
    m_optionContext.set_main_group(m_optionGroup);
    try {
        m_optionContext.parse(argc, argv);
    } catch (const Glib::Error& e) {
        std::cout << e.what() << "\n\n" << m_optionContext.get_help().raw() << std::endl;
        std::exit(0);
    }
    if (m_appType == OAT_DAEMON)
        m_daemonize = !m_daemonFlag;

    std::string wanted = m_logLevel.lowercase();
    static const struct {
        const char* name;
        CVylLogLevel level;
    } levels[] = {{"trace", VYL_LOG_TRACE},
                  {"debug", VYL_LOG_DEBUG},
                  {"info", VYL_LOG_INFO},
                  {"warn", VYL_LOG_WARN},
                  {"error", VYL_LOG_ERROR}};
    for (const auto& entry : levels)
        if (wanted == entry.name)
            CVylLogger::instance()->setLogThreshold(entry.level);
}

void CVylAppBaseImpl::createPIDFile() {
    QCF::logInfo("Creating PID file %s, PID is %d", m_pidLocation.c_str(), ::getpid());
    CVylDebugLog::mkpath(getLocation(PID_DIR_INDEX).c_str(), 0755);

    // Exclusive creation; an existing file is stale unless it names a live process.
    int fd = ::open(m_pidLocation.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        int other = 0;
        if (FILE* existing = std::fopen(m_pidLocation.c_str(), "r")) {
            if (std::fscanf(existing, "%d", &other) != 1)
                other = 0; // no number: treat as stale
            std::fclose(existing);
        }
        // Our own PID in the file (PID 1 in a container, a PID reused after a reboot) is
        // stale too: that process is this one, not another instance.
        if (other > 0 && other != ::getpid() &&
            ::access(("/proc/" + std::to_string(other)).c_str(), F_OK) == 0) {
            QCF::logFatal("Could not create %s, it already exists", m_pidLocation.c_str());
            std::exit(-1);
        }
        fd = ::open(m_pidLocation.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        QCF::logFatal("Could not create %s: %s", m_pidLocation.c_str(), std::strerror(errno));
        std::exit(-1);
    }
    ::fchmod(fd, 0644);
    std::string pid = std::to_string(::getpid());
    ssize_t written = ::write(fd, pid.data(), pid.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(pid.size())) {
        QCF::logFatal("Could not create %s: %s", m_pidLocation.c_str(), std::strerror(errno));
        std::exit(-1);
    }
    m_pidFileCreated = true;
}

void CVylAppBaseImpl::removePIDFile() {
    QCF::logInfo("Removing PID file %s, PID is %d", m_pidLocation.c_str(), ::getpid());
    if (m_pidFileCreated)
        ::unlink(m_pidLocation.c_str());
    m_pidFileCreated = false;
}

void CVylAppBaseImpl::unixSignalInit() {
    if (::pipe2(s_unixSigFds, O_CLOEXEC) != 0) {
        QCF::logFatal("Could not initialize Unix signal pipe");
        std::exit(1);
    }
    int readFlags = ::fcntl(s_unixSigFds[0], F_GETFL);
    if (readFlags < 0 || ::fcntl(s_unixSigFds[0], F_SETFL, readFlags | O_NONBLOCK) < 0) {
        QCF::logFatal("Error configuring Unix read pipe");
        std::exit(1);
    }
    int writeFlags = ::fcntl(s_unixSigFds[1], F_GETFL);
    if (writeFlags < 0 || ::fcntl(s_unixSigFds[1], F_SETFL, writeFlags | O_NONBLOCK) < 0) {
        QCF::logFatal("Error configuring Unix write pipe");
        std::exit(1);
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = unixSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        ::sigaction(sig, &action, nullptr);
    m_unixSigPipe = Glib::IOChannel::create_from_fd(s_unixSigFds[0]);
    m_unixSigWatch =
        Glib::signal_io().connect(sigc::mem_fun(*this, &CVylAppBaseImpl::handleUnixSignal),
                                  s_unixSigFds[0], Glib::IO_IN | Glib::IO_PRI);
}

// One signal per wake-up; a second pending signal wakes the watch again.
bool CVylAppBaseImpl::handleUnixSignal(Glib::IOCondition) {
    QCF::logInfo("Handling unix signal");
    for (;;) {
        int value = 0;
        ssize_t n = ::read(s_unixSigFds[0], &value, sizeof value);
        if (n == static_cast<ssize_t>(sizeof value)) {
            m_parent->handleSignal(value);
            return true;
        }
        if (n > 0) {
            QCF::logInfo("Read malformed unix signal value");
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return n < 0; // end of file stops the watch
    }
}

bool CVylAppBaseImpl::connectToDbus() {
    QCF::logDebug("Attempting to connect to dbus");
    bool system = ::getenv("QCF_SESSION_BUS") == nullptr;
    m_connection = m_dispatcher.create_connection(system);
    if (!m_connection)
        return true;
    if (m_adapter) {
        m_dispatcher.register_object(m_adapter);
        m_dispatcher.request_name(m_adapterPath);
    }
    m_postDbusFuncs.emit(m_connection);
    m_postDbusFuncsDep.emit(&m_connection);
    return false;
}

void CVylAppBaseImpl::registerGatesAndTriggers(const QCF::CGatesAndTriggers& gt, bool evaluateNow) {
    m_gatesTriggers.registerGatesAndTriggers(gt, evaluateNow, m_connection);
}

void CVylAppBaseImpl::deregisterGatesAndTriggers() {
    m_onTriggerConnection.disconnect();
    m_gatesTriggers.deregisterGatesAndTriggers();
}

// The bus went away under us (bus restart, daemon killed). Our exported object, name and every
// subscription are gone with it; rather than rebuild all of them, end the loop with a failure
// status so that the service manager restarts the process on a fresh connection.
void CVylAppBaseImpl::onConnectionLost() {
    QCF::logFatal("%s: D-Bus connection lost, exiting to be restarted", m_appName.c_str());
    m_exitStatus = 1;
    quit();
}

int CVylAppBaseImpl::run() {
    if (!m_mainLoop)
        return m_exitStatus;
    try {
        if (m_daemonize)
            detach();
        unixSignalInit();
        m_preDbusFuncs.emit();
        if (!m_mainLoop)
            return m_exitStatus;
        if (connectToDbus()) {
            QCF::logWarning("Could not connect to dbus. Retrying...");
            m_retryTimer = Glib::signal_timeout().connect_seconds(
                sigc::mem_fun(*this, &CVylAppBaseImpl::connectToDbus), s_dbusRetrySeconds);
        }
        if (m_mainLoop)
            m_mainLoop->run();
        m_retryTimer.disconnect();
        m_postRunFuncs.emit();
        m_connection.reset();
    } catch (const std::exception& e) {
        QCF::logFatal("Unhandled exception: %s", e.what());
        std::exit(-1);
    }
    return m_exitStatus;
}

// The logger is started again in the detached child: a child that inherited log4cplus's threads
// only by name would hang in its exit handler on every exit path.
void CVylAppBaseImpl::detach() {
    CVylLogger* logger = CVylLogger::instance();
    if (logger)
        logger->suspend();
    int result = ::daemon(0, 0);
    int error = errno;
    if (logger)
        logger->resume();
    if (result != 0)
        QCF::logError("Could not detach: %s", std::strerror(error));
}

void CVylAppBaseImpl::quit() {
    if (!m_mainLoop)
        return;
    if (m_mainLoop->is_running())
        m_mainLoop->quit();
    else
        m_mainLoop.reset();
}

// ---------------------------------------------------------------------------------------------

CVylAppBase::CVylAppBase(const char* appName, const char*, const char* logDir,
                         CVylLogLevel initialLevel, EVylAppType type)
    : m_impl(new CVylAppBaseImpl(this, appName, logDir, initialLevel, type)),
      m_preDbusFuncs(m_impl->m_preDbusFuncs), m_postDbusFuncs(m_impl->m_postDbusFuncsDep),
      m_postRunFuncs(m_impl->m_postRunFuncs), m_connection(m_impl->m_connection) {}

CVylAppBase::~CVylAppBase() {
    QCF::logInfo("%s Stopped", m_impl->m_appName.c_str());
}

void CVylAppBase::handleSignal(int sig) {
    QCF::logInfo("Received unix signal %d", sig);
    quit();
}

void CVylAppBase::onTrigger(const std::string&) {}

void CVylAppBase::parseCmdLine(int argc, char** argv) {
    m_impl->parseCmdLine(argc, argv);
}

void CVylAppBase::setDbusAdapter(std::shared_ptr<QCF::DBus::Object>& adapter,
                                 const std::string& busName) {
    m_impl->m_adapter = adapter;
    m_impl->m_adapterPath = busName;
}

int CVylAppBase::run() {
    return m_impl->run();
}

void CVylAppBase::quit() {
    m_impl->quit();
}

Glib::RefPtr<Gio::DBus::Connection> CVylAppBase::getDbusConnection() {
    return m_impl->m_connection;
}

CVylVoidSignal CVylAppBase::preDbusSignal() {
    return m_impl->m_preDbusFuncs;
}

CVylConnectionSignal CVylAppBase::postDbusSignal() {
    return m_impl->m_postDbusFuncs;
}

CVylVoidSignal CVylAppBase::postRunSignal() {
    return m_impl->m_postRunFuncs;
}

CVylTriggerSignal CVylAppBase::onTriggerSignal() {
    return m_impl->m_triggerSignal;
}

void CVylAppBase::registerGatesAndTriggers(const QCF::CGatesAndTriggers& gt, bool evaluateNow) {
    m_impl->deregisterGatesAndTriggers();
    m_impl->registerGatesAndTriggers(gt, evaluateNow);
}

void CVylAppBase::registerGatesAndTriggers(const QCF::CGatesAndTriggers* gt, bool evaluateNow) {
    m_impl->deregisterGatesAndTriggers();
    if (!gt)
        return;
    m_impl->m_onTriggerConnection =
        m_impl->m_triggerSignal.connect([this](const std::string& name) { onTrigger(name); });
    m_impl->registerGatesAndTriggers(*gt, evaluateNow);
}

void CVylAppBase::deregisterGatesAndTriggers() {
    m_impl->deregisterGatesAndTriggers();
}

void CVylAppBase::setDbusRetrySeconds(unsigned seconds) {
    s_dbusRetrySeconds = seconds ? seconds : 1;
}

void CVylAppBase::addCmdLine(char shortName, std::string longName, std::string description,
                             bool& target) {
    addOption(m_impl->m_optionGroup, shortName, longName, description, target);
}

void CVylAppBase::addCmdLine(char shortName, std::string longName, std::string description,
                             Glib::ustring& target) {
    addOption(m_impl->m_optionGroup, shortName, longName, description, target);
}

void CVylAppBase::addCmdLine(char shortName, std::string longName, std::string description,
                             int& target) {
    addOption(m_impl->m_optionGroup, shortName, longName, description, target);
}
