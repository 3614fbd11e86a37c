// Configuration nodes over libyaml: the node base CVylYamlMixin, the known-key map
// CVylKnownSparseMap and the scalars (text, bool, integer, float). A configuration tree is built
// from these (plus the containers of vyl_yaml_dynamic.h), filled from a YAML document and
// emitted back to one. Nodes are plain objects without locking: one thread per tree.
//
// YAML conventions of these nodes
// - A document holds exactly one root node; an empty stream, a null root ("---" alone) or a
//   second document make the parse fail.
// - Null values (an empty plain value "key:", "~", "null", "Null", "NULL", plain only) count as
//   missing: the node is left cleared (scalars keep their construction default, containers stay
//   empty and unset). A quoted '' is an empty text, not a null.
// - Text scalars take any scalar (plain, quoted, literal "|" or folded ">" block) verbatim; no tag
//   resolution is done, so `yes` and `12` are just text there.
// - Booleans: true/false, yes/no, on/off, in any letter case.
// - Integers: optional sign, then decimal digits or 0x/0X and hexadecimal digits, within the
//   64-bit signed range. Leading zeros are decimal (no octal).
// - Floats: decimal or exponent notation ("2.5", ".5", "1e3", "-4"); nan and infinity refused.
// - A typed scalar whose text does not convert is kept (and emitted) as written, but its valid()
//   is false and getValue() gives the construction default.
// - Known sparse maps skip keys they do not know ("ignore unexpected") and leave missing keys
//   cleared ("default missing"); valid() then checks only the members that were given.
// - Structural faults make the parse return non-zero: YAML syntax errors, a mapping or sequence
//   where a scalar is expected (and the other way round), non-scalar mapping keys, duplicate keys
//   in one mapping, aliases (refused so that a small document cannot expand into a huge tree),
//   and nesting deeper than VYL_YAML_MAX_DEPTH collections. The node that met the fault reports
//   valid() false; the tree is left partly filled.
// - Anchors and tags on nodes are ignored.
// - Files larger than VYL_YAML_MAX_FILE_BYTES are refused.
//
// Writing a node type
// - _yamlParse() consumes exactly the events of one node, and must take them only through
//   _yamlNextEvent() (list parsing looks one event ahead and hands it back through it).
// - _yamlEmit() writes exactly one node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>
#include <yaml.h>

constexpr int VYL_YAML_MAX_DEPTH = 64;
constexpr size_t VYL_YAML_MAX_FILE_BYTES = 16u * 1024u * 1024u;

class CVylYamlMixin {
public:
    CVylYamlMixin() = default;
    CVylYamlMixin(const CVylYamlMixin&) = default;
    virtual ~CVylYamlMixin();

    // Copies the other node's content when it is of a compatible kind; otherwise clears.
    virtual CVylYamlMixin& operator=(const CVylYamlMixin& other);
    virtual bool operator==(const CVylYamlMixin& other) const = 0;
    // Back to the state of a freshly built node.
    virtual void clear() = 0;
    // A new deep copy of the same type; the caller owns it.
    virtual CVylYamlMixin* clone() const = 0;
    // Consumes one node; 0 on success.
    virtual int _yamlParse(yaml_parser_t* parser) = 0;
    // Dynamic maps and lists create and store their new children here; nullptr refuses.
    virtual CVylYamlMixin* _allocateStringKeyMapValue(const std::string& key);
    virtual CVylYamlMixin* _allocateListElement();
    virtual void _trimLastListElement();
    // Writes one node; 0 on success.
    virtual int _yamlEmit(yaml_emitter_t* emitter) const = 0;
    virtual bool valid() const = 0;
    // Whether the node holds a value (given in a document or set by code). Known sparse maps
    // validate and emit only members that are set.
    virtual bool isSet() const { return true; }

    bool operator!=(const CVylYamlMixin& other) const { return !(*this == other); }

    // Whole documents. The node is cleared first. 0 on success; otherwise non-zero, with a
    // readable reason (with line and column where libyaml gives them) in *error when given.
    int _yamlParseFile(const char* path, std::string* error = nullptr);
    int _yamlParseBuf(const std::string& text, std::string* error = nullptr);
    // The node as a whole document ("---" ... "..."); 0 on success.
    int _yamlEmitBuf(std::string& text, std::string* error = nullptr) const;

