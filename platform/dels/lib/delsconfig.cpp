#include "delsconfig.h"

#include <yaml-cpp/yaml.h>

#include "delslogger.h"
#include "delssqlite3.h"

namespace {

using EMatch = SDelsDeliverySeverityAdjustment::EMatch;

// Writing order of the categories; "simple" stands for every name that is not one of the others.
const std::pair<const char*, unsigned> kCategories[] = {
    {"additionalInfo", EMatch::EM_ADDITIONAL_INFO},
    {"param0", EMatch::EM_PARAM0},
    {"param1", EMatch::EM_PARAM1},
    {"simple", 0},
};

unsigned categoryFlags(const std::string& name) {
    for (const auto& category : kCategories)
        if (name == category.first)
            return category.second;
    return 0;
}

const char* kindName(const YAML::Node& node) {
    switch (node.Type()) {
    case YAML::NodeType::Null:
        return "Null";
    case YAML::NodeType::Scalar:
        return "Scalar";
    case YAML::NodeType::Sequence:
        return "Sequence";
    case YAML::NodeType::Map:
        return "Map";
    default:
        return "Undefined";
    }
}

void expect(const YAML::Node& node, YAML::NodeType::value type) {
    if (node.Type() == type)
        return;
    CDelsLogger::logger().logDebug("got YAML content %s", kindName(node));
    throw CDelsYamlParsingError(type == YAML::NodeType::Map ? "invalid node: expected MAP"
                                                            : "invalid node: expected SEQUENCE",
                                node.Mark().line < 0 ? 0 : node.Mark().line + 1);
}

// The first row of `sql` through `read`; false when there is none. Throws on a failed query.
template <class Read> bool readFirstRow(sqlite3* db, const std::string& sql, Read read) {
    sqlite3_stmt* raw = nullptr;
    int result = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    CDelsStatementFinalize stmt(raw);
    if (result != SQLITE_OK)
        throw CDelsDatabaseError(result, sqlite3_errmsg(db), sql, __LINE__);
    result = sqlite3_step(raw);
    if (result == SQLITE_ROW)
        return read(raw);
    if (result != SQLITE_DONE)
        throw CDelsDatabaseError(result, sqlite3_errmsg(db), sql, __LINE__);
    return false;
}

} // namespace

SDelsNodeConfig::SDelsNodeConfig(const std::string& yamlText) {
    fromYaml(yamlText);
}

SDelsNodeConfig::SDelsNodeConfig(sqlite3* db) {
    // The first of the two in name order: the old table wins when both exist.
    std::string table = "unknown";
    const char* scan = "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;\n";
    sqlite3_stmt* raw = nullptr;
    int result = sqlite3_prepare_v2(db, scan, -1, &raw, nullptr);
    CDelsStatementFinalize names(raw);
    if (result == SQLITE_OK) {
        while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
            if (name == "configuration" || name == "yamlConfiguration") {
                table = name;
                result = SQLITE_DONE;
                break;
            }
        }
    }
    if (result != SQLITE_DONE)
        throw CDelsDatabaseError(result, sqlite3_errmsg(db), scan, __LINE__);
    CDelsLogger::logger().logDebug("SDelsNodeConfig c'tor using table %s", table.c_str());
    bool read = false;
    if (table == "configuration") {
        read =
            readFirstRow(db,
                         std::string("SELECT version, upstreamHostName, upstreamUdpPort, ") +
                             "upstreamTcpPort, maximumDatabaseSizeKib " + "FROM configuration;\n",
                         [&](sqlite3_stmt* stmt) {
                             version = static_cast<unsigned>(sqlite3_column_int64(stmt, 0));
                             maxDbSizeKiB = static_cast<unsigned>(sqlite3_column_int64(stmt, 4));
                             return true;
                         });
    } else if (table == "yamlConfiguration") {
        read = readFirstRow(db, "SELECT version, yaml FROM yamlConfiguration;\n",
                            [&](sqlite3_stmt* stmt) {
                                version = static_cast<unsigned>(sqlite3_column_int64(stmt, 0));
                                const unsigned char* text = sqlite3_column_text(stmt, 1);
                                if (!text)
                                    return true;
                                try {
                                    fromYaml(reinterpret_cast<const char*>(text));
                                    return true;
                                } catch (const CDelsYamlParsingError&) {
                                    CDelsLogger::logger().logError("YAML text was: %s", text);
                                    return false;
                                }
                            });
    }
    if (!read)
        throw CDelsDatabaseError(-1, "Failed to read DELS node config", "", __LINE__);
}

bool SDelsNodeConfig::getDSA(unsigned messageId, SDelsDeliverySeverityAdjustment& out) const {
    auto found = adjustments.find(messageId);
    if (found == adjustments.end())
        return false;
    out = found->second;
    return true;
}

