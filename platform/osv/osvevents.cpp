#include "osvevents.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace osv {

unsigned scaledDegrees(double degrees) {
    const double scaled = degrees * 8388608.0;
    // Written so that NaN fails too; converting anything outside the range is undefined.
    if (!(scaled > -2147483649.0 && scaled < 2147483648.0))
        return 0;
    return static_cast<unsigned>(static_cast<int32_t>(scaled));
}

unsigned floatBits(float value) {
    static_assert(sizeof(float) == sizeof(uint32_t), "32-bit floats");
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::string signalStrengthText(double dbm, double snr) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << "dBm=" << dbm << ",SNR=" << snr;
    return text.str();
}

std::string wanDetailText(const char* friendlyName,
                          std::initializer_list<std::pair<const char*, const char*>> keyed) {
    std::string text = "friendlyName=";
    text += friendlyName ? friendlyName : "";
    for (const auto& key : keyed)
        if (key.second && *key.second)
            text.append(key.first).append(key.second);
    return text;
}

} // namespace osv
