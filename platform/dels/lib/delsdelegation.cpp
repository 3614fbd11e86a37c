#include "delsdelegation.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <lua.hpp>

#include "delslogger.h"

namespace {

const char* const kSeverityNames[] = {"Critical", "High", "Normal", "Discardable", "Archive"};

// The lines every built-in shares around its body of lines 7 to 13.
std::string builtinText(const std::string& header, const std::string& body) {
    return header +
           "\n"
           "  retval = { } -- empty array\n"
           "  -- iterate across passed events, newest to oldest\n"
           "  for i, evt in ipairs( evts ) do\n"
           "    -- don't adjust the newer events up to skip count\n"
           "    if i > skip then\n" +
           body +
           "      end\n"
           "    end\n"
           "  end\n"
           "  return retval\n"
           "end\n";
}

std::string stepText(const std::string& comment1, const std::string& comment2,
                     const std::string& assignment, const std::string& saturation) {
    return "      -- " + comment1 + "\n      -- " + comment2 + "\n      dsev = " + assignment +
           "\n      if " + saturation +
           " end\n"
           "      if dsev ~= evt.deliverySeverity then\n"
           "        -- add the event-id/delivery-severity to the return list\n"
           "        table.insert( retval, { evt.id, dsev } )\n";
}

std::string setText(const std::string& test, int to) {
    return "      if " + test +
           " then\n"
           "        -- adjust delivery severity\n"
           "        table.insert( retval, { evt.id, " +
           std::to_string(to) + " } )\n";
}

std::list<CDelsDelegation::SBuiltin> makeBuiltins() {
    std::list<CDelsDelegation::SBuiltin> table;
    // Drop functions raise the number (less urgent) up to archive, boost functions lower it.
    const struct {
        const char *name, *luaName, *comment1, *comment2, *op, *saturation;
    } steps[] = {{"dropBy", "db", "drop (increment) delivery severity and",
                  "saturate at lowest (archive=4)", " + ", "dsev > 4 then dsev = 4"},
                 {"boostBy", "bb", "boost (decrement) delivery severity and",
                  "saturate at highest (critical=0)", " - ", "dsev <= 0 then dsev = 0"}};
    for (const auto& step : steps) {
        for (int n = 4; n >= 1; --n) {
            const std::string d = std::to_string(n);
            const std::string luaName = step.luaName + d;
            table.push_back(
                {step.name + d, luaName,
                 builtinText("function " + luaName + "( evts, skip )",
                             stepText(step.comment1, step.comment2,
                                      "evt.deliverySeverity" + (step.op + d), step.saturation))});
        }
    }
    for (int s = 0; s <= 4; ++s) {
        const std::string d = std::to_string(s);
        table.push_back({std::string("to") + kSeverityNames[s], "st" + d,
                         builtinText("function st" + d + " ( evts, skip )",
                                     setText(d + " ~= evt.deliverySeverity", s))});
    }
    for (int from = 0; from <= 4; ++from) {
        for (int to = 0; to <= 4; ++to) {
            if (from == to) {
                continue;
            }
            const std::string luaName = "ft" + std::to_string(from) + std::to_string(to);
            table.push_back(
                {std::string("from") + kSeverityNames[from] + "To" + kSeverityNames[to], luaName,
                 builtinText("function " + luaName + "( evts, skip )",
                             setText("evt.deliverySeverity == " + std::to_string(from), to))});
        }
    }
    return table;
}

void pushNumberField(lua_State* L, const char* name, lua_Number value) {
    lua_pushnumber(L, value);
    lua_setfield(L, -2, name);
}

std::string valueText(lua_State* L, int index) {
    const char* text = lua_tostring(L, index);
    return text ? text : "(error object is not a string)";
}

void luaStackTrace(lua_State* L) {
    CDelsLogger& log = CDelsLogger::logger();
    log.logError("Lua stack trace:");
    for (int i = lua_gettop(L); i >= 1; --i) {
        const char* type = luaL_typename(L, i);
        switch (lua_type(L, i)) {
        case LUA_TNUMBER:
            log.logError("  %02d: %8s: %f", i, type, lua_tonumber(L, i));
            break;
        case LUA_TBOOLEAN:
            log.logError("  %02d: %8s: %d", i, type, lua_toboolean(L, i));
            break;
        case LUA_TSTRING:
            log.logError("  %02d: %8s: %s", i, type, lua_tostring(L, i));
            break;
        default:
            log.logError("  %02d: %8s", i, type);
            break;
        }
    }
}

int luaPanicHandler(lua_State* L) {
    CDelsLogger::logger().logError("Lua PANIC: %s", valueText(L, -1).c_str());
    luaStackTrace(L);
    return -1;
}

void stopRunaway(lua_State* L, lua_Debug*) {
    luaL_error(L, "stopped after %d instructions", CDelsDelegation::MAX_INSTRUCTIONS);
}

} // namespace

