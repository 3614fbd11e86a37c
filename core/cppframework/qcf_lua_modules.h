// The platform's Lua modules, preloaded into every framework Lua state so that `require` finds
// them, and the state set-up shared by gates and the statement interpreter:
//   "vyl"  vyl.platform (platform code), vyl.platformName (printable name)
//   "osv"  osv.wan.active (dpi of the most recently activated WAN device that is still active,
//          nil when none), osv.vpn.connected() (current VPN status of the content segment)
//   "yaml" yaml.load(text) turns a YAML document into Lua tables and values
// A Lua state and everything here that touches it belong to one thread (the main loop's).
//
// Lua 5.1 raises errors with longjmp. Every call that can raise runs under lua_pcall/lua_cpcall,
// and C functions called from Lua keep no C++ objects with destructors in their frames.
#pragma once

#include <string>

struct lua_State;

namespace QCF {

// Adds "vyl", "osv" and "yaml" to package.preload. Needs the package library. false when Lua
// raised an error (logged).
bool preloadPlatformLuaModules(lua_State* L);

// A new state with the standard libraries, the preloads, and `require( "vyl" )`, `require(
// "osv" )`, `require( "yaml" )` run in global space in this order (failures logged, the next
// module is still tried). Null when Lua cannot create a state at all.
lua_State* newPlatformLuaState();

// Every run of configured Lua (gates, triggers, statements) gets this many VM instructions: one
// that never returns would otherwise hang the main loop, bus and signals included. Past the
// limit Lua raises "instruction limit exceeded" at every further instruction, so that a script
// catching the error with pcall cannot go on either; callers log it as any other Lua failure.
const int LUA_INSTRUCTION_LIMIT = 10000000;

// lua_pcall under the instruction limit.
int boundedPcall(lua_State* L, int nargs, int nresults);

// Text of the value at `index` (an error object) without allocating inside Lua.
std::string luaValueText(lua_State* L, int index);

// Result of calling a global function by name.
enum ELuaGlobalCall {
    ELGC_DONE = 0,         // called; `results` values were produced (see SLuaGlobalResult)
    ELGC_NOT_FUNCTION = 1, // the global is not a function
    ELGC_FAILED = 2,       // the call raised; `error` holds the Lua error text
};

struct SLuaGlobalResult {
    int type = -1;        // Lua type of the first result (LUA_TNONE when none was asked)
    bool boolean = false; // its value when it is a boolean
    std::string error;
};

// Looks up global `name` and, when it is a function, calls it with no arguments and
// `wantResult` ? 1 : 0 results, all under protection and the instruction limit. The stack is
// left as found.
ELuaGlobalCall callLuaGlobal(lua_State* L, const char* name, bool wantResult,
                             SLuaGlobalResult& result);

} // namespace QCF
