#include "json_line.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>

#include <json/writer.h>

namespace vxpoll {

namespace {
Json::StreamWriter& Writer()
{
    // Building the writer is not free; one per thread is plenty.
    static thread_local std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        // Floats arrive already rounded to their shortest form (FloatJson).
        builder["precision"] = 15;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    return *writer;
}
}  // namespace

std::string ToJsonLine(const Json::Value& value)
{
    std::ostringstream out;
    Writer().write(value, &out);
    return out.str();
}

void WriteJsonLine(std::ostream& out, const Json::Value& value)
{
    // The writer puts out many small pieces: gather them in memory (the
    // buffer is reused) and hand the stream one line.
    thread_local std::ostringstream line;
    line.str(std::string());
    line.clear();
    Writer().write(value, &line);
    line << '\n';
    const std::string text = line.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
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
