// Feeds arbitrary bytes to the confirmation decoder. A decoded confirmation must re-encode and
// decode back to the same record, and list its ids without fault.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "fuzz_dels_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    delsFuzzQuietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return delsFuzzOneInput(data, size, [](const unsigned char* bytes, unsigned short length) {
        const SDelsEventReportConfirm confirm(length, bytes);
        if (!confirm.valid || confirm.wireFormat != 1) {
            abort();
        }
        std::vector<unsigned char> wire(confirm.getWireFormatLength());
        if (confirm.toWireConfirmation(wire.data()) != wire.size()) {
            abort();
        }
        const SDelsEventReportConfirm back(static_cast<unsigned short>(wire.size()), wire.data());
        if (back.id != confirm.id || back.count != confirm.count || back.status != confirm.status ||
            back.errorText != confirm.errorText ||
            back.sessionSequence != confirm.sessionSequence ||
            back.eventSequence != confirm.eventSequence) {
            abort();
        }
        // Listing is linear in the count; large counts only slow the search down.
        if (confirm.count <= 256) {
            std::set<SEventUniqueness> ids;
            confirm.getConfirmedEventIds(ids);
            if (ids.size() != confirm.count) {
                abort();
            }
        }
    });
}
