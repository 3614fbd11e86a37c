// delsctl's reading commands: list, mark, remove, follow, export-wire and decode-wire.
//
// Everything from the command line is parsed and range-checked here before the store sees it;
// the store writes only numbers it formats itself into its statements. Event texts may hold
// any bytes, so every printed text has its control characters escaped: a stored event can
// neither break the one-line-per-event layout nor send escape sequences to the terminal.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delsctl.h"
#include "delsremover.h"
#include "vyl_fs.h"

namespace delsctl {
namespace {

constexpr unsigned long long kMaxTimestamp = 0x7FFFFFFFFFFFFFFFULL;

// --- parsing --------------------------------------------------------------------------------

// Now, in milliseconds since 1970.
unsigned long long nowMillis() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000ULL + now.tv_nsec / 1000000;
}

// "now", "today", "yesterday" (midnight UTC) or "-N" and a unit s, min (or m), h or d: that long
// ago. False for anything else.
bool relativeTime(const std::string& text, unsigned long long& millis) {
    const unsigned long long now = nowMillis();
    const unsigned long long midnight = now - now % 86400000ULL;
    if (text == "now" || text == "today" || text == "yesterday") {
        millis = text == "now" ? now : text == "today" ? midnight : midnight - 86400000ULL;
        return true;
    }
    const size_t unitAt = text.find_first_not_of("0123456789", 1);
    if (text.size() < 3 || text[0] != '-' || unitAt == 1 || unitAt == std::string::npos) {
        return false;
    }
    static const std::map<std::string, unsigned long long> kUnits = {
        {"s", 1000ULL}, {"m", 60000ULL}, {"min", 60000ULL}, {"h", 3600000ULL}, {"d", 86400000ULL}};
    const auto unit = kUnits.find(text.substr(unitAt));
    if (unit == kUnits.end() || unitAt > 10) {
        return false;
    }
    const unsigned long long ago = std::stoull(text.substr(1, unitAt - 1)) * unit->second;
    millis = ago < now ? now - ago : 1;
    return true;
}

// Milliseconds since 1970 UTC: a plain number of milliseconds, a date in the layout events are
// printed in ("20151218 09:05:07.042"), an ISO-like date "2015-12-18[ 09:05[:07[.042]]][Z]",
// or a time relative to now (relativeTime).
unsigned long long timeArgument(const std::string& what, const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        return numberArgument(what, text, 0, kMaxTimestamp);
    }
    unsigned long long relative = 0;
    if (relativeTime(text, relative)) {
        return relative;
    }
    // A UTC mark after a time of day changes nothing: every time here is UTC.
    const std::string utc =
        text.size() > 1 && text.back() == 'Z' && text.find(':') != std::string::npos
            ? text.substr(0, text.size() - 1)
            : text;
    static const char* const kLayouts[] = {"%Y%m%d %H:%M:%S",   "%Y-%m-%d %H:%M:%S",
                                           "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M",
                                           "%Y-%m-%dT%H:%M",    "%Y-%m-%d"};
    for (const char* layout : kLayouts) {
        struct tm broken;
        memset(&broken, 0, sizeof broken);
        const char* rest = strptime(utc.c_str(), layout, &broken);
        if (!rest) {
            continue;
        }
        unsigned long long millis = 0;
        if (*rest == '.' && strlen(rest) == 4 && strspn(rest + 1, "0123456789") == 3 &&
            strchr(layout, 'S')) {
            millis = std::stoull(rest + 1);
        } else if (*rest != '\0') {
            continue;
        }
        const time_t seconds = timegm(&broken);
        if (seconds < 0) {
            break;
        }
        return static_cast<unsigned long long>(seconds) * 1000ULL + millis;
    }
    throw CUsageError(what + ": '" + text +
                      "' is not a time: milliseconds since 1970, a UTC time like "
                      "'2015-12-18 09:05:07.042' or '20151218 09:05:07.042', now, today, "
                      "yesterday or -N followed by s, min, h or d");
}

