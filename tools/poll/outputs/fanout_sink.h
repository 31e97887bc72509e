#pragma once
#include <memory>
#include <vector>

#include "event_sink.h"

namespace vxpoll {

// Hands every event to each output in the order they were added.
class FanoutSink : public EventSink {
public:
    void Add(std::unique_ptr<EventSink> sink);
    size_t Size() const { return sinks_.size(); }

    void Round(unsigned long number, bool complete, double seconds) override;
    // Decodes the image once for every output.
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void PublishDecoded(const DeviceRef& device, const Publication& image) override;
    void Rule(const DeviceRef& device, const rule_value& rule) override;
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void Log(const std::string& text, LogSource source) override;
    void Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error) override;
    void Frame(bool tx, const std::string& bytes) override;
    void LineChanged(const LineStats& stats) override;
    void Line(const LineStats& stats) override;
    void Tick() override;
    // Any output closed ends the run: the user asked for all of them.
    bool Closed() const override;
    void Finish() override;

private:
    std::vector<std::unique_ptr<EventSink>> sinks_;
};

}  // namespace vxpoll
