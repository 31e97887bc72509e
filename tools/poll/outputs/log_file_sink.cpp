#include "log_file_sink.h"

#include "json_line.h"

namespace vxpoll {

void LogFileSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    std::fprintf(file_, "%s alarm %s %s %u %s [%s] %s\n", NowText().c_str(), raised ? "raised" : "cleared",
                 device.type.c_str(), device.dataId, rule.key.c_str(), rule.code.c_str(), rule.text.c_str());
    std::fflush(file_);
}

void LogFileSink::Log(const std::string& text, LogSource source)
{
    std::fprintf(file_, "%s %s %s\n", NowText().c_str(), source == LogSource::Device ? "device" : "poller",
                 text.c_str());
    std::fflush(file_);
}

void LogFileSink::LineChanged(const LineStats& stats)
{
    const std::string text = stats.up ? "up" : "down: " + NoReplyText(stats, LineStats::WallClock::now());
    std::fprintf(file_, "%s line %s\n", NowText().c_str(), text.c_str());
    std::fflush(file_);
}

}  // namespace vxpoll
