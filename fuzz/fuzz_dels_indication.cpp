// Feeds arbitrary bytes to the event indication decoder (formats 0 and 1). A decoded event
// must re-encode as format 1 and decode back to the same record.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "fuzz_dels_common.h"

namespace {
constexpr unsigned long long kLow48 = 0xFFFFFFFFFFFFULL;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    delsFuzzQuietLogger();
    setenv("TZ", "UTC0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return delsFuzzOneInput(data, size, [](const unsigned char* bytes, unsigned short length) {
        const CDelsMetaEvent event(length, bytes);
        if (!event.getValid() || event.getAdditionalInfo().size() > DELS_MAX_ADDITIONAL_INFO ||
            event.getWireFormatLength() > length)
            abort();
        for (bool limit : {true, false}) {
            std::vector<unsigned char> wire(event.wireIndicationLength(limit));
            if (event.toWireIndication(wire.data(), 0, limit) != wire.size() ||
                wire.size() > event.getBufferLength())
                abort();
            const CDelsMetaEvent back(static_cast<unsigned short>(wire.size()), wire.data());
            if (back.getId() != event.getId() ||
                back.getTimestamp() != (event.getTimestamp() & kLow48) ||
                back.getNodeId() != (event.getNodeId() & kLow48) ||
                back.getMessageId() != event.getMessageId() ||
                back.getParam0() != event.getParam0() || back.getParam1() != event.getParam1() ||
                back.getAdditionalInfo() != event.getAdditionalInfo())
                abort();
        }
    });
}
