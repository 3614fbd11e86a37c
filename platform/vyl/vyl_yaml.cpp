// Node base and known sparse map: document framing, event access with one event of lookahead,
// container parsing and emission, depth limits.
#include "vyl_yaml.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "vyl_fs.h"

namespace {

// State of the parse running on this thread: the first fault, the collection depth and the
// event handed back by list parsing. A whole-document parse installs its own; node parsers run
// directly on a caller's parser share a per-thread fallback.
struct SParseContext {
    yaml_parser_t* parser = nullptr;
    yaml_event_t pending;
    bool hasPending = false;
    int depth = 0;
    std::string error;

    void dropPending() {
        if (hasPending) {
            yaml_event_delete(&pending);
            hasPending = false;
        }
    }
    ~SParseContext() { dropPending(); }
};

thread_local SParseContext* t_parse = nullptr;
thread_local int t_emitDepth = 0;

SParseContext& parseContext() {
    if (t_parse) {
        return *t_parse;
    }
    thread_local SParseContext fallback;
    return fallback;
}

class CParseScope {
public:
    explicit CParseScope(SParseContext* ctx) : m_prev(t_parse) { t_parse = ctx; }
    ~CParseScope() { t_parse = m_prev; }
    CParseScope(const CParseScope&) = delete;
    CParseScope& operator=(const CParseScope&) = delete;

private:
    SParseContext* m_prev;
};

// Owns one event.
struct SEvent {
    yaml_event_t ev;
    bool held = false;
    SEvent() { std::memset(&ev, 0, sizeof ev); }
    ~SEvent() { release(); }
    void release() {
        if (held) {
            yaml_event_delete(&ev);
            held = false;
        }
    }
    int next(yaml_parser_t* parser) {
        release();
        if (CVylYamlMixin::_yamlNextEvent(parser, &ev) != 0) {
            return -1;
        }
        held = true;
        return 0;
    }
    // Gives the event back to the parser's lookahead slot.
    void pushBack(yaml_parser_t* parser) {
        if (held) {
            CVylYamlMixin::_yamlPushBack(parser, &ev);
            held = false;
        }
    }
    SEvent(const SEvent&) = delete;
    SEvent& operator=(const SEvent&) = delete;
};

// Counts collection nesting of the running parse; refuses beyond the limit.
class CDepthGuard {
public:
    CDepthGuard() : m_ctx(parseContext()) { ++m_ctx.depth; }
    ~CDepthGuard() { --m_ctx.depth; }
    bool tooDeep() const { return m_ctx.depth > VYL_YAML_MAX_DEPTH; }
    CDepthGuard(const CDepthGuard&) = delete;
    CDepthGuard& operator=(const CDepthGuard&) = delete;

private:
    SParseContext& m_ctx;
};

class CEmitDepthGuard {
public:
    CEmitDepthGuard() { ++t_emitDepth; }
    ~CEmitDepthGuard() { --t_emitDepth; }
    bool tooDeep() const { return t_emitDepth > VYL_YAML_MAX_DEPTH; }
    CEmitDepthGuard(const CEmitDepthGuard&) = delete;
    CEmitDepthGuard& operator=(const CEmitDepthGuard&) = delete;
};

const char* eventKind(yaml_event_type_t type) {
    switch (type) {
    case YAML_SCALAR_EVENT:
        return "a scalar";
    case YAML_SEQUENCE_START_EVENT:
        return "a sequence";
    case YAML_MAPPING_START_EVENT:
        return "a mapping";
    case YAML_ALIAS_EVENT:
        return "an alias";
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT:
        return "the end of a collection";
    case YAML_DOCUMENT_START_EVENT:
        return "another document";
    case YAML_DOCUMENT_END_EVENT:
        return "the end of the document";
    case YAML_STREAM_END_EVENT:
        return "the end of the input";
    default:
        return "an unexpected event";
    }
}

// Keys in messages are cut short: they come from the document.
std::string quoteKey(const std::string& key) {
    std::string out = "'";
    for (size_t i = 0; i < key.size() && i < 48; ++i) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    if (key.size() > 48) {
        out += "...";
    }
    return out + "'";
}

int emitterResult(yaml_emitter_t* emitter, yaml_event_t* event) {
    // yaml_emitter_emit owns the event whatever the outcome.
    return yaml_emitter_emit(emitter, event) ? 0 : -1;
}

int emitMappingStart(yaml_emitter_t* emitter) {
    yaml_event_t ev;
    if (!yaml_mapping_start_event_initialize(&ev, nullptr, nullptr, 1, YAML_BLOCK_MAPPING_STYLE)) {
        return -1;
    }
    return emitterResult(emitter, &ev);
}

int emitMappingEnd(yaml_emitter_t* emitter) {
    yaml_event_t ev;
    if (!yaml_mapping_end_event_initialize(&ev)) {
        return -1;
    }
    return emitterResult(emitter, &ev);
}

// Emits one mapping from (key, node) pairs in the given order; null nodes are left out.
template <class It> int emitPairs(yaml_emitter_t* emitter, It first, It last) {
    CEmitDepthGuard guard;
    if (guard.tooDeep() || emitMappingStart(emitter) != 0) {
        return -1;
    }
    for (; first != last; ++first) {
        if (!first->second) {
            continue;
        }
        if (CVylYamlMixin::_yamlEmitScalar(emitter, first->first) != 0 ||
            first->second->_yamlEmit(emitter) != 0) {
            return -1;
        }
    }
    return emitMappingEnd(emitter);
}

int stringWriter(void* data, unsigned char* buffer, size_t size) {
    static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
    return 1;
}

} // namespace

