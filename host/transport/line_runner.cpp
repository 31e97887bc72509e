#include "line_runner.h"

#include <poll.h>

#include <algorithm>

#include <boost/date_time/posix_time/posix_time.hpp>

LineRunner::LineRunner(std::shared_ptr<SMDSPDevice> device) : device_(std::move(device)) {}

void LineRunner::SetClock(std::function<Clock::time_point()> clock) { device_->SetClock(std::move(clock)); }

LineRunner::Turn LineRunner::RunOnce(const std::function<bool()>& beforeRead)
{
    Turn turn;
    if (skipRoundPause_) {
        // The main device pauses two seconds after a round; only a stamp
        // that recent is moved, so that a stamp in the future (the clock
        // set back) stays as the device left it.
        const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
        const boost::posix_time::ptime& last = device_->LastUpdate();
        if (!last.is_special() && last <= now && now - last < boost::posix_time::seconds(2))
            device_->SetLastUpdate(now - boost::posix_time::seconds(2));
    }
    turn.allowed = device_->RefreshStatus();
    if (!beforeRead || beforeRead()) turn.read = ReadAvailable(&turn.accepted);
    RunPendingWork();
    return turn;
}

long LineRunner::ReadAvailable(int* accepted)
{
    SerialPort* port = device_->Port();
    if (port == nullptr || !port->IsOpen()) return 0;
    if (wait_ && !wait_(*port, inputWait_)) return 0;
    unsigned char buffer[kReadChunk];
    const long n = port->Read(buffer, sizeof buffer);
    if (n > 0) {
        const int taken = device_->process(buffer, static_cast<unsigned int>(n));
        if (accepted != nullptr) *accepted += taken;
    }
    return n;
}

int LineRunner::Deliver(const unsigned char* data, size_t size)
{
    // process() takes a mutable buffer; the caller's bytes stay untouched.
    int accepted = 0;
    unsigned char buffer[kReadChunk];
    for (size_t at = 0; at < size;) {
        const size_t n = size - at < sizeof buffer ? size - at : sizeof buffer;
        std::copy(data + at, data + at + n, buffer);
        accepted += device_->process(buffer, static_cast<unsigned int>(n));
        at += n;
    }
    RunPendingWork();
    return accepted;
}

void LineRunner::RunPendingWork()
{
    if (auto controller = device_->Controller()) controller->RunPendingWork();
}

bool LineRunner::PollForInput(SerialPort& port, std::chrono::milliseconds limit)
{
    const int fd = port.Fd();
    const int ms = static_cast<int>(limit.count());
    if (fd < 0) {
        ::poll(nullptr, 0, ms);
        return true;
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}