    // Container operations. _yamlParseMap reads a mapping into `map`: known keys parse into
    // their node, unknown keys are skipped unless `dynamicKeys`, in which case the node comes
    // from _allocateStringKeyMapValue(). _yamlParseList reads a sequence, each element from
    // _allocateListElement(); an element that fails is dropped with _trimLastListElement().
    // A null value leaves the container untouched; *wasNull (when given) tells.
    int _yamlParseMap(yaml_parser_t* parser, std::map<std::string, CVylYamlMixin*>& map,
                      bool dynamicKeys, bool* wasNull = nullptr);
    int _yamlParseList(yaml_parser_t* parser, std::vector<CVylYamlMixin*>& list,
                       bool* wasNull = nullptr);
    int _yamlEmitMap(yaml_emitter_t* emitter,
                     const std::map<std::string, CVylYamlMixin*>& map) const;
    int _yamlEmitMap(yaml_emitter_t* emitter,
                     const std::map<std::string, const CVylYamlMixin*>& map) const;
    int _yamlEmitList(yaml_emitter_t* emitter, const std::vector<CVylYamlMixin*>& list) const;

    // Event access for node parsers. _yamlNextEvent fills *event (release it with
    // yaml_event_delete) and returns 0, or records libyaml's error and returns -1.
    static int _yamlNextEvent(yaml_parser_t* parser, yaml_event_t* event);
    // Hands an event back so that the next _yamlNextEvent returns it (one event of lookahead).
    // Takes ownership of the event's content.
    static void _yamlPushBack(yaml_parser_t* parser, yaml_event_t* event);
    // Consumes one whole node whatever its kind (unknown keys).
    static int _yamlSkipNode(yaml_parser_t* parser);
    // Consumes the next event if it is a null scalar (*wasNull true), else leaves it in place.
    static int _yamlTakeNull(yaml_parser_t* parser, bool* wasNull);
    static bool _yamlIsNull(const yaml_event_t& event);
    // Records the first fault of the running parse (at the event's position when given) and
    // returns -1.
    static int _yamlParseError(const yaml_event_t* at, const std::string& what);
    // Wrong-kind fault: "expected <what>, found <kind of event>".
    static int _yamlKindError(const yaml_event_t& found, const char* expected);

    static int _yamlEmitScalar(yaml_emitter_t* emitter, const std::string& text,
                               yaml_scalar_style_t style = YAML_ANY_SCALAR_STYLE);
    static int _yamlEmitNull(yaml_emitter_t* emitter);
};

// A mapping with a fixed set of keys, each bound to a member node by the derived class's
// constructor. Copy construction is refused (the key map points at the members); derived
// classes copy through clone(), which they must provide, and assignment. A derived class reaches
// nodes given to registerOwnedKey() through getNode(), not through a pointer member: the
// implicit copy assignment would make two maps share such a pointer.
class CVylKnownSparseMap : public CVylYamlMixin {
public:
    CVylKnownSparseMap() = default;
    CVylKnownSparseMap(const CVylKnownSparseMap&) = delete;
    ~CVylKnownSparseMap() override;

    CVylKnownSparseMap& operator=(const CVylKnownSparseMap& other);
    // Key by key from another known sparse map; keys it lacks are cleared here.
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override;
    bool operator==(const CVylYamlMixin& other) const override;
    void clear() override;
    int _yamlParse(yaml_parser_t* parser) override;
    // Writes the set members in registration order.
    int _yamlEmit(yaml_emitter_t* emitter) const override;
    // Every set member is valid, and the map itself was not given as a wrong kind.
    bool valid() const override;
    bool isSet() const override;
    // Same keys and equal member nodes under each.
    virtual bool operator==(const CVylKnownSparseMap& other) const;

    bool hasKey(const std::string& key) const { return m_map.count(key) != 0; }
    CVylYamlMixin* getNode(const std::string& key) const;
    const std::vector<std::string>& getKeys() const { return m_order; }

protected:
    // For derived constructors. A second registration of a key replaces the first.
    void registerKey(const std::string& key, CVylYamlMixin* node);
    // The same, and the map deletes the node when it dies.
    void registerOwnedKey(const std::string& key, CVylYamlMixin* node);

private:
    std::map<std::string, CVylYamlMixin*> m_map;
    std::vector<std::string> m_order;
    std::vector<CVylYamlMixin*> m_owned;
    bool m_given = false; // parsed from a mapping or assigned from one that was
    bool m_bad = false;
};

