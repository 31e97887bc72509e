#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vxpoll {

// Save failures told without flooding the log: each distinct cause once
// when it starts, and once when no item fails with it any more, with the
// count of what was lost meanwhile. An item is what one save writes (a cache
// file, the history file); the cause is the error text, which names no item
// when the fault is shared (a directory that cannot be written).
class TroubleLog {
public:
    // prefix: "cache"; noun: "image" (an "s" is added for counts other than 1).
    TroubleLog(std::string prefix, std::string noun) : prefix_(std::move(prefix)), noun_(std::move(noun)) {}

    // The lines to log, if any.
    std::vector<std::string> Failed(const std::string& item, const std::string& cause);
    std::vector<std::string> Saved(const std::string& item);
    // Causes still open at the end of a run, with their counts.
    std::vector<std::string> Finish() const;

private:
    struct Cause {
        unsigned long lost = 0;
        std::set<std::string> items;
    };
    void Release(const std::string& item, const std::string& cause, std::vector<std::string>& lines);
    std::string Count(unsigned long n) const;

    std::string prefix_;
    std::string noun_;
    std::map<std::string, Cause> causes_;
    std::map<std::string, std::string> itemCause_;
};

}  // namespace vxpoll
