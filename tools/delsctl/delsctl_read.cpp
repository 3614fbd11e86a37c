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

namespace delsctl {
namespace {

// Bad input: one line on standard error and exit status 2.
class CUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The store or a file failed: exit status 1 (main reports what else is thrown the same way).
class CStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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
        throw CUsageError(what + ": '" + text + "' is not a number from " + std::to_string(low) +
                          " to " + std::to_string(high));
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
        throw CUsageError("--severity: '" + text +
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
            throw CUsageError(what + ": '" + text + "' is beyond the last timestamp");
        }
        return value;
    }
    static const char* const kLayouts[] = {"%Y%m%d %H:%M:%S",   "%Y-%m-%d %H:%M:%S",
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
    throw CUsageError(what + ": '" + text +
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

// Walks a command's arguments: options as "--name VALUE" or "--name=VALUE"; anything else
// (a lone "-" included) is an operand.
class COptionReader {
public:
    explicit COptionReader(const Arguments& args) : m_args(args) {}

    // False at the end; an operand comes with an empty `option`.
    bool next(std::string& option, std::string& value) {
        if (m_at >= m_args.size()) {
            return false;
        }
        const std::string& arg = m_args[m_at++];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            option.clear();
            value = arg;
            return true;
        }
        const size_t equals = arg.find('=');
        option = arg.substr(0, equals);
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (m_at < m_args.size()) {
            value = m_args[m_at++];
        } else {
            throw CUsageError(option + " needs a value");
        }
        return true;
    }

private:
    const Arguments& m_args;
    size_t m_at = 0;
};

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
    COptionReader reader(args);
    std::string option;
    std::string value;
    while (reader.next(option, value)) {
        if (option.empty()) {
            selection.operands.push_back(value);
        } else if (option == "--severity") {
            const size_t dash = value.find('-');
            filter.low = severityArgument(value.substr(0, dash));
            filter.high =
                dash == std::string::npos ? filter.low : severityArgument(value.substr(dash + 1));
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
        } else if (option == "--format" && withFormat) {
            selection.tsv = tsvFormat(value);
        } else {
            throw CUsageError("unknown option " + option);
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

// The store as the reading commands see it: only an existing database is opened, so that a
// mistyped --db creates nothing.
class CStore : public CDelsEventRemover {
public:
    explicit CStore(const SOptions& options)
        : CDelsEventRemover(existing(options.dbPath), options.nodeType, false) {}

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

private:
    static const std::string& existing(const std::string& path) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            throw CStoreError("no event database at " + path + ": " + strerror(errno));
        }
        return path;
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
    COptionReader reader(args);
    std::string option;
    std::string value;
    while (reader.next(option, value)) {
        if (option == "--lines") {
            lines = static_cast<unsigned>(numberArgument(option, value, 0, 100000));
        } else if (option == "--format") {
            tsv = tsvFormat(value);
        } else {
            throw CUsageError(option.empty() ? "follow takes no argument '" + value + "'"
                                             : "unknown option " + option);
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
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        throw CStoreError("cannot create " + temporary + ": " + strerror(errno));
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) {
            break;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    bool written = done == bytes.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = strerror(written ? errno : error);
        unlink(temporary.c_str());
        throw CStoreError("cannot write " + path + ": " + reason);
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
    COptionReader reader(args);
    std::string option;
    std::string value;
    while (reader.next(option, value)) {
        if (option.empty()) {
            operands.push_back(value);
        } else if (option == "--format") {
            tsv = tsvFormat(value);
        } else {
            throw CUsageError("unknown option " + option);
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
            throw CStoreError("cannot read " + path + ": " + strerror(errno));
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
            throw CStoreError(path + ": at byte " + std::to_string(offset) + ": " + e.what());
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

const char kFilterHelp[] =
    "  --severity LOW[-HIGH]  delivery severity (generated where the store keeps none), 0-15 or\n"
    "                         critical, high, normal, discardable, archive\n"
    "  --forwarded yes|no|any\n"
    "  --node ID              originating node (decimal or 0x hex; stores with node ids)\n"
    "  --since T, --until T   T: milliseconds since 1970, or UTC '2015-12-18 09:05:07.042'\n"
    "                         (seconds and milliseconds optional) or '20151218 09:05:07.042'\n"
    "  --limit N              at most N events\n"
    "  --after-key K          from key K on (stores with keys: --node-type 1 or 2)\n";
const char kListHelp[] =
    "usage: delsctl list [OPTIONS]\n"
    "Prints the stored events that match, in the store's order, one per line as\n"
    "  TIME, nodeId=NODE, id=ID, severity=S, messageId=M, param0=P, param1=P, additionalInfo=TEXT\n"
    "with control characters in TEXT escaped (\\n, \\t, \\xHH).\n"
    "  --format text|tsv      tsv: a header line, then id, timestamp (ms), messageId,\n"
    "                         generatedSeverity, deliverySeverity, forwarded, param0, param1,\n"
    "                         nodeId, key, additionalInfo separated by tabs\n";
const char kMarkHelp[] =
    "usage: delsctl mark ID[@TIMESTAMP[@NODE]]...\n"
    "Marks events forwarded. Each argument names exactly one stored event: the id, with its\n"
    "timestamp (ms or UTC time as for list) and node when the id alone is not unique.\n";
const char kRemoveHelp[] = "usage: delsctl remove ID[@TIMESTAMP[@NODE]]...\n"
                           "Deletes events, named as for mark.\n";
const char kFollowHelp[] =
    "usage: delsctl follow [--lines N] [--format text|tsv]\n"
    "Prints the last N events (default 10), then every event as it is committed, until\n"
    "interrupted (Ctrl-C).\n";
const char kExportHelp[] =
    "usage: delsctl export-wire FILE [OPTIONS]\n"
    "Writes the events list selects to FILE (- for standard output) as wire format 1\n"
    "indications, one after another; decode-wire prints them back.\n";
const char kDecodeHelp[] =
    "usage: delsctl decode-wire FILE [--format text|tsv]\n"
    "Prints the wire format 0 or 1 indications held in FILE (- for standard input) as list\n"
    "does; wire format 1 carries no severities, so they read as the default (2).\n";

// Bad input is reported as such; `delsctl COMMAND --help` prints the command's own help.
template <int (*Run)(const SOptions&, const Arguments&), const char* Help, bool Filters>
int guarded(const SOptions& options, const Arguments& args) {
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::cout << Help << (Filters ? kFilterHelp : "");
        return EX_OK;
    }
    try {
        return Run(options, args);
    } catch (const CUsageError& error) {
        return fail(EX_USAGE, std::string(error.what()) + " (see --help)");
    } catch (const CStoreError& error) {
        return fail(EX_STORE, error.what());
    }
}

} // namespace

const SCommand kReadCommands[] = {
    {"list", guarded<list, kListHelp, true>,
     "[FILTERS] [--format text|tsv]  print stored events (list --help: the filters)"},
    {"mark", guarded<mark, kMarkHelp, false>, "ID[@TIMESTAMP[@NODE]]...  mark events forwarded"},
    {"remove", guarded<remove, kRemoveHelp, false>, "ID[@TIMESTAMP[@NODE]]...  delete events"},
    {"follow", guarded<follow, kFollowHelp, false>,
     "[--lines N] [--format text|tsv]  print events as they are committed, until interrupted"},
    {"export-wire", guarded<exportWire, kExportHelp, true>,
     "FILE|- [list's filters]  write the selected events as wire format 1"},
    {"decode-wire", guarded<decodeWire, kDecodeHelp, false>,
     "FILE|- [--format text|tsv]  print the events of a wire file"},
    {nullptr, nullptr, nullptr},
};

} // namespace delsctl
