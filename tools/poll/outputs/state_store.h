#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "event_sink.h"

// What the broker client and the web server read: an immutable snapshot of
// the poller's state, published after each round. The polling thread builds
// it from the events it sees; other threads only ever take the latest whole
// snapshot, never anything the plug-in still writes to.
namespace vxpoll {

struct RuleState {
    std::string key;
    std::string code;
    std::string name;
    std::string text;
    int level = 0;
    bool state = false;
};

struct PresentAlarm {
    std::string key;
    std::string code;
    std::string name;
    std::string text;
    int level = 0;
    std::string since;  // local time the alarm was raised
};

// A decoded image as the snapshots hold it: every snapshot after the round
// that decoded it shares the one tree, never a copy. Reads as a const
// Json::Value.
class SharedFields {
public:
    SharedFields& operator=(std::shared_ptr<const Json::Value> fields)
    {
        fields_ = std::move(fields);
        return *this;
    }
    SharedFields& operator=(Json::Value fields)
    {
        fields_ = std::make_shared<const Json::Value>(std::move(fields));
        return *this;
    }
    const Json::Value& get() const { return fields_ ? *fields_ : Json::Value::nullSingleton(); }
    operator const Json::Value&() const { return get(); }
    bool isObject() const { return get().isObject(); }
    bool isNull() const { return get().isNull(); }
    const Json::Value& operator[](const char* key) const { return get()[key]; }
    const Json::Value& operator[](const std::string& key) const { return get()[key]; }

private:
    std::shared_ptr<const Json::Value> fields_;
};

// A device's rules as the snapshots hold them: one list shared by every
// snapshot until a rule changes; the store copies it only then.
class SharedRules {
public:
    using const_iterator = std::vector<RuleState>::const_iterator;
    const std::vector<RuleState>& get() const { return rules_ ? *rules_ : Empty(); }
    const_iterator begin() const { return get().begin(); }
    const_iterator end() const { return get().end(); }
    size_t size() const { return get().size(); }
    bool empty() const { return get().empty(); }
    const RuleState& operator[](size_t k) const { return get()[k]; }
    // The list to change, copied first while a snapshot holds it too.
    std::vector<RuleState>& Edit()
    {
        if (!rules_)
            rules_ = std::make_shared<std::vector<RuleState>>();
        else if (rules_.use_count() > 1)
            rules_ = std::make_shared<std::vector<RuleState>>(*rules_);
        return *rules_;
    }

private:
    static const std::vector<RuleState>& Empty()
    {
        static const std::vector<RuleState> empty;
        return empty;
    }
    std::shared_ptr<std::vector<RuleState>> rules_;
};

struct DeviceState {
    uint32_t dataId = 0;
    std::string type;
    int recordType = 0;
    SharedFields fields;               // decoded; null when the image did not decode
    std::string decodeError;           // why not
    std::string time;                  // of the last publication
    SharedRules rules;                 // in first-stated order
    size_t nextRule = 0;               // where the next rule of a round is expected
    std::vector<PresentAlarm> alarms;  // in raised order
};

// Upper bounds (seconds) of the round-duration histogram's buckets; +Inf follows.
const std::vector<double>& RoundDurationBounds();

struct RoundDurations {
    std::vector<unsigned long> buckets;  // per bound, not cumulative; the last: above every bound
    double sum = 0;
    unsigned long count = 0;
};

// Columns of plot samples: one time axis (Unix seconds), one value column per
// series, NaN where a series had no value.
struct PlotSeries {
    std::string chart;  // "dc_voltage", "dc_current", "battery_current", "ac_voltage"
    std::string name;
    std::string unit;
    std::vector<double> values;
};

struct Plots {
    std::vector<double> times;
    std::vector<PlotSeries> series;
};

struct Snapshot {
    std::string started;  // when the poller started
    unsigned long round = 0;
    bool lastComplete = false;
    double lastDuration = 0;
    std::string roundTime;
    std::vector<DeviceState> devices;  // by data id, then device type
    LineStats line;
    RoundDurations durations;
    std::shared_ptr<const Plots> plots;
};

// The plotted values of a decoded image: DC voltage and current, battery
// currents, AC phase voltages. `visit` gets a key that names the series
// across images, the chart, the series' name for people, its unit and the value.
void PlotValues(uint32_t dataId, const std::string& deviceType, const Json::Value& fields,
                const std::function<void(const std::string& key, const char* chart, const std::string& name,
                                         const char* unit, double value)>& visit);

// Samples for the plots: at most one per `step`, kept for `window`.
class PlotHistory {
public:
    PlotHistory(std::chrono::seconds window, std::chrono::seconds step) : window_(window), step_(step) {}
    // Adds the plotted fields of a decoded image taken at `t` (Unix seconds);
    // false when the sample was too close to the previous one of that device.
    bool Add(double t, uint32_t dataId, const std::string& deviceType, const Json::Value& fields);
    std::shared_ptr<const Plots> Build() const;
    std::chrono::seconds Window() const { return window_; }

private:
    struct Point {
        double t;
        std::vector<std::pair<size_t, double>> values;  // series index, value
    };
    size_t SeriesIndex(const std::string& key, const std::string& chart, const std::string& name,
                       const std::string& unit);

    std::chrono::seconds window_;
    std::chrono::seconds step_;
    std::vector<PlotSeries> series_;  // values unused here
    std::map<std::string, size_t> seriesByKey_;
    std::map<std::string, double> lastSample_;  // per device
    std::deque<Point> points_;
};

class StateStore : public EventSink {
public:
    using SystemClock = std::chrono::system_clock;
    explicit StateStore(std::chrono::seconds plotWindow = std::chrono::hours(6),
                        std::chrono::seconds plotStep = std::chrono::seconds(10));

    // The latest snapshot; never null. Safe from any thread.
    std::shared_ptr<const Snapshot> Current() const;

    // History rows recorded before this run, oldest first, to start the plots.
    void SeedPlot(double t, uint32_t dataId, const std::string& deviceType, int recordType, const unsigned char* data,
                  size_t size);
    // Publishes the seeded plots before the first round.
    void PublishNow();

    void Round(unsigned long number, bool complete, double seconds) override;
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void PublishDecoded(const DeviceRef& device, const Publication& image) override;
    void Rule(const DeviceRef& device, const rule_value& rule) override;
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Log(const std::string&, LogSource) override {}
    void Value(unsigned long, const Query&, bool, float, const std::string&) override {}
    void Frame(bool, const std::string&) override {}
    void Line(const LineStats& stats) override;
    // Goes out at once: every reader must see the line go down.
    void LineChanged(const LineStats& stats) override;
    void Finish() override {}

private:
    DeviceState& Device(const DeviceRef& ref);

    mutable std::mutex mutex_;
    std::shared_ptr<const Snapshot> current_;
    // Everything below belongs to the polling thread.
    Snapshot work_;
    PlotHistory plots_;
    bool plotsChanged_ = true;
    bool roundJustEnded_ = false;
    std::chrono::steady_clock::time_point lastPublished_{};
};

// Unix seconds of a time point.
double UnixSeconds(std::chrono::system_clock::time_point t);

}  // namespace vxpoll
