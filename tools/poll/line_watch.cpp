#include "line_watch.h"

#include <algorithm>

namespace vxpoll {

namespace {
// The plug-in starts a round every two seconds.
constexpr std::chrono::milliseconds kPollingPeriod{2000};
}  // namespace

std::chrono::milliseconds DefaultDownAfter(std::chrono::milliseconds replyTimeout)
{
    return std::max(3 * replyTimeout, 3 * kPollingPeriod);
}

LineWatch::LineWatch(std::chrono::milliseconds downAfter, const LineTime& start) : downAfter_(downAfter), start_(start)
{}

void LineWatch::ReplyAccepted(const LineTime& now)
{
    replied_ = true;
    lastReply_ = now;
    refusedSinceReply_ = 0;
}

void LineWatch::RoundComplete(const LineTime& now)
{
    if (up_) return;
    up_ = true;
    upSince_ = now.wall;
    reason_.clear();
    dirty_ = true;
}

bool LineWatch::Update(const LineTime& now, LineStats& stats)
{
    const LineTime& quietSince = replied_ ? lastReply_ : start_;
    std::string down;
    if (!portOpen_)
        down = "port closed";
    else if (now.steady - quietSince.steady >= downAfter_)
        down = refusedSinceReply_ > 0 ? "frame errors" : "time-outs";
    bool changed = dirty_;
    dirty_ = false;
    if (!down.empty() && (up_ || down != reason_)) {
        up_ = false;
        reason_ = down;
        changed = true;
    }
    stats.up = up_;
    stats.reason = reason_;
    stats.since = up_ ? upSince_ : quietSince.wall;
    stats.lastReply = replied_ ? lastReply_.wall : LineStats::WallClock::time_point{};
    stats.downAfter = downAfter_;
    return changed;
}

}  // namespace vxpoll
