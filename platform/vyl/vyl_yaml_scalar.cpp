// Scalar nodes: text as given, and its conversion to bool, integer and float.
#include "vyl_yaml.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <strings.h>
#include <typeinfo>

namespace {

bool isNullText(const std::string& t) {
    return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

} // namespace

// ---- text

CVylScalar::CVylScalar(EVylScalarFormat format) : m_format(format) {}

CVylScalar::CVylScalar(EVylScalarFormat format, const std::string& defaultText)
    : m_format(format), m_default(defaultText) {}

CVylYamlMixin& CVylScalar::operator=(const CVylYamlMixin& other) {
    if (this == &other) {
        return *this;
    }
    auto* o = dynamic_cast<const CVylScalar*>(&other);
    if (!o) {
        clear();
        return *this;
    }
    m_text = o->m_text;
    m_set = o->m_set;
    m_bad = false;
    convert();
    // A wrong-kind fault (unset and bad) travels with the value; a failed conversion is found
    // anew by convert().
    if (o->m_bad && !o->m_set) {
        m_bad = true;
    }
    return *this;
}

bool CVylScalar::operator==(const CVylYamlMixin& other) const {
    if (this == &other) {
        return true;
    }
    auto* o = dynamic_cast<const CVylScalar*>(&other);
    return o && typeid(*this) == typeid(*o) && sameValue(*o);
}

bool CVylScalar::operator==(const CVylScalar& other) const {
    return *this == static_cast<const CVylYamlMixin&>(other);
}

bool CVylScalar::operator==(unsigned value) const {
    long long v = 0;
    return CVylScalarInteger::fromText(getStringRef(), v) && v >= 0 &&
           static_cast<unsigned long long>(v) == value;
}

bool CVylScalar::operator!=(const char* text) const {
    return getStringRef() != (text ? text : "");
}

bool CVylScalar::sameValue(const CVylScalar& other) const {
    return m_bad == other.m_bad && getStringRef() == other.getStringRef();
}

void CVylScalar::clear() {
    m_text.clear();
    m_set = false;
    m_bad = false;
    convert();
}

void CVylScalar::setString(const std::string& text) {
    m_text = text;
    m_set = true;
    m_bad = false;
    convert();
}

int CVylScalar::_yamlParse(yaml_parser_t* parser) {
    clear();
    yaml_event_t ev;
    if (_yamlNextEvent(parser, &ev) != 0) {
        m_bad = true;
        return -1;
    }
    int rc = 0;
    if (ev.type != YAML_SCALAR_EVENT) {
        rc = _yamlKindError(ev, "a scalar");
        m_bad = true;
        // Structure starting here is not consumed: the whole parse ends with this fault.
    } else if (!_yamlIsNull(ev)) {
        setString(std::string(reinterpret_cast<const char*>(ev.data.scalar.value),
                              ev.data.scalar.length));
    }
    yaml_event_delete(&ev);
    return rc;
}

yaml_scalar_style_t CVylScalar::emitStyle() const {
    // Written plain, these would read back as null.
    const std::string& t = m_text;
    if (isNullText(t)) {
        return YAML_SINGLE_QUOTED_SCALAR_STYLE;
    }
    if (t.find('\n') != std::string::npos) {
        return YAML_LITERAL_SCALAR_STYLE;
    }
    return YAML_ANY_SCALAR_STYLE;
}

int CVylScalar::_yamlEmit(yaml_emitter_t* emitter) const {
    if (!m_set) {
        return _yamlEmitNull(emitter);
    }
    return _yamlEmitScalar(emitter, m_text, emitStyle());
}

// ---- bool

CVylScalarBool::CVylScalarBool(bool defaultValue) : m_defaultValue(defaultValue) {}

bool CVylScalarBool::fromText(const std::string& text, bool& value) {
    static const char* const yes[] = {"true", "yes", "on"};
    static const char* const no[] = {"false", "no", "off"};
    for (const char* w : yes) {
        if (strcasecmp(text.c_str(), w) == 0 && text.size() == std::strlen(w)) {
            value = true;
            return true;
        }
    }
    for (const char* w : no) {
        if (strcasecmp(text.c_str(), w) == 0 && text.size() == std::strlen(w)) {
            value = false;
            return true;
        }
    }
    return false;
}

void CVylScalarBool::convert() {
    m_ok = m_set && fromText(m_text, m_value);
    if (m_set && !m_ok) {
        m_bad = true;
    }
}

void CVylScalarBool::setValue(bool value) {
    setString(value ? "true" : "false");
}

bool CVylScalarBool::sameValue(const CVylScalar& other) const {
    auto& o = static_cast<const CVylScalarBool&>(other);
    if (m_bad || o.m_bad) {
        return m_bad == o.m_bad && m_text == o.m_text;
    }
    return getValue() == o.getValue();
}

yaml_scalar_style_t CVylScalarBool::emitStyle() const {
    return m_ok ? YAML_PLAIN_SCALAR_STYLE : CVylScalar::emitStyle();
}

// ---- integer

CVylScalarInteger::CVylScalarInteger(long long defaultValue) : m_defaultValue(defaultValue) {}

bool CVylScalarInteger::fromText(const std::string& text, long long& value) {
    const char* p = text.data();
    const char* end = p + text.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    int base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (p == end || *p == '+' || *p == '-') {
        return false;
    }
    unsigned long long magnitude = 0;
    auto res = std::from_chars(p, end, magnitude, base);
    if (res.ec != std::errc() || res.ptr != end) {
        return false;
    }
    const unsigned long long limit =
        static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + (negative ? 1 : 0);
    if (magnitude > limit) {
        return false;
    }
    if (negative) {
        value = magnitude == limit ? std::numeric_limits<long long>::min()
                                   : -static_cast<long long>(magnitude);
    } else {
        value = static_cast<long long>(magnitude);
    }
    return true;
}

void CVylScalarInteger::convert() {
    m_ok = m_set && fromText(m_text, m_value);
    if (m_set && !m_ok) {
        m_bad = true;
    }
}

void CVylScalarInteger::setValue(long long value) {
    setString(std::to_string(value));
}

bool CVylScalarInteger::sameValue(const CVylScalar& other) const {
    auto& o = static_cast<const CVylScalarInteger&>(other);
    if (m_bad || o.m_bad) {
        return m_bad == o.m_bad && m_text == o.m_text;
    }
    return getValue() == o.getValue();
}

yaml_scalar_style_t CVylScalarInteger::emitStyle() const {
    return m_ok ? YAML_PLAIN_SCALAR_STYLE : CVylScalar::emitStyle();
}

// ---- float

CVylScalarFloat::CVylScalarFloat(double defaultValue) : m_defaultValue(defaultValue) {}

bool CVylScalarFloat::fromText(const std::string& text, double& value) {
    const char* p = text.data();
    const char* end = p + text.size();
    if (p < end && *p == '+') {
        ++p;
        if (p < end && *p == '-') {
            return false;
        }
    }
    if (p == end) {
        return false;
    }
    double v = 0;
    auto res = std::from_chars(p, end, v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != end || !std::isfinite(v)) {
        return false;
    }
    value = v;
    return true;
}

void CVylScalarFloat::convert() {
    m_ok = m_set && fromText(m_text, m_value);
    if (m_set && !m_ok) {
        m_bad = true;
    }
}

void CVylScalarFloat::setValue(double value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    setString(std::string(buf, res.ptr));
}

bool CVylScalarFloat::sameValue(const CVylScalar& other) const {
    auto& o = static_cast<const CVylScalarFloat&>(other);
    if (m_bad || o.m_bad) {
        return m_bad == o.m_bad && m_text == o.m_text;
    }
    return getValue() == o.getValue();
}

yaml_scalar_style_t CVylScalarFloat::emitStyle() const {
    return m_ok ? YAML_PLAIN_SCALAR_STYLE : CVylScalar::emitStyle();
}