CVylYamlMixin::~CVylYamlMixin() = default;

CVylYamlMixin& CVylYamlMixin::operator=(const CVylYamlMixin&) {
    return *this;
}

CVylYamlMixin* CVylYamlMixin::_allocateStringKeyMapValue(const std::string&) {
    return nullptr;
}

CVylYamlMixin* CVylYamlMixin::_allocateListElement() {
    return nullptr;
}

void CVylYamlMixin::_trimLastListElement() {}

// ---- events

int CVylYamlMixin::_yamlNextEvent(yaml_parser_t* parser, yaml_event_t* event) {
    SParseContext& ctx = parseContext();
    if (ctx.hasPending) {
        if (ctx.parser == parser) {
            *event = ctx.pending;
            ctx.hasPending = false;
            return 0;
        }
        ctx.dropPending(); // left over from an abandoned parse on another parser
    }
    if (!yaml_parser_parse(parser, event)) {
        if (ctx.error.empty()) {
            char where[64] = "";
            if (parser->problem_mark.line || parser->problem_mark.column) {
                std::snprintf(where, sizeof where,
                              "line %zu, column %zu: ", parser->problem_mark.line + 1,
                              parser->problem_mark.column + 1);
            }
            ctx.error = std::string(where) + (parser->problem ? parser->problem : "YAML error");
            if (parser->context) {
                ctx.error += std::string(" ") + parser->context;
            }
        }
        std::memset(event, 0, sizeof *event);
        return -1;
    }
    return 0;
}

void CVylYamlMixin::_yamlPushBack(yaml_parser_t* parser, yaml_event_t* event) {
    SParseContext& ctx = parseContext();
    ctx.dropPending();
    ctx.parser = parser;
    ctx.pending = *event;
    ctx.hasPending = true;
    std::memset(event, 0, sizeof *event);
}

int CVylYamlMixin::_yamlParseError(const yaml_event_t* at, const std::string& what) {
    SParseContext& ctx = parseContext();
    if (ctx.error.empty()) {
        if (at) {
            char where[64];
            std::snprintf(where, sizeof where, "line %zu, column %zu: ", at->start_mark.line + 1,
                          at->start_mark.column + 1);
            ctx.error = where + what;
        } else {
            ctx.error = what;
        }
    }
    return -1;
}

