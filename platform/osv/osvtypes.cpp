#include "osvtypes.h"

#include <ctime>

namespace {

uint64_t clockMillis(clockid_t clock) {
    struct timespec now = {};
    ::clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

} // namespace

SVylTimestampedInfo::SVylTimestampedInfo(bool valid)
    : m_todTimestamp(clockMillis(CLOCK_REALTIME)), m_monTimestamp(clockMillis(CLOCK_MONOTONIC)),
      m_valid(valid) {}
