// delsctl: global options, then one command of the groups' tables.
#include "delsctl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <regex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delserrors.h"
#include "locations.h"
#include "tessarc_version.h"
#include "vyl_fs.h"

namespace delsctl {

int fail(int status, const std::string& message) {
    std::cerr << "delsctl: " << message << std::endl;
    return status;
}

namespace {

// Decimal, or hexadecimal after 0x; nothing else, no sign, no blanks.
bool parseNumber(const std::string& text, unsigned long long& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 20)
        return false;
    value = 0;
    const unsigned base = hex ? 16 : 10;
    for (char c : digits) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (value > (~0ULL - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

} // namespace

unsigned long long numberArgument(const std::string& what, const std::string& text,
                                  unsigned long long low, unsigned long long high) {
    unsigned long long value = 0;
    if (!parseNumber(text, value) || value < low || value > high)
        throw CUsageError(what + ": '" + text + "' is not a number from " + std::to_string(low) +
                          " to " + std::to_string(high));
    return value;
}

DelsSeverity severityArgument(const std::string& what, const std::string& text) {
    static const char* const kNames[] = {"critical", "high", "normal", "discardable", "archive"};
    for (int i = 0; i < 5; ++i)
        if (text == kNames[i])
            return static_cast<DelsSeverity>(i);
    unsigned long long value = 0;
    if (!parseNumber(text, value) || value >= DSEV_LIMIT)
        throw CUsageError(what + ": '" + text +
                          "' is neither a severity from 0 to 14 nor one of critical, high, "
                          "normal, discardable, archive");
    return static_cast<DelsSeverity>(value);
}

COptionReader::COptionReader(const Arguments& args, std::vector<std::string> valued,
                             std::vector<std::string> flags)
    : m_args(args), m_valued(std::move(valued)), m_flags(std::move(flags)) {}

bool COptionReader::next(std::string& option, std::string& value) {
    if (m_at >= m_args.size())
        return false;
    const std::string& arg = m_args[m_at++];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
        option.clear();
        value = arg;
        return true;
    }
    const size_t equals = arg.find('=');
    option = arg.substr(0, equals);
    const auto known = [&option](const std::vector<std::string>& names) {
        return std::find(names.begin(), names.end(), option) != names.end();
    };
    if (known(m_flags) && equals == std::string::npos) {
        value.clear();
        return true;
    }
    if (!known(m_valued)) {
        if (known(m_flags))
            throw CUsageError(option + " takes no value");
        if (option == "--db" || option == "--node-type")
            throw CUsageError(option + " goes before the command: delsctl " + option +
                              " VALUE COMMAND ...");
        throw CUsageError("unknown option " + option);
    }
    if (equals != std::string::npos)
        value = arg.substr(equals + 1);
    else if (m_at < m_args.size())
        value = m_args[m_at++];
    else
        throw CUsageError(option + " needs a value");
    return true;
}

} // namespace delsctl

namespace {

using namespace delsctl;

const SCommand* const kGroups[] = {
    kConfigCommands,
    kSendCommands,
    kReadCommands,
};

const char kGlobalSynopsis[] = "delsctl [--db PATH] [--node-type N]";

void printUsage(std::ostream& out) {
    out << "usage: " << kGlobalSynopsis
        << " COMMAND [ARGS]\n"
           "The operator's tool for the event store.\n"
           "  --db PATH        the event database (default "
        << getLocation(DELS_DB_FILE_INDEX)
        << ")\n"
           "  --node-type N    the node type the database was made for: 0 origin (default),\n"
           "                   1 relay, 2 sink\n"
           "  --version        print the version\n"
           "commands (delsctl COMMAND --help: the command's options):\n";
    // The summaries in a column; a longer synopsis takes a line of its own.
    constexpr size_t kColumn = 30;
    for (const SCommand* group : kGroups)
        for (const SCommand* command = group; command->name; ++command) {
            const std::string call = std::string(command->name) + " " + command->synopsis;
            out << "  " << call;
            if (call.size() + 1 > kColumn)
                out << "\n  " << std::string(kColumn, ' ');
            else
                out << std::string(kColumn - call.size(), ' ');
            out << command->summary << "\n";
        }
    out << "exit status: 0 done, 1 the store or a file failed, 2 bad input\n";
}

void printCommandUsage(const SCommand& command) {
    std::cout << "usage: " << kGlobalSynopsis << " " << command.name
              << (*command.synopsis ? " " : "") << command.synopsis << "\n"
              << static_cast<char>(std::toupper(command.summary[0])) << command.summary + 1 << ".\n"
              << command.help;
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
void prepareDefaultFolder() {
    const std::string folder = getLocation(DELS_DB_DIR_INDEX);
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0)
        return;
    if (vyl::makeDirs(folder, 0775) != 0 || ::chmod(folder.c_str(), 0775) != 0)
        throw CStoreError("cannot create " + folder + ": " + std::strerror(errno));
}

// The node type the events table of an existing database was made for (its columns tell);
// -1 when that cannot be told here (no table yet, not a database, busy): the store decides.
int storedNodeType(const std::string& path) {
    sqlite3* db = nullptr;
    bool any = false, nodeId = false, forwarded = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('events');", -1, &statement,
                               nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                const char* column =
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
                any = true;
                nodeId = nodeId || (column && !std::strcmp(column, "nodeId"));
                forwarded = forwarded || (column && !std::strcmp(column, "forwarded"));
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    if (!any)
        return -1;
    return nodeId ? (forwarded ? DNT_RELAY : DNT_SINK) : DNT_ORIGIN;
}

// Before the store opens the database: a missing folder, a database a reading command would
// have to create, and a database made for another node type are refused with a clear line.
void checkDatabase(const SOptions& options, const SCommand& command) {
    const std::string& path = options.dbPath;
    if (path == getLocation(DELS_DB_FILE_INDEX))
        prepareDefaultFolder();
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw CStoreError("no folder " + folder + " for the event database " + path);
    if (::stat(path.c_str(), &st) != 0) {
        if (command.store != ADDS_TO_STORE && path != getLocation(DELS_DB_FILE_INDEX))
            throw CStoreError("no event database at " + path + ": " + std::strerror(errno));
        return;
    }
    // Told now rather than after the store's retries.
    if (command.store != READS_STORE && ::access(path.c_str(), W_OK) != 0)
        throw CStoreError("cannot change " + path + ": " + std::strerror(errno));
    const int stored = storedNodeType(path);
    if (stored >= 0 && stored != options.nodeType)
        throw CUsageError(path + " is the database of a node of type " + std::to_string(stored) +
                          ", not " + std::to_string(options.nodeType) + ": give --node-type " +
                          std::to_string(stored));
}

// The inode of `path`, 0 when there is none.
ino_t inodeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The store moves a file that is not a sound database aside and starts an empty one; the
// operator hears of it.
void reportMovedAside(const std::string& path, ino_t before) {
    const std::string aside = path + ".corrupted";
    if (before != 0 && inodeOf(aside) == before)
        fail(EX_OK,
             path + " was not a sound database: moved to " + aside + ", an empty store started");
}

// The store's own messages end in " line:N", the source line: of no use to an operator.
std::string withoutSourceLine(const std::string& message) {
    static const std::regex kLine(" line:[0-9]+$");
    return std::regex_replace(message, kLine, "");
}

// "msg=M, result=R, sql=..., line=N" as "the event database failed: M (result R)": the
// statement (which may span lines) and the source line are for the store's log, not for the
// operator.
std::string databaseFailure(const CDelsDatabaseError& error) {
    static const std::regex kParts(
        "^msg=(.*), result=(-?[0-9]+)(, sql=[\\s\\S]*)?(, line=[0-9]+)?$");
    std::smatch parts;
    const std::string text = error.what();
    if (!std::regex_match(text, parts, kParts))
        return withoutSourceLine(text);
    return "the event database failed: " + parts[1].str() + " (result " + parts[2].str() + ")";
}

int parseNodeType(const std::string& text) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '2')
        return -1;
    return text[0] - '0';
}

