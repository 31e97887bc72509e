#include "poll_controller.h"

#include "SMDVDevice.h"
#include "json_line.h"
#include "record_decoder.h"

namespace vxpoll {

namespace {
DeviceRef Ref(const SMDVDevice& device) { return DeviceRef{device.DataId(), device.DeviceType()}; }
}  // namespace

void PollController::PollerLog(const std::string& text) { sink_.Log(text, LogSource::Poller); }

void PollController::OnLog(const std::string& text)
{
    if (keepLogs_) logs_.push_back(text);
    sink_.Log(text, LogSource::Device);
    if (configuredDc_ >= 0 && !dcAsked_ && text.find("read ac_number is ") != std::string::npos &&
        !CountAdvice(text).empty()) {
        heldAdvice_ = text;
        return;
    }
    const std::string advice = advisor_.Advise(text);
    if (!advice.empty()) PollerLog(advice);
}

void PollController::DcCountAsked(long read)
{
    dcAsked_ = true;
    if (read >= 0) advisor_.LearnDc(read, configuredDc_);
    std::string held;
    held.swap(heldAdvice_);
    if (held.empty()) return;
    const std::string advice = advisor_.Advise(held);
    if (!advice.empty()) PollerLog(advice);
}

void PollController::OnPublish(SMDVDevice& device, int recordType, const unsigned char* data, unsigned int size, bool)
{
    recordTypes_[&device] = recordType;
    sink_.Publish(Ref(device), recordType, data, size);
    if (cache_ == nullptr) return;
    std::string error;
    const std::string item = cache_->PathFor(device.DeviceType(), device.DataId());
    const bool saved = cache_->Save(device.DeviceType(), device.DataId(), recordType, data, size, error);
    for (const std::string& line : saved ? cacheTrouble_.Saved(item) : cacheTrouble_.Failed(item, error))
        PollerLog(line);
}

void PollController::OnHistory(SMDVDevice& device, const unsigned char* data, unsigned int size)
{
    const auto known = recordTypes_.find(&device);
    const int recordType = known != recordTypes_.end() ? known->second : RecordTypeOf(device.DeviceType());
    sink_.History(Ref(device), recordType, data, size);
    if (history_ == nullptr) return;
    HistoryRow row;
    row.time = NowText();
    row.dataId = device.DataId();
    row.deviceType = device.DeviceType();
    row.recordType = recordType;
    row.image.assign(reinterpret_cast<const char*>(data), size);
    history_->Push(std::move(row));
    LogHistoryNotes();
}

void PollController::LogHistoryNotes()
{
    if (history_ == nullptr) return;
    for (const std::string& line : history_->TakeNotes()) PollerLog(line);
}

bool PollController::OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules)
{
    const DeviceRef ref = Ref(device);
    for (const rule_value& rule : rules) sink_.Rule(ref, rule);
    return SMDController::OnAlarmBatch(device, rules);
}

void PollController::OnAlarm(SMDVDevice& device, const rule_value& rule, bool raised)
{
    sink_.Alarm(Ref(device), rule, raised);
}

void PollController::OnRoundEnd(SMDVDevice&, bool complete) { roundEnds_.push_back(complete); }

void PollController::OnReplyTimeout(SMDVDevice&)
{
    ++line_.timeouts;
    sink_.Line(line_);
}

void PollController::OnFrameError(SMDVDevice&, const std::string& kind)
{
    ++line_.frameErrors[kind];
    if (watch_) watch_->FrameError();
    sink_.Line(line_);
}

void PollController::OnReplyAccepted(SMDVDevice&)
{
    if (watch_) watch_->ReplyAccepted(clock_());
}

void PollController::WatchLine(std::chrono::milliseconds downAfter)
{
    watch_ = std::make_unique<LineWatch>(downAfter, clock_());
    watch_->Update(clock_(), line_);
}

void PollController::LineRoundComplete()
{
    if (watch_) watch_->RoundComplete(clock_());
}

void PollController::CheckLine(bool portOpen)
{
    if (!watch_) return;
    watch_->PortOpen(portOpen);
    if (!watch_->Update(clock_(), line_)) return;
    sink_.LineChanged(line_);
    sink_.Line(line_);
}

void PollController::Finish()
{
    for (const std::string& line : cacheTrouble_.Finish()) PollerLog(line);
    LogHistoryNotes();
}

std::vector<bool> PollController::TakeRoundEnds()
{
    std::vector<bool> out;
    out.swap(roundEnds_);
    return out;
}

std::vector<std::string> PollController::TakeLogs()
{
    std::vector<std::string> out;
    out.swap(logs_);
    return out;
}

}  // namespace vxpoll
