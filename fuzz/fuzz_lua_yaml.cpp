// Arbitrary text into the Lua "yaml" module: yaml.load runs under pcall in a platform Lua state
// and either gives a value, which is walked to its last leaf, or raises an error with a text.
// One state serves every input; a full collection after each input frees what the input made,
// so nothing piles up from one input to the next.
#include <cstdint>
#include <cstdlib>

#include <lua.hpp>

#include "qcf_lua_modules.h"

namespace {

lua_State* g_lua = nullptr;

// Visits every key and value below the value on top of the stack, leaving the stack as found.
void walk(lua_State* L, int depth) {
    if (depth > 10000 || !lua_checkstack(L, 3)) {
        std::abort(); // the module caps nesting well below this
    }
    if (!lua_istable(L, -1)) {
        return;
    }
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        walk(L, depth + 1);
        lua_pop(L, 1);
        lua_pushvalue(L, -1);
        walk(L, depth + 1);
        lua_pop(L, 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_lua = QCF::newPlatformLuaState();
    if (g_lua == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lua_State* L = g_lua;
    lua_getglobal(L, "yaml");
    if (!lua_istable(L, -1)) {
        std::abort();
    }
    lua_getfield(L, -1, "load");
    lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
    if (lua_pcall(L, 1, 1, 0) == 0) {
        walk(L, 0);
    } else if (!lua_isstring(L, -1)) {
        std::abort(); // errors carry their reason
    }
    lua_settop(L, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
