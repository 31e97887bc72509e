#pragma once
#include <vector>

#include "output.h"

namespace vxpoll {

// Hands every event to each sink in turn; Finish goes the other way, so that
// the first sink (the primary output) still takes what the others say last.
class FanOutSink : public EventSink {
public:
    void Add(EventSink& sink) { sinks_.push_back(&sink); }
    void Round(unsigned long number, bool complete, double seconds) override
    {
        for (EventSink* s : sinks_) s->Round(number, complete, seconds);
    }
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override
    {
        for (EventSink* s : sinks_) s->Publish(device, recordType, data, size);
    }
    void Rule(const DeviceRef& device, const rule_value& rule) override
    {
        for (EventSink* s : sinks_) s->Rule(device, rule);
    }
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override
    {
        for (EventSink* s : sinks_) s->Alarm(device, rule, raised);
    }
    void History(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override
    {
        for (EventSink* s : sinks_) s->History(device, recordType, data, size);
    }
    void Log(const std::string& text, LogSource source) override
    {
        for (EventSink* s : sinks_) s->Log(text, source);
    }
    void Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error) override
    {
        for (EventSink* s : sinks_) s->Value(round, query, ok, value, error);
    }
    void Frame(bool tx, const std::string& bytes) override
    {
        for (EventSink* s : sinks_) s->Frame(tx, bytes);
    }
    void Tick() override
    {
        for (EventSink* s : sinks_) s->Tick();
    }
    void Finish() override
    {
        for (auto s = sinks_.rbegin(); s != sinks_.rend(); ++s) (*s)->Finish();
    }

private:
    std::vector<EventSink*> sinks_;
};

}  // namespace vxpoll
