#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "query.h"
#include "rule_value.h"

// What every output of the poller is told. The polling loop feeds one sink
// (a FanoutSink holding every output) and knows none of them by name.
namespace vxpoll {

struct DeviceRef {
    uint32_t dataId = 0;
    std::string type;
};

enum class LogSource { Device, Poller };

// The serial line's health since the poller started.
struct LineStats {
    using WallClock = std::chrono::system_clock;

    std::string port;
    int baud = 0;  // 0: a serial device server (tcp:), whose line speed is set there
    unsigned long roundsComplete = 0;
    unsigned long roundsAbandoned = 0;
    unsigned long timeouts = 0;
    // Refused replies by kind, as the host names them ("CHKSUM mismatch", "wrong address", ...).
    std::map<std::string, unsigned long> frameErrors;
    double lastRoundSeconds = 0;           // of the last round that ended, complete or not
    WallClock::time_point lastComplete{};  // the epoch until a round completed

    // Up or down, as the poller's LineWatch decides; every output shows this.
    bool up = false;
    // While down: "starting" (no complete round yet), "time-outs", "frame
    // errors" (replies arrive but none passes the checks) or "port closed".
    std::string reason = "starting";
    // Up: when the round completed that brought the line up. Down: the last
    // valid reply, or the start while there was none ("no reply since").
    WallClock::time_point since{};
    WallClock::time_point lastReply{};  // the epoch until a reply was accepted
    // How long without a valid reply before the line counts as down.
    std::chrono::milliseconds downAfter{6000};
    // The model text of the system's device-information reply; empty until it answered.
    std::string model;

    unsigned long FrameErrorTotal() const;
    bool HasComplete() const { return lastComplete != WallClock::time_point{}; }
    bool HasReply() const { return lastReply != WallClock::time_point{}; }
};

class EventSink {
public:
    virtual ~EventSink() = default;
    // A round ended; every publish, rule, alarm and history of it came first.
    virtual void Round(unsigned long number, bool complete, double seconds) = 0;
    virtual void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) = 0;
    virtual void Rule(const DeviceRef& device, const rule_value& rule) = 0;
    virtual void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) = 0;
    virtual void History(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) = 0;
    virtual void Log(const std::string& text, LogSource source) = 0;
    // The answer to one query (ok) or the text of the exception it raised.
    virtual void Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error) = 0;
    virtual void Frame(bool tx, const std::string& bytes) = 0;
    // The line's counts changed: once when the line is set up, after every
    // round (following Round), every time-out and every refused frame.
    virtual void Line(const LineStats&) {}
    // The line went up or down, or the reason it is down changed; Line follows.
    virtual void LineChanged(const LineStats&) {}
    // Called now and then from the polling loop.
    virtual void Tick() {}
    // True when this output can take nothing more (its reader went away); the run ends.
    virtual bool Closed() const { return false; }
    virtual void Finish() = 0;
};

// "no reply since 14:17:45 (25 s)", and why when not plain time-outs: the
// line view, the screen and the log file say it so.
std::string NoReplyText(const LineStats& stats, LineStats::WallClock::time_point now);
// Whole seconds from `then` to `now`, 0 when the clock went back.
long SecondsSince(LineStats::WallClock::time_point then, LineStats::WallClock::time_point now);

void CountRound(LineStats& stats, bool complete, double seconds, LineStats::WallClock::time_point now);

}  // namespace vxpoll
