// Feeds arbitrary bytes to the confirmation decoder. A decoded confirmation must re-encode to
// exactly the bytes it was read from, and list its ids without fault.
#include <algorithm>
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
        if (!confirm.valid || confirm.wireFormat != 1)
            abort();
        std::vector<unsigned char> wire(confirm.getWireFormatLength());
        if (wire.size() > length || confirm.toWireConfirmation(wire.data()) != wire.size() ||
            !std::equal(wire.begin(), wire.end(), bytes))
            abort();
        // Listing is linear in the count; large counts only slow the search down.
        if (confirm.count <= 256) {
            std::set<SEventUniqueness> ids;
            confirm.getConfirmedEventIds(ids);
            if (ids.size() != confirm.count)
                abort();
        }
    });
}
