#include "qcf_gt.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include <gio/gio.h>
#include <glibmm/main.h>
#include <lua.hpp>

#include "qcf_debug.h"
#include "qcf_lua_modules.h"

namespace QCF {

namespace {

// Longest polling period taken as written: the longest interval the main-loop timer takes
// (2^32 - 1 ms, about 49.7 days), in whole tenths. Longer ones poll at this period.
const double MAX_POLL_TENTHS = 42949672;

// Polling period of a gate in tenths of a second, 0 when it is not polled. A positive period
// shorter than a twentieth of a second still polls, at the finest step, instead of becoming 0
// (which would make the common divisor meaningless).
unsigned pollTenths(double seconds) {
    if (!(seconds > 0))
        return 0;
    double tenths = std::round(seconds * 10);
    if (tenths < 1)
        return 1;
    return static_cast<unsigned>(std::min(tenths, MAX_POLL_TENTHS));
}

unsigned gcd(unsigned a, unsigned b) {
    while (b != 0) {
        unsigned r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// Lua single-quoted string content.
std::string luaQuoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '\'')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CGateOrTrigger

CGateOrTrigger::CGateOrTrigger() {
    registerKey("body", &m_body);
    registerKey("retval", &m_retval);
    registerKey("dbus", &m_dbusSignals);
    registerKey("poll", &m_pollSeconds);
}

CGateOrTrigger& CGateOrTrigger::operator=(const CGateOrTrigger& other) {
    CVylKnownSparseMap::operator=(other);
    return *this;
}

CVylYamlMixin* CGateOrTrigger::clone() const {
    CGateOrTrigger* copy = new CGateOrTrigger();
    *copy = *this;
    return copy;
}

bool CGateOrTrigger::valid() const {
    return CVylKnownSparseMap::valid() && !m_retval.getStringRef().empty();
}

std::string CGateOrTrigger::luaText(const std::string& name) const {
    std::string text = "function " + name + "( )\n";
    if (m_body.isSet())
        text += "  " + m_body.getStringRef() + "\n";
    text += "  return (" + m_retval.getStringRef() + ")\n";
    text += "end\n";
    return text;
}

double CGateOrTrigger::pollSeconds() const {
    if (!m_pollSeconds.isSet() || !m_pollSeconds.valid())
        return 0;
    double seconds = m_pollSeconds.getValue();
    return seconds > 0 ? seconds : 0;
}

// ---------------------------------------------------------------------------------------------
// CLuaGatesAndTriggers

CLuaGatesAndTriggers::CLuaGatesAndTriggers(const char* yamlFilename)
    : m_yamlFilename(yamlFilename != nullptr ? yamlFilename : "") {
    buildLua();
}

CLuaGatesAndTriggers::CLuaGatesAndTriggers(const CLuaGatesAndTriggers& other)
    : CVylYamlMixin(), m_yamlFilename(other.m_yamlFilename),
      m_gatesTriggers(other.m_gatesTriggers) {
    buildLua();
}

CLuaGatesAndTriggers::~CLuaGatesAndTriggers() {
    closeLua();
}

CLuaGatesAndTriggers& CLuaGatesAndTriggers::operator=(const CLuaGatesAndTriggers& other) {
    if (this != &other) {
        m_yamlFilename = other.m_yamlFilename;
        m_gatesTriggers = other.m_gatesTriggers;
        buildLua();
    }
    return *this;
}

CVylYamlMixin& CLuaGatesAndTriggers::operator=(const CVylYamlMixin& other) {
    if (auto* lua = dynamic_cast<const CLuaGatesAndTriggers*>(&other))
        return *this = *lua;
    if (auto* gt = dynamic_cast<const CGatesAndTriggers*>(&other))
        return *this = gt->lua();
    clear();
    return *this;
}

bool CLuaGatesAndTriggers::operator==(const CVylYamlMixin& other) const {
    const CLuaGatesAndTriggers* lua = dynamic_cast<const CLuaGatesAndTriggers*>(&other);
    if (lua == nullptr) {
        if (auto* gt = dynamic_cast<const CGatesAndTriggers*>(&other))
            lua = &gt->lua();
    }
    return lua != nullptr && m_yamlFilename == lua->m_yamlFilename &&
           m_gatesTriggers == lua->m_gatesTriggers;
}

void CLuaGatesAndTriggers::clear() {
    // The file name stays: every parse clears the node first, and a map made by create() would
    // otherwise lose its configuration file (and `cfg`) at the first parse.
    m_gatesTriggers.clear();
    closeLua();
}

int CLuaGatesAndTriggers::_yamlParse(yaml_parser_t* parser) {
    int rc = m_gatesTriggers._yamlParse(parser);
    buildLua();
    return rc;
}

int CLuaGatesAndTriggers::_yamlEmit(yaml_emitter_t* emitter) const {
    return m_gatesTriggers._yamlEmit(emitter);
}

void CLuaGatesAndTriggers::setGate(const std::string& name, const CGateOrTrigger& gate) {
    *m_gatesTriggers.add(name) = gate;
    buildLua();
}

void CLuaGatesAndTriggers::closeLua() {
    m_refusedNames = 0;
    if (m_lua != nullptr) {
        lua_close(m_lua);
        m_lua = nullptr;
    }
}

void CLuaGatesAndTriggers::buildLua() {
    closeLua();
    m_lua = newPlatformLuaState();
    if (m_lua == nullptr)
        return;

    if (!m_yamlFilename.empty()) {
        std::string chunk = "io.input( '" + luaQuoted(m_yamlFilename) +
                            "' )\n"
                            "s = io.read( '*a' )\n"
                            "cfg = yaml.load( s )\n";
        // A missing or unreadable configuration simply leaves `cfg` unset.
        if (luaL_loadbuffer(m_lua, chunk.data(), chunk.size(), "cfg") != 0 ||
            boundedPcall(m_lua, 0, 0) != 0)
            lua_pop(m_lua, 1);
    }

    for (const auto& entry : m_gatesTriggers) {
        const std::string& name = entry.first;
        lua_getglobal(m_lua, name.c_str());
        bool taken = !lua_isnil(m_lua, -1) || name == "cfg" || name == "s";
        lua_pop(m_lua, 1);
        if (taken) {
            logError("Gate name %s is reserved: it would replace the Lua global of that name",
                     name.c_str());
            ++m_refusedNames;
            continue;
        }
        std::string text = entry.second->luaText(name);
        if (luaL_loadbuffer(m_lua, text.data(), text.size(), name.c_str()) != 0) {
            logError("Error populating the lua gate %s", name.c_str());
            lua_pop(m_lua, 1);
            continue;
        }
        if (boundedPcall(m_lua, 0, 0) != 0) {
            logError("Failed to evaluate lua gate %s into global space", name.c_str());
            lua_pop(m_lua, 1);
        }
    }
}

bool CLuaGatesAndTriggers::evalGate(const std::string& name) {
    if (m_lua == nullptr)
        return false;
    SLuaGlobalResult result;
    switch (callLuaGlobal(m_lua, name.c_str(), true, result)) {
    case ELGC_NOT_FUNCTION:
        logError("Gate %s is not a lua function", name.c_str());
        return false;
    case ELGC_FAILED:
        logError("Gate %s errored: %s", name.c_str(), result.error.c_str());
        return false;
    case ELGC_DONE:
        break;
    }
    if (result.type != LUA_TBOOLEAN) {
        logError("Gate %s returned a non boolean result", name.c_str());
        return false;
    }
    return result.boolean;
}

void CLuaGatesAndTriggers::getDbusSignals(tDbusSignalToGateSet& signals) const {
    signals.clear();
    for (const auto& entry : m_gatesTriggers) {
        const CVylYamlDynamicScalarList& list = entry.second->m_dbusSignals;
        for (size_t i = 0; i < list.getLength(); ++i)
            signals[list.getElement(i)->getString()].insert(entry.first);
    }
}

void CLuaGatesAndTriggers::getTriggers(tGateSet& triggers) const {
    triggers.clear();
    for (const auto& entry : m_gatesTriggers) {
        const CGateOrTrigger& gate = *entry.second;
        if (gate.m_dbusSignals.getLength() > 0 || gate.pollSeconds() > 0)
            triggers.insert(entry.first);
    }
}

void CLuaGatesAndTriggers::getPollingParameters(double& period, tPeriodToGateSet& table) const {
    table.clear();
    unsigned g = 0;
    for (const auto& entry : m_gatesTriggers) {
        unsigned tenths = pollTenths(entry.second->pollSeconds());
        if (tenths != 0)
            g = gcd(g, tenths);
    }
    period = g / 10.0;
    if (g == 0)
        return;
    // The multiple comes from the whole tenths: g divides each of them exactly, where the
    // quotient of two doubles (1.1 / 0.1) could land just above a whole number.
    for (const auto& entry : m_gatesTriggers) {
        unsigned tenths = pollTenths(entry.second->pollSeconds());
        if (tenths != 0)
            table[tenths / g].insert(entry.first);
    }
}

// ---------------------------------------------------------------------------------------------
// CGatesAndTriggers

CGatesAndTriggers::CGatesAndTriggers(const char* yamlFilename)
    : m_impl(new CLuaGatesAndTriggers(yamlFilename)) {}

CGatesAndTriggers::CGatesAndTriggers(const CGatesAndTriggers& other)
    : CVylYamlMixin(), m_impl(new CLuaGatesAndTriggers(*other.m_impl)) {}

CGatesAndTriggers::~CGatesAndTriggers() = default;

CGatesAndTriggers* CGatesAndTriggers::create(const char* yamlFilename) {
    return new CGatesAndTriggers(yamlFilename);
}

CGatesAndTriggers& CGatesAndTriggers::operator=(const CGatesAndTriggers& other) {
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

CVylYamlMixin& CGatesAndTriggers::operator=(const CVylYamlMixin& other) {
    *static_cast<CVylYamlMixin*>(m_impl.get()) = other;
    return *this;
}

bool CGatesAndTriggers::operator==(const CVylYamlMixin& other) const {
    return *m_impl == other;
}

// ---------------------------------------------------------------------------------------------
// CGatesAndTriggersRegistration

CGatesAndTriggersRegistration::CGatesAndTriggersRegistration(tTriggerSignal triggerSignal,
                                                             tPollTimerFactory timerFactory)
    : m_triggerSignal(triggerSignal), m_timerFactory(std::move(timerFactory)) {
    if (!m_timerFactory) {
        m_timerFactory = [](unsigned intervalMs, const sigc::slot<bool>& tick) {
            return Glib::signal_timeout().connect(tick, intervalMs);
        };
    }
}

CGatesAndTriggersRegistration::~CGatesAndTriggersRegistration() {
    deregisterGatesAndTriggers();
}

void CGatesAndTriggersRegistration::registerGatesAndTriggers(
    const CGatesAndTriggers& gt, bool evaluateNow,
    const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    deregisterGatesAndTriggers();
    m_gatesTriggers.reset(static_cast<CGatesAndTriggers*>(gt.clone()));
    m_gatesTriggers->getPollingParameters(m_pollPeriod, m_periodGateSet);
    m_gatesTriggers->getDbusSignals(m_dbusGateSet);

    // In 64 bits: a period past the timer's range must not wrap into a short interval.
    unsigned long long wantedMs = static_cast<unsigned long long>(m_pollPeriod * 1000);
    unsigned intervalMs = static_cast<unsigned>(std::min<unsigned long long>(wantedMs, UINT_MAX));
    if (intervalMs != 0)
        m_gtPollConn = m_timerFactory(
            intervalMs, sigc::mem_fun(*this, &CGatesAndTriggersRegistration::pollTick));

    m_connection = connection;
    for (const auto& entry : m_dbusGateSet) {
        const std::string& key = entry.first;
        size_t dot = key.rfind('.');
        if (dot == std::string::npos)
            continue;
        std::string interface = key.substr(0, dot);
        std::string member = key.substr(dot + 1);
        logDebug("Subscribing to DBUS signal: interface=%s signal=%s", interface.c_str(),
                 member.c_str());
        if (!connection || connection->is_closed()) {
            logError("Could not subscribe to DBUS signal. DBUS Connection is closed");
            continue;
        }
        // GDBus refuses malformed names with a critical warning only; say which entry it was.
        if (!g_dbus_is_interface_name(interface.c_str()) ||
            !g_dbus_is_member_name(member.c_str())) {
            logError("Ignoring malformed DBUS signal %s of gates and triggers", key.c_str());
            continue;
        }
        guint id = connection->signal_subscribe(
            [this](const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&,
                   const Glib::ustring&, const Glib::ustring& iface, const Glib::ustring& name,
                   const Glib::VariantContainerBase&) {
                try {
                    onDbusSignal(iface.raw(), name.raw());
                } catch (const std::exception& e) {
                    logError("Gates and Triggers Dbus Callback failed: %s", e.what());
                } catch (...) {
                    logError("Gates and Triggers Dbus Callback failed");
                }
            },
            "", interface, member, "", "");
        if (id != 0)
            m_gtDbusConns.push_back(id);
    }

    if (evaluateNow) {
        tGateSet triggers;
        m_gatesTriggers->getTriggers(triggers);
        std::vector<std::string> fired;
        for (const std::string& name : triggers)
            if (m_gatesTriggers->evalGate(name))
                fired.push_back(name);
        announce(fired, m_generation);
    }
}

void CGatesAndTriggersRegistration::deregisterGatesAndTriggers() {
    ++m_generation;
    m_gatesTriggers.reset();
    m_gtPollConn.disconnect();
    if (m_connection) {
        for (guint id : m_gtDbusConns)
            m_connection->signal_unsubscribe(id);
    }
    m_connection.reset();
    m_gtDbusConns.clear();
    m_pollCount = 0;
    m_pollPeriod = 0;
    m_periodGateSet.clear();
    m_dbusGateSet.clear();
}

bool CGatesAndTriggersRegistration::pollTick() {
    try {
        pollOnce();
    } catch (const std::exception& e) {
        logError("Gates and triggers poll failed: %s", e.what());
    } catch (...) {
        logError("Gates and triggers poll failed");
    }
    return true;
}

void CGatesAndTriggersRegistration::pollOnce() {
    if (!m_gatesTriggers)
        return;
    ++m_pollCount;
    std::vector<std::string> fired;
    for (const auto& entry : m_periodGateSet) {
        if (entry.first == 0 || m_pollCount % entry.first != 0)
            continue;
        for (const std::string& name : entry.second) {
            bool result = m_gatesTriggers->evalGate(name);
            logDebug("Evaluating trigger %s result is %s", name.c_str(), result ? "true" : "false");
            if (result)
                fired.push_back(name);
        }
    }
    announce(fired, m_generation);
}

void CGatesAndTriggersRegistration::onDbusSignal(const std::string& interface,
                                                 const std::string& member) {
    logDebug("Gates and Triggers Dbus Callback: interface=%s signal=%s", interface.c_str(),
             member.c_str());
    if (!m_gatesTriggers)
        return;
    auto it = m_dbusGateSet.find(interface + "." + member);
    if (it == m_dbusGateSet.end())
        return;
    std::vector<std::string> fired;
    for (const std::string& name : it->second) {
        bool result = m_gatesTriggers->evalGate(name);
        logDebug("Tested gate %s and result was %s", name.c_str(), result ? "true" : "false");
        if (result)
            fired.push_back(name);
    }
    announce(fired, m_generation);
}

void CGatesAndTriggersRegistration::announce(const std::vector<std::string>& names,
                                             unsigned generation) {
    // A handler may deregister or replace the registration; names evaluated by the old one are
    // not announced after that.
    for (const std::string& name : names) {
        if (generation != m_generation)
            return;
        m_triggerSignal.emit(name);
    }
}

} // namespace QCF
