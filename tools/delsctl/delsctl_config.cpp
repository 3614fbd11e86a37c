// delsctl commands on the node configuration and the database as a whole.
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

int config(const SOptions& options, const Arguments& args) {
    if (!args.empty())
        return fail(EX_USAGE, "config takes no arguments");
    std::string text;
    CStore(options).configuration().toYaml(text);
    std::cout << text << std::endl;
    return EX_OK;
}

int configSet(const SOptions& options, const Arguments& args) {
    if (args.size() != 1)
        return fail(EX_USAGE, "config-set needs one FILE (or - for standard input)");
    const std::string& file = args[0];
    std::stringstream text;
    if (file == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in || !(text << in.rdbuf()))
            return fail(EX_USAGE, "cannot read " + file);
    }
    // Checked before the store is even opened: a bad file changes nothing.
    SDelsNodeConfig config;
    try {
        config.fromYaml(text.str());
    } catch (const CDelsYamlParsingError& error) {
        return fail(EX_USAGE, "invalid configuration in " + file + ": " + error.what());
    }
    CStore(options).setConfiguration(config);
    return EX_OK;
}

int info(const SOptions& options, const Arguments& args) {
    if (!args.empty())
        return fail(EX_USAGE, "info takes no arguments");
    CStore store(options);
    const SDelsNodeConfig config = store.configuration();
    const int count = store.countEvents();
    struct stat st;
    if (::stat(options.dbPath.c_str(), &st) != 0)
        return fail(EX_STORE, "cannot stat " + options.dbPath);
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

} // namespace

const SCommand kConfigCommands[] = {
    {"config", config, "print the stored node configuration as YAML"},
    {"config-set", configSet, "FILE|-  validate a node configuration and store it"},
    {"info", info, "print path, schema revision, node flags, events, file size and limit"},
    {nullptr, nullptr, nullptr},
};

} // namespace delsctl
