#include "qcf_lua_interpreter.h"

#include <climits>

#include <lua.hpp>

#include "qcf_debug.h"
#include "qcf_lua_modules.h"

namespace QCF {

CLuaInterpreter::CLuaInterpreter() : m_lua(newPlatformLuaState()) {}

CLuaInterpreter::~CLuaInterpreter() {
    if (m_lua != nullptr)
        lua_close(m_lua);
}

std::string CLuaInterpreter::toLuaStatement(const std::string& expr) {
    return "return(" + expr + ")";
}

int CLuaInterpreter::evaluate(const std::string& statement) {
    if (m_lua == nullptr)
        return 0;
    SLuaGlobalResult result;
    switch (callLuaGlobal(m_lua, statement.c_str(), false, result)) {
    case ELGC_DONE:
        return 0;
    case ELGC_FAILED:
        logError("%s errored: %s", statement.c_str(), result.error.c_str());
        return -1;
    case ELGC_NOT_FUNCTION:
        break;
    }
    logDebug("%s is not yet a lua function", statement.c_str());
    logDebug("try register this function");
    if (luaL_loadbuffer(m_lua, statement.data(), statement.size(), statement.c_str()) != 0) {
        logError("Error populating the statement %s", statement.c_str());
        lua_pop(m_lua, 1);
        return -1;
    }
    if (boundedPcall(m_lua, 0, 0) != 0) {
        logError("Failed to evaluate lua statement %s into global space", statement.c_str());
        lua_pop(m_lua, 1);
        return -1;
    }
    return 0;
}

CLuaInterpreter::EStackResult CLuaInterpreter::evaluateToStack(const std::string& expr) {
    if (m_lua == nullptr)
        return ESR_NO_STATE;
    std::string chunk = toLuaStatement(expr);
    if (luaL_loadbuffer(m_lua, chunk.data(), chunk.size(), chunk.c_str()) != 0) {
        lua_pop(m_lua, 1);
        return ESR_LOAD_FAILED;
    }
    if (boundedPcall(m_lua, 0, 1) != 0) {
        logError("%s errored: %s", expr.c_str(), luaValueText(m_lua, -1).c_str());
        lua_pop(m_lua, 1);
        return ESR_RUN_FAILED;
    }
    return ESR_RESULT;
}

template <typename Take>
int CLuaInterpreter::evaluateTyped(const std::string& expr, const char* populating,
                                   const char* kind, Take take) {
    EStackResult state = evaluateToStack(expr);
    if (state == ESR_LOAD_FAILED)
        logError("%s%s", populating, expr.c_str());
    if (state != ESR_RESULT)
        return -1;
    int rc = 0;
    if (!take()) {
        logError("%s returned a non %s result", expr.c_str(), kind);
        rc = -1;
    }
    lua_pop(m_lua, 1);
    return rc;
}

// The load error lines differ between the types (as the lines the field knows have them).
int CLuaInterpreter::evaluate(const std::string& expr, bool& out) {
    return evaluateTyped(expr, "Error populating lua statement", "boolean", [&] {
        if (lua_type(m_lua, -1) != LUA_TBOOLEAN)
            return false;
        out = lua_toboolean(m_lua, -1) != 0;
        return true;
    });
}

int CLuaInterpreter::evaluate(const std::string& expr, double& out) {
    return evaluateTyped(expr, "Error populating lua statement ", "double", [&] {
        if (!lua_isnumber(m_lua, -1))
            return false;
        out = lua_tonumber(m_lua, -1);
        return true;
    });
}

int CLuaInterpreter::evaluate(const std::string& expr, unsigned& out) {
    return evaluateTyped(expr, "Error populating the lua statement ", "integer", [&] {
        // Converting a negative, NaN or too large number would wrap or be undefined: refuse it.
        double value = lua_isnumber(m_lua, -1) ? lua_tonumber(m_lua, -1) : -1;
        if (!(value >= 0 && value < static_cast<double>(UINT_MAX) + 1.0))
            return false;
        out = static_cast<unsigned>(lua_tointeger(m_lua, -1));
        return true;
    });
}

int CLuaInterpreter::evaluate(const std::string& expr, std::string& out) {
    return evaluateTyped(expr, "Error populating lua statement ", "string", [&] {
        if (!lua_isstring(m_lua, -1))
            return false;
        // luaValueText formats numbers itself: converting in place could raise inside Lua.
        out = luaValueText(m_lua, -1);
        return true;
    });
}

} // namespace QCF