// ID[@TIMESTAMP[@NODE]]; the parts not given are left to be found in the store.
struct SIdentityArgument {
    std::string text;
    unsigned id = 0;
    bool hasTimestamp = false;
    unsigned long long timestamp = 0;
    bool hasNode = false;
    unsigned long long nodeId = 0;

    bool matches(const SEventUniqueness& stored) const {
        return stored.id == id && (!hasTimestamp || stored.timestamp == timestamp) &&
               (!hasNode || stored.nodeId == nodeId);
    }
};

SIdentityArgument identityArgument(const std::string& text) {
    SIdentityArgument identity;
    identity.text = text;
    const size_t first = text.find('@');
    const size_t second = first == std::string::npos ? first : text.find('@', first + 1);
    if (second != std::string::npos && text.find('@', second + 1) != std::string::npos) {
        throw CUsageError("'" + text + "' is not ID[@TIMESTAMP[@NODE]]");
    }
    identity.id =
        static_cast<unsigned>(numberArgument("event id", text.substr(0, first), 0, 0xFFFFFFFFULL));
    if (first != std::string::npos) {
        identity.hasTimestamp = true;
        identity.timestamp =
            timeArgument("timestamp of " + text, text.substr(first + 1, second - first - 1));
    }
    if (second != std::string::npos) {
        identity.hasNode = true;
        identity.nodeId = numberArgument("node of " + text, text.substr(second + 1), 0, ~0ULL);
    }
    return identity;
}

bool tsvFormat(const std::string& value) {
    if (value != "text" && value != "tsv") {
        throw CUsageError("--format: '" + value + "' is not text or tsv");
    }
    return value == "tsv";
}

// The selection and output options that list and export-wire share.
struct SSelection {
    SDelsEventFilter filter;
    bool tsv = false;
    std::vector<std::string> operands;
};

SSelection selectionArguments(const Arguments& args, bool withFormat) {
    SSelection selection;
    SDelsEventFilter& filter = selection.filter;
    bool hasSince = false;
    bool hasUntil = false;
    std::vector<std::string> options = {"--severity", "--forwarded", "--node",     "--since",
                                        "--until",    "--limit",     "--after-key"};
    if (withFormat) {
        options.push_back("--format");
    }
    COptionReader reader(args, options);
    std::string option;
    std::string value;
    while (reader.next(option, value)) {
        if (option.empty()) {
            selection.operands.push_back(value);
        } else if (option == "--severity") {
            const size_t dash = value.find('-');
            if (dash == 0 || dash + 1 == value.size()) {
                throw CUsageError("--severity: '" + value + "' is not LOW or LOW-HIGH");
            }
            filter.low = severityArgument(option, value.substr(0, dash));
            filter.high = dash == std::string::npos
                              ? filter.low
                              : severityArgument(option, value.substr(dash + 1));
            if (filter.low > filter.high) {
                throw CUsageError("--severity: '" + value + "' is not LOW-HIGH with LOW <= HIGH");
            }
        } else if (option == "--forwarded") {
            if (value != "yes" && value != "no" && value != "any") {
                throw CUsageError("--forwarded: '" + value + "' is not yes, no or any");
            }
            filter.forwarded = value == "yes" ? 1 : value == "no" ? 0 : -1;
        } else if (option == "--node") {
            filter.nodeId = numberArgument(option, value, 1, ~0ULL);
        } else if (option == "--since") {
            filter.lower = timeArgument(option, value);
            hasSince = true;
        } else if (option == "--until") {
            filter.upper = timeArgument(option, value);
            hasUntil = true;
        } else if (option == "--limit") {
            filter.limit = static_cast<unsigned>(numberArgument(option, value, 1, 0xFFFFFFFEULL));
        } else if (option == "--after-key") {
            filter.watermark = numberArgument(option, value, 1, kMaxTimestamp);
        } else {
            selection.tsv = tsvFormat(value);
        }
    }
    // The store reads a bound of 0 as "none": an upper bound of 0 would select everything.
    if (hasUntil && filter.upper == 0) {
        throw CUsageError("--until: the earliest bound is 1 (1970-01-01 00:00:00.001)");
    }
    if (hasSince && hasUntil && filter.lower > filter.upper) {
        throw CUsageError("--since is later than --until");
    }
    return selection;
}

