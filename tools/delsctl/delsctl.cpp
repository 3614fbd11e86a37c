// delsctl: global options, then one command of the groups' tables.
#include "delsctl.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sys/stat.h>

#include "locations.h"
#include "tessarc_version.h"
#include "vyl_fs.h"

namespace delsctl {

int fail(int status, const std::string& message) {
    std::cerr << "delsctl: " << message << std::endl;
    return status;
}

} // namespace delsctl

namespace {

using namespace delsctl;

// One line per command group.
const SCommand* const kGroups[] = {
    kConfigCommands,
    kSendCommands,
    kReadCommands,
};

void printUsage(std::ostream& out) {
    out << "usage: delsctl [--db PATH] [--node-type N] COMMAND [ARGS]\n"
           "  --db PATH        event database (default "
        << getLocation(DELS_DB_FILE_INDEX)
        << ")\n"
           "  --node-type N    0 origin, 1 relay, 2 sink (default 0)\n"
           "commands:\n";
    for (const SCommand* group : kGroups)
        for (const SCommand* command = group; command->name; ++command)
            out << "  " << std::left << std::setw(12) << command->name << command->usage << "\n";
}

const SCommand* findCommand(const std::string& name) {
    for (const SCommand* group : kGroups)
        for (const SCommand* command = group; command->name; ++command)
            if (name == command->name)
                return command;
    return nullptr;
}

// The platform's own database folder is made on first use (group-writable: SQLite creates its
// journal there for every process of the group).
int prepareDefaultFolder() {
    const std::string folder = getLocation(DELS_DB_DIR_INDEX);
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0)
        return EX_OK;
    if (vyl::makeDirs(folder, 0775) != 0 || ::chmod(folder.c_str(), 0775) != 0)
        return fail(EX_STORE, "cannot create " + folder);
    return EX_OK;
}

// 0, 1 or 2 in decimal; -1 for anything else.
int parseNodeType(const std::string& text) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '2')
        return -1;
    return text[0] - '0';
}

} // namespace

int main(int argc, char** argv) {
    if (tessarcPrintVersion(argc, argv, "delsctl"))
        return EX_OK;
    SOptions options;
    options.dbPath = getLocation(DELS_DB_FILE_INDEX);
    int index = 1;
    for (; index < argc && argv[index][0] == '-'; ++index) {
        const std::string option = argv[index];
        if (option == "--help" || option == "-h") {
            printUsage(std::cout);
            return EX_OK;
        }
        if (option != "--db" && option != "--node-type")
            return fail(EX_USAGE, "unknown option " + option + " (see --help)");
        if (index + 1 >= argc)
            return fail(EX_USAGE, option + " needs a value");
        const std::string value = argv[++index];
        if (option == "--db") {
            if (value.empty())
                return fail(EX_USAGE, "--db needs a path");
            options.dbPath = value;
        } else {
            int type = parseNodeType(value);
            if (type < 0)
                return fail(EX_USAGE, "--node-type must be 0, 1 or 2, not '" + value + "'");
            options.nodeType = static_cast<DelsNodeType>(type);
        }
    }
    if (index >= argc)
        return fail(EX_USAGE, "no command (see --help)");
    const SCommand* command = findCommand(argv[index]);
    if (!command)
        return fail(EX_USAGE, std::string("unknown command ") + argv[index] + " (see --help)");
    if (options.dbPath == getLocation(DELS_DB_FILE_INDEX) && prepareDefaultFolder() != EX_OK)
        return EX_STORE;
    try {
        return command->run(options, Arguments(argv + index + 1, argv + argc));
    } catch (const std::exception& error) {
        return fail(EX_STORE, error.what());
    }
}
