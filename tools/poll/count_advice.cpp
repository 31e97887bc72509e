#include "count_advice.h"

#include <cstdlib>
#include <tuple>
#include <vector>

namespace vxpoll {

namespace {

// The number right after `label` in text, or -1.
long NumberAfter(const std::string& text, const std::string& label, size_t from, size_t& end)
{
    const size_t at = text.find(label, from);
    if (at == std::string::npos) return -1;
    const size_t start = at + label.size();
    size_t k = start;
    while (k < text.size() && k - start < 9 && text[k] >= '0' && text[k] <= '9') ++k;
    if (k == start) return -1;
    end = k;
    return std::strtol(text.substr(start, k - start).c_str(), nullptr, 10);
}

std::string Units(long n, const char* kind) { return std::to_string(n) + " " + kind + (n == 1 ? " unit" : " units"); }

std::string Elements(long n) { return n == 1 ? "one element" : std::to_string(n) + " elements"; }

}  // namespace

std::string CountAdvice(const std::string& logLine)
{
    struct Kind {
        const char* name;   // as the device's line names it
        const char* label;  // as a person says it
        const char* setting;
    };
    static const Kind kinds[] = {{"ac_number", "AC", "acSetting"}, {"dc_number", "DC", "dcSetting"}};
    for (const Kind& kind : kinds) {
        size_t end = 0;
        const long read = NumberAfter(logLine, std::string("read ") + kind.name + " is ", 0, end);
        if (read < 0) continue;
        const long configured = NumberAfter(logLine, std::string(", configured ") + kind.name + " is ", end, end);
        if (configured < 0 || configured == read) return "";
        const std::string change = read > configured
                                       ? "add " + Elements(read - configured) + " to " + kind.setting
                                       : "remove " + Elements(configured - read) + " from " + kind.setting;
        return "the configuration lists " + Units(configured, kind.label) + ", the power system reports " +
               std::to_string(read) + ": " + change + " (vx42b-poll discover shows the whole configuration)";
    }
    return "";
}

std::string CountAdvisor::Advise(const std::string& logLine)
{
    const std::string one = CountAdvice(logLine);
    if (one.empty()) return "";
    size_t end = 0;
    const bool ac = logLine.find("read ac_number is ") != std::string::npos;
    Count& count = ac ? ac_ : dc_;
    count.read = NumberAfter(logLine, ac ? "read ac_number is " : "read dc_number is ", 0, end);
    count.configured = NumberAfter(logLine, ac ? ", configured ac_number is " : ", configured dc_number is ", end, end);
    std::vector<std::string> parts;
    for (const auto& [c, kind, setting] :
         {std::make_tuple(&ac_, "AC", "acSetting"), std::make_tuple(&dc_, "DC", "dcSetting")}) {
        if (c->read < 0 || c->read == c->configured) continue;
        parts.push_back("the configuration lists " + Units(c->configured, kind) + ", the power system reports " +
                        std::to_string(c->read) + ": " +
                        (c->read > c->configured ? "add " + Elements(c->read - c->configured) + " to " + setting
                                                 : "remove " + Elements(c->configured - c->read) + " from " + setting));
    }
    std::string advice;
    for (const std::string& part : parts) advice += (advice.empty() ? "" : "; ") + part;
    // The round stops at the AC count; the poller asks the DC count itself
    // (LearnDc), and says so when that failed too.
    if (ac && dc_.read < 0) advice += "; the DC units are checked once the AC count matches";
    advice += " (vx42b-poll discover shows the whole configuration)";
    if (!given_.insert(advice).second) return "";
    return advice;
}

}  // namespace vxpoll
