#pragma once
#include <cstdio>

#include "event_sink.h"

namespace vxpoll {

// Every log line, with its time and source, appended to a file the plug-in's
// own trace lines also go to (through the same stream, so that the two
// interleave line by line).
class LogFileSink : public EventSink {
public:
    explicit LogFileSink(std::FILE* file) : file_(file) {}
    void Round(unsigned long, bool, double) override {}
    void Publish(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Rule(const DeviceRef&, const rule_value&) override {}
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Log(const std::string& text, LogSource source) override;
    void Value(unsigned long, const Query&, bool, float, const std::string&) override {}
    void Frame(bool, const std::string&) override {}
    void LineChanged(const LineStats& stats) override;
    void Finish() override { std::fflush(file_); }

private:
    std::FILE* file_;
};

}  // namespace vxpoll
