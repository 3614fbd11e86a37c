#include "qcf_lua_modules.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <lua.hpp>
#include <yaml-cpp/yaml.h>

#include "osv.h"
#include "qcf_debug.h"
#include "vyl_hardware.h"

namespace {

// ---------------------------------------------------------------------------------------------
// "yaml"
//
// yaml-cpp works with exceptions and objects that own memory; Lua raises with longjmp. So the
// document is first copied, in plain C++, into a tree of SYamlItem that lives inside a Lua
// userdata (freed by its __gc), and only then turned into Lua values by functions whose frames
// hold nothing but pointers and integers. A Lua error at any point (out of memory, NaN key)
// therefore skips no destructor.

struct SYamlItem {
    enum EKind { YK_NIL, YK_BOOL, YK_NUMBER, YK_STRING, YK_MAP, YK_SEQ };
    EKind kind = YK_NIL;
    bool boolean = false;
    double number = 0;
    std::string text;             // scalars: the text as written (used for awkward keys)
    std::vector<SYamlItem> items; // sequence: elements; map: key, value, key, value, ...
};

const char* const YAML_TREE_META = "tessarc.yaml.tree";

// Aliases can make a small text expand into a huge (or, through a self-reference, endless)
// tree; configuration documents are far below these bounds.
const unsigned YAML_MAX_DEPTH = 500;
const size_t YAML_MAX_ITEMS = 200000;

bool oneOf(const std::string& text, std::initializer_list<const char*> words) {
    for (const char* word : words)
        if (text == word)
            return true;
    return false;
}

bool allDigits(const std::string& text, size_t from, size_t to, int base) {
    if (from >= to)
        return false;
    for (size_t i = from; i < to; ++i) {
        char c = text[i];
        bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                             : c >= '0' && c < '0' + base;
        if (!ok)
            return false;
    }
    return true;
}

// [-+]? ( \.[0-9]+ | [0-9]+ ( \.[0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
bool isDecimal(const std::string& t) {
    size_t i = 0, n = t.size();
    if (i < n && (t[i] == '-' || t[i] == '+'))
        ++i;
    size_t intStart = i;
    while (i < n && std::isdigit(static_cast<unsigned char>(t[i])))
        ++i;
    bool intDigits = i > intStart;
    if (i < n && t[i] == '.') {
        size_t fracStart = ++i;
        while (i < n && std::isdigit(static_cast<unsigned char>(t[i])))
            ++i;
        if (!intDigits && i == fracStart)
            return false;
    } else if (!intDigits) {
        return false;
    }
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '-' || t[i] == '+'))
            ++i;
        if (!allDigits(t, i, n, 10))
            return false;
        i = n;
    }
    return i == n;
}

// Resolves a plain scalar like the YAML 1.2 core schema: null, true/false, numbers, else text.
void resolvePlain(SYamlItem& item) {
    const std::string& t = item.text;
    if (oneOf(t, {"", "~", "null", "Null", "NULL"})) {
        item.kind = SYamlItem::YK_NIL;
    } else if (oneOf(t, {"true", "True", "TRUE", "false", "False", "FALSE"})) {
        item.kind = SYamlItem::YK_BOOL;
        item.boolean = t[0] == 't' || t[0] == 'T';
    } else if (isDecimal(t)) {
        item.kind = SYamlItem::YK_NUMBER;
        item.number = std::strtod(t.c_str(), nullptr);
    } else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o') &&
               allDigits(t, 2, t.size(), t[1] == 'x' ? 16 : 8)) {
        double value = 0;
        unsigned base = t[1] == 'x' ? 16 : 8;
        for (size_t i = 2; i < t.size(); ++i) {
            char c = t[i];
            unsigned digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
            value = value * base + digit;
        }
        item.kind = SYamlItem::YK_NUMBER;
        item.number = value;
    } else if (oneOf(t, {".inf", ".Inf", ".INF", "+.inf", "+.Inf", "+.INF"})) {
        item.kind = SYamlItem::YK_NUMBER;
        item.number = HUGE_VAL;
    } else if (oneOf(t, {"-.inf", "-.Inf", "-.INF"})) {
        item.kind = SYamlItem::YK_NUMBER;
        item.number = -HUGE_VAL;
    } else if (oneOf(t, {".nan", ".NaN", ".NAN"})) {
        item.kind = SYamlItem::YK_NUMBER;
        item.number = std::nan("");
    } else {
        item.kind = SYamlItem::YK_STRING;
    }
}

