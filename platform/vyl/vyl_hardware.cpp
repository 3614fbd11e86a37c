#include "vyl_hardware.h"

#include <cctype>
#include <fstream>

#include "locations.h"

namespace {

std::string defaultName(int code) {
    return "Vyl platform " + std::to_string(code);
}

bool printable(const std::string& text) {
    for (unsigned char c : text)
        if (!std::isprint(c))
            return false;
    return true;
}

} // namespace

CVylHardware::CVylHardware(bool, EVylCpuMcuTransportPathway, const char*)
    : m_code(DEFAULT_PLATFORM), m_name(defaultName(DEFAULT_PLATFORM)) {
    std::ifstream in(vyl::rootPath("etc/vyl/platform"));
    if (!in)
        return;
    std::string line;
    std::getline(in, line);
    size_t pos = 0;
    while (pos < line.size() && std::isdigit(static_cast<unsigned char>(line[pos])))
        ++pos;
    if (pos == 0 || pos > 9)
        return; // not a code: keep the default identity
    m_code = std::stoi(line.substr(0, pos));
    std::string rest = line.substr(pos);
    size_t first = rest.find_first_not_of(" \t");
    size_t last = rest.find_last_not_of(" \t\r");
    rest = first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
    m_name = !rest.empty() && printable(rest) ? rest : defaultName(m_code);
}
