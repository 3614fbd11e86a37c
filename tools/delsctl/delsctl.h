// delsctl, the operator's tool for the event store: what its command groups share. Each group
// (delsctl_<group>.cpp) defines one command table; delsctl.cpp parses the global options, checks
// the database path, dispatches through the tables of every group and turns what a command
// throws into one line on standard error and an exit status. Single-threaded.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "delstypes.h"

namespace delsctl {

// Exit statuses: bad arguments or input, and a failing store (or file system).
enum EExit { EX_OK = 0, EX_STORE = 1, EX_USAGE = 2 };

// Bad input: one line on standard error and exit status 2.
class CUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The store or a file failed: exit status 1 (anything else thrown is reported the same way).
class CStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The global options, parsed before the command.
struct SOptions {
    std::string dbPath;
    DelsNodeType nodeType = DNT_ORIGIN;
};

using Arguments = std::vector<std::string>;
// A command gets the global options and the arguments after its name; it returns the exit
// status or throws.
using CommandFunction = int (*)(const SOptions& options, const Arguments& args);

// What a command does with the database at --db. Only the commands that add something create
// a database there (the platform's own default database is created on first use by every
// command); the commands that change it need write access to it.
enum EStoreUse { NO_STORE, READS_STORE, CHANGES_STORE, ADDS_TO_STORE };

struct SCommand {
    const char* name; // null ends a table
    CommandFunction run;
    EStoreUse store;
    const char* synopsis; // the arguments, for the command list and the command's usage line
    const char* summary;  // what it does, in a few words
    const char* help;     // the command's options and details, one or more full lines
};

// Writes "delsctl: <message>" on standard error; returns `status`.
int fail(int status, const std::string& message);

// A whole number, decimal or hexadecimal after 0x, from `low` to `high`; else CUsageError
// naming `what`.
unsigned long long numberArgument(const std::string& what, const std::string& text,
                                  unsigned long long low, unsigned long long high);
// 0 to 14, or one of the names critical, high, normal, discardable, archive.
DelsSeverity severityArgument(const std::string& what, const std::string& text);

// Walks a command's arguments: options as "--name VALUE" or "--name=VALUE", flags as "--name";
// anything else (a lone "-" included) is an operand. An option the command does not know is
// refused before any value is looked at.
class COptionReader {
public:
    COptionReader(const Arguments& args, std::vector<std::string> valued,
                  std::vector<std::string> flags = {});
    // False at the end; an operand comes with an empty `option`, a flag with an empty value.
    bool next(std::string& option, std::string& value);

private:
    const Arguments& m_args;
    const std::vector<std::string> m_valued;
    const std::vector<std::string> m_flags;
    size_t m_at = 0;
};

// The command tables of the groups (each ended by an entry with a null name).
extern const SCommand kConfigCommands[]; // delsctl_config.cpp: info, config, config-set, clean
extern const SCommand kSendCommands[];   // delsctl_send.cpp: send
extern const SCommand kReadCommands[];   // delsctl_read.cpp: list, follow, mark, remove, ...

} // namespace delsctl
