#pragma once
#include <set>
#include <string>
#include <tuple>

namespace vxpoll {

// Turns the device's count-mismatch log line ("read ac_number is 3,
// configured ac_number is 2") into what the user should change; empty for any
// other line.
std::string CountAdvice(const std::string& logLine);

// The same, once per distinct mismatch for the life of the run.
class CountAdvisor {
public:
    std::string Advise(const std::string& logLine);

private:
    std::set<std::string> given_;
};

}  // namespace vxpoll