int CVylYamlMixin::_yamlKindError(const yaml_event_t& found, const char* expected) {
    return _yamlParseError(&found, std::string("expected ") + expected + ", found " +
                                       eventKind(found.type));
}

bool CVylYamlMixin::_yamlIsNull(const yaml_event_t& event) {
    if (event.type != YAML_SCALAR_EVENT || event.data.scalar.style != YAML_PLAIN_SCALAR_STYLE) {
        return false;
    }
    std::string text(reinterpret_cast<const char*>(event.data.scalar.value),
                     event.data.scalar.length);
    return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

int CVylYamlMixin::_yamlTakeNull(yaml_parser_t* parser, bool* wasNull) {
    SEvent ev;
    if (ev.next(parser) != 0) {
        return -1;
    }
    bool isNull = _yamlIsNull(ev.ev);
    if (wasNull) {
        *wasNull = isNull;
    }
    if (!isNull) {
        ev.pushBack(parser);
    }
    return 0;
}

int CVylYamlMixin::_yamlSkipNode(yaml_parser_t* parser) {
    SParseContext& ctx = parseContext();
    SEvent ev;
    int level = 0;
    do {
        if (ev.next(parser) != 0) {
            return -1;
        }
        switch (ev.ev.type) {
        case YAML_MAPPING_START_EVENT:
        case YAML_SEQUENCE_START_EVENT:
            ++level;
            if (ctx.depth + level > VYL_YAML_MAX_DEPTH) {
                return _yamlParseError(&ev.ev, "nesting too deep");
            }
            break;
        case YAML_MAPPING_END_EVENT:
        case YAML_SEQUENCE_END_EVENT:
            if (--level < 0) {
                return _yamlKindError(ev.ev, "a value");
            }
            break;
        case YAML_SCALAR_EVENT:
        case YAML_ALIAS_EVENT:
            break;
        default:
            return _yamlKindError(ev.ev, "a value");
        }
    } while (level > 0);
    return 0;
}

// ---- containers

namespace {

// Reads the event that opens a mapping or sequence. 1: it is open; 0: a null value stands in
// its place (*wasNull tells); -1: a fault is recorded.
int openCollection(yaml_parser_t* parser, SEvent& ev, const CDepthGuard& depth,
                   yaml_event_type_t start, const char* kind, bool* wasNull) {
    if (wasNull) {
        *wasNull = false;
    }
    if (ev.next(parser) != 0) {
        return -1;
    }
    if (CVylYamlMixin::_yamlIsNull(ev.ev)) {
        if (wasNull) {
            *wasNull = true;
        }
        return 0;
    }
    if (ev.ev.type != start) {
        return CVylYamlMixin::_yamlKindError(ev.ev, kind);
    }
    if (depth.tooDeep()) {
        return CVylYamlMixin::_yamlParseError(&ev.ev, "nesting too deep");
    }
    return 1;
}

} // namespace

int CVylYamlMixin::_yamlParseMap(yaml_parser_t* parser, std::map<std::string, CVylYamlMixin*>& map,
                                 bool dynamicKeys, bool* wasNull) {
    CDepthGuard depth;
    SEvent ev;
    const int opened =
        openCollection(parser, ev, depth, YAML_MAPPING_START_EVENT, "a mapping", wasNull);
    if (opened <= 0) {
        return opened;
    }
    std::set<std::string> seen;
    for (;;) {
        if (ev.next(parser) != 0) {
            return -1;
        }
        if (ev.ev.type == YAML_MAPPING_END_EVENT) {
            return 0;
        }
        if (ev.ev.type != YAML_SCALAR_EVENT) {
            return _yamlKindError(ev.ev, "a scalar key");
        }
        std::string key(reinterpret_cast<const char*>(ev.ev.data.scalar.value),
                        ev.ev.data.scalar.length);
        if (!seen.insert(key).second) {
            return _yamlParseError(&ev.ev, "duplicate key " + quoteKey(key));
        }
        CVylYamlMixin* node = nullptr;
        auto it = map.find(key);
        if (it != map.end()) {
            node = it->second;
        } else if (dynamicKeys) {
            node = _allocateStringKeyMapValue(key);
            if (node) {
                map[key] = node;
            }
        }
        if (!node) {
            if (_yamlSkipNode(parser) != 0) {
                return -1;
            }
            continue;
        }
        if (node->_yamlParse(parser) != 0) {
            return _yamlParseError(&ev.ev, "bad value under key " + quoteKey(key));
        }
    }
}

int CVylYamlMixin::_yamlParseList(yaml_parser_t* parser, std::vector<CVylYamlMixin*>& list,
                                  bool* wasNull) {
    CDepthGuard depth;
    SEvent ev;
    const int opened =
        openCollection(parser, ev, depth, YAML_SEQUENCE_START_EVENT, "a sequence", wasNull);
    if (opened <= 0) {
        return opened;
    }
    for (;;) {
        if (ev.next(parser) != 0) {
            return -1;
        }
        if (ev.ev.type == YAML_SEQUENCE_END_EVENT) {
            return 0;
        }
        yaml_event_t at = ev.ev; // position only, for the message below
        ev.pushBack(parser);
        size_t before = list.size();
        CVylYamlMixin* element = _allocateListElement();
        if (!element) {
            parseContext().dropPending();
            return _yamlParseError(&at, "no list elements accepted here");
        }
        if (list.size() == before) {
            list.push_back(element);
        }
        if (element->_yamlParse(parser) != 0) {
            _trimLastListElement();
            list.resize(before);
            return _yamlParseError(&at, "bad list element");
        }
    }
}

int CVylYamlMixin::_yamlEmitMap(yaml_emitter_t* emitter,
                                const std::map<std::string, CVylYamlMixin*>& map) const {
    return emitPairs(emitter, map.begin(), map.end());
}

int CVylYamlMixin::_yamlEmitMap(yaml_emitter_t* emitter,
                                const std::map<std::string, const CVylYamlMixin*>& map) const {
    return emitPairs(emitter, map.begin(), map.end());
}

int CVylYamlMixin::_yamlEmitList(yaml_emitter_t* emitter,
                                 const std::vector<CVylYamlMixin*>& list) const {
    CEmitDepthGuard guard;
    if (guard.tooDeep()) {
        return -1;
    }
    yaml_event_t ev;
    if (!yaml_sequence_start_event_initialize(&ev, nullptr, nullptr, 1,
                                              YAML_BLOCK_SEQUENCE_STYLE) ||
        emitterResult(emitter, &ev) != 0) {
        return -1;
    }
    for (const CVylYamlMixin* element : list) {
        if (element && element->_yamlEmit(emitter) != 0) {
            return -1;
        }
    }
    if (!yaml_sequence_end_event_initialize(&ev)) {
        return -1;
    }
    return emitterResult(emitter, &ev);
}

int CVylYamlMixin::_yamlEmitScalar(yaml_emitter_t* emitter, const std::string& text,
                                   yaml_scalar_style_t style) {
    yaml_event_t ev;
    int plainImplicit = style == YAML_ANY_SCALAR_STYLE || style == YAML_PLAIN_SCALAR_STYLE;
    if (!yaml_scalar_event_initialize(&ev, nullptr, nullptr,
                                      reinterpret_cast<const yaml_char_t*>(text.data()),
                                      static_cast<int>(text.size()), plainImplicit, 1, style)) {
        return -1;
    }
    return emitterResult(emitter, &ev);
}

int CVylYamlMixin::_yamlEmitNull(yaml_emitter_t* emitter) {
    return _yamlEmitScalar(emitter, "~", YAML_PLAIN_SCALAR_STYLE);
}

// ---- documents

namespace {

int parseDocument(yaml_parser_t* parser, CVylYamlMixin& root) {
    SEvent ev;
    if (ev.next(parser) != 0) {
        return -1;
    }
    if (ev.ev.type != YAML_STREAM_START_EVENT) {
        return CVylYamlMixin::_yamlKindError(ev.ev, "the start of the input");
    }
    if (ev.next(parser) != 0) {
        return -1;
    }
    if (ev.ev.type != YAML_DOCUMENT_START_EVENT) {
        return CVylYamlMixin::_yamlParseError(&ev.ev, "no document");
    }
    if (ev.next(parser) != 0) {
        return -1;
    }
    if (CVylYamlMixin::_yamlIsNull(ev.ev)) {
        return CVylYamlMixin::_yamlParseError(&ev.ev, "empty document");
    }
    ev.pushBack(parser);
    if (root._yamlParse(parser) != 0) {
        return -1;
    }
    if (ev.next(parser) != 0) {
        return -1;
    }
    if (ev.ev.type != YAML_DOCUMENT_END_EVENT) {
        return CVylYamlMixin::_yamlKindError(ev.ev, "the end of the document");
    }
    if (ev.next(parser) != 0) {
        return -1;
    }
    if (ev.ev.type != YAML_STREAM_END_EVENT) {
        return CVylYamlMixin::_yamlParseError(&ev.ev, "more than one document");
    }
    return 0;
}

} // namespace

int CVylYamlMixin::_yamlParseBuf(const std::string& text, std::string* error) {
    clear();
    SParseContext ctx;
    CParseScope scope(&ctx);
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) {
        if (error) {
            *error = "cannot set up the YAML parser";
        }
        return -1;
    }
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    int rc = parseDocument(&parser, *this);
    ctx.dropPending();
    yaml_parser_delete(&parser);
    if (rc != 0 && error) {
        *error = ctx.error.empty() ? "malformed document" : ctx.error;
    }
    return rc != 0 ? -1 : 0;
}