// --- output ---------------------------------------------------------------------------------

// Backslash, tab, line ends and other control characters as escapes; UTF-8 passes except the
// C1 controls; bytes that are not UTF-8 as \xHH.
std::string escaped(const std::string& text) {
    std::string out;
    auto hexByte = [&out](unsigned char c) {
        char code[5];
        snprintf(code, sizeof code, "\\x%02x", c);
        out += code;
    };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            hexByte(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // Length of a well-formed sequence starting here, 0 when there is none.
            const size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                                  : c >= 0xE0 && c <= 0xEF ? 3
                                  : c >= 0xF0 && c <= 0xF4 ? 4
                                                           : 0;
            bool wellFormed = length > 0 && i + length <= text.size();
            unsigned codePoint = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
            for (size_t k = 1; wellFormed && k < length; ++k) {
                const unsigned char next = static_cast<unsigned char>(text[i + k]);
                wellFormed = (next & 0xC0) == 0x80;
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
            static const unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
            wellFormed = wellFormed && codePoint >= kSmallest[length] && codePoint <= 0x10FFFF &&
                         (codePoint < 0xD800 || codePoint > 0xDFFF) && codePoint > 0x9F;
            if (wellFormed) {
                out.append(text, i, length);
                i += length;
                continue;
            }
            hexByte(c);
        }
        ++i;
    }
    return out;
}

const char kTsvHeader[] = "id\ttimestamp\tmessageId\tgeneratedSeverity\tdeliverySeverity\t"
                          "forwarded\tparam0\tparam1\tnodeId\tkey\tadditionalInfo\n";

std::string eventLine(const CDelsMetaEvent& event, bool tsv) {
    if (tsv) {
        char numbers[256];
        snprintf(numbers, sizeof numbers, "%u\t%llu\t%u\t%d\t%d\t%s\t%u\t%u\t%llu\t%llu\t",
                 event.getId(), event.getTimestamp(), event.getMessageId(),
                 static_cast<int>(event.getSeverity()),
                 static_cast<int>(event.getDeliverySeverity()), event.forwarded() ? "yes" : "no",
                 event.getParam0(), event.getParam1(), event.getNodeId(), event.getKey());
        return numbers + escaped(event.getAdditionalInfo()) + "\n";
    }
    // The rendering ends with the text and a line feed; only the text needs escaping.
    std::string line;
    event.getDescription(line);
    line.resize(line.size() - event.getAdditionalInfo().size() - 1);
    return line + escaped(event.getAdditionalInfo()) + "\n";
}

// False once standard output is gone (a closed pipe): the caller stops.
bool print(const std::string& text) {
    return fwrite(text.data(), 1, text.size(), stdout) == text.size() && fflush(stdout) == 0;
}

bool printEvents(const std::list<CDelsMetaEvent>& events, bool tsv) {
    std::string text;
    for (const CDelsMetaEvent& event : events) {
        text += eventLine(event, tsv);
    }
    return print(text);
}

// The store as the reading commands see it (main has made sure that a mistyped --db creates
// nothing).
class CStore : public CDelsEventRemover {
public:
    explicit CStore(const SOptions& options)
        : CDelsEventRemover(options.dbPath, options.nodeType, false) {}

