#include "state_store.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "json_line.h"
#include "record_decoder.h"

namespace vxpoll {

namespace {

double Number(const Json::Value& v) { return v.isNumeric() ? v.asDouble() : std::numeric_limits<double>::quiet_NaN(); }

bool SameRule(const std::string& key, const std::string& text, const std::string& otherKey,
              const std::string& otherText)
{
    return key == otherKey && text == otherText;
}

}  // namespace

double UnixSeconds(std::chrono::system_clock::time_point t)
{
    // Whole microseconds are exact in a double; one division rounds once, so
    // a time in milliseconds prints as those milliseconds.
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count()) /
           1e6;
}

const std::vector<double>& RoundDurationBounds()
{
    static const std::vector<double> bounds{0.25, 0.5, 1, 2, 5, 10, 30, 60};
    return bounds;
}

// ---- plots ----

void PlotValues(uint32_t dataId, const std::string& deviceType, const Json::Value& fields,
                const std::function<void(const std::string& key, const char* chart, const std::string& name,
                                         const char* unit, double value)>& visit)
{
    if (!fields.isObject()) return;
    const std::string device = deviceType + " " + std::to_string(dataId);
    const std::string id = std::to_string(dataId);
    if (deviceType == "vx42b-dc") {
        visit(device + " v", "dc_voltage", "DC " + id, "V", Number(fields["v"]));
        visit(device + " i", "dc_current", "DC " + id, "A", Number(fields["i"]));
        const Json::Value& battery = fields["battery_i"];
        const Json::ArrayIndex groups =
            std::min<Json::ArrayIndex>(battery.isArray() ? battery.size() : 0, fields["dc_m"].asUInt());
        for (Json::ArrayIndex k = 0; k < groups; ++k) {
            const std::string n = std::to_string(k + 1);
            visit(device + " battery " + n, "battery_current", "DC " + id + " battery " + n, "A", Number(battery[k]));
        }
    } else if (deviceType == "vx42b-ac") {
        const Json::Value& channels = fields["channels"];
        const int recordType = RecordTypeOf(deviceType);
        for (Json::ArrayIndex k = 0; channels.isArray() && k < channels.size(); ++k) {
            for (const char* phase : {"a", "b", "c"}) {
                const FieldLabel* label = FindFieldLabel(recordType, phase);
                const std::string name =
                    "AC " + id + " ch " + std::to_string(k + 1) + " " + (label != nullptr ? label->shortLabel : phase);
                visit(device + " " + std::to_string(k) + phase, "ac_voltage", name, "V", Number(channels[k][phase]));
            }
        }
    }
}

size_t PlotHistory::SeriesIndex(const std::string& key, const std::string& chart, const std::string& name,
                                const std::string& unit)
{
    const auto found = seriesByKey_.find(key);
    if (found != seriesByKey_.end()) return found->second;
    series_.push_back(PlotSeries{chart, name, unit, {}});
    seriesByKey_[key] = series_.size() - 1;
    return series_.size() - 1;
}

bool PlotHistory::Add(double t, uint32_t dataId, const std::string& deviceType, const Json::Value& fields)
{
    if (!fields.isObject()) return false;
    const std::string device = deviceType + " " + std::to_string(dataId);
    const auto last = lastSample_.find(device);
    if (last != lastSample_.end() && t - last->second < static_cast<double>(step_.count()) && t >= last->second)
        return false;

    Point point{t, {}};
    PlotValues(dataId, deviceType, fields,
               [&](const std::string& key, const char* chart, const std::string& name, const char* unit, double v) {
                   point.values.emplace_back(SeriesIndex(key, chart, name, unit), v);
               });
    if (point.values.empty()) return false;
    lastSample_[device] = t;
    // Samples of one round land in one point when they come close together.
    if (!points_.empty() && std::fabs(points_.back().t - t) < 1.0) {
        for (const auto& v : point.values) points_.back().values.push_back(v);
    } else {
        points_.push_back(std::move(point));
    }
    const double oldest = t - static_cast<double>(window_.count());
    while (!points_.empty() && points_.front().t < oldest) points_.pop_front();
    return true;
}

std::shared_ptr<const Plots> PlotHistory::Build() const
{
    auto plots = std::make_shared<Plots>();
    plots->times.reserve(points_.size());
    plots->series = series_;
    for (PlotSeries& s : plots->series) s.values.assign(points_.size(), std::numeric_limits<double>::quiet_NaN());
    for (size_t k = 0; k < points_.size(); ++k) {
        plots->times.push_back(points_[k].t);
        for (const auto& v : points_[k].values) plots->series[v.first].values[k] = v.second;
    }
    return plots;
}

// ---- the store ----

StateStore::StateStore(std::chrono::seconds plotWindow, std::chrono::seconds plotStep) : plots_(plotWindow, plotStep)
{
    work_.started = NowText();
    work_.durations.buckets.assign(RoundDurationBounds().size() + 1, 0);
    work_.plots = plots_.Build();
    current_ = std::make_shared<const Snapshot>(work_);
}

