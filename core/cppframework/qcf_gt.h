// Gates and triggers: named boolean conditions written in Lua in the configuration. Each gate
// becomes a global Lua function in a state of its own map; a gate with D-Bus signals or a
// polling period is also a trigger, re-evaluated automatically once registered, and announced
// by name whenever it evaluates true.
//
// Configuration, one gate per key:
//   gatesTriggers:
//     wanUp:
//       body: "local x = 1"            # optional statements run before the return
//       retval: "osv.wan.active ~= nil" # the gate's result, must be a boolean
//       dbus: [ com.example.Iface.Member ]
//       poll: 2.5                       # seconds; 0 or absent means no polling
//
// Main-loop thread only; Lua states are never shared between threads.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

#include "vyl_yaml.h"
#include "vyl_yaml_dynamic.h"

struct lua_State;

namespace QCF {

typedef std::set<std::string> tGateSet;
// "interface.member" -> gates re-evaluated on that signal.
typedef std::map<std::string, tGateSet> tDbusSignalToGateSet;
// Multiple of the base polling period -> gates polled at that multiple.
typedef std::map<unsigned, tGateSet> tPeriodToGateSet;

// One gate.
class CGateOrTrigger : public CVylKnownSparseMap {
public:
    CGateOrTrigger();
    CGateOrTrigger& operator=(const CGateOrTrigger& other);
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;
    // Set members are well-formed and "retval" is not empty.
    bool valid() const override;

    // The Lua chunk that defines the gate as global function `name`.
    std::string luaText(const std::string& name) const;
    // Polling period in seconds; 0 when the gate is not polled.
    double pollSeconds() const;

    CVylScalar m_body;
    CVylScalar m_retval;
    CVylYamlDynamicScalarList m_dbusSignals;
    CVylScalarFloat m_pollSeconds;
};

typedef CVylYamlDynamicMapSK<CGateOrTrigger> tGateMap;

// The gates of one configuration with their Lua state.
class CLuaGatesAndTriggers : public CVylYamlMixin {
public:
    // `yamlFilename`, when given, is loaded into the Lua global `cfg` for the gates to read.
    explicit CLuaGatesAndTriggers(const char* yamlFilename = nullptr);
    CLuaGatesAndTriggers(const CLuaGatesAndTriggers& other);
    ~CLuaGatesAndTriggers() override;

    CLuaGatesAndTriggers& operator=(const CLuaGatesAndTriggers& other);
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override;
    bool operator==(const CVylYamlMixin& other) const override;
    // Empties the map and closes the Lua state; the configuration file name is kept.
    void clear() override;
    CVylYamlMixin* clone() const override { return new CLuaGatesAndTriggers(*this); }
    int _yamlParse(yaml_parser_t* parser) override;
    int _yamlEmit(yaml_emitter_t* emitter) const override;
    // False also when a gate is named after a Lua global (a module such as "osv" or "string",
    // a base function, `cfg`): defining it would replace what every gate relies on.
    bool valid() const override { return m_gatesTriggers.valid() && m_refusedNames == 0; }
    bool isSet() const override { return m_gatesTriggers.isSet(); }

    // The gate's boolean; false (logged) when it is missing, fails or gives a non-boolean.
    bool evalGate(const std::string& name);
    void getDbusSignals(tDbusSignalToGateSet& signals) const;
    void getTriggers(tGateSet& triggers) const;
    // `period` in seconds (0 when nothing polls) and, per multiple of it, the gates polled.
    void getPollingParameters(double& period, tPeriodToGateSet& table) const;

    const std::string& yamlFilename() const { return m_yamlFilename; }
    const tGateMap& gates() const { return m_gatesTriggers; }
    // Adds or replaces a gate and rebuilds the Lua state (for code-built maps).
    void setGate(const std::string& name, const CGateOrTrigger& gate);
    bool hasLuaState() const { return m_lua != nullptr; }

private:
    void closeLua();
    void buildLua();

    std::string m_yamlFilename;
    tGateMap m_gatesTriggers;
    lua_State* m_lua = nullptr;
    size_t m_refusedNames = 0;
};

// The configuration node type for a map of gates ("gatesTriggers"); forwards to one owned
// CLuaGatesAndTriggers.
class CGatesAndTriggers : public CVylYamlMixin {
public:
    explicit CGatesAndTriggers(const char* yamlFilename = nullptr);
    CGatesAndTriggers(const CGatesAndTriggers& other);
    ~CGatesAndTriggers() override;
    // A new, empty map whose Lua state loads `yamlFilename` into `cfg`; the caller owns it.
    static CGatesAndTriggers* create(const char* yamlFilename);