    // The store ignores a filter on a column its table lacks; the operator is told instead of
    // getting every event.
    SDelsEventFilter checked(const SDelsEventFilter& filter) const {
        if (filter.watermark != 0 && !hasKey()) {
            throw CUsageError("--after-key needs a store with keys (--node-type 1 or 2)");
        }
        if (filter.nodeId != 0 && !hasNodeId()) {
            throw CUsageError("--node needs a store with node ids (--node-type 1 or 2)");
        }
        if (filter.forwarded >= 0) {
            forwardingMarks();
        }
        return filter;
    }
    void forwardingMarks() const {
        if (!hasForwarded()) {
            throw CUsageError("a store of --node-type 2 keeps no forwarding marks");
        }
    }
};

void noOperands(const std::vector<std::string>& operands, const char* command) {
    if (!operands.empty()) {
        throw CUsageError(std::string(command) + " takes no argument '" + operands.front() + "'");
    }
}

// --- commands -------------------------------------------------------------------------------

int list(const SOptions& options, const Arguments& args) {
    const SSelection selection = selectionArguments(args, true);
    noOperands(selection.operands, "list");
    CStore store(options);
    std::list<CDelsMetaEvent> events;
    store.getMetaEvents(events, store.checked(selection.filter));
    if (!selection.tsv || print(kTsvHeader)) {
        printEvents(events, selection.tsv);
    }
    return EX_OK;
}

// Resolves each argument to exactly one stored identity, before anything is changed.
std::list<SEventUniqueness> storedIdentities(CStore& store, const Arguments& args,
                                             const char* command) {
    if (args.empty()) {
        throw CUsageError(std::string(command) + " needs at least one ID[@TIMESTAMP[@NODE]]");
    }
    std::vector<SIdentityArgument> wanted;
    for (const std::string& arg : args) {
        wanted.push_back(identityArgument(arg));
    }
    std::list<SEventUniqueness> stored;
    store.getEventIds(INITIAL_WATERMARK_VALUE, stored);
    std::multimap<unsigned, const SEventUniqueness*> byId;
    for (const SEventUniqueness& id : stored) {
        byId.emplace(id.id, &id);
    }
    std::list<SEventUniqueness> found;
    std::set<SEventUniqueness> seen;
    for (const SIdentityArgument& identity : wanted) {
        const SEventUniqueness* match = nullptr;
        unsigned matches = 0;
        const auto candidates = byId.equal_range(identity.id);
        for (auto candidate = candidates.first; candidate != candidates.second; ++candidate) {
            if (identity.matches(*candidate->second)) {
                match = candidate->second;
                ++matches;
            }
        }
        if (matches == 0) {
            throw CStoreError("no stored event " + identity.text);
        }
        if (matches > 1) {
            throw CUsageError(identity.text + " names " + std::to_string(matches) +
                              " stored events: give ID@TIMESTAMP@NODE");
        }
        if (seen.insert(*match).second) {
            found.push_back(*match);
        }
    }
    return found;
}

int mark(const SOptions& options, const Arguments& args) {
    CStore store(options);
    store.forwardingMarks();
    const std::list<SEventUniqueness> ids = storedIdentities(store, args, "mark");
    store.markForwarded(std::set<SEventUniqueness>(ids.begin(), ids.end()));
    print("marked " + std::to_string(ids.size()) + " event(s) forwarded\n");
    return EX_OK;
}

int remove(const SOptions& options, const Arguments& args) {
    CStore store(options);
    const std::list<SEventUniqueness> ids = storedIdentities(store, args, "remove");
    store.removeEvents(ids);
    print("removed " + std::to_string(ids.size()) + " event(s)\n");
    return EX_OK;
}

volatile sig_atomic_t s_interrupted = 0;

void onInterrupt(int) {
    s_interrupted = 1;
}

