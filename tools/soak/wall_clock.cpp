#include "wall_clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<long long> g_offset{0};
}

void SetWallClockOffset(std::chrono::seconds offset) { g_offset = offset.count(); }

std::chrono::seconds WallClockOffset() { return std::chrono::seconds(g_offset.load()); }

// Replaces the C library's time() for the whole process: the executable's
// definition comes first in every library's symbol lookup. Boost's
// second_clock, which the devices use, reads the time through it.
extern "C" time_t time(time_t* out) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t t = static_cast<time_t>(now.tv_sec + g_offset.load());
    if (out != nullptr) *out = t;
    return t;
}