void CDelsMetaEvent::_pushLua(lua_State* L) const {
    lua_createtable(L, 0, 17);
    pushNumberField(L, "id", getId());
    pushNumberField(L, "sessionSequence", m_sessionSequence);
    pushNumberField(L, "eventSequence", m_eventSequence);
    pushNumberField(L, "nodeId", static_cast<lua_Number>(m_nodeId));
    pushNumberField(L, "generatedSeverity", m_generatedSeverity);
    pushNumberField(L, "messageId", m_messageId);
    pushNumberField(L, "param0", m_param0);
    pushNumberField(L, "param1", m_param1);
    lua_pushlstring(L, m_additionalInfo.data(), m_additionalInfo.size());
    lua_setfield(L, -2, "additionalInfo");
    pushNumberField(L, "timestamp", static_cast<lua_Number>(m_timestamp));
    pushNumberField(L, "timestampErrorBound", m_timestampErrorBound);
    lua_pushboolean(L, m_forwarded);
    lua_setfield(L, -2, "forwarded");
    pushNumberField(L, "deliverySeverity", m_deliverySeverity);
    pushNumberField(L, "key", static_cast<lua_Number>(m_key));
    pushNumberField(L, "sequence", static_cast<lua_Number>(m_sequence));
    pushNumberField(L, "wireFormat", m_wireFormat);
    pushNumberField(L, "wireFormatLength", m_wireFormatLength);
}

const std::list<CDelsDelegation::SBuiltin>& CDelsDelegation::builtins() {
    static const std::list<SBuiltin> s_table = makeBuiltins();
    return s_table;
}

// A function that allocates without end would otherwise take the gateway's memory with it; past
// the cap Lua sees an allocation failure and the function fails alone.
void* CDelsDelegation::allocate(void* ud, void* ptr, size_t oldSize, size_t newSize) {
    CDelsDelegation* self = static_cast<CDelsDelegation*>(ud);
    if (newSize == 0) {
        std::free(ptr);
        self->m_luaBytes -= oldSize;
        return nullptr;
    }
    if (newSize > oldSize && self->m_luaBytes + (newSize - oldSize) > MAX_LUA_BYTES) {
        return nullptr;
    }
    void* grown = std::realloc(ptr, newSize);
    if (grown) {
        self->m_luaBytes = self->m_luaBytes - oldSize + newSize;
    }
    return grown;
}

CDelsDelegation::CDelsDelegation() {
    CDelsLogger& log = CDelsLogger::logger();
    m_lua = lua_newstate(&CDelsDelegation::allocate, this);
    if (!m_lua) {
        log.logError("CDelsEventSourceInternal: failed to allocate Lua state.");
        return;
    }
    lua_atpanic(m_lua, luaPanicHandler);
    if (lua_cpcall(
            m_lua,
            [](lua_State* L) {
                luaL_openlibs(L);
                return 0;
            },
            nullptr) != 0) {
        log.logError("CDelsEventSourceInternal: failed to allocate Lua state.");
        lua_close(m_lua);
        m_lua = nullptr;
        return;
    }
    for (const SBuiltin& builtin : builtins()) {
        int result = luaL_loadstring(m_lua, builtin.text.c_str());
        if (result != 0) {
            log.logError("Error %d loading Lua function: %s.", result,
                         valueText(m_lua, -1).c_str());
            lua_pop(m_lua, 1);
            continue;
        }
        m_functionNames[builtin.name] = builtin.luaName;
        result = lua_pcall(m_lua, 0, 0, 0);
        log.logDebug("Loading lua fuction:\n %s", builtin.text.c_str());
        if (result != 0) {
            log.logError("Error %d evaluating lua code:\n %s", result, builtin.text.c_str());
            lua_pop(m_lua, 1);
        }
    }
    log.logDebug("Loaded %d Lua delegation function(s).", static_cast<int>(builtins().size()));
}

CDelsDelegation::~CDelsDelegation() {
    if (m_lua) {
        lua_close(m_lua);
    }
}

void CDelsDelegation::_pushLua(const std::list<CDelsMetaEvent>& events) {
    lua_createtable(m_lua, static_cast<int>(events.size()), 0);
    int index = 1;
    for (const CDelsMetaEvent& event : events) {
        event._pushLua(m_lua);
        lua_rawseti(m_lua, -2, index++);
    }
}

