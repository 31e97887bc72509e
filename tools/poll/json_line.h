#pragma once
#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

#include <json/value.h>

// Helpers shared by every JSON line the poller writes.
namespace vxpoll {

// One JSON object on one line, no trailing newline.
std::string ToJsonLine(const Json::Value& value);
// The same text as ToJsonLine, appended to `out` without a stream (the
// poller writes a dozen lines a round through it).
void AppendJson(std::string& out, const Json::Value& value);
// ToJsonLine's line and a line end, straight to `out`.
void WriteJsonLine(std::ostream& out, const Json::Value& value);

// The shortest decimal that reads back as the same double ("0.1",
// "1796825740.123", "1e+300"); integral values have no decimal point.
std::string ShortestText(double v);

// A float as JSON: the shortest decimal that reads back as the same float;
// null for NaN and the infinities, which JSON cannot carry.
Json::Value FloatJson(float v);

// Appends `text` as a JSON string, escaped as ToJsonLine escapes it: quote,
// backslash and control characters; every other byte as it is.
void AppendJsonString(std::string& out, const std::string& text);
void AppendJsonString(std::string& out, const char* text, size_t size);

// Appends a literal without measuring it.
template <size_t N>
inline void AppendLiteral(std::string& out, const char (&text)[N])
{
    out.append(text, N - 1);
}
// A whole number in decimal, as std::to_string writes it.
void AppendInteger(std::string& out, long long v);

// A double as ToJsonLine writes a real: shortest form, ".0" when integral.
void AppendJsonReal(std::string& out, double v);

// Lower-case hex, two digits per byte, no separators.
std::string HexString(const unsigned char* data, size_t size);
// The same as a JSON string, quotes included: hex needs no escaping.
void AppendHexString(std::string& out, const unsigned char* data, size_t size);
// The inverse; false on an odd length or a non-hex digit.
bool ParseHex(const std::string& text, std::string& bytes);

// Local wall-clock time as "YYYY-MM-DDTHH:MM:SS.mmm".
std::string LocalTimeText(std::chrono::system_clock::time_point t);
inline std::string NowText() { return LocalTimeText(std::chrono::system_clock::now()); }
// The same, appended to `out`.
void AppendLocalTimeText(std::string& out, std::chrono::system_clock::time_point t);

}  // namespace vxpoll
