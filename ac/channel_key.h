#pragma once
#include <cstddef>
#include <string>

// Where a value key names a channel field: the first place, searching from the
// left, where "channel_", one or more ASCII digits, "_" and one more
// character follow each other. That character is any byte but a line end
// (CR, LF), as a regular expression's "." takes it.
struct ChannelKey {
    size_t digits = 0;      // offset of the first digit
    size_t digitCount = 0;  // the whole run of digits
    char field = 0;         // the character after the "_" that ends the digits
};

inline bool FindChannelKey(const std::string& key, ChannelKey& out)
{
    static const char kPrefix[] = "channel_";
    constexpr size_t kPrefixSize = sizeof kPrefix - 1;
    for (size_t at = key.find(kPrefix); at != std::string::npos; at = key.find(kPrefix, at + 1)) {
        const size_t first = at + kPrefixSize;
        size_t end = first;
        while (end < key.size() && key[end] >= '0' && key[end] <= '9') ++end;
        // A run of digits, its "_", and one character that is no line end.
        if (end == first || end + 1 >= key.size() || key[end] != '_') continue;
        const char field = key[end + 1];
        if (field == '\n' || field == '\r') continue;
        out.digits = first;
        out.digitCount = end - first;
        out.field = field;
        return true;
    }
    return false;
}
