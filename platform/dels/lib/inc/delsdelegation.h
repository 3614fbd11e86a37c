// Delivery-severity delegation: the arrival of an event lets configured Lua functions move the
// delivery severities of older, unforwarded events of the same kind. The interpreter belongs to
// one inserting party (an insertion thread, or a synchronous source under its own lock) and is
// never used by two threads at once.
#pragma once

#include <list>
#include <map>
#include <string>

#include "delsconfig.h"
#include "delssqlite3.h"
#include "delstypes.h"

struct lua_State;

class CDelsDelegation {
public:
    // Sets up the interpreter with the built-in functions; without memory for it delegation is
    // off and prepare() says so.
    CDelsDelegation();
    ~CDelsDelegation();
    CDelsDelegation(const CDelsDelegation&) = delete;
    CDelsDelegation& operator=(const CDelsDelegation&) = delete;

    bool available() const { return m_lua != nullptr; }

    // Runs the functions of `adjustment` over `candidates` (stored events, newest first) and
    // appends their pairs to `out`. Only pairs naming a candidate with a severity of 0 to 14
    // are kept. False only without an interpreter.
    bool prepare(const std::list<CDelsMetaEvent>& candidates,
                 const SDelsDeliverySeverityAdjustment& adjustment,
                 std::list<DelsDelegationPair>& out);

    // The interpreter, for defining a node's own delegation functions next to the built-ins.
    lua_State* luaState() { return m_lua; }

    // Pushes the array of event tables (index 1 = first of `events`).
    void _pushLua(const std::list<CDelsMetaEvent>& events);

    // Instructions a function may run before it is stopped, and bytes the interpreter may hold.
    static constexpr int MAX_INSTRUCTIONS = 10000000;
    static constexpr size_t MAX_LUA_BYTES = 64u << 20;

    // The built-in functions: name, Lua global name, text; in table order.
    struct SBuiltin {
        std::string name;
        std::string luaName;
        std::string text;
    };
    static const std::list<SBuiltin>& builtins();

private:
    struct SRun;
    static int protectedRun(lua_State* L);
    void runOne(SRun& run, const std::string& reference);
    static void* allocate(void* ud, void* ptr, size_t oldSize, size_t newSize);

    lua_State* m_lua = nullptr;
    std::map<std::string, std::string> m_functionNames;
    size_t m_luaBytes = 0;
};