int follow(const SOptions& options, const Arguments& args) {
    unsigned lines = 10;
    bool tsv = false;
    COptionReader reader(args, {"--lines", "--format"});
    std::string option;
    std::string value;
    while (reader.next(option, value)) {
        if (option == "--lines") {
            lines = static_cast<unsigned>(numberArgument(option, value, 0, 100000));
        } else if (option == "--format") {
            tsv = tsvFormat(value);
        } else {
            throw CUsageError("follow takes no argument '" + value + "'");
        }
    }
    CStore store(options);
    // Interrupted, the loop ends and the store closes as usual.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
    if (tsv && !print(kTsvHeader)) {
        return EX_OK;
    }
    constexpr unsigned kPage = 1000;
    std::list<CDelsMetaEvent> events;
    // The last `lines` events, or none: the position after the newest either way.
    unsigned long long position = store.getNewMetaEvents(0, events, std::max(lines, 1u), true);
    if (lines == 0) {
        events.clear();
    }
    // Another reader of the database may take the wake-up byte first, so the store is also
    // looked at once a second without one.
    struct pollfd wake = {store.getEventDatabaseUpdateFd(), POLLIN, 0};
    while (!s_interrupted) {
        if (!printEvents(events, tsv)) {
            return EX_OK; // nobody reads any more
        }
        if (events.size() < kPage && poll(&wake, 1, 1000) < 0 && errno != EINTR) {
            throw CStoreError(std::string("poll: ") + strerror(errno));
        }
        if (!s_interrupted) {
            position = store.getNewMetaEvents(position, events, kPage, false);
        }
    }
    return EX_OK;
}

// Writes `bytes` to `path` under a temporary name first, so that a failed export never leaves
// a half-written file in place of an older one. "-" is standard output.
void writeFile(const std::string& path, const std::string& bytes) {
    if (path == "-") {
        if (!print(bytes)) {
            throw CStoreError("cannot write to standard output");
        }
        return;
    }
    std::string why;
    if (vyl::replaceFile(path, bytes, 0644, why) != 0) {
        throw CStoreError(why);
    }
}

int exportWire(const SOptions& options, const Arguments& args) {
    const SSelection selection = selectionArguments(args, false);
    if (selection.operands.size() != 1) {
        throw CUsageError("export-wire needs one FILE (- for standard output)");
    }
    const std::string& path = selection.operands.front();
    CStore store(options);
    std::list<CDelsMetaEvent> events;
    store.getMetaEvents(events, store.checked(selection.filter));
    std::string bytes;
    for (const CDelsMetaEvent& event : events) {
        const std::vector<unsigned char> wire = event.toWireIndication(0, true);
        bytes.append(wire.begin(), wire.end());
    }
    writeFile(path, bytes);
    if (path != "-") {
        print("exported " + std::to_string(events.size()) + " event(s) to " + path + "\n");
    }
    return EX_OK;
}

int decodeWire(const SOptions&, const Arguments& args) {
    bool tsv = false;
    std::vector<std::string> operands;
    COptionReader reader(args, {"--format"});
    std::string option;
    std::string value;
    while (reader.next(option, value)) {
        if (option.empty()) {
            operands.push_back(value);
        } else {
            tsv = tsvFormat(value);
        }
    }
    if (operands.size() != 1) {
        throw CUsageError("decode-wire needs one FILE (- for standard input)");
    }
    const std::string& path = operands.front();
    std::ifstream file;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            throw CUsageError("cannot read " + path + ": " + strerror(errno));
        }
    }
    std::istream& in = path == "-" ? std::cin : file;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (tsv && !print(kTsvHeader)) {
        return EX_OK;
    }
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t offset = 0; offset < bytes.size();) {
        const size_t left = std::min<size_t>(bytes.size() - offset, 0xFFFF);
        std::unique_ptr<CDelsMetaEvent> event;
        try {
            event.reset(new CDelsMetaEvent(static_cast<unsigned short>(left), data + offset));
        } catch (const CDelsEventParsingError& e) {
            throw CUsageError((path == "-" ? "standard input" : path) + ": at byte " +
                              std::to_string(offset) + ": " + e.what());
        }
        // A format 1 indication takes its declared text length even where the decoder cut the
        // text; a legacy one tells its own length.
        offset += event->getWireFormat() == 1
                      ? DELS_WIRE1_HEADER + ((data[offset + 2] << 8) | data[offset + 3])
                      : event->getWireFormatLength();
        if (!print(eventLine(*event, tsv))) {
            return EX_OK;
        }
    }
    return EX_OK;
}

