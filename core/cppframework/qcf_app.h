// Root of every framework application: main loop, command line, daemon mode, PID file, Unix
// signals delivered into the loop, the D-Bus connection with its retry, and the hook signals
// through which mixins and the application attach their start-up and shutdown work.
// Main-loop thread only.
#pragma once

#include <memory>
#include <string>

#include <giomm/dbusconnection.h>
#include <glibmm/ustring.h>
#include <sigc++/sigc++.h>

#include "qcf_debug.h"

namespace QCF {
namespace DBus {
class Object;
}
class CGatesAndTriggers;
} // namespace QCF

enum EVylAppType {
    OAT_DAEMON = 0,
    OAT_CMD_LINE_UTILITY = 1,
};

typedef sigc::signal<void> CVylVoidSignal;
typedef sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> CVylConnectionSignal;
typedef sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>*> CVylConnectionPtrSignal;
typedef sigc::signal<void, const std::string&> CVylTriggerSignal;

class CVylAppBaseImpl;

class CVylAppBase {
public:
    CVylAppBase(const char* appName, const char* reserved, const char* logDir,
                CVylLogLevel initialLevel, EVylAppType type);
    virtual ~CVylAppBase();

    virtual void handleSignal(int sig);
    virtual void onTrigger(const std::string& name);

    void parseCmdLine(int argc, char** argv);
    void setDbusAdapter(std::shared_ptr<QCF::DBus::Object>& adapter, const std::string& busName);
    // Runs until the main loop ends. 0 normally; non-zero when the bus connection was lost and
    // the process should be restarted by its service manager.
    int run();
    void quit();
    Glib::RefPtr<Gio::DBus::Connection> getDbusConnection();

    CVylVoidSignal preDbusSignal();
    CVylConnectionSignal postDbusSignal();
    CVylVoidSignal postRunSignal();
    CVylTriggerSignal onTriggerSignal();

    // Keeps a copy of the gates, polls its triggers and subscribes their D-Bus signals; the
    // pointer form also routes fired triggers to onTrigger().
    void registerGatesAndTriggers(const QCF::CGatesAndTriggers& gt, bool evaluateNow);
    void registerGatesAndTriggers(const QCF::CGatesAndTriggers* gt, bool evaluateNow);
    void deregisterGatesAndTriggers();

    // Seconds between two connection attempts while the bus is unreachable (60).
    static void setDbusRetrySeconds(unsigned seconds);

    CVylAppBase(const CVylAppBase&) = delete;
    CVylAppBase& operator=(const CVylAppBase&) = delete;

protected:
    void addCmdLine(char shortName, std::string longName, std::string description, bool& target);
    void addCmdLine(char shortName, std::string longName, std::string description,
                    Glib::ustring& target);
    void addCmdLine(char shortName, std::string longName, std::string description, int& target);

private:
    std::unique_ptr<CVylAppBaseImpl> m_impl;

protected:
    CVylVoidSignal m_preDbusFuncs;
    CVylConnectionPtrSignal m_postDbusFuncs;
    CVylVoidSignal m_postRunFuncs;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
};
