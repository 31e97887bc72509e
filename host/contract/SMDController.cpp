#include "SMDController.h"

#include <cstdio>
#include <iterator>
#include <utility>

#include <fmt/args.h>
#include <fmt/format.h>

#include "SMDVDevice.h"

namespace {

std::string Render(const std::string& format, const std::vector<LogArg>& args)
{
    fmt::dynamic_format_arg_store<fmt::format_context> store;
    for (const LogArg& a : args) {
        switch (a.kind) {
        case LogArg::Signed: store.push_back(a.i); break;
        case LogArg::Unsigned: store.push_back(a.u); break;
        case LogArg::Real: store.push_back(a.d); break;
        case LogArg::Text: store.push_back(a.s); break;
        }
    }
    try {
        return fmt::vformat(format, store);
    } catch (const fmt::format_error&) {
        // A format the arguments do not fit: keep the text and every value.
        std::string text = format;
        for (const LogArg& a : args) {
            text += " | ";
            switch (a.kind) {
            case LogArg::Signed: text += std::to_string(a.i); break;
            case LogArg::Unsigned: text += std::to_string(a.u); break;
            case LogArg::Real: text += fmt::format("{}", a.d); break;
            case LogArg::Text: text += a.s; break;
            }
        }
        return text;
    }
}

}  // namespace

void SMDController::InfoLog(const std::string& format, const std::vector<LogArg>& args)
{
    std::string text = Render(format, args);
    if (!foldRepeats_) {
        OnLog(text);
        return;
    }
    // A line repeated without a break is passed on once, then with its count
    // at 10, 100, 1000 ... and when another line breaks the run.
    if (text == lastLine_) {
        ++lastRepeats_;
        if (IsPowerOfTen(lastRepeats_ + 1)) ReportRepeats();
        return;
    }
    if (lastRepeats_ > lastReported_) ReportRepeats();
    lastLine_ = std::move(text);
    lastRepeats_ = 0;
    lastReported_ = 0;
    OnLog(lastLine_);
}

bool SMDController::IsPowerOfTen(unsigned long n)
{
    while (n >= 10 && n % 10 == 0) n /= 10;
    return n == 1;
}

void SMDController::ReportRepeats()
{
    lastReported_ = lastRepeats_;
    OnLog(lastLine_ + " (" + std::to_string(lastRepeats_ + 1) + " times in a row)");
}

void SMDController::OnLog(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

void SMDController::OnPublish(SMDVDevice&, int, const unsigned char*, unsigned int, bool) {}

void SMDController::OnHistory(SMDVDevice&, const unsigned char*, unsigned int) {}

bool SMDController::OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules)
{
    bool anyPresent = false;
    for (const rule_value& rule : rules) {
        const AlarmView id{device.DataId(), device.DeviceType(), rule.key, rule.text};
        const bool present = rule.value != 0;
        anyPresent = anyPresent || present;
        const auto found = active_.find(id);
        if (present && found == active_.end()) {
            active_.insert(Alarm{id.dataId, device.DeviceType(), rule.key, rule.text});
            OnAlarm(device, rule, true);
        } else if (!present && found != active_.end()) {
            active_.erase(found);
            OnAlarm(device, rule, false);
        }
    }
    return anyPresent;
}

void SMDController::OnAlarm(SMDVDevice&, const rule_value&, bool) {}

void SMDController::OnWork(std::function<void()> work) { work_.push_back(std::move(work)); }

void SMDController::OnRoundEnd(SMDVDevice&, bool) {}

void SMDController::OnReplyTimeout(SMDVDevice&) {}

void SMDController::OnFrameError(SMDVDevice&, const std::string&) {}

void SMDController::OnReplyAccepted(SMDVDevice&) {}

void SMDController::RunPendingWork()
{
    while (!work_.empty()) {
        // Work queued while this batch runs waits for the next pass. A call
        // from inside a work item finds running_ busy and uses a list of its own.
        std::vector<std::function<void()>> batch;
        batch.swap(running_);
        batch.swap(work_);
        size_t next = 0;
        try {
            while (next < batch.size()) {
                std::function<void()> work = std::move(batch[next++]);
                if (work) work();
            }
        } catch (...) {
            // What did not run yet stays queued, ahead of anything newer.
            work_.insert(work_.begin(), std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(next)),
                         std::make_move_iterator(batch.end()));
            batch.clear();
            if (running_.capacity() < batch.capacity()) running_.swap(batch);
            throw;
        }
        batch.clear();
        if (running_.capacity() < batch.capacity()) running_.swap(batch);
    }
}

bool SMDController::IsAlarmActive(const SMDVDevice& device, const std::string& key, const std::string& text) const
{
    return active_.count(AlarmView{device.DataId(), device.DeviceType(), key, text}) > 0;
}
