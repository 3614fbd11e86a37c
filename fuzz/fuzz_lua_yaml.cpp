// Arbitrary text into yaml.load under pcall in one platform Lua state: a value is walked to its
// last leaf, an error must carry a text; a full collection after each input keeps nothing piling
// up.
#include <cstdint>
#include <cstdlib>

#include <lua.hpp>

#include "qcf_lua_modules.h"

namespace {

lua_State* g_lua = nullptr;

// Visits every key and value below the top of the stack; the module caps nesting well below 10000.
void walk(lua_State* L, int depth) {
    if (depth > 10000 || !lua_checkstack(L, 3))
        std::abort();
    if (!lua_istable(L, -1))
        return;
    for (lua_pushnil(L); lua_next(L, -2) != 0; lua_pop(L, 1)) {
        walk(L, depth + 1);
        lua_pushvalue(L, -2);
        walk(L, depth + 1);
        lua_pop(L, 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_lua && !(g_lua = QCF::newPlatformLuaState()))
        std::abort();
    lua_getglobal(g_lua, "yaml");
    lua_getfield(g_lua, -1, "load");
    lua_pushlstring(g_lua, reinterpret_cast<const char*>(data), size);
    if (lua_pcall(g_lua, 1, 1, 0) == 0)
        walk(g_lua, 0);
    else if (!lua_isstring(g_lua, -1))
        std::abort();
    lua_settop(g_lua, 0);
    lua_gc(g_lua, LUA_GCCOLLECT, 0);
    return 0;
}
