#include "event_sink.h"

namespace vxpoll {

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

unsigned long LineStats::FrameErrorTotal() const
{
    unsigned long total = 0;
    for (const auto& kind : frameErrors) total += kind.second;
    return total;
}

bool CountLineLog(LineStats& stats, const std::string& text)
{
    if (StartsWith(text, "SMDSPDevice:Timeout ")) {
        ++stats.timeouts;
        return true;
    }
    // "PMBusProtocol:FrameError DATAID KIND" or "... KIND: DETAIL"
    static const char kFrameError[] = "PMBusProtocol:FrameError ";
    if (!StartsWith(text, kFrameError)) return false;
    const size_t id = sizeof kFrameError - 1;
    const size_t space = text.find(' ', id);
    if (space == std::string::npos || space + 1 >= text.size()) return false;
    const std::string kind = text.substr(space + 1, text.find(": ", space + 1) - (space + 1));
    ++stats.frameErrors[kind];
    return true;
}

void CountRound(LineStats& stats, bool complete, double seconds, LineStats::WallClock::time_point now)
{
    if (complete) {
        ++stats.roundsComplete;
        stats.lastComplete = now;
    } else {
        ++stats.roundsAbandoned;
    }
    stats.lastRoundSeconds = seconds;
}

}  // namespace vxpoll
