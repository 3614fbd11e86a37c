// delsctl commands on the node configuration and the database as a whole.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

#include "delsaccess.h"
#include "delsctl.h"

namespace delsctl {
namespace {

// The store as the tool sees it: reads leave the configuration FIFO to the daemons' poll loops.
class CStore : public CDelsAccess {
public:
    explicit CStore(const SOptions& options)
        : CDelsAccess(options.dbPath, options.nodeType, false) {}

    SDelsNodeConfig configuration() {
        SDelsNodeConfig config;
        _readConfiguration(config, m_db);
        return config;
    }
    int countEvents() { return m_statements->countEvents(); }
};

void noArguments(const char* command, const Arguments& args) {
    COptionReader reader(args, {});
    std::string option, value;
    if (reader.next(option, value))
        throw CUsageError(std::string(command) + " takes no argument '" + value + "'");
}

int config(const SOptions& options, const Arguments& args) {
    noArguments("config", args);
    std::string text;
    CStore(options).configuration().toYaml(text);
    std::cout << text << std::endl;
    return EX_OK;
}

int configSet(const SOptions& options, const Arguments& args) {
    std::vector<std::string> operands;
    COptionReader reader(args, {});
    for (std::string option, value; reader.next(option, value);)
        operands.push_back(value);
    if (operands.size() != 1)
        throw CUsageError("config-set needs one FILE (or - for standard input)");
    const std::string& file = operands[0];
    std::stringstream text;
    if (file == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in || !(text << in.rdbuf()))
            throw CUsageError("cannot read " + file + ": " + std::strerror(errno));
    }
    // Checked before the store is even opened: a bad file changes nothing.
    SDelsNodeConfig config;
    try {
        config.fromYaml(text.str());
    } catch (const CDelsYamlParsingError& error) {
        throw CUsageError("invalid configuration in " + file + ": " + error.what());
    }
    CStore(options).setConfiguration(config);
    std::cout << "stored the node configuration of " << options.dbPath << std::endl;
    return EX_OK;
}

int info(const SOptions& options, const Arguments& args) {
    noArguments("info", args);
    CStore store(options);
    const SDelsNodeConfig config = store.configuration();
    const int count = store.countEvents();
    struct stat st;
    if (::stat(options.dbPath.c_str(), &st) != 0)
        throw CStoreError("cannot stat " + options.dbPath + ": " + std::strerror(errno));
    std::cout << "path: " << store.getPath() << "\n"
              << "schemaRevision: " << config.version << "\n"
              << "nodeType: " << options.nodeType << "\n"
              << "isOrigin: " << store.isOrigin() << "\n"
              << "hasNodeId: " << store.hasNodeId() << "\n"
              << "hasForwarded: " << store.hasForwarded() << "\n"
              << "hasDeliverySeverity: " << store.hasDeliverySeverity() << "\n"
              << "hasKey: " << store.hasKey() << "\n"
              << "events: " << count << "\n"
              << "fileSizeBytes: " << st.st_size << "\n"
              << "maxDbSizeKiB: " << config.maxDbSizeKiB << std::endl;
    return EX_OK;
}

int clean(const SOptions& options, const Arguments& args) {
    std::string state;
    COptionReader reader(args, {"--state"});
    for (std::string option, value; reader.next(option, value);) {
        if (option.empty())
            throw CUsageError("clean takes no argument '" + value + "'");
        state = value;
    }
    CStore store(options);
    const int before = store.countEvents();
    store.checkSizeAndCleanDB(state.empty() ? nullptr : state.c_str());
    const int after = store.countEvents();
    std::cout << "removed " << before - after << " event(s), " << after << " kept" << std::endl;
    return EX_OK;
}

} // namespace

const SCommand kConfigCommands[] = {
    {"info", info, READS_STORE, "",
     "print path, schema revision, node type, events, size and limit", ""},
    {"config", config, READS_STORE, "", "print the stored node configuration as YAML", ""},
    {"config-set", configSet, ADDS_TO_STORE, "FILE|-", "check a node configuration and store it",
     "FILE (- for standard input) holds YAML as config prints it: maxDbSizeKiB and\n"
     "deliverySeverityAdjustments. Nothing is stored when it is not valid; a stored one\n"
     "reaches every process that has the database open.\n"},
    {"clean", clean, CHANGES_STORE, "[--state FILE]", "run one size-cleanup pass",
     "  --state FILE      on nodes of type 1 and 2: the forwarding position, a line\n"
     "                    lastEventId=N; the events after it are kept\n"},
    {nullptr, nullptr, NO_STORE, nullptr, nullptr, nullptr},
};

} // namespace delsctl