#define DELSCTL_FILTER_HELP                                                                        \
    "  --severity LOW[-HIGH]  delivery severities from LOW to HIGH: 0 to 14 or critical, high,\n"  \
    "                         normal, discardable, archive (generated severity where the store\n"  \
    "                         keeps no other)\n"                                                   \
    "  --forwarded yes|no|any forwarded events, events not forwarded yet, or both (default)\n"     \
    "  --node ID              events from that node (decimal or 0x hex; --node-type 1 or 2)\n"     \
    "  --since T, --until T   events stamped at or after, at or before T (UTC): milliseconds\n"    \
    "                         since 1970, '2015-12-18 09:05:07.042' (time optional, seconds and\n" \
    "                         milliseconds too; T or a blank between date and time, Z allowed),\n" \
    "                         '20151218 09:05:07.042' as events are printed, now, today,\n"        \
    "                         yesterday, or -N followed by s, min, h or d (N ago)\n"               \
    "  --limit N              at most N events\n"                                                  \
    "  --after-key K          rows from key K on, in key order (--node-type 1 or 2)\n"

} // namespace

const SCommand kReadCommands[] = {
    {"list", list, READS_STORE, "[FILTERS] [--format text|tsv]", "print stored events",
     "Events come in the store's order: most important first, then oldest first. One line\n"
     "per event:\n"
     "  TIME, nodeId=NODE, id=ID, severity=S, messageId=M, param0=P, param1=P, "
     "additionalInfo=TEXT\n"
     "TIME is UTC, NODE hexadecimal, S the generated severity; control characters in TEXT are\n"
     "escaped (\\n, \\t, \\\\, \\xHH).\n"
     "  --format tsv           a header line, then per event id, timestamp (ms since 1970),\n"
     "                         messageId, generatedSeverity, deliverySeverity, forwarded "
     "(yes|no),\n"
     "                         param0, param1, nodeId, key, additionalInfo separated by "
     "tabs\n" DELSCTL_FILTER_HELP},
    {"follow", follow, READS_STORE, "[--lines N] [--format text|tsv]",
     "print events as they are stored, until interrupted",
     "Prints the last N events stored (default 10, 0 for none), then every event any process\n"
     "stores, until interrupted (Ctrl-C), in the layout of list.\n"},
    {"mark", mark, CHANGES_STORE, "ID[@TIMESTAMP[@NODE]]...", "mark events forwarded",
     "Each argument names exactly one stored event: its id as list shows it, with its timestamp\n"
     "(milliseconds or a UTC time as for list --since) and node when the id alone is not "
     "unique.\n"},
    {"remove", remove, CHANGES_STORE, "ID[@TIMESTAMP[@NODE]]...", "delete events",
     "Each argument names exactly one stored event, as for mark.\n"},
    {"export-wire", exportWire, READS_STORE, "FILE|- [FILTERS]",
     "write the selected events in wire format 1",
     "Writes the events list selects to FILE (- for standard output) as wire format 1\n"
     "indications, one after another; decode-wire prints them back.\n" DELSCTL_FILTER_HELP},
    {"decode-wire", decodeWire, NO_STORE, "FILE|- [--format text|tsv]",
     "print the events of a wire file",
     "Prints the wire format 0 or 1 indications in FILE (- for standard input) as list does;\n"
     "wire format 1 carries no severities, so they read as the default (2).\n"},
    {nullptr, nullptr, NO_STORE, nullptr, nullptr, nullptr},
};

#undef DELSCTL_FILTER_HELP

} // namespace delsctl
