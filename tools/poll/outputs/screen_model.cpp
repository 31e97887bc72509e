#include "screen_model.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "json_line.h"
#include "record_decoder.h"
#include "vocabulary.h"

namespace vxpoll {

namespace {

constexpr int kAc = 5085;
constexpr int kRc = 5086;
constexpr int kDc = 5087;
constexpr size_t kModulesPerRow = 3;

std::string Number(const Json::Value& v, int decimals)
{
    if (!v.isNumeric()) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v.asDouble());
    return text;
}

// "AB/A 221.3 V" from the vocabulary.
std::string Labelled(int recordType, const char* field, const Json::Value& v, int decimals)
{
    const FieldWords* words = FindFieldWords(recordType, field);
    if (words == nullptr) return std::string(field) + " " + Number(v, decimals);
    const std::string name = *words->abbrev != '\0' ? words->abbrev : words->label;
    return name + " " + (v.isNumeric() ? FormatValue(*words, v.asDouble()) : std::string("-"));
}

std::string Pad(std::string text, size_t width)
{
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

std::string TimeOfDay(ScreenModel::WallClock::time_point t)
{
    const std::time_t seconds = ScreenModel::WallClock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string Ago(ScreenModel::WallClock::duration d)
{
    long s = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
    if (s < 0) s = 0;
    if (s < 60) return std::to_string(s) + " s ago";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s ago";
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min ago";
}

int Rank(int recordType)
{
    // The cabinet from the mains in: AC distribution, rectifiers, DC distribution.
    switch (recordType) {
    case kAc: return 0;
    case kRc: return 1;
    case kDc: return 2;
    }
    return 3;
}

std::string UnitName(const DeviceRef& device, int recordType)
{
    switch (recordType) {
    case kAc: return "AC " + std::to_string(device.dataId);
    case kRc: return "rectifiers";
    case kDc: return "DC " + std::to_string(device.dataId);
    }
    return device.type + " " + std::to_string(device.dataId);
}

std::string AlarmSource(const DeviceRef& device) { return UnitTitle(device.type, device.dataId); }

// One UTF-8 character from text[at]: its length and whether it is wide.
size_t CharAt(const std::string& text, size_t at, bool& wide)
{
    const unsigned char c = static_cast<unsigned char>(text[at]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (at + length > text.size()) length = text.size() - at;
    unsigned long cp = length == 1 ? c : c & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    return length;
}

std::string FuseText(const Json::Value& fields)
{
    const Json::Value& states = fields["fuse_state"];
    const unsigned count = std::min(fields["fuse_count"].asUInt(), states.size());
    if (count == 0) return "none reported";
    std::string faults;
    for (unsigned k = 0; k < count; ++k)
        if (states[k].asUInt() == 3) faults += (faults.empty() ? "" : ", ") + std::to_string(k + 1);
    return std::to_string(count) + ", " + (faults.empty() ? "all ok" : "FAULT: " + faults);
}

}  // namespace

size_t DisplayWidth(const std::string& text)
{
    size_t columns = 0;
    bool wide = false;
    for (size_t at = 0; at < text.size(); at += CharAt(text, at, wide)) {
        CharAt(text, at, wide);
        columns += wide ? 2 : 1;
    }
    return columns;
}

std::string FitWidth(const std::string& text, size_t columns)
{
    if (DisplayWidth(text) <= columns) return text;
    if (columns == 0) return "";
    std::string out;
    size_t used = 0;
    bool wide = false;
    for (size_t at = 0; at < text.size();) {
        const size_t length = CharAt(text, at, wide);
        const size_t w = wide ? 2 : 1;
        if (used + w + 1 > columns) break;
        out.append(text, at, length);
        used += w;
        at += length;
    }
    return out + "\u2026";
}

std::vector<std::string> WrapWidth(const std::string& text, size_t columns, const std::string& indent)
{
    std::vector<std::string> rows;
    if (columns <= indent.size() + 1) {
        rows.push_back(FitWidth(text, columns));
        return rows;
    }
    std::string rest = text;
    std::string lead;
    while (DisplayWidth(lead + rest) > columns) {
        const size_t room = columns - DisplayWidth(lead);
        // The longest front of `rest` within room columns, broken after a blank when there is one.
        size_t cut = 0, used = 0, blank = std::string::npos;
        bool wide = false;
        while (cut < rest.size()) {
            const size_t length = CharAt(rest, cut, wide);
            const size_t w = wide ? 2 : 1;
            if (used + w > room) break;
            if (rest[cut] == ' ') blank = cut;
            used += w;
            cut += length;
        }
        if (cut == 0) break;
        const size_t at = blank != std::string::npos && blank > 0 && cut < rest.size() ? blank : cut;
        rows.push_back(lead + rest.substr(0, at));
        rest = rest.substr(at);
        while (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        lead = indent;
    }
    if (!rest.empty() || rows.empty()) rows.push_back(lead + rest);
    return rows;
}

std::vector<std::string> ScreenModel::DeviceRows(const DeviceRef& device, int recordType, const Json::Value& fields)
{
    std::vector<std::string> rows;
    const std::string head = Pad(UnitName(device, recordType), 13);
    switch (recordType) {
    case kAc: {
        rows.push_back(head + Labelled(kAc, "ia", fields["ia"], 1) + "   " + Labelled(kAc, "ib", fields["ib"], 1) +
                       "   " + Labelled(kAc, "ic", fields["ic"], 1));
        const Json::Value& channels = fields["channels"];
        for (Json::ArrayIndex k = 0; k < channels.size(); ++k) {
            const Json::Value& ch = channels[k];
            rows.push_back(Pad("  channel " + std::to_string(k + 1), 13) + Labelled(kAc, "a", ch["a"], 1) + "  " +
                           Labelled(kAc, "b", ch["b"], 1) + "  " + Labelled(kAc, "c", ch["c"], 1) + "  " +
                           Labelled(kAc, "f", ch["f"], 2));
        }
        break;
    }
    case kRc: {
        const Json::Value& modules = fields["modules"];
        rows.push_back(head + Labelled(kRc, "group_value", fields["group_value"], 2) + "   " +
                       std::to_string(modules.size()) + (modules.size() == 1 ? " module" : " modules"));
        std::string row;
        for (Json::ArrayIndex k = 0; k < modules.size(); ++k) {
            const Json::Value& m = modules[k];
            std::string cell = "module " + std::to_string(k + 1) + "  " + Number(m["module_value"], 2) + " A";
            if (m["fault_state"].asUInt() == 1) cell += " FAULT";
            row += (row.empty() ? "  " : "   ") + Pad(cell, 22);
            if ((k + 1) % kModulesPerRow == 0 || k + 1 == modules.size()) {
                while (!row.empty() && row.back() == ' ') row.pop_back();
                rows.push_back(row);
                row.clear();
            }
        }
        break;
    }
    case kDc: {
        rows.push_back(head + Labelled(kDc, "v", fields["v"], 2) + "   " + Labelled(kDc, "i", fields["i"], 2));
        const Json::Value& batteries = fields["battery_i"];
        const unsigned groups = std::min(fields["dc_m"].asUInt(), batteries.size());
        std::string row;
        for (unsigned k = 0; k < groups; ++k)
            row += (row.empty() ? "" : "   ") +
                   ("battery " + std::to_string(k + 1) + "  " + Number(batteries[k], 2) + " A");
        if (!row.empty()) rows.push_back(Pad("  batteries", 13) + row);
        rows.push_back(Pad("  fuses", 13) + FuseText(fields));
        break;
    }
    default: break;
    }
    return rows;
}

void ScreenModel::Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    Publish(device, DecodePublication(recordType, data, size));
}

void ScreenModel::Publish(const DeviceRef& device, const Publication& image)
{
    auto known = std::find_if(devices_.begin(), devices_.end(), [&device](const Device& d) {
        return d.ref.dataId == device.dataId && d.ref.type == device.type;
    });
    if (known == devices_.end()) {
        devices_.push_back(Device{device, image.recordType, nullptr, ""});
        known = devices_.end() - 1;
    }
    known->recordType = image.recordType;
    known->fields = image.fields;
    known->error = image.decodeError;
}

void ScreenModel::Alarm(const DeviceRef& device, const rule_value& rule, bool raised, WallClock::time_point now)
{
    auto same = [&](const PresentAlarm& a) {
        return a.device.dataId == device.dataId && a.device.type == device.type && a.rule.key == rule.key &&
               a.rule.text == rule.text;
    };
    const auto present = std::find_if(alarms_.begin(), alarms_.end(), same);
    if (raised && present == alarms_.end()) alarms_.push_back(PresentAlarm{device, rule, now});
    if (!raised && present != alarms_.end()) alarms_.erase(present);
}

void ScreenModel::Log(const std::string& text, WallClock::time_point now)
{
    const auto seen = std::find_if(logs_.begin(), logs_.end(), [&text](const LogEntry& e) { return e.text == text; });
    LogEntry entry{text, 0, now};
    if (seen != logs_.end()) {
        entry.count = seen->count;
        logs_.erase(seen);
    }
    ++entry.count;
    logs_.push_back(entry);
    // A few more than shown, so that a line coming back keeps its count.
    while (logs_.size() > 4 * kLogLines) logs_.pop_front();
}

void ScreenModel::Round(unsigned long number, bool complete)
{
    round_ = number;
    lastComplete_ = complete;
}

void ScreenModel::Value(const Query& query, bool ok, float value, const std::string& error)
{
    const std::string key = std::to_string(query.dataId) + ":" + query.key;
    values_[key] = ok ? ToJsonLine(FloatJson(value)) : "(" + error + ")";
}

std::vector<std::string> ScreenModel::DeviceSection() const
{
    std::vector<const Device*> order;
    for (const Device& d : devices_) order.push_back(&d);
    std::stable_sort(order.begin(), order.end(),
                     [](const Device* a, const Device* b) { return Rank(a->recordType) < Rank(b->recordType); });
    std::vector<std::string> rows;
    for (const Device* d : order) {
        if (!d->fields) {
            rows.push_back(Pad(UnitName(d->ref, d->recordType), 13) + "(" + d->error + ")");
            continue;
        }
        for (std::string& row : DeviceRows(d->ref, d->recordType, *d->fields)) rows.push_back(std::move(row));
    }
    if (!values_.empty()) {
        std::string row = Pad("values", 13);
        for (const auto& [key, text] : values_) row += key + " " + text + "   ";
        rows.push_back(row);
    }
    return rows;
}

std::vector<ScreenRow> ScreenModel::Render(int width, int height, WallClock::time_point now) const
{
    std::vector<ScreenRow> rows;
    if (height <= 0 || width <= 0) return rows;

    std::string header = "vx42b-poll   ";
    header += round_ == 0 ? "waiting for the first round"
                          : "round " + std::to_string(round_) + (lastComplete_ ? " complete" : " abandoned");
    header += "   " + TimeOfDay(now);
    const std::string keys = "q quits";
    if (static_cast<int>(header.size() + keys.size()) + 2 <= width)
        header += std::string(static_cast<size_t>(width) - header.size() - keys.size(), ' ') + keys;
    std::vector<ScreenRow> top{{header, RowStyle::Header}};
    std::string port = "line         " + (line_.port.empty() ? std::string("-") : line_.port);
    if (line_.baud != 0) port += " at " + std::to_string(line_.baud) + " baud";
    // A line that went quiet says so in red; what is shown below is then old.
    const bool down = !line_.up && line_.reason != "starting";
    if (down) {
        top.push_back({port + "   DOWN: " + NoReplyText(line_, now), RowStyle::Level1});
    } else {
        port +=
            "   last complete round " + (line_.HasComplete() ? Ago(now - line_.lastComplete) : std::string("none yet"));
        top.push_back({port});
    }
    const std::string staleNote = down && line_.HasComplete()
                                      ? "stale: as of " + TimeOfDay(line_.lastComplete) + ", " + NoReplyText(line_, now)
                                      : "";
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.2f s", line_.lastRoundSeconds);
    top.push_back({"rounds       " + std::to_string(line_.roundsComplete) + " complete, " +
                   std::to_string(line_.roundsAbandoned) + " abandoned   the last took " + duration});
    std::string errors = "errors       time-outs " + std::to_string(line_.timeouts) + "   frame errors " +
                         std::to_string(line_.FrameErrorTotal());
    std::string kinds;
    for (const auto& [kind, n] : line_.frameErrors)
        if (n != 0) kinds += (kinds.empty() ? "" : ", ") + kind + " " + std::to_string(n);
    if (!kinds.empty()) errors += " (" + kinds + ")";
    top.push_back({errors});

    std::vector<ScreenRow> alarms;
    std::string alarmTitle = alarms_.empty() ? "alarms       none" : "alarms (" + std::to_string(alarms_.size()) + ")";
    if (!staleNote.empty()) alarmTitle += "   " + staleNote;
    alarms.push_back({alarmTitle, staleNote.empty() ? RowStyle::Title : RowStyle::Dim});
    // The most urgent first (level 1), then the oldest.
    std::vector<const PresentAlarm*> present;
    for (const PresentAlarm& a : alarms_) present.push_back(&a);
    std::stable_sort(present.begin(), present.end(), [](const PresentAlarm* x, const PresentAlarm* y) {
        return x->rule.level != y->rule.level ? x->rule.level < y->rule.level : x->since < y->since;
    });
    for (const PresentAlarm* alarm : present) {
        const PresentAlarm& a = *alarm;
        // The identifier is the one thing to read in any language: it is
        // never cut; the name gives way on a narrow screen.
        const std::string lead = "  L" + std::to_string(a.rule.level) + "  since " + TimeOfDay(a.since) + "  " +
                                 AlarmSource(a.device) + "  ";
        const std::string id = "  [" + a.rule.key + " " + a.rule.code + "]";
        const std::string name = AlarmLine(DescribeAlarm(a.rule, lang_));
        const size_t fixed = DisplayWidth(lead) + DisplayWidth(id);
        const size_t room = static_cast<size_t>(width) > fixed + 1 ? static_cast<size_t>(width) - fixed : 1;
        const std::string text = lead + FitWidth(name, room) + id;
        const RowStyle style = a.rule.level == 1   ? RowStyle::Level1
                               : a.rule.level == 2 ? RowStyle::Level2
                                                   : RowStyle::Level3;
        alarms.push_back({text, staleNote.empty() ? style : RowStyle::Dim});
    }
    std::vector<ScreenRow> logs;
    if (!logs_.empty()) {
        logs.push_back({"log", RowStyle::Title});
        const size_t first = logs_.size() > kLogLines ? logs_.size() - kLogLines : 0;
        for (size_t k = first; k < logs_.size(); ++k) {
            const LogEntry& e = logs_[k];
            std::string text = "  " + TimeOfDay(e.last) + "  ";
            if (e.count > 1) text += std::to_string(e.count) + "x  ";
            // A long line (the advice on a wrong unit count) wraps rather than loses its end.
            for (std::string& row : WrapWidth(text + e.text, static_cast<size_t>(width), "            "))
                logs.push_back({std::move(row), RowStyle::Dim});
        }
    }
    std::vector<std::string> devices = DeviceSection();

    // Fit: the header first, then alarms, then the log, the devices in what is left;
    // a section cut short says how much is missing.
    auto take = [&rows, height](std::vector<ScreenRow>& part, size_t limit) {
        if (part.size() > limit && limit > 0) {
            const size_t hidden = part.size() - limit + 1;
            part.resize(limit - 1);
            part.push_back({"  ... " + std::to_string(hidden) + " more rows: enlarge the terminal", RowStyle::Dim});
        } else if (part.size() > limit) {
            part.clear();
        }
        for (ScreenRow& row : part)
            if (static_cast<int>(rows.size()) < height) rows.push_back(std::move(row));
    };
    const size_t total = static_cast<size_t>(height);
    const size_t topRows = std::min(top.size(), total);
    size_t left = total - topRows;
    const size_t alarmRows = std::min(alarms.size(), std::max<size_t>(left / 2, std::min<size_t>(left, 2)));
    left -= alarmRows;
    const size_t logRows = std::min(logs.size(), left / 3);
    left -= logRows;
    std::vector<ScreenRow> deviceRows;
    if (!staleNote.empty() && !devices.empty()) deviceRows.push_back({"values       " + staleNote, RowStyle::Dim});
    for (std::string& row : devices)
        deviceRows.push_back({std::move(row), staleNote.empty() ? RowStyle::Normal : RowStyle::Dim});
    if (deviceRows.empty()) deviceRows.push_back({"             no record published yet", RowStyle::Dim});
    // The log keeps its newest lines.
    if (logs.size() > logRows && logRows > 0) logs.erase(logs.begin() + 1, logs.end() - static_cast<long>(logRows - 1));
    take(top, topRows);
    take(deviceRows, left);
    take(alarms, alarmRows);
    take(logs, logRows);
    return rows;
}

}  // namespace vxpoll