struct CDelsDelegation::SRun {
    CDelsDelegation* self;
    const std::list<CDelsMetaEvent>* candidates;
    const SDelsDeliverySeverityAdjustment* adjustment;
    std::set<unsigned> ids;
    std::vector<DelsDelegationPair> pairs;
};

void CDelsDelegation::runOne(SRun& run, const std::string& reference) {
    CDelsLogger& log = CDelsLogger::logger();
    lua_State* L = m_lua;
    const size_t slash = reference.find('/');
    const std::string name = reference.substr(0, slash);
    const unsigned long skip =
        slash == std::string::npos ? 0 : std::strtoul(reference.c_str() + slash + 1, nullptr, 10);
    auto builtin = m_functionNames.find(name);
    const std::string& luaName = builtin == m_functionNames.end() ? name : builtin->second;

    lua_getglobal(L, luaName.c_str());
    if (!lua_isfunction(L, -1)) {
        log.logError("%s is not a valid Lua function", name.c_str());
        lua_pop(L, 1);
        return;
    }
    lua_pushvalue(L, 1); // the candidate tables, shared by every function of the adjustment
    lua_pushnumber(L, static_cast<lua_Number>(skip));
    lua_sethook(L, stopRunaway, LUA_MASKCOUNT, MAX_INSTRUCTIONS);
    const int result = lua_pcall(L, 2, 1, 0);
    lua_sethook(L, nullptr, 0, 0);
    if (result != 0) {
        log.logError("Lua error %d when executing delegation function %s: %s", result, name.c_str(),
                     valueText(L, -1).c_str());
    } else if (!lua_istable(L, -1)) {
        log.logError("Lua delegation function %s returned bogus value", name.c_str());
        luaStackTrace(L);
    } else {
        int added = 0;
        for (int i = 1;; ++i) {
            lua_rawgeti(L, -1, i);
            if (lua_isnil(L, -1)) {
                lua_pop(L, 1);
                break;
            }
            if (lua_istable(L, -1)) {
                lua_rawgeti(L, -1, 1);
                lua_rawgeti(L, -2, 2);
                // A pair must name one of the events the function was shown and a severity the
                // store knows; anything else would rewrite unrelated rows.
                if (lua_isnumber(L, -2) && lua_isnumber(L, -1)) {
                    const lua_Number id = lua_tonumber(L, -2);
                    const lua_Number severity = lua_tonumber(L, -1);
                    if (id >= 0 && id <= 0xFFFFFFFF && run.ids.count(static_cast<unsigned>(id)) &&
                        severity >= 0 && severity < DSEV_LIMIT) {
                        run.pairs.emplace_back(static_cast<unsigned>(id),
                                               static_cast<DelsSeverity>(severity));
                        ++added;
                    } else {
                        log.logError("%s: adjustment of id %.0f to %.0f ignored", name.c_str(), id,
                                     severity);
                    }
                }
                lua_pop(L, 2);
            }
            lua_pop(L, 1);
        }
        log.logDebug("%s makes %d severity adjustments.", name.c_str(), added);
    }
    lua_pop(L, 1);
}

int CDelsDelegation::protectedRun(lua_State* L) {
    SRun& run = *static_cast<SRun*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    run.self->_pushLua(*run.candidates);
    for (const std::string& reference : run.adjustment->functionNames) {
        run.self->runOne(run, reference);
    }
    return 0;
}

bool CDelsDelegation::prepare(const std::list<CDelsMetaEvent>& candidates,
                              const SDelsDeliverySeverityAdjustment& adjustment,
                              std::list<DelsDelegationPair>& out) {
    if (!m_lua) {
        return false;
    }
    SRun run{this, &candidates, &adjustment, {}, {}};
    for (const CDelsMetaEvent& event : candidates) {
        run.ids.insert(event.getId());
    }
    // Protected as a whole: running out of Lua memory while building the tables must fail the
    // delegation, not end the process through the panic handler.
    if (lua_cpcall(m_lua, &CDelsDelegation::protectedRun, &run) != 0) {
        CDelsLogger::logger().logError("Delegation for messageId=%08x failed: %s",
                                       adjustment.messageId, valueText(m_lua, -1).c_str());
        lua_settop(m_lua, 0);
        return true;
    }
    lua_settop(m_lua, 0);
    out.insert(out.end(), run.pairs.begin(), run.pairs.end());
    return true;
}
