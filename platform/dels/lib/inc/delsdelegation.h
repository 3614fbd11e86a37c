// Delivery-severity delegation: the arrival of an event lets configured Lua functions move the
// delivery severities of older, unforwarded events of the same kind. The interpreter belongs to
// one inserting party (an insertion thread, or a synchronous source under its own lock) and is
// never used by two threads at once.
#pragma once

#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "delstypes.h"

struct lua_State;

// Per message id: which older events count as "the same kind" and which functions run.
struct SDelsDeliverySeverityAdjustment {
    // Match flags: older events must share these fields with the new one.
    static constexpr unsigned MATCH_PARAM0 = 1;
    static constexpr unsigned MATCH_PARAM1 = 2;
    static constexpr unsigned MATCH_ADDITIONAL_INFO = 4;

    SDelsDeliverySeverityAdjustment() = default;
    SDelsDeliverySeverityAdjustment(unsigned messageId_, unsigned flags_)
        : messageId(messageId_), flags(flags_) {}

    void clear() { names.clear(); }
    void add(const std::string& name) { names.insert(name); }
    bool operator==(const SDelsDeliverySeverityAdjustment& other) const {
        return messageId == other.messageId && flags == other.flags && names == other.names;
    }
    bool operator!=(const SDelsDeliverySeverityAdjustment& other) const {
        return !(*this == other);
    }

    unsigned messageId = 0;
    unsigned flags = 0;
    // Function references ("name" or "name/skip"), run in byte-wise ascending order.
    std::set<std::string> names;
};

// (event id, new delivery severity).
typedef std::pair<unsigned, DelsSeverity> SDelsDelegationPair;

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
                 std::list<SDelsDelegationPair>& out);

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
