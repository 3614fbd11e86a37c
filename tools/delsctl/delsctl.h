// delsctl, the operator's tool for the event store: what its command groups share. Each group
// (delsctl_<group>.cpp) defines one command table; delsctl.cpp parses the global options and
// dispatches through the tables of every group. Single-threaded.
#pragma once

#include <string>
#include <vector>

#include "delstypes.h"

namespace delsctl {

// Exit statuses: bad arguments or input, and a failing store (or file system).
enum EExit { EX_OK = 0, EX_STORE = 1, EX_USAGE = 2 };

// The global options, parsed before the command.
struct SOptions {
    std::string dbPath;
    DelsNodeType nodeType = DNT_ORIGIN;
};

using Arguments = std::vector<std::string>;
// A command gets the global options and the arguments after its name; it returns the exit
// status. Store failures may also be thrown: main reports them and exits with EX_STORE.
using CommandFunction = int (*)(const SOptions& options, const Arguments& args);

struct SCommand {
    const char* name; // null ends a table
    CommandFunction run;
    const char* usage; // one line: arguments, then what it does
};

// Writes "delsctl: <message>" on standard error; returns `status`.
int fail(int status, const std::string& message);

// The command tables of the groups (each ended by an entry with a null name).
extern const SCommand kConfigCommands[]; // delsctl_config.cpp: config, config-set, info
extern const SCommand kSendCommands[];   // delsctl_send.cpp: send, clean
extern const SCommand kReadCommands[];   // delsctl_read.cpp: list, mark, remove, follow, ...

} // namespace delsctl
