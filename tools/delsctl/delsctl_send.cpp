// delsctl commands that write: send events through an event source, run one cleanup pass.
#include <chrono>
#include <climits>
#include <memory>

#include "delsctl.h"
#include "delssource.h"

namespace delsctl {
namespace {

// A whole decimal number no larger than `max`.
bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text.size() > 20)
        return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (max - (c - '0')) / 10)
            return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

int send(const SOptions& options, const Arguments& args) {
    unsigned long long messageId = 0, severity = DSEV_NORMAL, param0 = 0, param1 = 0, count = 1;
    bool haveMessage = false, sync = false;
    std::string text;
    const struct {
        const char* name;
        unsigned long long* value;
        unsigned long long max;
    } numbers[] = {{"--msg", &messageId, UINT_MAX},
                   {"--severity", &severity, DSEV_LIMIT - 1},
                   {"--param0", &param0, UINT_MAX},
                   {"--param1", &param1, UINT_MAX},
                   {"--count", &count, 100000000}};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--sync") {
            sync = true;
            continue;
        }
        if (i + 1 >= args.size())
            return fail(EX_USAGE, "send: " + option + " needs a value (see --help)");
        const std::string& value = args[++i];
        if (option == "--text") {
            text = value;
            continue;
        }
        bool known = false;
        for (const auto& number : numbers) {
            if (option != number.name)
                continue;
            known = true;
            if (!parseNumber(value, number.max, *number.value))
                return fail(EX_USAGE, "send: " + option + " must be a number from 0 to " +
                                          std::to_string(number.max) + ", not '" + value + "'");
        }
        if (!known)
            return fail(EX_USAGE, "send: unknown option " + option + " (see --help)");
        haveMessage = haveMessage || option == "--msg";
    }
    if (!haveMessage)
        return fail(EX_USAGE, "send: --msg ID is required");
    if (count == 0)
        return fail(EX_USAGE, "send: --count must be at least 1");

    CDelsEventSourceInternal source(options.dbPath, options.nodeType, false, sync);
    for (unsigned long long i = 0; i < count; ++i) {
        CDelsEvent event(static_cast<unsigned>(messageId), static_cast<DelsSeverity>(severity),
                         static_cast<unsigned>(param0), static_cast<unsigned>(param1),
                         static_cast<unsigned short>(text.size()), text.data());
        source.sendEvent(event);
        // Never more than half the queue in flight: a long run must not meet the queue's bound.
        if (!sync && (i + 1) % (CDelsEventSourceInternal::MAX_QUEUED / 2) == 0)
            source.flush(std::chrono::minutes(1));
    }
    if (!sync && !source.flush(std::chrono::minutes(1)))
        return fail(EX_STORE, "send: the database did not take the events in time");
    const CDelsEventSourceInternal::SCounters counters = source.counters();
    if (!sync && counters.stored != count)
        return fail(EX_STORE, "send: " + std::to_string(count - counters.stored) + " of " +
                                  std::to_string(count) + " events were not stored");
    return EX_OK;
}

int clean(const SOptions& options, const Arguments& args) {
    std::string state;
    if (args.size() == 2 && args[0] == "--state")
        state = args[1];
    else if (!args.empty())
        return fail(EX_USAGE, "clean takes only --state FILE");
    CDelsAccess store(options.dbPath, options.nodeType, false);
    store.checkSizeAndCleanDB(state.empty() ? nullptr : state.c_str());
    return EX_OK;
}

} // namespace

const SCommand kSendCommands[] = {
    {"send", send,
     "--msg ID [--severity S] [--param0 N] [--param1 N] [--text T] [--count N] [--sync]: "
     "store events"},
    {"clean", clean, "[--state FILE]: one size-cleanup pass"},
    {nullptr, nullptr, nullptr},
};

} // namespace delsctl
