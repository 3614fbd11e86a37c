// delsctl's reading commands: list, mark, remove, follow, export-wire and decode-wire.
//
// Everything from the command line is parsed and range-checked here before the store sees it;
// the store writes only numbers it formats itself into its statements. Event texts may hold
// any bytes, so every printed text has its control characters escaped: a stored event can
// neither break the one-line-per-event layout nor send escape sequences to the terminal.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <list>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delsctl.h"
#include "delsremover.h"

namespace {

constexpr unsigned long long kMaxTimestamp = 0x7FFFFFFFFFFFFFFFULL;

// --- parsing --------------------------------------------------------------------------------

// Decimal, or hexadecimal after 0x; nothing else, no sign, no blanks.
bool parseNumber(const std::string& text, unsigned long long& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 20) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        const unsigned base = hex ? 16 : 10;
        if (value > (~0ULL - digit) / base) {
            return false;
        }
        value = value * base + digit;
    }
    return true;
}

unsigned long long numberArgument(const std::string& what, const std::string& text,
                                  unsigned long long low, unsigned long long high) {
    unsigned long long value = 0;
    if (!parseNumber(text, value) || value < low || value > high) {
        throw CDelsctlUsageError(what + ": '" + text + "' is not a number from " +
                                 std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

DelsSeverity severityArgument(const std::string& text) {
    static const char* const kNames[] = {"critical", "high", "normal", "discardable", "archive"};
    for (int i = 0; i < 5; ++i) {
        if (text == kNames[i]) {
            return static_cast<DelsSeverity>(i);
        }
    }
    unsigned long long value = 0;
    if (!parseNumber(text, value) || value > DSEV_LIMIT) {
        throw CDelsctlUsageError("--severity: '" + text +
                                 "' is neither a severity from 0 to 15 nor one of critical, "
                                 "high, normal, discardable, archive");
    }
    return static_cast<DelsSeverity>(value);
}

// Milliseconds since 1970 UTC: a plain number of milliseconds, a date in the layout events are
// printed in ("20151218 09:05:07.042"), or an ISO-like date "2015-12-18[ 09:05[:07[.042]]]".
unsigned long long timeArgument(const std::string& what, const std::string& text) {
    unsigned long long value = 0;
    if (parseNumber(text, value) && text.find_first_not_of("0123456789") == std::string::npos) {
        if (value > kMaxTimestamp) {
            throw CDelsctlUsageError(what + ": '" + text + "' is beyond the last timestamp");
        }
        return value;
    }
    static const char* const kLayouts[] = {"%Y%m%d %H:%M:%S", "%Y-%m-%d %H:%M:%S",
                                           "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M",
                                           "%Y-%m-%dT%H:%M",    "%Y-%m-%d"};
    for (const char* layout : kLayouts) {
        struct tm broken;
        memset(&broken, 0, sizeof broken);
        const char* rest = strptime(text.c_str(), layout, &broken);
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
    throw CDelsctlUsageError(what + ": '" + text +
                             "' is neither milliseconds since 1970 nor a UTC time like "
                             "'2015-12-18 09:05:07.042' or '20151218 09:05:07.042'");
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
        throw CDelsctlUsageError("'" + text + "' is not ID[@TIMESTAMP[@NODE]]");
    }
    identity.id = static_cast<unsigned>(
        numberArgument("event id", text.substr(0, first), 0, 0xFFFFFFFFULL));
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

// The selection and output options that list and export-wire share.
struct SSelection {
    SDelsEventFilter filter;
    bool tsv = false;
    std::vector<std::string> operands;
};

SSelection selectionArguments(const CDelsctlArguments& args, bool withFormat) {
    SSelection selection;
    SDelsEventFilter& filter = selection.filter;
    bool hasSince = false;
    bool hasUntil = false;
    std::string option;
    std::string value;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!args.option(i, option, value)) {
            selection.operands.push_back(args[i]);
        } else if (option == "--severity") {
            const size_t dash = value.find('-');
            filter.low = severityArgument(value.substr(0, dash));
            filter.high = dash == std::string::npos ? filter.low
                                                    : severityArgument(value.substr(dash + 1));
            if (filter.low > filter.high) {
                throw CDelsctlUsageError("--severity: '" + value +
                                         "' is not a range LOW-HIGH with LOW <= HIGH");
            }
        } else if (option == "--forwarded") {
            if (value != "yes" && value != "no" && value != "any") {
                throw CDelsctlUsageError("--forwarded: '" + value + "' is not yes, no or any");
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
        } else if (option == "--format" && withFormat) {
            if (value != "text" && value != "tsv") {
                throw CDelsctlUsageError("--format: '" + value + "' is not text or tsv");
            }
            selection.tsv = value == "tsv";
        } else {
            throw CDelsctlUsageError("unknown option " + option);
        }
    }
    // The store reads a bound of 0 as "none": the first millisecond of 1970 is left out of an
    // upper bound instead of widening it to everything.
    if (hasUntil && filter.upper == 0) {
        throw CDelsctlUsageError("--until: the earliest bound is 1 (1970-01-01 00:00:00.001)");
    }
    if (hasSince && hasUntil && filter.lower > filter.upper) {
        throw CDelsctlUsageError("--since is later than --until");
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
            const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
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

void noOperands(const SSelection& selection, const char* command) {
    if (!selection.operands.empty()) {
        throw CDelsctlUsageError(std::string(command) + " takes no argument '" +
                                 selection.operands.front() + "'");
    }
}

SDelsEventFilter checkedForStore(SDelsEventFilter filter, const CDelsEventRemover& store) {
    if (filter.watermark != 0 && !store.hasKeys()) {
        throw CDelsctlUsageError("--after-key needs a store with keys (node type 1 or 2)");
    }
    return filter;
}

// --- commands -------------------------------------------------------------------------------

int listCommand(const CDelsctlContext& context, const CDelsctlArguments& args) {
    const SSelection selection = selectionArguments(args, true);
    noOperands(selection, "list");
    CDelsEventRemover store(context.path(), context.nodeType(), false);
    std::list<CDelsMetaEvent> events;
    store.getMetaEvents(events, checkedForStore(selection.filter, store));
    if (selection.tsv) {
        print(kTsvHeader);
    }
    printEvents(events, selection.tsv);
    return 0;
}

// Resolves each argument to exactly one stored identity, before anything is changed.
std::list<SEventUniqueness> storedIdentities(CDelsEventRemover& store,
                                             const CDelsctlArguments& args,
                                             const char* command) {
    if (args.size() == 0) {
        throw CDelsctlUsageError(std::string(command) + " needs at least one ID[@TIMESTAMP[@NODE]]");
    }
    std::vector<SIdentityArgument> wanted;
    for (size_t i = 0; i < args.size(); ++i) {
        wanted.push_back(identityArgument(args[i]));
    }
    std::list<SEventUniqueness> stored;
    store.getEventIds(INITIAL_WATERMARK_VALUE, stored);
    std::list<SEventUniqueness> found;
    std::set<SEventUniqueness> seen;
    for (const SIdentityArgument& identity : wanted) {
        const SEventUniqueness* match = nullptr;
        unsigned matches = 0;
        for (const SEventUniqueness& candidate : stored) {
            if (identity.matches(candidate)) {
                match = &candidate;
                ++matches;
            }
        }
        if (matches == 0) {
            throw CDelsctlStoreError("no stored event " + identity.text);
        }
        if (matches > 1) {
            throw CDelsctlUsageError(identity.text + " names " + std::to_string(matches) +
                                     " stored events; give ID@TIMESTAMP@NODE");
        }
        if (seen.insert(*match).second) {
            found.push_back(*match);
        }
    }
    return found;
}

int markCommand(const CDelsctlContext& context, const CDelsctlArguments& args) {
    CDelsEventRemover store(context.path(), context.nodeType(), false);
    const std::list<SEventUniqueness> ids = storedIdentities(store, args, "mark");
    store.markForwarded(std::set<SEventUniqueness>(ids.begin(), ids.end()));
    print("marked " + std::to_string(ids.size()) + " event(s) forwarded\n");
    return 0;
}

int removeCommand(const CDelsctlContext& context, const CDelsctlArguments& args) {
    CDelsEventRemover store(context.path(), context.nodeType(), false);
    const std::list<SEventUniqueness> ids = storedIdentities(store, args, "remove");
    store.removeEvents(ids);
    print("removed " + std::to_string(ids.size()) + " event(s)\n");
    return 0;
}

volatile sig_atomic_t s_interrupted = 0;

void onInterrupt(int) {
    s_interrupted = 1;
}

int followCommand(const CDelsctlContext& context, const CDelsctlArguments& args) {
    unsigned lines = 10;
    bool tsv = false;
    std::string option;
    std::string value;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!args.option(i, option, value)) {
            throw CDelsctlUsageError("follow takes no argument '" + args[i] + "'");
        } else if (option == "--lines") {
            lines = static_cast<unsigned>(numberArgument(option, value, 0, 100000));
        } else if (option == "--format") {
            if (value != "text" && value != "tsv") {
                throw CDelsctlUsageError("--format: '" + value + "' is not text or tsv");
            }
            tsv = value == "tsv";
        } else {
            throw CDelsctlUsageError("unknown option " + option);
        }
    }
    CDelsEventRemover store(context.path(), context.nodeType(), false);
    // Interrupted, the loop ends and the store closes as usual.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
    if (tsv && !print(kTsvHeader)) {
        return 0;
    }
    std::list<CDelsMetaEvent> events;
    unsigned long long position = 0;
    if (lines > 0) {
        position = store.getNewMetaEvents(0, events, lines, true);
    } else {
        // Only what comes from now on: the position after the newest event.
        position = store.getNewMetaEvents(0, events, 1, true);
        events.clear();
    }
    // Another reader of the database may take the wake-up byte first, so the store is also
    // looked at once a second without one.
    struct pollfd wake = {store.getEventDatabaseUpdateFd(), POLLIN, 0};
    while (!s_interrupted) {
        if (!printEvents(events, tsv)) {
            return 0;
        }
        const int ready = poll(&wake, 1, 1000);
        if (ready < 0 && errno != EINTR) {
            throw CDelsctlStoreError(std::string("poll: ") + strerror(errno));
        }
        if (!s_interrupted) {
            position = store.getNewMetaEvents(position, events, 1000, false);
        }
    }
    return 0;
}

// Writes `bytes` to `path` under a temporary name first, so that a failed export never leaves
// a half-written file in place of an older one. "-" is standard output.
void writeFile(const std::string& path, const std::string& bytes) {
    if (path == "-") {
        if (fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || fflush(stdout)) {
            throw CDelsctlStoreError("cannot write to standard output");
        }
        return;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        throw CDelsctlStoreError("cannot create " + temporary + ": " + strerror(errno));
    }
    size_t done = 0;
    ssize_t n = 0;
    while (done < bytes.size() &&
           ((n = ::write(fd, bytes.data() + done, bytes.size() - done)) > 0 || errno == EINTR)) {
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    const bool written = done == bytes.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    const int error = errno;
    if (::close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = strerror(written ? errno : error);
        unlink(temporary.c_str());
        throw CDelsctlStoreError("cannot write " + path + ": " + reason);
    }
}

int exportWireCommand(const CDelsctlContext& context, const CDelsctlArguments& args) {
    const SSelection selection = selectionArguments(args, false);
    if (selection.operands.size() != 1) {
        throw CDelsctlUsageError("export-wire needs one FILE (- for standard output)");
    }
    CDelsEventRemover store(context.path(), context.nodeType(), false);
    std::list<CDelsMetaEvent> events;
    store.getMetaEvents(events, checkedForStore(selection.filter, store));
    std::string bytes;
    for (const CDelsMetaEvent& event : events) {
        const std::vector<unsigned char> wire = event.toWireIndication(0, true);
        bytes.append(wire.begin(), wire.end());
    }
    writeFile(selection.operands.front(), bytes);
    if (selection.operands.front() != "-") {
        print("exported " + std::to_string(events.size()) + " event(s) to " +
              selection.operands.front() + "\n");
    }
    return 0;
}

int decodeWireCommand(const CDelsctlContext&, const CDelsctlArguments& args) {
    SSelection selection = selectionArguments(args, true);
    const SDelsEventFilter defaults;
    if (selection.operands.size() != 1 || selection.filter.limit != defaults.limit ||
        selection.filter.low != defaults.low || selection.filter.high != defaults.high ||
        selection.filter.forwarded != defaults.forwarded || selection.filter.nodeId != 0 ||
        selection.filter.lower != 0 || selection.filter.upper != 0 ||
        selection.filter.watermark != 0) {
        throw CDelsctlUsageError("decode-wire takes one FILE (- for standard input) and "
                                 "--format text|tsv");
    }
    const std::string& path = selection.operands.front();
    std::ifstream file;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            throw CDelsctlStoreError("cannot read " + path + ": " + strerror(errno));
        }
    }
    std::istream& in = path == "-" ? std::cin : file;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (selection.tsv && !print(kTsvHeader)) {
        return 0;
    }
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t offset = 0; offset < bytes.size();) {
        const size_t left = bytes.size() - offset;
        const unsigned short length = static_cast<unsigned short>(std::min<size_t>(left, 0xFFFF));
        std::unique_ptr<CDelsMetaEvent> event;
        try {
            event.reset(new CDelsMetaEvent(length, data + offset));
        } catch (const CDelsEventParsingError& e) {
            throw CDelsctlStoreError(path + ": offset " + std::to_string(offset) + ": " + e.what());
        }
        // A format 1 indication occupies its declared text length even where the decoder cut
        // the text; a legacy one says its own length.
        const size_t size = event->getWireFormat() == 1
                                ? DELS_WIRE1_HEADER + ((data[offset + 2] << 8) | data[offset + 3])
                                : event->getWireFormatLength();
        if (!print(eventLine(*event, selection.tsv))) {
            return 0;
        }
        offset += size;
    }
    return 0;
}

} // namespace

