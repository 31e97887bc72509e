#include "state_view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "json_line.h"
#include "page_view.h"
#include "record_decoder.h"
#include "units.h"
#include "vocabulary.h"

namespace vxpoll {

namespace {

Json::Value NumberOrNull(double v) { return std::isfinite(v) ? Json::Value(v) : Json::Value(); }

Json::Value AlarmJsonOf(const PresentAlarm& a)
{
    Json::Value v(Json::objectValue);
    v["key"] = a.key;
    v["code"] = a.code;
    v["level"] = a.level;
    v["name"] = a.name;
    v["text"] = a.text;
    v["since"] = a.since;
    // For people: the English name and the item, beside the device's own words.
    const AlarmWords words = DescribeAlarm(a.key, a.code, a.name, a.text, Lang::En);
    v["label"] = words.english;
    v["item"] = words.item;
    return v;
}

Json::Value UnitsJson(const DeviceState& device)
{
    Json::Value units(Json::objectValue);
    const RecordLayout* layout = FindLayout(device.recordType);
    if (layout == nullptr) return units;
    for (const auto* fields : {&layout->head, &layout->items}) {
        for (const FieldSpec& f : *fields) {
            const FieldUnit u = UnitOf(device.type, f.name);
            if (*u.unit != '\0') units[f.name] = u.unit;
        }
    }
    return units;
}

// Label values escape backslash, double quote and line feed.
std::string LabelValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string SampleValue(double v)
{
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    // Shortest text that reads back as the same double: a timestamp keeps its milliseconds.
    return ShortestText(v);
}

class Exposition {
public:
    void Family(const char* name, const char* type, const char* help)
    {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void Sample(const std::string& name, const std::vector<std::pair<const char*, std::string>>& labels, double v)
    {
        out_ << name;
        if (!labels.empty()) {
            out_ << '{';
            bool first = true;
            for (const auto& label : labels) {
                if (!first) out_ << ',';
                first = false;
                out_ << label.first << "=\"" << LabelValue(label.second) << '"';
            }
            out_ << '}';
        }
        out_ << ' ' << SampleValue(v) << '\n';
    }
    std::string Text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

double ValueOf(const Json::Value& v)
{
    if (v.isNumeric()) return v.asDouble();
    return std::nan("");
}

using Labels = std::vector<std::pair<const char*, std::string>>;

// Samples grouped by metric, each metric once with its help, in the order
// they first appear; the exposition format wants a family's samples together.
class Families {
public:
    void Add(const char* metric, const char* help, Labels labels, double value)
    {
        auto found = index_.find(metric);
        if (found == index_.end()) {
            found = index_.emplace(metric, families_.size()).first;
            families_.push_back(Family{metric, help, {}});
        }
        families_[found->second].samples.emplace_back(std::move(labels), value);
    }
    void Write(Exposition& e) const
    {
        for (const Family& f : families_) {
            e.Family(f.name, "gauge", f.help);
            for (const auto& [labels, value] : f.samples) e.Sample(f.name, labels, value);
        }
    }

private:
    struct Family {
        const char* name;
        const char* help;
        std::vector<std::pair<Labels, double>> samples;
    };
    std::vector<Family> families_;
    std::map<std::string, size_t> index_;
};

// One sample per shown field: a metric per quantity, the place in labels
// (channel or module, phase, battery, fuse, index), every number from 1.
void FieldSamples(Families& out, const DeviceState& device, const std::vector<FieldSpec>& specs,
                  const Json::Value& object, const char* itemLabel, const std::string& itemNumber)
{
    for (const FieldSpec& f : specs) {
        const FieldWords* w = FindFieldWords(device.recordType, f.name);
        if (w == nullptr || *w->metric == '\0') continue;
        Labels labels{{"data_id", std::to_string(device.dataId)}};
        if (itemLabel != nullptr) labels.emplace_back(itemLabel, itemNumber);
        if (w->phase != 0) labels.emplace_back("phase", std::string(1, w->phase));
        const Json::Value& v = object[f.name];
        if (f.count == 1) {
            out.Add(w->metric, w->help, labels, ValueOf(v));
            continue;
        }
        Json::ArrayIndex shown = v.isArray() ? v.size() : 0;
        if (*w->countedBy != '\0') {
            const Json::Value& count = object[w->countedBy];
            shown = std::min<Json::ArrayIndex>(shown, count.isUInt() ? count.asUInt() : 0);
        }
        for (Json::ArrayIndex k = 0; k < shown; ++k) {
            Labels element = labels;
            element.emplace_back(w->element, std::to_string(k + 1));
            out.Add(w->metric, w->help, std::move(element), ValueOf(v[k]));
        }
    }
}

// Every field by quantity, the alarm rules and the alarm count per unit.
void DeviceMetrics(Exposition& e, const Snapshot& s)
{
    Families fields;
    for (const DeviceState& d : s.devices) {
        const RecordLayout* layout = FindLayout(d.recordType);
        if (layout == nullptr || !d.fields.isObject()) continue;
        FieldSamples(fields, d, layout->head, d.fields, nullptr, "");
        const Json::Value& items =
            layout->itemsName != nullptr ? d.fields[layout->itemsName] : Json::Value::nullSingleton();
        for (Json::ArrayIndex k = 0; items.isArray() && k < items.size(); ++k)
            FieldSamples(fields, d, layout->items, items[k], ItemName(d.recordType), std::to_string(k + 1));
    }
    fields.Write(e);
    e.Family("vx42b_alarm_active", "gauge",
             "1 while the rule states an alarm, 0 while it states none; key and code as the power system names "
             "them, item the fuse, module or channel phase. Names: /api/state, the page, MQTT.");
    std::set<std::string> seen;
    for (const DeviceState& d : s.devices)
        for (const RuleState& r : d.rules) {
            const AlarmWords words = DescribeAlarm(r.key, r.code, r.name, r.text, Lang::En);
            Labels labels{{"data_id", std::to_string(d.dataId)},
                          {"key", r.key},
                          {"code", r.code},
                          {"item", words.itemId},
                          {"level", std::to_string(r.level)}};
            std::string identity;
            for (const auto& label : labels) identity += label.second + '\n';
            // Rules the plug-in words alike apart from their text count once.
            if (!seen.insert(identity).second) continue;
            e.Sample("vx42b_alarm_active", labels, r.state ? 1 : 0);
        }
    e.Family("vx42b_alarms_present", "gauge", "Alarms present on a unit.");
    for (const DeviceState& d : s.devices)
        e.Sample("vx42b_alarms_present", {{"data_id", std::to_string(d.dataId)}}, static_cast<double>(d.alarms.size()));
}

}  // namespace

Json::Value AlarmsJson(const DeviceState& device)
{
    Json::Value list(Json::arrayValue);
    for (const PresentAlarm& a : device.alarms) list.append(AlarmJsonOf(a));
    return list;
}

Json::Value DeviceStateJson(const DeviceState& device)
{
    Json::Value v = device.fields.isObject() ? device.fields.get() : Json::Value(Json::objectValue);
    v["time"] = device.time;
    v["device_type"] = device.type;
    if (!v.isMember("data_id")) v["data_id"] = static_cast<Json::UInt>(device.dataId);
    return v;
}

namespace {

// The order of jsoncpp's object members: bytes, a prefix first.
bool KeyLess(const char* a, size_t an, const char* b, size_t bn)
{
    const int c = std::memcmp(a, b, std::min(an, bn));
    return c != 0 ? c < 0 : an < bn;
}

}  // namespace

uint64_t AppendDeviceStateJson(std::string& out, const DeviceState& device)
{
    const size_t start = out.size();
    const Json::Value& fields = device.fields.get();
    const bool object = fields.isObject();
    // What DeviceStateJson sets on top of the fields, in member order.
    struct Extra {
        const char* name;
        size_t size;
    };
    Extra extras[3];
    size_t count = 0;
    if (!object || !fields.isMember("data_id")) extras[count++] = {"data_id", 7};
    extras[count++] = {"device_type", 11};
    extras[count++] = {"time", 4};
    // The values left out of the digest, as [begin, end) in `out`.
    std::pair<size_t, size_t> times[2] = {{0, 0}, {0, 0}};
    bool first = true;
    const auto name = [&](const char* text, size_t size) {
        if (!first) out += ',';
        first = false;
        AppendJsonString(out, text, size);
        out += ':';
    };
    const auto extra = [&](const Extra& e) {
        name(e.name, e.size);
        const size_t at = out.size();
        if (e.size == 7)
            out += std::to_string(device.dataId);
        else if (e.size == 11)
            AppendJsonString(out, device.type);
        else {
            AppendJsonString(out, device.time);
            times[0] = {at, out.size()};
        }
    };
    out += '{';
    size_t next = 0;
    if (object) {
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            const char* end = nullptr;
            const char* key = it.memberName(&end);
            const size_t size = static_cast<size_t>(end - key);
            while (next < count && KeyLess(extras[next].name, extras[next].size, key, size)) extra(extras[next++]);
            if (next < count && extras[next].size == size && std::memcmp(extras[next].name, key, size) == 0) {
                extra(extras[next++]);
                continue;
            }
            name(key, size);
            const size_t at = out.size();
            AppendJson(out, *it);
            if (size == 5 && std::memcmp(key, "ttime", 5) == 0) times[1] = {at, out.size()};
        }
    }
    while (next < count) extra(extras[next++]);
    out += '}';
    // FNV-1a over what is not a time.
    uint64_t digest = 14695981039346656037ULL;
    for (size_t k = start; k < out.size(); ++k) {
        if ((k >= times[0].first && k < times[0].second) || (k >= times[1].first && k < times[1].second)) continue;
        digest = (digest ^ static_cast<unsigned char>(out[k])) * 1099511628211ULL;
    }
    return digest;
}

Json::Value StateJson(const Snapshot& s, std::chrono::system_clock::time_point now, Lang lang)
{
    Json::Value root(Json::objectValue);
    root["started"] = s.started;
    root["round"] = static_cast<Json::UInt64>(s.round);
    root["round_complete"] = s.lastComplete;
    root["round_duration_s"] = s.lastDuration;
    root["round_time"] = s.roundTime;
    Json::Value devices(Json::arrayValue);
    Json::Value alarms(Json::arrayValue);
    for (const DeviceState& d : s.devices) {
        Json::Value device(Json::objectValue);
        device["data_id"] = static_cast<Json::UInt>(d.dataId);
        device["device_type"] = d.type;
        device["record_type"] = d.recordType;
        device["time"] = d.time;
        if (d.fields.isObject())
            device["fields"] = d.fields;
        else if (!d.decodeError.empty())
            device["decode_error"] = d.decodeError;
        device["units"] = UnitsJson(d);
        device["view"] = DeviceView(d);
        Json::Value rules(Json::arrayValue);
        for (const RuleState& r : d.rules) {
            Json::Value rule(Json::objectValue);
            rule["key"] = r.key;
            rule["code"] = r.code;
            rule["level"] = r.level;
            rule["name"] = r.name;
            rule["text"] = r.text;
            rule["state"] = r.state;
            rules.append(rule);
        }
        device["rules"] = rules;
        device["alarms"] = AlarmsJson(d);
        for (const PresentAlarm& a : d.alarms) {
            Json::Value alarm = AlarmJsonOf(a);
            alarm["data_id"] = static_cast<Json::UInt>(d.dataId);
            alarm["device_type"] = d.type;
            AddAlarmWords(alarm, d, a, lang);
            alarms.append(alarm);
        }
        devices.append(device);
    }
    root["devices"] = devices;
    root["alarms"] = alarms;

    const LineStats& l = s.line;
    Json::Value line(Json::objectValue);
    line["port"] = l.port;
    line["baud"] = l.baud;
    line["rounds_complete"] = static_cast<Json::UInt64>(l.roundsComplete);
    line["rounds_abandoned"] = static_cast<Json::UInt64>(l.roundsAbandoned);
    line["timeouts"] = static_cast<Json::UInt64>(l.timeouts);
    Json::Value errors(Json::objectValue);
    for (const auto& e : l.frameErrors) errors[e.first] = static_cast<Json::UInt64>(e.second);
    line["frame_errors"] = errors;
    line["state"] = l.up ? "up" : "down";
    if (!l.up) line["reason"] = l.reason;
    line["since"] = LocalTimeText(l.since);
    line["since_s"] = static_cast<Json::Int64>(SecondsSince(l.since, now));
    line["last_reply"] = l.HasReply() ? Json::Value(LocalTimeText(l.lastReply)) : Json::Value();
    line["last_complete"] = l.HasComplete() ? Json::Value(LocalTimeText(l.lastComplete)) : Json::Value();
    line["down_after_s"] = static_cast<double>(l.downAfter.count()) / 1000;
    const RoundDurations& d = s.durations;
    Json::Value duration(Json::objectValue);
    duration["count"] = static_cast<Json::UInt64>(d.count);
    duration["sum_s"] = d.sum;
    Json::Value buckets(Json::arrayValue);
    const std::vector<double>& bounds = RoundDurationBounds();
    for (size_t k = 0; k < d.buckets.size(); ++k) {
        Json::Value b(Json::objectValue);
        b["le"] = k < bounds.size() ? Json::Value(bounds[k]) : Json::Value("+Inf");
        b["count"] = static_cast<Json::UInt64>(d.buckets[k]);
        buckets.append(b);
    }
    duration["buckets"] = buckets;
    line["round_duration"] = duration;
    root["line"] = line;
    return root;
}

Json::Value PlotsJson(const Plots& plots)
{
    Json::Value root(Json::objectValue);
    Json::Value times(Json::arrayValue);
    for (double t : plots.times) times.append(t);
    root["times"] = times;
    Json::Value series(Json::arrayValue);
    for (const PlotSeries& s : plots.series) {
        Json::Value one(Json::objectValue);
        one["chart"] = s.chart;
        one["name"] = s.name;
        one["unit"] = s.unit;
        Json::Value values(Json::arrayValue);
        for (double v : s.values) values.append(NumberOrNull(v));
        one["values"] = values;
        series.append(one);
    }
    root["series"] = series;
    return root;
}

std::string MetricsText(const Snapshot& s)
{
    Exposition e;
    const LineStats& l = s.line;
    e.Family("vx42b_line_up", "gauge", "1 while the power system answers, 0 while the line is down.");
    e.Sample("vx42b_line_up", {}, l.up ? 1 : 0);
    if (l.HasReply()) {
        e.Family("vx42b_last_reply_timestamp_seconds", "gauge", "When the last valid reply arrived.");
        e.Sample("vx42b_last_reply_timestamp_seconds", {}, UnixSeconds(l.lastReply));
    }
    // Values that can no longer be read are absent, not stale.
    if (l.up) DeviceMetrics(e, s);

    e.Family("vx42b_rounds_total", "counter", "Polling rounds by result.");
    e.Sample("vx42b_rounds_total", {{"result", "complete"}}, static_cast<double>(l.roundsComplete));
    e.Sample("vx42b_rounds_total", {{"result", "abandoned"}}, static_cast<double>(l.roundsAbandoned));
    e.Family("vx42b_reply_timeouts_total", "counter", "Commands without an accepted reply in time.");
    e.Sample("vx42b_reply_timeouts_total", {}, static_cast<double>(l.timeouts));
    e.Family("vx42b_frame_errors_total", "counter", "Replies refused by the framing checks, by kind.");
    for (const auto& err : l.frameErrors)
        e.Sample("vx42b_frame_errors_total", {{"kind", SnakeCase(err.first)}}, static_cast<double>(err.second));
    if (l.HasComplete()) {
        e.Family("vx42b_last_complete_round_timestamp_seconds", "gauge", "When the last complete round ended.");
        e.Sample("vx42b_last_complete_round_timestamp_seconds", {}, UnixSeconds(l.lastComplete));
    }
    const RoundDurations& d = s.durations;
    e.Family("vx42b_round_duration_seconds", "histogram", "Duration of polling rounds.");
    const std::vector<double>& bounds = RoundDurationBounds();
    unsigned long cumulative = 0;
    for (size_t k = 0; k < d.buckets.size(); ++k) {
        cumulative += d.buckets[k];
        e.Sample("vx42b_round_duration_seconds_bucket", {{"le", k < bounds.size() ? SampleValue(bounds[k]) : "+Inf"}},
                 static_cast<double>(cumulative));
    }
    e.Sample("vx42b_round_duration_seconds_sum", {}, d.sum);
    e.Sample("vx42b_round_duration_seconds_count", {}, static_cast<double>(d.count));
    return e.Text();
}

}  // namespace vxpoll
