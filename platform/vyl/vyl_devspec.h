// Device specification lists: which devices of a sysfs class (the ttys, by default) an
// application may use, written as a YAML sequence of specifications, and the search of sysfs
// for the devices they accept. One thread per list, like every configuration node.
//
// A specification is a mapping:
//   bus:       usb | legacy                  (required)
//   devlevel:  bus | none                    (optional; the list's default level when missing)
//   selector:  {DPI: [port identifiers]}     (optional; only devices on one of these ports)
//   whitelist: [entries]                     (required, at least one entry)
// usb entries name one adapter, both ids as "0x" and one to four hex digits (USB ids are always
// written in hex; a bare 2303 would silently mean 0x08ff):
//   - idVendor: 0x067b
//     idProduct: 0x2303
// legacy entries name a kind of built-in port; "tty" (an on-board UART) is the only kind:
//   - builtin: tty
// DPIs are integers (decimal or 0x hex) of 32 bits. Unknown keys are skipped, as in every known
// sparse map. A specification at level "none" stays in the document but finds nothing.
//
// The list is valid when every specification is; an empty or missing list is valid and finds
// nothing. A list given as something other than a sequence is invalid.
#pragma once

#include <map>
#include <string>

#include "vyl_sysfs.h"
#include "vyl_yaml.h"
#include "vyl_yaml_dynamic.h"

enum EVylDeviceDiscoveryLevel {
    // Every device of the class on the named bus that the whitelist and selector accept.
    EVDDL_BUS = 0,
    // Nothing: this device specification is switched off.
    EVDDL_NONE = 1,
};

// One whitelist entry: a USB adapter's ids or a built-in port kind.
class CVylDeviceWhitelistEntry : public CVylKnownSparseMap {
public:
    CVylDeviceWhitelistEntry();
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;

    const CVylScalarInteger& idProduct() const { return m_idProduct; }
    const CVylScalarInteger& idVendor() const { return m_idVendor; }
    const CVylScalar& builtin() const { return m_builtin; }

private:
    CVylScalarInteger m_idProduct;
    CVylScalarInteger m_idVendor;
    CVylScalar m_builtin;
};

class CVylDeviceSelector : public CVylKnownSparseMap {
public:
    CVylDeviceSelector();
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;
    bool valid() const override;

    const CVylYamlDynamicList<CVylScalarInteger>& dpis() const { return m_dpis; }

private:
    CVylYamlDynamicList<CVylScalarInteger> m_dpis;
};

class CVylDeviceSpec : public CVylKnownSparseMap {
public:
    CVylDeviceSpec();
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;
    // The rules of the header comment, on top of the map's own checks.
    bool valid() const override;

    const CVylScalar& bus() const { return m_bus; }
    const CVylScalar& devlevel() const { return m_devlevel; }
    const CVylDeviceSelector& selector() const { return m_selector; }
    const CVylYamlDynamicList<CVylDeviceWhitelistEntry>& whitelist() const { return m_whitelist; }
    // The level given in the document, or `fallback` when none is.
    EVylDeviceDiscoveryLevel level(EVylDeviceDiscoveryLevel fallback) const;

    // What this device specification accepts, for the sysfs search; false when it is not valid.
    bool toMatch(vyl::SDeviceMatch& match) const;

private:
    CVylScalar m_bus;
    CVylScalar m_devlevel;
    CVylDeviceSelector m_selector;
    CVylYamlDynamicList<CVylDeviceWhitelistEntry> m_whitelist;
};

class CVylDeviceSpecList : public CVylYamlMixin {
public:
    // `spec` names the sysfs class searched ("tty" when null or empty); `level` applies to
    // specifications without a devlevel.
    CVylDeviceSpecList(const char* spec, EVylDeviceDiscoveryLevel level);
    CVylDeviceSpecList(const CVylDeviceSpecList& other);
    ~CVylDeviceSpecList() override;

    CVylDeviceSpecList& operator=(const CVylDeviceSpecList& other);
    // From another device list (class, level and specifications); anything else clears.
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override;
    // Same class, level and specifications (in any order).
    bool operator==(const CVylYamlMixin& other) const override;
    using CVylYamlMixin::operator!=;
    void clear() override;
    CVylYamlMixin* clone() const override { return new CVylDeviceSpecList(*this); }
    int _yamlParse(yaml_parser_t* parser) override;
    int _yamlEmit(yaml_emitter_t* emitter) const override;
    bool valid() const override;
    bool isSet() const override { return m_specs.isSet() || m_bad; }

    // Empties `devices`, then fills it with device node ("$VYL_ROOT/dev/NAME") -> resolved sysfs
    // directory of every device of the class that some specification accepts. The count, or -1
    // when the list is invalid or the class folder cannot be read.
    int findDevices(std::map<std::string, std::string>& devices) const;

    size_t size() const { return m_specs.getLength(); }
    const CVylDeviceSpec* getSpec(size_t index) const { return m_specs.getElement(index); }
    const std::string& getDeviceClass() const { return m_class; }
    EVylDeviceDiscoveryLevel getLevel() const { return m_level; }

private:
    std::string m_class;
    EVylDeviceDiscoveryLevel m_level;
    CVylYamlDynamicList<CVylDeviceSpec> m_specs;
    bool m_bad = false; // given as something other than a sequence
};
