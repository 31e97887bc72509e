#include "query.h"

#include <limits>

namespace vxpoll {

bool ParseQuery(const std::string& text, Query& query, std::string& error)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        error = "query \"" + text + "\" is not DATAID:KEY";
        return false;
    }
    const std::string id = text.substr(0, colon);
    if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos) {
        error = "query \"" + text + "\": data id \"" + id + "\" is not an unsigned number";
        return false;
    }
    const unsigned long long value = std::stoull(id);
    if (value > std::numeric_limits<uint32_t>::max()) {
        error = "query \"" + text + "\": data id " + id + " is too large";
        return false;
    }
    if (colon + 1 == text.size()) {
        error = "query \"" + text + "\" has no key";
        return false;
    }
    query.dataId = static_cast<uint32_t>(value);
    query.key = text.substr(colon + 1);
    return true;
}

}  // namespace vxpoll
