// Feeds arbitrary bytes to the event indication decoder (formats 0 and 1). A decoded event
// must re-encode as format 1 and decode back to the same record.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "delslogger.h"
#include "delstypes.h"

namespace {
constexpr unsigned long long kLow48 = 0xFFFFFFFFFFFFULL;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Thousands of rejected buffers a second would flood syslog.
    CDelsLogger::logger().enable(false);
    setenv("TZ", "UTC0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFF) {
        return 0;
    }
    // An exact copy, so that the sanitizer sees any read behind the declared size.
    std::vector<unsigned char> input(data, data + size);
    try {
        const CDelsMetaEvent event(static_cast<unsigned short>(size), input.data());
        if (!event.getValid() || event.getAdditionalInfo().size() > DELS_MAX_ADDITIONAL_INFO ||
            event.getWireFormatLength() > size) {
            abort();
        }
        for (bool limit : {true, false}) {
            std::vector<unsigned char> wire(event.wireIndicationLength(limit));
            if (event.toWireIndication(wire.data(), 0, limit) != wire.size()) {
                abort();
            }
            const CDelsMetaEvent back(static_cast<unsigned short>(wire.size()), wire.data());
            if (back.getId() != event.getId() ||
                back.getTimestamp() != (event.getTimestamp() & kLow48) ||
                back.getNodeId() != (event.getNodeId() & kLow48) ||
                back.getMessageId() != event.getMessageId() ||
                back.getParam0() != event.getParam0() || back.getParam1() != event.getParam1() ||
                back.getAdditionalInfo() != event.getAdditionalInfo()) {
                abort();
            }
        }
    } catch (const CDelsEventParsingError&) {
    }
    return 0;
}
