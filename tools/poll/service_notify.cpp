#include "service_notify.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#ifdef VX42B_POLL_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace vxpoll {

namespace {
constexpr std::chrono::seconds kStatusEvery{1};
}  // namespace

ServiceNotify::ServiceNotify()
{
#ifdef VX42B_POLL_WITH_SYSTEMD
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') return;
    send_ = [](const std::string& message) { ::sd_notify(0, message.c_str()); };
    uint64_t usec = 0;
    // Also checks WATCHDOG_PID: a process that only inherited the variables sends no pings.
    if (::sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
#endif
}

ServiceNotify::ServiceNotify(Send send, std::chrono::microseconds watchdog)
    : send_(std::move(send)), watchdog_(watchdog)
{}

void ServiceNotify::Ready()
{
    if (!send_ || ready_) return;
    ready_ = true;
    send_("READY=1");
}

void ServiceNotify::Tick(Clock::time_point now, const std::function<std::string()>& status)
{
    if (!send_ || stopping_) return;
    // A quarter of the period: a ping is never more than half a period late,
    // however a pass of the loop falls.
    if (watchdog_.count() > 0 && lastProgress_ != Clock::time_point{} && now - lastProgress_ <= stallLimit_ &&
        (lastPing_ == Clock::time_point{} || now - lastPing_ >= watchdog_ / 4)) {
        lastPing_ = now;
        send_("WATCHDOG=1");
    }
    if (lastStatus_ != Clock::time_point{} && now - lastStatus_ < kStatusEvery) return;
    lastStatus_ = now;
    SendStatus(status());
}

void ServiceNotify::SendStatus(const std::string& text)
{
    if (text == status_) return;
    status_ = text;
    send_("STATUS=" + text);
}

void ServiceNotify::Stopping()
{
    if (!send_ || stopping_) return;
    stopping_ = true;
    send_("STOPPING=1\nSTATUS=stopping");
}

std::string ServiceStatusText(const LineStats& stats, LineStats::WallClock::time_point now)
{
    std::string text = stats.port.empty() ? std::string() : stats.port + ": ";
    if (stats.up) {
        const double ago = std::chrono::duration<double>(now - stats.lastComplete).count();
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f", ago > 0 ? ago : 0.0);
        text += "line up, " + std::to_string(stats.roundsComplete) + " round" + (stats.roundsComplete == 1 ? "" : "s") +
                " complete, the last " + buf + " s ago";
    } else if (stats.reason == "starting") {
        text += "starting, no complete round yet";
    } else {
        text += "line down, " + NoReplyText(stats, now);
    }
    std::string counts;
    if (stats.roundsAbandoned != 0) counts = std::to_string(stats.roundsAbandoned) + " abandoned";
    if (stats.timeouts != 0)
        counts += (counts.empty() ? "" : ", ") + std::to_string(stats.timeouts) + " time-out" +
                  (stats.timeouts == 1 ? "" : "s");
    if (!counts.empty()) text += "; " + counts;
    return text;
}

}  // namespace vxpoll
