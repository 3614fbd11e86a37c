// What the event store's decoder fuzz targets share: a quiet logger and one input run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "delslogger.h"
#include "delstypes.h"

// Thousands of rejected buffers a second would flood syslog.
inline void delsFuzzQuietLogger() {
    CDelsLogger::logger().enable(false);
}

// Runs `check(bytes, size)` on an exact copy of the input, so that the sanitizer sees any read
// behind the declared size. Inputs longer than a wire length field can say are skipped; a
// decoder's refusal is an expected outcome, anything else the check finds aborts.
template <class Check> int delsFuzzOneInput(const uint8_t* data, size_t size, Check check) {
    if (size > 0xFFFF)
        return 0;
    std::vector<unsigned char> input(data, data + size);
    try {
        check(input.data(), static_cast<unsigned short>(size));
    } catch (const CDelsEventParsingError&) {
    }
    return 0;
}