    CGatesAndTriggers& operator=(const CGatesAndTriggers& other);
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override;
    bool operator==(const CVylYamlMixin& other) const override;
    void clear() override { m_impl->clear(); }
    CVylYamlMixin* clone() const override { return new CGatesAndTriggers(*this); }
    int _yamlParse(yaml_parser_t* parser) override { return m_impl->_yamlParse(parser); }
    int _yamlEmit(yaml_emitter_t* emitter) const override { return m_impl->_yamlEmit(emitter); }
    bool valid() const override { return m_impl->valid(); }
    bool isSet() const override { return m_impl->isSet(); }

    bool evalGate(const std::string& name) { return m_impl->evalGate(name); }
    void getDbusSignals(tDbusSignalToGateSet& signals) const { m_impl->getDbusSignals(signals); }
    void getTriggers(tGateSet& triggers) const { m_impl->getTriggers(triggers); }
    void getPollingParameters(double& period, tPeriodToGateSet& table) const {
        m_impl->getPollingParameters(period, table);
    }

    const CLuaGatesAndTriggers& lua() const { return *m_impl; }
    CLuaGatesAndTriggers& lua() { return *m_impl; }

private:
    std::unique_ptr<CLuaGatesAndTriggers> m_impl;
};

// Starts a repeating main-loop timer of `intervalMs` calling `tick` (kept while it returns
// true). The default uses Glib::signal_timeout(); tests substitute their own and call
// CGatesAndTriggersRegistration::pollOnce() to step it.
typedef std::function<sigc::connection(unsigned intervalMs, const sigc::slot<bool>& tick)>
    tPollTimerFactory;

// The registered gates and triggers of an application: a kept copy of the map, the poll timer,
// the D-Bus subscriptions, and the trigger signal they feed. The application base owns one.
class CGatesAndTriggersRegistration : public sigc::trackable {
public:
    typedef sigc::signal<void, const std::string&> tTriggerSignal;

    // `triggerSignal` is emitted with the name of each trigger that evaluates true (a copy of
    // a sigc signal shares it, so the owner passes its own).
    explicit CGatesAndTriggersRegistration(tTriggerSignal triggerSignal = tTriggerSignal(),
                                           tPollTimerFactory timerFactory = nullptr);
    ~CGatesAndTriggersRegistration();

    // Replaces any previous registration: keeps a copy of `gt`, starts the poll timer at the
    // base period, subscribes the gates' D-Bus signals on `connection` (may be empty), and with
    // `evaluateNow` announces every trigger that is already true.
    void registerGatesAndTriggers(const CGatesAndTriggers& gt, bool evaluateNow,
                                  const Glib::RefPtr<Gio::DBus::Connection>& connection);
    // Stops the timer, unsubscribes, drops the kept copy. Harmless when nothing is registered.
    void deregisterGatesAndTriggers();

    // One tick of the poll timer.
    void pollOnce();
    // What the subscription of "interface.member" does when the signal arrives.
    void onDbusSignal(const std::string& interface, const std::string& member);

    tTriggerSignal triggerSignal() { return m_triggerSignal; }
    bool isRegistered() const { return m_gatesTriggers != nullptr; }
    double pollPeriod() const { return m_pollPeriod; }
    unsigned pollCount() const { return m_pollCount; }
    bool pollTimerRunning() const { return m_gtPollConn.connected(); }
    const tPeriodToGateSet& periodGateSet() const { return m_periodGateSet; }
    const tDbusSignalToGateSet& dbusGateSet() const { return m_dbusGateSet; }
    size_t dbusSubscriptionCount() const { return m_gtDbusConns.size(); }

    CGatesAndTriggersRegistration(const CGatesAndTriggersRegistration&) = delete;
    CGatesAndTriggersRegistration& operator=(const CGatesAndTriggersRegistration&) = delete;

private:
    bool pollTick();
    // Emits each name while this registration is still the one that evaluated them.
    void announce(const std::vector<std::string>& names, unsigned generation);

    tTriggerSignal m_triggerSignal;
    tPollTimerFactory m_timerFactory;
    std::unique_ptr<CGatesAndTriggers> m_gatesTriggers;
    unsigned m_pollCount = 0;
    double m_pollPeriod = 0;
    tPeriodToGateSet m_periodGateSet;
    tDbusSignalToGateSet m_dbusGateSet;
    sigc::connection m_gtPollConn;
    std::vector<guint> m_gtDbusConns;
    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    unsigned m_generation = 0;
};

} // namespace QCF