void resolveScalar(const YAML::Node& node, SYamlItem& item) {
    item.text = node.Scalar();
    const std::string& tag = node.Tag();
    if (tag == "?") {
        resolvePlain(item);
        return;
    }
    // Quoted scalars ("!") and explicit tags: a core-schema tag asks for that type, anything
    // else stays text.
    static const std::string core = "tag:yaml.org,2002:";
    item.kind = SYamlItem::YK_STRING;
    if (tag.compare(0, core.size(), core) != 0)
        return;
    std::string type = tag.substr(core.size());
    if (type == "null" || type == "bool" || type == "int" || type == "float") {
        SYamlItem resolved = item;
        resolvePlain(resolved);
        bool fits = (type == "null" && resolved.kind == SYamlItem::YK_NIL) ||
                    (type == "bool" && resolved.kind == SYamlItem::YK_BOOL) ||
                    ((type == "int" || type == "float") && resolved.kind == SYamlItem::YK_NUMBER);
        if (fits)
            item = std::move(resolved);
    }
}

void copyNode(const YAML::Node& node, SYamlItem& item, unsigned depth, size_t& count) {
    if (depth > YAML_MAX_DEPTH)
        throw std::runtime_error("document nested too deeply");
    if (++count > YAML_MAX_ITEMS)
        throw std::runtime_error("document too large");
    switch (node.Type()) {
    case YAML::NodeType::Scalar:
        resolveScalar(node, item);
        break;
    case YAML::NodeType::Sequence:
        item.kind = SYamlItem::YK_SEQ;
        item.items.resize(node.size());
        for (size_t i = 0; i < node.size(); ++i)
            copyNode(node[i], item.items[i], depth + 1, count);
        break;
    case YAML::NodeType::Map:
        item.kind = SYamlItem::YK_MAP;
        item.items.reserve(node.size() * 2);
        for (YAML::const_iterator it = node.begin(); it != node.end(); ++it) {
            item.items.emplace_back();
            copyNode(it->first, item.items.back(), depth + 1, count);
            item.items.emplace_back();
            copyNode(it->second, item.items.back(), depth + 1, count);
        }
        break;
    default: // null or undefined
        item.kind = SYamlItem::YK_NIL;
        item.text = "~"; // what a null key becomes
        break;
    }
}

// Fills `root` from `text`; on failure writes the reason into `error` and returns false.
// Never throws.
bool parseYaml(const char* text, size_t length, SYamlItem* root, char* error, size_t errorSize) {
    try {
        YAML::Node doc = YAML::Load(std::string(text, length));
        size_t count = 0;
        copyNode(doc, *root, 0, count);
        return true;
    } catch (const std::exception& e) {
        std::snprintf(error, errorSize, "%s", e.what());
    } catch (...) {
        std::snprintf(error, errorSize, "unknown parser failure");
    }
    try {
        *root = SYamlItem();
    } catch (...) {
    }
    return false;
}

void pushYamlItem(lua_State* L, const SYamlItem* item);

void pushYamlKey(lua_State* L, const SYamlItem* key) {
    // Lua refuses nil and NaN as table keys: such keys keep their written text.
    bool awkward = key->kind == SYamlItem::YK_NIL ||
                   (key->kind == SYamlItem::YK_NUMBER && std::isnan(key->number));
    if (awkward)
        lua_pushlstring(L, key->text.data(), key->text.size());
    else
        pushYamlItem(L, key);
}

void pushYamlItem(lua_State* L, const SYamlItem* item) {
    luaL_checkstack(L, 4, "yaml document nested too deeply");
    switch (item->kind) {
    case SYamlItem::YK_NIL:
        lua_pushnil(L);
        break;
    case SYamlItem::YK_BOOL:
        lua_pushboolean(L, item->boolean);
        break;
    case SYamlItem::YK_NUMBER:
        lua_pushnumber(L, item->number);
        break;
    case SYamlItem::YK_STRING:
        lua_pushlstring(L, item->text.data(), item->text.size());
        break;
    case SYamlItem::YK_SEQ: {
        int n = static_cast<int>(item->items.size());
        lua_createtable(L, n, 0);
        for (int i = 0; i < n; ++i) {
            pushYamlItem(L, &item->items[i]);
            lua_rawseti(L, -2, i + 1);
        }
        break;
    }
    case SYamlItem::YK_MAP: {
        size_t n = item->items.size();
        lua_createtable(L, 0, static_cast<int>(n / 2));
        for (size_t i = 0; i + 1 < n; i += 2) {
            pushYamlKey(L, &item->items[i]);
            pushYamlItem(L, &item->items[i + 1]);
            lua_rawset(L, -3);
        }
        break;
    }
    }
}

int yamlTreeGc(lua_State* L) {
    SYamlItem* tree = static_cast<SYamlItem*>(lua_touserdata(L, 1));
    if (tree != nullptr)
        tree->~SYamlItem();
    return 0;
}

