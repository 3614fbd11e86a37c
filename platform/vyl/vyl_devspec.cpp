#include "vyl_devspec.h"

#include <cctype>
#include <vector>

namespace {

const char* const kBusUsb = "usb";
const char* const kBusLegacy = "legacy";
const char* const kLevelBus = "bus";
const char* const kLevelNone = "none";
const char* const kBuiltinTty = "tty";

// "0x" and one to four hex digits: a USB id as lsusb and the kernel write it.
bool isHexId(const CVylScalarInteger& id) {
    const std::string& text = id.getStringRef();
    if (text.size() < 3 || text.size() > 6 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    for (size_t i = 2; i < text.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return id.valid();
}

} // namespace

// ---------------------------------------------------------------------------------------------

CVylDeviceWhitelistEntry::CVylDeviceWhitelistEntry() {
    registerKey("idProduct", &m_idProduct);
    registerKey("idVendor", &m_idVendor);
    registerKey("builtin", &m_builtin);
}

CVylYamlMixin* CVylDeviceWhitelistEntry::clone() const {
    auto* copy = new CVylDeviceWhitelistEntry;
    *copy = *this;
    return copy;
}

// ---------------------------------------------------------------------------------------------

CVylDeviceSelector::CVylDeviceSelector() {
    registerKey("DPI", &m_dpis);
}

CVylYamlMixin* CVylDeviceSelector::clone() const {
    auto* copy = new CVylDeviceSelector;
    *copy = *this;
    return copy;
}

// A selector that selects nothing would be a typo ("dpi:") silently widening the search.
bool CVylDeviceSelector::valid() const {
    if (!CVylKnownSparseMap::valid() || !m_dpis.isPopulated() || m_dpis.getLength() == 0)
        return false;
    for (size_t i = 0; i < m_dpis.getLength(); ++i) {
        const CVylScalarInteger* dpi = m_dpis.getElement(i);
        if (!dpi->valid() || dpi->getValue() < 0 || dpi->getValue() > 0xFFFFFFFFLL)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

CVylDeviceSpec::CVylDeviceSpec() {
    registerKey("bus", &m_bus);
    registerKey("devlevel", &m_devlevel);
    registerKey("selector", &m_selector);
    registerKey("whitelist", &m_whitelist);
}

CVylYamlMixin* CVylDeviceSpec::clone() const {
    auto* copy = new CVylDeviceSpec;
    *copy = *this;
    return copy;
}

bool CVylDeviceSpec::valid() const {
    if (!CVylKnownSparseMap::valid())
        return false;
    bool usb = m_bus.isSet() && m_bus.getStringRef() == kBusUsb;
    bool legacy = m_bus.isSet() && m_bus.getStringRef() == kBusLegacy;
    if (!usb && !legacy)
        return false;
    if (m_devlevel.isSet() && m_devlevel.getStringRef() != kLevelBus &&
        m_devlevel.getStringRef() != kLevelNone)
        return false;
    if (m_selector.isSet() && !m_selector.valid())
        return false;
    // An empty whitelist would accept every device on the bus, modems' ports included.
    if (!m_whitelist.isPopulated() || m_whitelist.getLength() == 0)
        return false;
    for (size_t i = 0; i < m_whitelist.getLength(); ++i) {
        const CVylDeviceWhitelistEntry* entry = m_whitelist.getElement(i);
        if (!entry->valid())
            return false;
        bool ids = entry->idVendor().isSet() || entry->idProduct().isSet();
        bool builtin = entry->builtin().isSet();
        if (usb) {
            if (builtin || !entry->idVendor().isSet() || !entry->idProduct().isSet() ||
                !isHexId(entry->idVendor()) || !isHexId(entry->idProduct()))
                return false;
        } else if (ids || !builtin || entry->builtin().getStringRef() != kBuiltinTty) {
            return false;
        }
    }
    return true;
}

EVylDeviceDiscoveryLevel CVylDeviceSpec::level(EVylDeviceDiscoveryLevel fallback) const {
    if (!m_devlevel.isSet())
        return fallback;
    return m_devlevel.getStringRef() == kLevelNone ? EVDDL_NONE : EVDDL_BUS;
}

bool CVylDeviceSpec::toMatch(vyl::SDeviceMatch& match) const {
    match = vyl::SDeviceMatch();
    if (!valid())
        return false;
    if (m_bus.getStringRef() == kBusUsb) {
        match.bus = vyl::SB_USB;
        for (size_t i = 0; i < m_whitelist.getLength(); ++i) {
            const CVylDeviceWhitelistEntry* entry = m_whitelist.getElement(i);
            match.usbIds.push_back({static_cast<unsigned>(entry->idVendor().getValue()),
                                    static_cast<unsigned>(entry->idProduct().getValue())});
        }
    } else {
        match.bus = vyl::SB_LEGACY;
        for (size_t i = 0; i < m_whitelist.getLength(); ++i)
            match.builtins.push_back(m_whitelist.getElement(i)->builtin().getStringRef());
    }
    if (m_selector.isSet()) {
        const auto& dpis = m_selector.dpis();
        for (size_t i = 0; i < dpis.getLength(); ++i)
            match.dpis.push_back(static_cast<uint32_t>(dpis.getElement(i)->getValue()));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

CVylDeviceSpecList::CVylDeviceSpecList(const char* spec, EVylDeviceDiscoveryLevel level)
    : m_class(spec && *spec ? spec : "tty"), m_level(level) {}

CVylDeviceSpecList::CVylDeviceSpecList(const CVylDeviceSpecList& other)
    : CVylYamlMixin(), m_class(other.m_class), m_level(other.m_level), m_specs(other.m_specs),
      m_bad(other.m_bad) {}

CVylDeviceSpecList::~CVylDeviceSpecList() = default;

CVylDeviceSpecList& CVylDeviceSpecList::operator=(const CVylDeviceSpecList& other) {
    if (this != &other) {
        m_class = other.m_class;
        m_level = other.m_level;
        m_specs = other.m_specs;
        m_bad = other.m_bad;
    }
    return *this;
}

CVylYamlMixin& CVylDeviceSpecList::operator=(const CVylYamlMixin& other) {
    auto* list = dynamic_cast<const CVylDeviceSpecList*>(&other);
    if (list)
        *this = *list;
    else
        clear();
    return *this;
}

bool CVylDeviceSpecList::operator==(const CVylYamlMixin& other) const {
    auto* list = dynamic_cast<const CVylDeviceSpecList*>(&other);
    return list && list->m_class == m_class && list->m_level == m_level && list->m_bad == m_bad &&
           list->m_specs == m_specs;
}

void CVylDeviceSpecList::clear() {
    m_specs.clear();
    m_bad = false;
}

int CVylDeviceSpecList::_yamlParse(yaml_parser_t* parser) {
    clear();
    int rc = m_specs._yamlParse(parser);
    m_bad = rc != 0;
    return rc;
}

int CVylDeviceSpecList::_yamlEmit(yaml_emitter_t* emitter) const {
    return m_specs._yamlEmit(emitter);
}

bool CVylDeviceSpecList::valid() const {
    if (m_bad)
        return false;
    for (size_t i = 0; i < m_specs.getLength(); ++i) {
        if (!m_specs.getElement(i)->valid())
            return false;
    }
    return true;
}

int CVylDeviceSpecList::findDevices(std::map<std::string, std::string>& devices) const {
    devices.clear();
    if (!valid())
        return -1;
    std::vector<vyl::SDeviceMatch> matches;
    for (size_t i = 0; i < m_specs.getLength(); ++i) {
        const CVylDeviceSpec* spec = m_specs.getElement(i);
        vyl::SDeviceMatch match;
        if (spec->level(m_level) == EVDDL_BUS && spec->toMatch(match))
            matches.push_back(match);
    }
    if (matches.empty())
        return 0;
    return vyl::findSysfsDevices(m_class, matches, devices);
}
