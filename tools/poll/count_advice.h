#pragma once
#include <set>
#include <string>
#include <tuple>

namespace vxpoll {

// Turns the device's count-mismatch log line ("read ac_number is 3,
// configured ac_number is 2") into what the user should change; empty for any
// other line.
std::string CountAdvice(const std::string& logLine);

// Every difference known so far in one message, given again only when what
// is known changes: a new mismatch, or one that went away. The system stops a
// round at the first count that differs, so the DC units are only checked
// once the AC count matches; the message says so.
class CountAdvisor {
public:
    std::string Advise(const std::string& logLine);
    // A DC count learnt otherwise than from the device's log: the poller
    // asked the system itself while the AC count kept the rounds short.
    void LearnDc(long read, long configured) { dc_ = Count{read, configured}; }

private:
    struct Count {
        long read = -1;
        long configured = -1;
    };
    Count ac_, dc_;
    std::set<std::string> given_;
};

}  // namespace vxpoll
