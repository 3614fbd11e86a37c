// Arbitrary text into a device specification list, the serial device part of the bridge's
// configuration. Whatever the parse gives, the list is copied and compared, each specification
// is turned into its sysfs match, and the list is written and read back to an equal list.
#include "vyl_devspec.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CVylDeviceSpecList list("", EVDDL_BUS);
    std::string error;
    const int rc = list._yamlParseBuf(text, &error);
    if (rc != 0 && error.empty())
        std::abort(); // a failure always says why
    const bool valid = list.valid();
    bool allMatch = true;
    for (size_t i = 0; i < list.size(); ++i) {
        const CVylDeviceSpec* spec = list.getSpec(i);
        if (spec == nullptr)
            std::abort();
        (void)spec->level(EVDDL_BUS);
        vyl::SDeviceMatch match;
        const bool matched = spec->toMatch(match);
        if (matched != spec->valid())
            std::abort(); // exactly the valid specifications search
        allMatch = allMatch && matched;
    }
    if (valid && !allMatch)
        std::abort();

    std::unique_ptr<CVylYamlMixin> copy(list.clone());
    if (!(*copy == list) || copy->valid() != valid)
        std::abort();
    CVylDeviceSpecList assigned("usbmisc", EVDDL_NONE);
    assigned = list;
    if (!(assigned == list))
        std::abort();

    std::string out;
    if (list._yamlEmitBuf(out) != 0)
        return 0; // text that libyaml will not write (a parse left bytes it refuses)
    if (rc == 0) {
        CVylDeviceSpecList back("", EVDDL_BUS);
        if (back._yamlParseBuf(out, &error) != 0 || !(back == list) || back.valid() != valid)
            std::abort();
    }
    return 0;
}