// The outcome of `attempt`, what it throws turned into one line on standard error; bad input
// comes with `hint`.
template <class Attempt> int reported(Attempt attempt, const std::string& hint) {
    try {
        return attempt();
    } catch (const CUsageError& error) {
        return fail(EX_USAGE, error.what() + hint);
    } catch (const CDelsDatabaseError& error) {
        return fail(EX_STORE, databaseFailure(error));
    } catch (const std::exception& error) {
        return fail(EX_STORE, withoutSourceLine(error.what()));
    }
}

int runCommand(const SOptions& options, const SCommand& command, const Arguments& args) {
    const std::string hint = std::string(" (see delsctl ") + command.name + " --help)";
    const auto run = [&] { return command.run(options, args); };
    if (command.store == NO_STORE)
        return reported(run, hint);
    const ino_t before = inodeOf(options.dbPath);
    const auto check = [&] {
        checkDatabase(options, command);
        return EX_OK;
    };
    int status = reported(check, "");
    if (status == EX_OK)
        status = reported(run, hint);
    reportMovedAside(options.dbPath, before);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (tessarcPrintVersion(argc, argv, "delsctl"))
        return EX_OK;
    SOptions options;
    options.dbPath = getLocation(DELS_DB_FILE_INDEX);
    int index = 1;
    for (; index < argc && argv[index][0] == '-'; ++index) {
        const std::string arg = argv[index];
        if (arg == "--help" || arg == "-h") {
            printUsage(std::cout);
            return EX_OK;
        }
        const size_t equals = arg.find('=');
        const std::string option = arg.substr(0, equals);
        if (option != "--db" && option != "--node-type")
            return fail(EX_USAGE, "unknown option " + option + " (see delsctl --help)");
        if (equals == std::string::npos && index + 1 >= argc)
            return fail(EX_USAGE, option + " needs a value (see delsctl --help)");
        const std::string value =
            equals == std::string::npos ? argv[++index] : arg.substr(equals + 1);
        if (option == "--db") {
            if (value.empty())
                return fail(EX_USAGE, "--db needs a path (see delsctl --help)");
            options.dbPath = value;
        } else {
            int type = parseNodeType(value);
            if (type < 0)
                return fail(EX_USAGE, "--node-type must be 0, 1 or 2, not '" + value + "'");
            options.nodeType = static_cast<DelsNodeType>(type);
        }
    }
    if (index >= argc)
        return fail(EX_USAGE, "no command (see delsctl --help)");
    const SCommand* command = findCommand(argv[index]);
    if (!command)
        return fail(EX_USAGE,
                    std::string("unknown command ") + argv[index] + " (see delsctl --help)");
    const Arguments args(argv + index + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--help") != args.end() ||
        std::find(args.begin(), args.end(), "-h") != args.end()) {
        printCommandUsage(*command);
        return EX_OK;
    }
    return runCommand(options, *command, args);
}