int CVylYamlMixin::_yamlParseFile(const char* path, std::string* error) {
    auto fail = [&](const std::string& why) {
        clear();
        if (error) {
            *error = why;
        }
        return -1;
    };
    if (!path) {
        return fail("no file name");
    }
    std::string text, why;
    if (vyl::readRegularFile(path, VYL_YAML_MAX_FILE_BYTES, text, why) != 0) {
        return fail(why);
    }
    return _yamlParseBuf(text, error);
}

int CVylYamlMixin::_yamlEmitBuf(std::string& text, std::string* error) const {
    text.clear();
    yaml_emitter_t emitter;
    if (!yaml_emitter_initialize(&emitter)) {
        if (error) {
            *error = "cannot set up the YAML emitter";
        }
        return -1;
    }
    yaml_emitter_set_output(&emitter, stringWriter, &text);
    yaml_emitter_set_unicode(&emitter, 1);
    yaml_emitter_set_width(&emitter, -1);
    yaml_emitter_set_indent(&emitter, 2);
    yaml_event_t ev;
    yaml_version_directive_t version = {1, 1};
    int rc = -1;
    if (yaml_stream_start_event_initialize(&ev, YAML_UTF8_ENCODING) &&
        emitterResult(&emitter, &ev) == 0 &&
        yaml_document_start_event_initialize(&ev, &version, nullptr, nullptr, 0) &&
        emitterResult(&emitter, &ev) == 0 && _yamlEmit(&emitter) == 0 &&
        yaml_document_end_event_initialize(&ev, 0) && emitterResult(&emitter, &ev) == 0 &&
        yaml_stream_end_event_initialize(&ev) && emitterResult(&emitter, &ev) == 0 &&
        yaml_emitter_flush(&emitter)) {
        rc = 0;
    }
    if (rc != 0) {
        if (error) {
            *error = emitter.problem ? emitter.problem : "cannot emit the node";
        }
        text.clear();
    }
    yaml_emitter_delete(&emitter);
    return rc;
}

