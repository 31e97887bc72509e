#include "fanout_sink.h"

#include "record_decoder.h"

namespace vxpoll {

Publication DecodePublication(int recordType, const unsigned char* data, size_t size)
{
    Publication image;
    image.recordType = recordType;
    image.data = data;
    image.size = size;
    auto fields = std::make_shared<Json::Value>();
    if (DecodeRecord(recordType, data, size, *fields, image.decodeError)) image.fields = std::move(fields);
    return image;
}

void FanoutSink::Add(std::unique_ptr<EventSink> sink)
{
    if (sink) sinks_.push_back(std::move(sink));
}

void FanoutSink::Round(unsigned long number, bool complete, double seconds)
{
    for (auto& sink : sinks_) sink->Round(number, complete, seconds);
}

void FanoutSink::Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    PublishDecoded(device, DecodePublication(recordType, data, size));
}

void FanoutSink::PublishDecoded(const DeviceRef& device, const Publication& image)
{
    for (auto& sink : sinks_) sink->PublishDecoded(device, image);
}

void FanoutSink::Rule(const DeviceRef& device, const rule_value& rule)
{
    for (auto& sink : sinks_) sink->Rule(device, rule);
}

void FanoutSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    for (auto& sink : sinks_) sink->Alarm(device, rule, raised);
}

void FanoutSink::History(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    for (auto& sink : sinks_) sink->History(device, recordType, data, size);
}

void FanoutSink::Log(const std::string& text, LogSource source)
{
    for (auto& sink : sinks_) sink->Log(text, source);
}

void FanoutSink::Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error)
{
    for (auto& sink : sinks_) sink->Value(round, query, ok, value, error);
}

void FanoutSink::Frame(bool tx, const std::string& bytes)
{
    for (auto& sink : sinks_) sink->Frame(tx, bytes);
}

void FanoutSink::LineChanged(const LineStats& stats)
{
    for (auto& sink : sinks_) sink->LineChanged(stats);
}

void FanoutSink::Line(const LineStats& stats)
{
    for (auto& sink : sinks_) sink->Line(stats);
}

void FanoutSink::Tick()
{
    for (auto& sink : sinks_) sink->Tick();
}

bool FanoutSink::Closed() const
{
    for (const auto& sink : sinks_)
        if (sink->Closed()) return true;
    return false;
}

void FanoutSink::Finish()
{
    for (auto& sink : sinks_) sink->Finish();
}

}  // namespace vxpoll
