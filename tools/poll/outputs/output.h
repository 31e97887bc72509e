#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <json/value.h>

#include "event_sink.h"
#include "vocabulary.h"

// Two outputs on a stream: JSON lines, or a human-readable view.
namespace vxpoll {

// The JSON objects, one per line. Builders are exposed for the history dump
// and for tests.
Json::Value PublishJson(const DeviceRef& device, int recordType, const unsigned char* data, size_t size);
Json::Value RuleJson(const DeviceRef& device, const rule_value& rule);
Json::Value AlarmJson(const DeviceRef& device, const rule_value& rule, bool raised);
Json::Value HistoryJson(const DeviceRef& device, int recordType, const unsigned char* data, size_t size);
Json::Value FrameJson(bool tx, const std::string& bytes);
Json::Value ValueJson(unsigned long round, const Query& query, bool ok, float value, const std::string& error);
// The line's state: "state" up or down, "since", and "reason" while down.
Json::Value LineJson(const LineStats& stats);
// "fields" (decoded) or "decode_error" (why not) for an image.
void AddDecodedFields(Json::Value& event, int recordType, const unsigned char* data, size_t size);

class JsonSink : public EventSink {
public:
    explicit JsonSink(std::ostream& out) : out_(out) {}
    void Round(unsigned long number, bool complete, double seconds) override;
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void PublishDecoded(const DeviceRef& device, const Publication& image) override;
    void Rule(const DeviceRef& device, const rule_value& rule) override;
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void Log(const std::string& text, LogSource source) override;
    void Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error) override;
    void Frame(bool tx, const std::string& bytes) override;
    void Line(const LineStats& stats) override;
    // The lines of a round go out together, with its round line or at the
    // end of the loop's turn at the latest.
    void Tick() override;
    void LineChanged(const LineStats& stats) override;
    bool Closed() const override { return out_.bad(); }
    // Ends a run that got as far as its line with a "summary" line: the
    // rounds and the line's errors.
    void Finish() override;

private:
    void Emit(const char* event, Json::Value value);
    // Ends line_ with the time and writes it, unflushed.
    void Write();
    std::ostream& out_;
    // The lines of every round, written without a value tree (members in
    // name order, as Emit writes them); keeps its capacity.
    std::string line_;
    // The line's counts as last told; the refused frames by kind only once one came.
    bool lineSeen_ = false;
    unsigned long roundsComplete_ = 0;
    unsigned long roundsAbandoned_ = 0;
    unsigned long timeouts_ = 0;
    unsigned long frameErrorTotal_ = 0;
    std::map<std::string, unsigned long> frameErrors_;
};

// Per round a table of every sub-device's values and the alarm transitions;
// log lines as they come, a repeated one once with a count. The plug-in's
// own trace lines, when traceFd reads them (--verbose), come among the log
// lines.
class HumanSink : public EventSink {
public:
    using Clock = std::chrono::steady_clock;
    explicit HumanSink(std::ostream& out, Lang lang = Lang::En, int traceFd = -1)
        : out_(out), lang_(lang), traceFd_(traceFd)
    {}
    void Round(unsigned long number, bool complete, double seconds) override;
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void PublishDecoded(const DeviceRef& device, const Publication& image) override;
    void Rule(const DeviceRef&, const rule_value&) override {}
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Log(const std::string& text, LogSource source) override;
    void Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error) override;
    void Frame(bool tx, const std::string& bytes) override;
    void LineChanged(const LineStats& stats) override;
    void Tick() override;
    bool Closed() const override { return out_.bad(); }
    void Finish() override;

    // The table rows of one decoded image, as the live screen has them.
    static std::vector<std::string> TableRows(const DeviceRef& device, int recordType, const unsigned char* data,
                                              size_t size);
    static std::vector<std::string> TableRows(const DeviceRef& device, const Publication& image);

private:
    void FlushRepeats();
    void ReadTrace();

    std::ostream& out_;
    Lang lang_;
    int traceFd_;
    std::string tracePartial_;
    std::vector<std::string> table_;
    std::vector<std::string> transitions_;
    // Log lines seen since the last flush, with how often, in first-seen order.
    std::vector<std::string> logOrder_;
    std::map<std::string, unsigned long> logCounts_;
    Clock::time_point lastFlush_ = Clock::now();
};

}  // namespace vxpoll
