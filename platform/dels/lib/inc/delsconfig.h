// Node configuration of an event database: the size limit of the size cleanup and the
// delivery-severity adjustments of delegation, kept as YAML text inside the database so that
// every process on the database sees the same values. Plain values: any thread.
#pragma once

#include <map>
#include <set>
#include <sqlite3.h>
#include <string>

#include "delserrors.h"

// Which older events a new event of `messageId` re-rates, and with which delegation functions.
struct SDelsDeliverySeverityAdjustment {
    // Bits of `matchFlags`: an older event must share these fields with the new one.
    enum EMatch : unsigned { EM_PARAM0 = 1, EM_PARAM1 = 2, EM_ADDITIONAL_INFO = 4 };

    SDelsDeliverySeverityAdjustment() = default;
    SDelsDeliverySeverityAdjustment(unsigned id, unsigned flags)
        : messageId(id), matchFlags(flags) {}

    void clear() { functionNames.clear(); }
    void add(const std::string& name) { functionNames.insert(name); }
    bool operator==(const SDelsDeliverySeverityAdjustment& other) const {
        return messageId == other.messageId && matchFlags == other.matchFlags &&
               functionNames == other.functionNames;
    }
    bool operator!=(const SDelsDeliverySeverityAdjustment& other) const {
        return !(*this == other);
    }

    unsigned messageId = 0;
    unsigned matchFlags = 0;
    // Run in byte-wise ascending order.
    std::set<std::string> functionNames;
};

struct SDelsNodeConfig {
    static constexpr unsigned CURRENT_VERSION = 3;

    SDelsNodeConfig() = default;
    // Throws CDelsYamlParsingError; the text must name maxDbSizeKiB.
    explicit SDelsNodeConfig(const std::string& yamlText);
    // The configuration stored in `db` (old `configuration` table first, else
    // `yamlConfiguration`). Throws CDelsDatabaseError when none can be read.
    explicit SDelsNodeConfig(sqlite3* db);

    bool operator==(const SDelsNodeConfig& other) const {
        return version == other.version && maxDbSizeKiB == other.maxDbSizeKiB &&
               adjustments == other.adjustments;
    }
    bool operator!=(const SDelsNodeConfig& other) const { return !(*this == other); }

    // Copies the adjustment of `messageId` into `out`; false (out untouched) when none.
    bool getDSA(unsigned messageId, SDelsDeliverySeverityAdjustment& out) const;
    void setDSA(unsigned messageId, const SDelsDeliverySeverityAdjustment& adjustment);

    // Replaces the adjustments and the size limit; `version` is kept. Throws
    // CDelsYamlParsingError.
    void fromYaml(const std::string& text);
    // Adjustments whose flags are not 0, 1, 2 or 4 are left out.
    void toYaml(std::string& out) const;
    // Stores version and YAML text in the one row of `yamlConfiguration` (creating the row when
    // it is missing). Throws CDelsDatabaseError.
    void updateDatabase(sqlite3* db) const;

    unsigned version = CURRENT_VERSION;
    unsigned maxDbSizeKiB = 8192;
    std::map<unsigned, SDelsDeliverySeverityAdjustment> adjustments;
};
