#pragma once
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

// "01 02 ff" or "0102FF" to bytes; spaces are ignored. Throws on a bad digit.
inline std::vector<unsigned char> Hex(const std::string& text)
{
    std::vector<unsigned char> out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            throw std::invalid_argument("bad hex digit in test data");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>((high << 4) | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits in test data");
    return out;
}