// ---- known sparse map

CVylKnownSparseMap::~CVylKnownSparseMap() {
    for (CVylYamlMixin* node : m_owned) {
        delete node;
    }
}

void CVylKnownSparseMap::registerKey(const std::string& key, CVylYamlMixin* node) {
    if (!node) {
        return;
    }
    if (!m_map.count(key)) {
        m_order.push_back(key);
    }
    m_map[key] = node;
}

void CVylKnownSparseMap::registerOwnedKey(const std::string& key, CVylYamlMixin* node) {
    if (!node) {
        return;
    }
    m_owned.push_back(node);
    registerKey(key, node);
}

CVylYamlMixin* CVylKnownSparseMap::getNode(const std::string& key) const {
    auto it = m_map.find(key);
    return it == m_map.end() ? nullptr : it->second;
}

CVylKnownSparseMap& CVylKnownSparseMap::operator=(const CVylKnownSparseMap& other) {
    if (this == &other) {
        return *this;
    }
    for (auto& kv : m_map) {
        CVylYamlMixin* theirs = other.getNode(kv.first);
        if (theirs) {
            *kv.second = *theirs;
        } else {
            kv.second->clear();
        }
    }
    m_given = other.m_given;
    m_bad = other.m_bad;
    return *this;
}

CVylYamlMixin& CVylKnownSparseMap::operator=(const CVylYamlMixin& other) {
    auto* o = dynamic_cast<const CVylKnownSparseMap*>(&other);
    if (o) {
        return *this = *o;
    }
    clear();
    return *this;
}

