// Size cleanup of the event database: the estimate that decides how many events go, and the
// forwarding position a keyed node's agent leaves in its state file. Pure functions; the pass
// itself runs on a store's connection (CDelsAccess::checkSizeAndCleanDB).
#pragma once

#include <string>

struct SDelsCleanupEstimate {
    // Estimated bytes per stored event, and bytes freed per deleted one.
    static constexpr unsigned long long BYTES_PER_EVENT = 114;
    static constexpr unsigned long long BYTES_FREED_PER_EVENT = 54;

    // All sizes in 64 bits: limits of 4 GiB and more and tens of millions of rows are real.
    SDelsCleanupEstimate(unsigned long long count, unsigned long long fileSize,
                         unsigned maxDbSizeKiB);

    unsigned long long count;
    unsigned long long used;     // count x 114
    unsigned long long fileSize; // bytes
    unsigned long long target;   // 90 % of the limit, computed in single precision
    bool tooBig;                 // the file itself is over the limit
    // The estimate's excess decides when it exceeds the target (then the numbers are exactly
    // (used - target) / 54). When only the file is too big (large texts), the share of events
    // whose removal brings the file back under the target, at least one.
    unsigned long long trimCount;
    bool estimateDecides;
};

// What one connection knows of the number of events between its cleanup passes: counting a
// large table after every batch is the pass's main cost, and while no other connection has
// committed (SQLite's data_version is unchanged) the number is the last count plus what this
// connection inserted since.
struct SDelsEventCount {
    bool known = false;
    long long count = 0;
    long long dataVersion = 0;
};

// The forwarding position of a keyed node: the value of the first "lastEventId" line, its
// leading digits (saturating), less the margin of 1000 when above it. False when the file cannot
// be read, has no such line, or the value is empty.
bool delsLastEventIdFromStateFile(const std::string& path, long long& lastEventId);
