// Hardware identity of the gateway: platform code and printable name, read from
// $VYL_ROOT/etc/vyl/platform ("<decimal code>[ <name>]"). Without the file the host counts as
// platform 8. Read once at construction.
#pragma once

#include <string>

typedef int EVylCpuMcuTransportPathway;

class CVylHardware {
public:
    // The arguments select the MCU transport of the real platform; this host has none.
    CVylHardware(bool probe = true, EVylCpuMcuTransportPathway pathway = -1,
                 const char* device = nullptr);

    int getVylPlatform() const { return m_code; }
    std::string getVylPlatformString() const { return m_name; }

    static constexpr int DEFAULT_PLATFORM = 8;

private:
    int m_code;
    std::string m_name;
};