void SDelsNodeConfig::setDSA(unsigned messageId,
                             const SDelsDeliverySeverityAdjustment& adjustment) {
    adjustments[messageId] = adjustment;
}

void SDelsNodeConfig::fromYaml(const std::string& text) {
    try {
        YAML::Node root = YAML::Load(text);
        if (root.IsNull())
            throw CDelsYamlParsingError("no document");
        expect(root, YAML::NodeType::Map);
        std::map<unsigned, SDelsDeliverySeverityAdjustment> parsed;
        const YAML::Node all = root["deliverySeverityAdjustments"];
        if (!all)
            throw CDelsYamlParsingError("missing key: deliverySeverityAdjustments");
        expect(all, YAML::NodeType::Map);
        for (const auto& category : all) {
            const unsigned flags = categoryFlags(category.first.as<std::string>());
            expect(category.second, YAML::NodeType::Map);
            for (const auto& entry : category.second) {
                SDelsDeliverySeverityAdjustment adjustment(entry.first.as<unsigned>(), flags);
                expect(entry.second, YAML::NodeType::Sequence);
                for (const auto& name : entry.second)
                    adjustment.add(name.as<std::string>());
                parsed[adjustment.messageId] = adjustment;
            }
        }
        const YAML::Node size = root["maxDbSizeKiB"];
        if (!size)
            throw CDelsYamlParsingError("missing key: maxDbSizeKiB");
        maxDbSizeKiB = size.as<unsigned>();
        adjustments.swap(parsed);
    } catch (const YAML::Exception& error) {
        throw CDelsYamlParsingError(error.msg, error.mark.line < 0 ? 0 : error.mark.line + 1);
    }
}

void SDelsNodeConfig::toYaml(std::string& out) const {
    YAML::Emitter yaml;
    yaml << YAML::BeginMap << YAML::Key << "deliverySeverityAdjustments" << YAML::Value
         << YAML::BeginMap;
    for (const auto& category : kCategories) {
        bool empty = true;
        for (const auto& entry : adjustments)
            empty &= entry.second.matchFlags != category.second;
        // An empty block map would go on a line of its own.
        yaml << YAML::Key << category.first << YAML::Value;
        if (empty)
            yaml << YAML::Flow;
        yaml << YAML::BeginMap;
        for (const auto& entry : adjustments) {
            if (entry.second.matchFlags != category.second)
                continue;
            yaml << YAML::Key << entry.first << YAML::Value << YAML::Flow << YAML::BeginSeq;
            for (const auto& name : entry.second.functionNames)
                yaml << name;
            yaml << YAML::EndSeq;
        }
        yaml << YAML::EndMap;
    }
    yaml << YAML::EndMap << YAML::Key << "maxDbSizeKiB" << YAML::Value << maxDbSizeKiB
         << YAML::EndMap;
    out = yaml.c_str();
}

void SDelsNodeConfig::updateDatabase(sqlite3* db) const {
    std::string text;
    toYaml(text);
    // The row is created when missing; a savepoint keeps the two steps one change, inside or
    // outside a caller's transaction.
    const std::string update =
        "UPDATE yamlConfiguration SET version =" + std::to_string(version) + ", yaml = ?;";
    const char* insert = "INSERT INTO yamlConfiguration VALUES (?1, ?2);";
    auto run = [&](const std::string& sql, bool withVersion) {
        sqlite3_stmt* raw = nullptr;
        int result = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
        CDelsStatementFinalize stmt(raw);
        if (result == SQLITE_OK && withVersion)
            result = sqlite3_bind_int64(raw, 1, version);
        if (result == SQLITE_OK)
            result = sqlite3_bind_text(raw, withVersion ? 2 : 1, text.c_str(),
                                       static_cast<int>(text.size()), SQLITE_TRANSIENT);
        if (result == SQLITE_OK)
            result = sqlite3_step(raw);
        if (result != SQLITE_DONE)
            throw CDelsDatabaseError(result, sqlite3_errmsg(db), sql, __LINE__);
    };
    auto exec = [&](const char* sql) {
        int result = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (result != SQLITE_OK)
            throw CDelsDatabaseError(result, sqlite3_errmsg(db), sql, __LINE__);
    };
    exec("SAVEPOINT storeConfiguration;");
    try {
        run(update, false);
        if (sqlite3_changes(db) == 0)
            run(insert, true);
        exec("RELEASE storeConfiguration;");
    } catch (const CDelsDatabaseError&) {
        sqlite3_exec(db, "ROLLBACK TO storeConfiguration; RELEASE storeConfiguration;", nullptr,
                     nullptr, nullptr);
        throw;
    }
}