enum EVylScalarFormat {
    // The only scalar format: text written in whatever style reads back unchanged.
    EVSF_DEFAULT = 0,
};

// A scalar as text. Typed variants below convert the text and keep it as written.
class CVylScalar : public CVylYamlMixin {
public:
    explicit CVylScalar(EVylScalarFormat format = EVSF_DEFAULT);
    CVylScalar(EVylScalarFormat format, const std::string& defaultText);

    using CVylYamlMixin::operator!=;
    // From any scalar: takes its text and whether it is set, and converts anew. The construction
    // default stays this node's own.
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override;
    // Same scalar type and the same value (typed scalars: the converted value when both
    // convert, else the text).
    bool operator==(const CVylYamlMixin& other) const override;
    bool operator==(const CVylScalar& other) const;
    // The text read as an integer (decimal or 0x hexadecimal) equals `value`.
    bool operator==(unsigned value) const;
    // Text comparison; a null pointer stands for the empty text.
    bool operator!=(const char* text) const;
    void clear() override;
    CVylYamlMixin* clone() const override { return new CVylScalar(*this); }
    int _yamlParse(yaml_parser_t* parser) override;
    int _yamlEmit(yaml_emitter_t* emitter) const override;
    bool valid() const override { return !m_bad; }
    bool isSet() const override { return m_set; }

    // The current text: as given when set, else the construction default.
    std::string getString() const { return getStringRef(); }
    const std::string& getStringRef() const { return m_set ? m_text : m_default; }
    void setString(const std::string& text);
    EVylScalarFormat getFormat() const { return m_format; }

protected:
    // Typed variants convert m_text here; called whenever the text changes.
    virtual void convert() {}
    // Typed comparison of two scalars of the same dynamic type.
    virtual bool sameValue(const CVylScalar& other) const;
    virtual yaml_scalar_style_t emitStyle() const;

    EVylScalarFormat m_format;
    std::string m_text;
    std::string m_default;
    bool m_set = false;
    bool m_bad = false; // given as a mapping or sequence, or the text did not convert
};

class CVylScalarBool : public CVylScalar {
public:
    explicit CVylScalarBool(bool defaultValue = false);
    using CVylScalar::operator=;
    using CVylScalar::operator==;
    CVylYamlMixin* clone() const override { return new CVylScalarBool(*this); }
    bool getValue() const { return m_ok ? m_value : m_defaultValue; }
    void setValue(bool value);
    // true/false, yes/no, on/off in any letter case.
    static bool fromText(const std::string& text, bool& value);

protected:
    void convert() override;
    bool sameValue(const CVylScalar& other) const override;
    yaml_scalar_style_t emitStyle() const override;

private:
    bool m_defaultValue;
    bool m_value = false;
    bool m_ok = false;
};

class CVylScalarInteger : public CVylScalar {
public:
    explicit CVylScalarInteger(long long defaultValue = 0);
    using CVylScalar::operator=;
    using CVylScalar::operator==;
    CVylYamlMixin* clone() const override { return new CVylScalarInteger(*this); }
    long long getValue() const { return m_ok ? m_value : m_defaultValue; }
    void setValue(long long value);
    // Optional sign, decimal or 0x hexadecimal digits, 64-bit signed range.
    static bool fromText(const std::string& text, long long& value);

protected:
    void convert() override;
    bool sameValue(const CVylScalar& other) const override;
    yaml_scalar_style_t emitStyle() const override;

private:
    long long m_defaultValue;
    long long m_value = 0;
    bool m_ok = false;
};

class CVylScalarFloat : public CVylScalar {
public:
    explicit CVylScalarFloat(double defaultValue = 0.0);
    using CVylScalar::operator=;
    using CVylScalar::operator==;
    CVylYamlMixin* clone() const override { return new CVylScalarFloat(*this); }
    double getValue() const { return m_ok ? m_value : m_defaultValue; }
    void setValue(double value);
    // Decimal or exponent notation, finite values only.
    static bool fromText(const std::string& text, double& value);

protected:
    void convert() override;
    bool sameValue(const CVylScalar& other) const override;
    yaml_scalar_style_t emitStyle() const override;

private:
    double m_defaultValue;
    double m_value = 0.0;
    bool m_ok = false;
};
