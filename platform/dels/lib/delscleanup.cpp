#include "delscleanup.h"

#include <climits>
#include <fstream>

namespace {
constexpr long long kKeyMargin = 1000;
}

SDelsCleanupEstimate::SDelsCleanupEstimate(unsigned long long count_, unsigned long long fileSize_,
                                           unsigned maxDbSizeKiB)
    : count(count_), used(count_ * BYTES_PER_EVENT), fileSize(fileSize_),
      target(static_cast<unsigned long long>(
          static_cast<float>(static_cast<unsigned long long>(maxDbSizeKiB) * 1024ULL) * 0.9f)),
      tooBig(fileSize_ / 1024ULL > maxDbSizeKiB), trimCount(0), estimateDecides(false) {
    if (used > target) {
        estimateDecides = true;
        trimCount = (used - target) / BYTES_FREED_PER_EVENT;
    } else if (tooBig) {
        // Events are larger than the estimate says: one event per pass (and a vacuum each time)
        // would take thousands of passes. Remove the share of rows that matches the share of the
        // file above the target instead.
        const unsigned long long excess = fileSize - target;
        const long double share = static_cast<long double>(excess) / fileSize;
        trimCount = static_cast<unsigned long long>(share * count) + 1;
        if (trimCount > count && count > 0) {
            trimCount = count;
        }
    }
}

bool delsLastEventIdFromStateFile(const std::string& path, long long& lastEventId) {
    std::ifstream in(path);
    std::string line;
    while (in && std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.compare(0, equals, "lastEventId") != 0) {
            continue;
        }
        const std::string value = line.substr(equals + 1);
        if (value.empty()) {
            return false;
        }
        long long number = 0;
        for (char c : value) {
            if (c < '0' || c > '9') {
                break;
            }
            const int digit = c - '0';
            number = number > (LLONG_MAX - digit) / 10 ? LLONG_MAX : number * 10 + digit;
        }
        lastEventId = number > kKeyMargin ? number - kKeyMargin : number;
        return true;
    }
    return false;
}