// Usage lines and help texts; the command table in delsctl.cpp lists them.
const SDelsctlCommand g_delsctlReadCommands[] = {
    {"list",
     "list [--severity LOW[-HIGH]] [--forwarded yes|no|any] [--node ID] [--since T] "
     "[--until T] [--limit N] [--after-key K] [--format text|tsv]",
     "Prints the stored events that match, one per line (tsv: tab-separated with a header).",
     listCommand},
    {"mark", "mark ID[@TIMESTAMP[@NODE]]...",
     "Marks events forwarded; each argument must name exactly one stored event.", markCommand},
    {"remove", "remove ID[@TIMESTAMP[@NODE]]...",
     "Deletes events; each argument must name exactly one stored event.", removeCommand},
    {"follow", "follow [--lines N] [--format text|tsv]",
     "Prints the last N (10) events, then each new one as it is committed, until interrupted.",
     followCommand},
    {"export-wire",
     "export-wire FILE [--severity LOW[-HIGH]] [--forwarded ...] [--node ID] [--since T] "
     "[--until T] [--limit N] [--after-key K]",
     "Writes the selected events to FILE as wire format 1 indications, one after another.",
     exportWireCommand},
    {"decode-wire", "decode-wire FILE [--format text|tsv]",
     "Prints the indications (format 0 or 1) held in FILE.", decodeWireCommand},
};
const size_t g_delsctlReadCommandCount =
    sizeof g_delsctlReadCommands / sizeof g_delsctlReadCommands[0];