bool CVylKnownSparseMap::operator==(const CVylYamlMixin& other) const {
    auto* o = dynamic_cast<const CVylKnownSparseMap*>(&other);
    return o && *this == *o;
}

bool CVylKnownSparseMap::operator==(const CVylKnownSparseMap& other) const {
    if (this == &other) {
        return true;
    }
    if (m_map.size() != other.m_map.size()) {
        return false;
    }
    for (const auto& kv : m_map) {
        CVylYamlMixin* theirs = other.getNode(kv.first);
        if (!theirs || !(*kv.second == *theirs)) {
            return false;
        }
    }
    return true;
}

void CVylKnownSparseMap::clear() {
    for (auto& kv : m_map) {
        kv.second->clear();
    }
    m_given = false;
    m_bad = false;
}

int CVylKnownSparseMap::_yamlParse(yaml_parser_t* parser) {
    clear();
    bool wasNull = false;
    int rc = _yamlParseMap(parser, m_map, false, &wasNull);
    m_given = rc == 0 && !wasNull;
    m_bad = rc != 0;
    return rc;
}

int CVylKnownSparseMap::_yamlEmit(yaml_emitter_t* emitter) const {
    std::vector<std::pair<std::string, const CVylYamlMixin*>> pairs;
    pairs.reserve(m_order.size());
    for (const auto& key : m_order) {
        const CVylYamlMixin* node = m_map.at(key);
        pairs.emplace_back(key, node->isSet() ? node : nullptr);
    }
    return emitPairs(emitter, pairs.begin(), pairs.end());
}

bool CVylKnownSparseMap::valid() const {
    if (m_bad) {
        return false;
    }
    for (const auto& kv : m_map) {
        if (kv.second->isSet() && !kv.second->valid()) {
            return false;
        }
    }
    return true;
}

bool CVylKnownSparseMap::isSet() const {
    if (m_given || m_bad) {
        return true;
    }
    for (const auto& kv : m_map) {
        if (kv.second->isSet()) {
            return true;
        }
    }
    return false;
}
