#include "json_line.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>

namespace vxpoll {

std::string ShortestText(double v)
{
    char buf[40];
    const auto result = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, result.ptr);
}

std::string ToJsonLine(const Json::Value& value)
{
    std::string out;
    AppendJson(out, value);
    return out;
}

void AppendJson(std::string& out, const Json::Value& value)
{
    switch (value.type()) {
    case Json::nullValue: out += "null"; break;
    case Json::intValue: out += std::to_string(value.asLargestInt()); break;
    case Json::uintValue: out += std::to_string(value.asLargestUInt()); break;
    case Json::realValue: AppendJsonReal(out, value.asDouble()); break;
    case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (value.getString(&begin, &end))
            AppendJsonString(out, begin, static_cast<size_t>(end - begin));
        else
            out += "\"\"";
        break;
    }
    case Json::booleanValue: out += value.asBool() ? "true" : "false"; break;
    case Json::arrayValue: {
        out += '[';
        for (Json::ArrayIndex k = 0; k < value.size(); ++k) {
            if (k > 0) out += ',';
            AppendJson(out, value[k]);
        }
        out += ']';
        break;
    }
    case Json::objectValue: {
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ',';
            first = false;
            const char* end = nullptr;
            const char* name = it.memberName(&end);
            AppendJsonString(out, name, static_cast<size_t>(end - name));
            out += ':';
            AppendJson(out, *it);
        }
        out += '}';
        break;
    }
    }
}

void AppendInteger(std::string& out, long long v)
{
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, result.ptr);
}

void AppendJsonReal(std::string& out, double v)
{
    if (!std::isfinite(v)) {
        out += std::isnan(v) ? "null" : v < 0 ? "-1e+9999" : "1e+9999";
        return;
    }
    // Every double reads back as itself: milliseconds of a Unix time survive.
    char buf[40];
    const auto result = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, result.ptr);
    // A real stays recognisably real.
    if (std::find_if(buf, result.ptr, [](char c) { return c == '.' || c == 'e'; }) == result.ptr) out += ".0";
}

void WriteJsonLine(std::ostream& out, const Json::Value& value)
{
    thread_local std::string line;
    line.clear();
    AppendJson(line, value);
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

Json::Value FloatJson(float v)
{
    if (!std::isfinite(v)) return Json::Value();
    // The double nearest the float's shortest decimal, so that it prints as that decimal.
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, v);
    double d = 0;
    std::from_chars(buf, result.ptr, d);
    return Json::Value(d);
}

void AppendJsonString(std::string& out, const std::string& text) { AppendJsonString(out, text.data(), text.size()); }

namespace {

// Whether any of 8 bytes is a control character, a quote or a backslash.
bool NeedsEscape(const char* p)
{
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    const auto hasZero = [](uint64_t x) { return ((x - kOnes) & ~x & kHighs) != 0; };
    // Below 0x20: exact for the whole word, bytes from 0x80 up included.
    const bool control = ((v - kOnes * 0x20) & ~v & kHighs) != 0;
    return control || hasZero(v ^ (kOnes * '"')) || hasZero(v ^ (kOnes * '\\'));
}

}  // namespace

void AppendJsonString(std::string& out, const char* text, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run of bytes that go out as they are
    for (size_t k = 0; k < size; ++k) {
        // Most text needs no escape: eight bytes at a time while that holds.
        while (k + 8 <= size && !NeedsEscape(text + k)) k += 8;
        if (k == size) break;
        const char c = text[k];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text + plain, k - plain);
        plain = k + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        }
    }
    out.append(text + plain, size - plain);
    out += '"';
}

std::string HexString(const unsigned char* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t k = 0; k < size; ++k) {
        out.push_back(digits[data[k] >> 4]);
        out.push_back(digits[data[k] & 0x0F]);
    }
    return out;
}

void AppendHexString(std::string& out, const unsigned char* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    const size_t at = out.size();
    out.resize(at + size * 2 + 2);
    char* p = &out[at];
    *p++ = '"';
    for (size_t k = 0; k < size; ++k) {
        *p++ = digits[data[k] >> 4];
        *p++ = digits[data[k] & 0x0F];
    }
    *p = '"';
}

namespace {
int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

bool ParseHex(const std::string& text, std::string& bytes)
{
    if (text.size() % 2 != 0) return false;
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t k = 0; k < text.size(); k += 2) {
        const int hi = HexDigit(text[k]);
        const int lo = HexDigit(text[k + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>((hi << 4) | lo));
    }
    bytes.swap(out);
    return true;
}

std::string LocalTimeText(std::chrono::system_clock::time_point t)
{
    std::string out;
    AppendLocalTimeText(out, t);
    return out;
}

void AppendLocalTimeText(std::string& out, std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    // Every event carries a time; the calendar part changes once a second.
    thread_local std::time_t cachedSecond = -1;
    thread_local char cached[80];
    if (seconds != cachedSecond) {
        std::tm tm{};
        localtime_r(&seconds, &tm);
        std::snprintf(cached, sizeof cached, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        cachedSecond = seconds;
    }
    const int milli = static_cast<int>(ms % 1000);
    const char tail[4] = {'.', static_cast<char>('0' + milli / 100), static_cast<char>('0' + milli / 10 % 10),
                          static_cast<char>('0' + milli % 10)};
    out.append(cached);
    out.append(tail, sizeof tail);
}

}  // namespace vxpoll