// yaml.load(text): the document's value; raises a Lua error for text that is not YAML.
int yamlLoad(lua_State* L) {
    size_t length = 0;
    const char* text = luaL_checklstring(L, 1, &length);
    void* memory = lua_newuserdata(L, sizeof(SYamlItem));
    SYamlItem* tree = new (memory) SYamlItem(); // owns nothing yet, so no leak if the next fails
    luaL_getmetatable(L, YAML_TREE_META);
    lua_setmetatable(L, -2);
    char error[256];
    if (!parseYaml(text, length, tree, error, sizeof error))
        return luaL_error(L, "yaml.load: %s", error);
    pushYamlItem(L, tree);
    return 1;
}

int openYaml(lua_State* L) {
    luaL_newmetatable(L, YAML_TREE_META);
    lua_pushcfunction(L, yamlTreeGc);
    lua_setfield(L, -2, "__gc");
    lua_pop(L, 1);

    static const luaL_Reg functions[] = {{"load", yamlLoad}, {nullptr, nullptr}};
    luaL_register(L, "yaml", functions); // also sets the global, as 5.1 modules do
    return 1;
}

// ---------------------------------------------------------------------------------------------
// "vyl"

// Reads the identity in a frame of its own so that the Lua calls after it skip no destructor.
int readPlatform(char* name, size_t nameSize) {
    try {
        CVylHardware hw(true, -1, nullptr);
        std::snprintf(name, nameSize, "%s", hw.getVylPlatformString().c_str());
        return hw.getVylPlatform();
    } catch (...) {
        std::snprintf(name, nameSize, "%s", "");
        return CVylHardware::DEFAULT_PLATFORM;
    }
}

int openVyl(lua_State* L) {
    char name[256];
    int code = readPlatform(name, sizeof name);
    static const luaL_Reg none[] = {{nullptr, nullptr}};
    luaL_register(L, "vyl", none);
    lua_pushinteger(L, code);
    lua_setfield(L, -2, "platform");
    lua_pushstring(L, name);
    lua_setfield(L, -2, "platformName");
    return 1;
}

// ---------------------------------------------------------------------------------------------
// "osv"

// The segment readers run in frames of their own and never throw, for the same reason.
// The segment is mapped per question: the name can change between states (VYL_OSV_NAME) and a
// 1 MiB mapping per Lua state is not worth keeping for a few reads a second.
bool segmentActiveWan(unsigned& dpi) {
    SOsvContent* content = getOsvPointer();
    if (content == nullptr)
        return false;
    bool found = false;
    try {
        found = content->getActiveWanDpi(dpi);
    } catch (...) {
        found = false;
    }
    releaseOsvPointer(content);
    return found;
}

bool segmentVpnConnected() {
    SOsvContent* content = getOsvPointer();
    if (content == nullptr)
        return false;
    bool up = false;
    try {
        up = content->getVpnConnectionStatus();
    } catch (...) {
        up = false;
    }
    releaseOsvPointer(content);
    return up;
}

// osv.wan's __index: "active" is computed from the segment on every access.
int osvWanIndex(lua_State* L) {
    const char* key = lua_tostring(L, 2);
    if (key == nullptr || std::strcmp(key, "active") != 0) {
        lua_pushnil(L);
        return 1;
    }
    unsigned dpi = 0;
    if (segmentActiveWan(dpi))
        lua_pushnumber(L, dpi);
    else
        lua_pushnil(L);
    return 1;
}

int osvVpnConnected(lua_State* L) {
    lua_pushboolean(L, segmentVpnConnected());
    return 1;
}

int openOsv(lua_State* L) {
    static const luaL_Reg none[] = {{nullptr, nullptr}};
    luaL_register(L, "osv", none);

    lua_newtable(L); // osv.wan
    lua_newtable(L); // its metatable
    lua_pushcfunction(L, osvWanIndex);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, -2);
    lua_setfield(L, -2, "wan");

    static const luaL_Reg vpn[] = {{"connected", osvVpnConnected}, {nullptr, nullptr}};
    lua_newtable(L);
    luaL_register(L, nullptr, vpn);
    lua_setfield(L, -2, "vpn");
    return 1;
}

// ---------------------------------------------------------------------------------------------
// State set-up

int protectedPreload(lua_State* L) {
    lua_getglobal(L, "package");
    if (!lua_istable(L, -1))
        return luaL_error(L, "no package library");
    lua_getfield(L, -1, "preload");
    if (!lua_istable(L, -1))
        return luaL_error(L, "no package.preload");
    lua_pushcfunction(L, openVyl);
    lua_setfield(L, -2, "vyl");
    lua_pushcfunction(L, openOsv);
    lua_setfield(L, -2, "osv");
    lua_pushcfunction(L, openYaml);
    lua_setfield(L, -2, "yaml");
    return 0;
}