std::shared_ptr<const Snapshot> StateStore::Current() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void StateStore::SeedPlot(double t, uint32_t dataId, const std::string& deviceType, int recordType,
                          const unsigned char* data, size_t size)
{
    Json::Value fields;
    std::string error;
    if (!DecodeRecord(recordType, data, size, fields, error)) return;
    if (t < UnixSeconds(SystemClock::now()) - static_cast<double>(plots_.Window().count())) return;
    plotsChanged_ = plots_.Add(t, dataId, deviceType, fields) || plotsChanged_;
}

void StateStore::PublishNow()
{
    if (plotsChanged_) work_.plots = plots_.Build();
    plotsChanged_ = false;
    auto next = std::make_shared<const Snapshot>(work_);
    lastPublished_ = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = std::move(next);
}

DeviceState& StateStore::Device(const DeviceRef& ref)
{
    auto& devices = work_.devices;
    auto at = std::lower_bound(devices.begin(), devices.end(), ref, [](const DeviceState& d, const DeviceRef& r) {
        return d.dataId != r.dataId ? d.dataId < r.dataId : d.type < r.type;
    });
    if (at != devices.end() && at->dataId == ref.dataId && at->type == ref.type) return *at;
    DeviceState fresh;
    fresh.dataId = ref.dataId;
    fresh.type = ref.type;
    return *devices.insert(at, std::move(fresh));
}

void StateStore::Round(unsigned long number, bool complete, double seconds)
{
    RoundDurations& d = work_.durations;
    const std::vector<double>& bounds = RoundDurationBounds();
    const size_t bucket = static_cast<size_t>(std::lower_bound(bounds.begin(), bounds.end(), seconds) - bounds.begin());
    ++d.buckets[bucket];
    d.sum += seconds;
    ++d.count;
    work_.round = number;
    work_.lastComplete = complete;
    work_.lastDuration = seconds;
    work_.roundTime = NowText();
    PublishNow();
    roundJustEnded_ = true;
}

void StateStore::Line(const LineStats& stats)
{
    work_.line = stats;
    // The counts that follow a round go out at once; those of a line that
    // only times out, at most once a second.
    const bool due = roundJustEnded_ || std::chrono::steady_clock::now() - lastPublished_ >= std::chrono::seconds(1);
    roundJustEnded_ = false;
    if (due) PublishNow();
}

void StateStore::LineChanged(const LineStats& stats)
{
    work_.line = stats;
    PublishNow();
}

void StateStore::Publish(const DeviceRef& ref, int recordType, const unsigned char* data, size_t size)
{
    PublishDecoded(ref, DecodePublication(recordType, data, size));
}

void StateStore::PublishDecoded(const DeviceRef& ref, const Publication& image)
{
    DeviceState& device = Device(ref);
    device.recordType = image.recordType;
    device.time = NowText();
    device.fields = image.fields;
    device.decodeError = image.decodeError;
    if (image.fields)
        plotsChanged_ =
            plots_.Add(UnixSeconds(SystemClock::now()), ref.dataId, ref.type, *image.fields) || plotsChanged_;
}

void StateStore::Rule(const DeviceRef& ref, const rule_value& rule)
{
    DeviceState& device = Device(ref);
    // The AC model's rules differ by channel in their name only.
    const auto same = [&rule](const RuleState& r) {
        return SameRule(r.key, r.text, rule.key, rule.text) && r.name == rule.name;
    };
    // Rules come in the same order every round: the one after the last is
    // looked at first.
    const std::vector<RuleState>& rules = device.rules.get();
    size_t at = device.nextRule < rules.size() && same(rules[device.nextRule]) ? device.nextRule : rules.size();
    if (at == rules.size()) at = static_cast<size_t>(std::find_if(rules.begin(), rules.end(), same) - rules.begin());
    device.nextRule = at + 1;
    const bool state = rule.value != 0;
    if (at == rules.size()) {
        device.rules.Edit().push_back(RuleState{rule.key, rule.code, rule.name, rule.text, rule.level, state});
        return;
    }
    const RuleState& known = rules[at];
    if (known.state == state && known.code == rule.code && known.level == rule.level) return;
    RuleState& r = device.rules.Edit()[at];
    r.state = state;
    r.code = rule.code;
    r.level = rule.level;
}

void StateStore::Alarm(const DeviceRef& ref, const rule_value& rule, bool raised)
{
    std::vector<PresentAlarm>& alarms = Device(ref).alarms;
    const auto at = std::find_if(alarms.begin(), alarms.end(), [&rule](const PresentAlarm& a) {
        return SameRule(a.key, a.text, rule.key, rule.text);
    });
    if (!raised) {
        if (at != alarms.end()) alarms.erase(at);
        return;
    }
    if (at == alarms.end())
        alarms.push_back(PresentAlarm{rule.key, rule.code, rule.name, rule.text, rule.level, NowText()});
}

}  // namespace vxpoll
