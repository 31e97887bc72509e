#include "sim_wire.h"

#include <algorithm>

SimWire::SimWire(vx42b_sim::Responder& sim, int baud, std::chrono::milliseconds turnaround)
    : sim_(sim), baud_(baud), turnaround_(turnaround),
      // Any fixed origin will do; away from zero so that nothing mistakes it for "never".
      start_(Clock::time_point{} + std::chrono::hours(1)), now_(start_)
{}

std::chrono::microseconds SimWire::ByteTime() const
{
    return std::chrono::microseconds(baud_ > 0 ? 10'000'000 / baud_ : 0);
}

bool SimWire::Open()
{
    if (now_ < downUntil_) {
        ++counters_.failedOpens;
        return false;
    }
    down_ = false;
    open_ = true;
    return true;
}

void SimWire::Close()
{
    open_ = false;
    pending_.clear();
}

long SimWire::Read(unsigned char* buffer, size_t size)
{
    if (!open_ || down_) return -1;
    size_t n = 0;
    while (n < size && !pending_.empty() && pending_.front().at <= now_) {
        buffer[n++] = pending_.front().byte;
        pending_.pop_front();
    }
    return static_cast<long>(n);
}

bool SimWire::Write(const unsigned char* data, size_t size)
{
    if (!open_ || down_) return false;
    ++counters_.commands;
    if (!pending_.empty() && pending_.back().at > now_) {
        // Bytes already in the receive buffer stay readable; those still on
        // the line are lost with the command.
        ++counters_.collisions;
        while (!pending_.empty() && pending_.back().at > now_) pending_.pop_back();
        return true;
    }
    const Clock::time_point sent = now_ + ByteTime() * static_cast<long>(size);
    sim_.SetTime(std::chrono::duration<double>(sent - start_).count());
    const std::string reply = sim_.Respond(std::string(reinterpret_cast<const char*>(data), size));
    Clock::time_point at = sent + turnaround_;
    for (char c : reply) {
        at += ByteTime();
        pending_.push_back({at, static_cast<unsigned char>(c)});
    }
    return true;
}

bool SimWire::WaitForInput(std::chrono::milliseconds limit)
{
    Clock::time_point until = now_ + limit;
    if (!pending_.empty()) {
        // Up to the reply's last byte, but at least to its next one when that
        // comes within the limit.
        const Clock::time_point last = pending_.back().at;
        const Clock::time_point next = pending_.front().at;
        until = std::min(until, std::max(last, std::min(next, until)));
    }
    now_ = std::max(now_, until);
    // A failed line has something to report too, as poll() does.
    return open_ && (down_ || (!pending_.empty() && pending_.front().at <= now_));
}

void SimWire::Drop(std::chrono::milliseconds down)
{
    down_ = true;
    downUntil_ = now_ + down;
    pending_.clear();
    ++counters_.drops;
}
