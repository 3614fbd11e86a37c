// delsctl send: events through an event source, as a producer sends them.
#include <chrono>
#include <climits>
#include <iostream>
#include <memory>

#include "delsctl.h"
#include "delssource.h"

namespace delsctl {
namespace {

int send(const SOptions& options, const Arguments& args) {
    unsigned long long messageId = 0, param0 = 0, param1 = 0, count = 1;
    DelsSeverity severity = DSEV_NORMAL;
    bool haveMessage = false, sync = false;
    std::string text;
    COptionReader reader(args, {"--msg", "--severity", "--param0", "--param1", "--text", "--count"},
                         {"--sync"});
    for (std::string option, value; reader.next(option, value);) {
        if (option.empty())
            throw CUsageError("send takes no argument '" + value + "'");
        if (option == "--sync")
            sync = true;
        else if (option == "--text" && value.size() > DELS_MAX_ADDITIONAL_INFO)
            throw CUsageError("--text: " + std::to_string(value.size()) + " bytes, at most " +
                              std::to_string(DELS_MAX_ADDITIONAL_INFO));
        else if (option == "--text")
            text = value;
        else if (option == "--severity")
            severity = severityArgument(option, value);
        else if (option == "--count")
            count = numberArgument(option, value, 1, 100000000);
        else
            *(option == "--msg"      ? &messageId
              : option == "--param0" ? &param0
                                     : &param1) = numberArgument(option, value, 0, UINT_MAX);
        haveMessage = haveMessage || option == "--msg";
    }
    if (!haveMessage)
        throw CUsageError("send needs --msg ID");

    CDelsEventSourceInternal source(options.dbPath, options.nodeType, false, sync);
    for (unsigned long long i = 0; i < count; ++i) {
        CDelsEvent event(static_cast<unsigned>(messageId), severity, static_cast<unsigned>(param0),
                         static_cast<unsigned>(param1), static_cast<unsigned short>(text.size()),
                         text.data());
        source.sendEvent(event);
        // Never more than half the queue in flight: a long run must not meet the queue's bound.
        if (!sync && (i + 1) % (CDelsEventSourceInternal::MAX_QUEUED / 2) == 0)
            source.flush(std::chrono::minutes(1));
    }
    if (!sync && !source.flush(std::chrono::minutes(1)))
        throw CStoreError("the database did not take the events within a minute");
    const CDelsEventSourceInternal::SCounters counters = source.counters();
    if (!sync && counters.stored != count)
        throw CStoreError(std::to_string(count - counters.stored) + " of " + std::to_string(count) +
                          " events were not stored");
    std::cout << "stored " << count << " event(s)" << std::endl;
    return EX_OK;
}

} // namespace

const SCommand kSendCommands[] = {
    {"send", send, ADDS_TO_STORE, "--msg ID [OPTIONS]", "store events through an event source",
     "  --msg ID          message id, 0 to 4294967295 (decimal or 0x hex)\n"
     "  --severity S      generated severity, 0 to 14 or critical, high, normal, discardable,\n"
     "                    archive (default normal, 2)\n"
     "  --param0 N, --param1 N   the event's two numbers (default 0)\n"
     "  --text T          the event's text, up to 2048 bytes (default empty)\n"
     "  --count N         send the event N times, 1 to 100000000 (default 1)\n"
     "  --sync            write each event before going on instead of through the\n"
     "                    insertion thread\n"
     "On node types 1 and 2 the events carry id 0, and the store keeps one event of those\n"
     "stamped in the same millisecond.\n"},
    {nullptr, nullptr, NO_STORE, nullptr, nullptr, nullptr},
};

} // namespace delsctl