int protectedOpenLibs(lua_State* L) {
    luaL_openlibs(L);
    return 0;
}

struct SGlobalCall {
    const char* name;
    bool wantResult;
    QCF::ELuaGlobalCall outcome;
    QCF::SLuaGlobalResult* result;
};

int protectedGlobalCall(lua_State* L) {
    SGlobalCall* call = static_cast<SGlobalCall*>(lua_touserdata(L, 1));
    lua_getglobal(L, call->name);
    if (!lua_isfunction(L, -1)) {
        call->outcome = QCF::ELGC_NOT_FUNCTION;
        return 0;
    }
    if (lua_pcall(L, 0, call->wantResult ? 1 : 0, 0) != 0) {
        call->outcome = QCF::ELGC_FAILED;
        try {
            call->result->error = QCF::luaValueText(L, -1);
        } catch (...) {
        }
        return 0;
    }
    call->outcome = QCF::ELGC_DONE;
    if (call->wantResult) {
        call->result->type = lua_type(L, -1);
        call->result->boolean = lua_toboolean(L, -1) != 0;
    }
    return 0;
}

void onInstructionLimit(lua_State* L, lua_Debug*) {
    lua_sethook(L, onInstructionLimit, LUA_MASKCOUNT, 1);
    lua_pushliteral(L, "instruction limit exceeded"); // no position: it is not the script's
    lua_error(L);
}

// Arms the instruction limit for one run; the count starts afresh each time.
class CInstructionBudget {
public:
    explicit CInstructionBudget(lua_State* L) : m_lua(L) {
        lua_sethook(L, onInstructionLimit, LUA_MASKCOUNT, QCF::LUA_INSTRUCTION_LIMIT);
    }
    ~CInstructionBudget() { lua_sethook(m_lua, nullptr, 0, 0); }
    CInstructionBudget(const CInstructionBudget&) = delete;
    CInstructionBudget& operator=(const CInstructionBudget&) = delete;

private:
    lua_State* m_lua;
};

} // namespace

namespace QCF {

int boundedPcall(lua_State* L, int nargs, int nresults) {
    CInstructionBudget budget(L);
    return lua_pcall(L, nargs, nresults, 0);
}

std::string luaValueText(lua_State* L, int index) {
    switch (lua_type(L, index)) {
    case LUA_TSTRING: {
        size_t length = 0;
        const char* text = lua_tolstring(L, index, &length); // a string already: no allocation
        return std::string(text, length);
    }
    case LUA_TNUMBER: {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, LUA_NUMBER_FMT, lua_tonumber(L, index));
        return buffer;
    }
    default:
        return std::string("(error object is a ") + lua_typename(L, lua_type(L, index)) + " value)";
    }
}

bool preloadPlatformLuaModules(lua_State* L) {
    int top = lua_gettop(L);
    if (lua_cpcall(L, protectedPreload, nullptr) != 0) {
        logError("Failed to preload the platform lua modules: %s", luaValueText(L, -1).c_str());
        lua_settop(L, top);
        return false;
    }
    return true;
}

lua_State* newPlatformLuaState() {
    lua_State* L = luaL_newstate();
    if (L == nullptr)
        return nullptr;
    if (lua_cpcall(L, protectedOpenLibs, nullptr) != 0) {
        logError("Failed to open the lua standard libraries: %s", luaValueText(L, -1).c_str());
        lua_pop(L, 1);
    }
    preloadPlatformLuaModules(L);
    for (const char* module : {"vyl", "osv", "yaml"}) {
        std::string chunk = std::string("require( \"") + module + "\" )\n";
        if (luaL_loadbuffer(L, chunk.data(), chunk.size(), chunk.c_str()) != 0) {
            logError("Failed to populate lua requires for %s", module);
            lua_pop(L, 1);
            continue;
        }
        if (lua_pcall(L, 0, 0, 0) != 0) {
            logError("Failed to evaluate lua requires in global space for %s", module);
            lua_pop(L, 1);
        }
    }
    return L;
}

ELuaGlobalCall callLuaGlobal(lua_State* L, const char* name, bool wantResult,
                             SLuaGlobalResult& result) {
    SGlobalCall call{name, wantResult, ELGC_FAILED, &result};
    result.type = LUA_TNONE;
    int top = lua_gettop(L);
    CInstructionBudget budget(L);
    if (lua_cpcall(L, protectedGlobalCall, &call) != 0) {
        // Only reachable when Lua itself failed around the call (e.g. out of memory).
        call.outcome = ELGC_FAILED;
        result.error = luaValueText(L, -1);
    }
    lua_settop(L, top);
    return call.outcome;
}

} // namespace QCF
