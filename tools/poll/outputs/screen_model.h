#pragma once
#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "event_sink.h"
#include "vocabulary.h"

// What the live screen shows, kept apart from the terminal so that the
// layout can be checked without one.
namespace vxpoll {

enum class RowStyle { Normal, Header, Title, Level1, Level2, Level3, Dim };

struct ScreenRow {
    std::string text;
    RowStyle style = RowStyle::Normal;
};

class ScreenModel {
public:
    using WallClock = std::chrono::system_clock;

    explicit ScreenModel(Lang lang = Lang::En) : lang_(lang) {}

    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size);
    void Publish(const DeviceRef& device, const Publication& image);
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised, WallClock::time_point now);
    void Log(const std::string& text, WallClock::time_point now);
    void Round(unsigned long number, bool complete);
    void Line(const LineStats& stats) { line_ = stats; }
    void Value(const Query& query, bool ok, float value, const std::string& error);

    // The whole screen for a terminal of that size; never more than `height` rows.
    std::vector<ScreenRow> Render(int width, int height, WallClock::time_point now) const;

    // Rows of one sub-device as the cabinet has it: the unit, then its
    // channels, modules, batteries and fuses.
    static std::vector<std::string> DeviceRows(const DeviceRef& device, int recordType, const Json::Value& fields);

    static constexpr size_t kLogLines = 4;

private:
    struct Device {
        DeviceRef ref;
        int recordType = 0;
        std::shared_ptr<const Json::Value> fields;  // null while the image does not decode
        std::string error;
    };
    struct PresentAlarm {
        DeviceRef device;
        rule_value rule;
        WallClock::time_point since;
    };
    struct LogEntry {
        std::string text;
        unsigned long count = 0;
        WallClock::time_point last;
    };

    std::vector<std::string> DeviceSection() const;

    std::vector<Device> devices_;
    std::vector<PresentAlarm> alarms_;
    // Distinct lines, the most recent last; only the last few are kept.
    std::deque<LogEntry> logs_;
    std::map<std::string, std::string> values_;  // "21:v" -> "53.6"
    LineStats line_;
    unsigned long round_ = 0;
    bool lastComplete_ = false;
    Lang lang_;
};

// Columns a UTF-8 text takes on a terminal (East Asian wide characters two).
size_t DisplayWidth(const std::string& text);
// The text cut to at most `columns`, ending in "…" when cut; never splits a character.
std::string FitWidth(const std::string& text, size_t columns);
// The text in rows of at most `columns`, broken at blanks where it can; the
// rows after the first start with `indent`.
std::vector<std::string> WrapWidth(const std::string& text, size_t columns, const std::string& indent);

}  // namespace vxpoll
