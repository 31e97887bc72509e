#include "json_line.h"

#include <charconv>
#include <cmath>
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
    case Json::realValue: {
        const double v = value.asDouble();
        if (!std::isfinite(v)) {
            out += std::isnan(v) ? "null" : v < 0 ? "-1e+9999" : "1e+9999";
            break;
        }
        // Every double reads back as itself: milliseconds of a Unix time survive.
        const std::string text = ShortestText(v);
        out += text;
        // A real stays recognisably real.
        if (text.find_first_of(".e") == std::string::npos) out += ".0";
        break;
    }
    case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        value.getString(&begin, &end);
        AppendJsonString(out, begin == nullptr ? std::string() : std::string(begin, end));
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
            AppendJsonString(out, it.name());
            out += ':';
            AppendJson(out, *it);
        }
        out += '}';
        break;
    }
    }
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
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf - 1, v);
    *result.ptr = '\0';
    return Json::Value(std::strtod(buf, nullptr));
}

void AppendJsonString(std::string& out, const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run of bytes that go out as they are
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, k - plain);
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
    out.append(text, plain, std::string::npos);
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
    std::string out(cached);
    out += '.';
    out += static_cast<char>('0' + milli / 100);
    out += static_cast<char>('0' + milli / 10 % 10);
    out += static_cast<char>('0' + milli % 10);
    return out;
}

}  // namespace vxpoll
