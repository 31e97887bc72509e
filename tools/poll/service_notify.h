#pragma once
#include <chrono>
#include <functional>
#include <string>

#include "event_sink.h"

namespace vxpoll {

// What systemd hears from the poller run as a Type=notify service: ready once
// polling is under way, the line's state for `systemctl status`, watchdog
// pings while the polling loop gets on, and stopping. Outside such a service
// (no NOTIFY_SOCKET) every call does nothing.
class ServiceNotify {
public:
    using Clock = std::chrono::steady_clock;
    using Send = std::function<void(const std::string& message)>;

    // sd_notify to NOTIFY_SOCKET, with the watchdog period systemd gave (WATCHDOG_USEC).
    ServiceNotify();
    // Messages to `send`; a zero `watchdog` sends no pings.
    ServiceNotify(Send send, std::chrono::microseconds watchdog);

    bool Active() const { return static_cast<bool>(send_); }
    std::chrono::microseconds WatchdogPeriod() const { return watchdog_; }
    // Longest a working loop goes without progress (the pause between rounds,
    // a reply time-out, the wait for the next reopen); past it the pings stop.
    void SetStallLimit(std::chrono::milliseconds limit) { stallLimit_ = limit; }

    // The loop got on: a command out, a reply or time-out handled, a reopen
    // tried or waited for as planned.
    void Progress(Clock::time_point now) { lastProgress_ = now; }
    // Sent once.
    void Ready();
    // Each pass of the loop: a ping when one is due and the loop got on
    // lately; the status (asked for only then) at most once a second, when it changed.
    void Tick(Clock::time_point now, const std::function<std::string()>& status);
    void Stopping();

private:
    void SendStatus(const std::string& text);

    Send send_;
    std::chrono::microseconds watchdog_{0};
    std::chrono::milliseconds stallLimit_{6000};
    Clock::time_point lastProgress_{};
    Clock::time_point lastPing_{};
    Clock::time_point lastStatus_{};
    std::string status_;
    bool ready_ = false;
    bool stopping_ = false;
};

// One line for `systemctl status`: "/dev/ttyUSB0: line up, 1234 rounds
// complete, the last 1.2 s ago", or why it is down and since when.
std::string ServiceStatusText(const LineStats& stats, LineStats::WallClock::time_point now);

}  // namespace vxpoll
