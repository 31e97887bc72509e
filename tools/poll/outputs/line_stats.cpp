#include "event_sink.h"

#include "json_line.h"

namespace vxpoll {

unsigned long LineStats::FrameErrorTotal() const
{
    unsigned long total = 0;
    for (const auto& kind : frameErrors) total += kind.second;
    return total;
}

long SecondsSince(LineStats::WallClock::time_point then, LineStats::WallClock::time_point now)
{
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(now - then).count();
    return s > 0 ? static_cast<long>(s) : 0;
}

std::string NoReplyText(const LineStats& stats, LineStats::WallClock::time_point now)
{
    std::string text = "no reply since " + LocalTimeText(stats.since).substr(11, 8) + " (" +
                       std::to_string(SecondsSince(stats.since, now)) + " s)";
    if (stats.reason == "port closed") text += ", port closed";
    if (stats.reason == "frame errors") text += ", replies refused";
    if (stats.reason == "starting") text += ", starting";
    return text;
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
