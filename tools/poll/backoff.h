#pragma once
#include <algorithm>
#include <chrono>

namespace vxpoll {

// Delays between attempts to reopen a port: 1 s, doubling up to 30 s, so
// that a converter that is down is not hammered.
class Backoff {
public:
    std::chrono::seconds Next()
    {
        const std::chrono::seconds delay = next_;
        next_ = std::min(next_ * 2, kMax);
        return delay;
    }
    void Reset() { next_ = kFirst; }

    static constexpr std::chrono::seconds kFirst{1};
    static constexpr std::chrono::seconds kMax{30};

private:
    std::chrono::seconds next_ = kFirst;
};

}  // namespace vxpoll
