#pragma once
#include <cstdint>
#include <string>

namespace vxpoll {

// A value question asked after every round: "DATAID:KEY".
struct Query {
    uint32_t dataId = 0;
    std::string key;
};

// The data id is decimal; the key is everything after the first colon and
// may not be empty.
bool ParseQuery(const std::string& text, Query& query, std::string& error);

}  // namespace vxpoll
