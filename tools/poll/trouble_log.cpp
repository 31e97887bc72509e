#include "trouble_log.h"

namespace vxpoll {

std::string TroubleLog::Count(unsigned long n) const
{
    return std::to_string(n) + " " + noun_ + (n == 1 ? " was" : "s were");
}

std::vector<std::string> TroubleLog::Failed(const std::string& item, const std::string& cause)
{
    std::vector<std::string> lines;
    const auto known = itemCause_.find(item);
    if (known != itemCause_.end() && known->second != cause) Release(item, known->second, lines);
    itemCause_[item] = cause;
    const auto entry = causes_.try_emplace(cause);
    if (entry.second)
        lines.push_back(prefix_ + ": " + cause + " (told once; told again when it clears, with the count of " + noun_ +
                        "s not saved)");
    entry.first->second.items.insert(item);
    ++entry.first->second.lost;
    return lines;
}

std::vector<std::string> TroubleLog::Saved(const std::string& item)
{
    std::vector<std::string> lines;
    const auto known = itemCause_.find(item);
    if (known == itemCause_.end()) return lines;
    const std::string cause = known->second;
    itemCause_.erase(known);
    Release(item, cause, lines);
    return lines;
}

void TroubleLog::Release(const std::string& item, const std::string& cause, std::vector<std::string>& lines)
{
    const auto entry = causes_.find(cause);
    if (entry == causes_.end()) return;
    entry->second.items.erase(item);
    if (!entry->second.items.empty()) return;
    lines.push_back(prefix_ + ": cleared: " + cause + "; " + Count(entry->second.lost) + " not saved meanwhile");
    causes_.erase(entry);
}

std::vector<std::string> TroubleLog::Finish() const
{
    std::vector<std::string> lines;
    for (const auto& [cause, entry] : causes_)
        lines.push_back(prefix_ + ": still failing at exit: " + cause + "; " + Count(entry.lost) + " not saved");
    return lines;
}

}  // namespace vxpoll
