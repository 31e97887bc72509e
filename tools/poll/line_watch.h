#pragma once
#include <chrono>
#include <string>

#include "event_sink.h"

namespace vxpoll {

// A moment on both clocks: the steady one decides (a clock set at boot must
// not take a working line down), the wall clock is what people are shown.
struct LineTime {
    std::chrono::steady_clock::time_point steady;
    LineStats::WallClock::time_point wall;
    static LineTime Now() { return {std::chrono::steady_clock::now(), LineStats::WallClock::now()}; }
};

// The one place that decides whether the line is up. Down when no valid
// reply came for `downAfter`, or while the port is closed; up again at the
// first complete round. Times come from the caller, so tests can age them.
class LineWatch {
public:
    LineWatch(std::chrono::milliseconds downAfter, const LineTime& start);

    void ReplyAccepted(const LineTime& now);
    void FrameError() { ++refusedSinceReply_; }
    void RoundComplete(const LineTime& now);
    void PortOpen(bool open) { portOpen_ = open; }
    // Decides at `now` and writes the state into `stats`; true when the
    // state or the reason it is down changed.
    bool Update(const LineTime& now, LineStats& stats);

    std::chrono::milliseconds DownAfter() const { return downAfter_; }

private:
    std::chrono::milliseconds downAfter_;
    LineTime start_;
    bool up_ = false;
    std::string reason_ = "starting";
    bool portOpen_ = true;
    bool replied_ = false;
    LineTime lastReply_{};
    LineStats::WallClock::time_point upSince_{};
    unsigned long refusedSinceReply_ = 0;
    bool dirty_ = false;  // changed since the last Update
};

// The default: three reply time-outs or three polling periods, the longer.
std::chrono::milliseconds DefaultDownAfter(std::chrono::milliseconds replyTimeout);

}  // namespace vxpoll
