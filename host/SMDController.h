#pragma once
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "log_arg.h"
#include "rule_value.h"

class SMDVDevice;

// The one place where a device's side effects reach the host. Every hook is
// virtual so that tools and tests can observe or replace it.
class SMDController {
public:
    virtual ~SMDController() = default;

    // Formats "{}" placeholders with the arguments in order, then calls OnLog.
    void InfoLog(const std::string& format, const std::vector<LogArg>& args);
    // A line repeated without a break is passed on once, then with its count
    // ("... (10 times in a row)") at every power of ten and when the run ends.
    void FoldRepeatedLines(bool fold) { foldRepeats_ = fold; }

    virtual void OnLog(const std::string& text);
    virtual void OnPublish(SMDVDevice& device, int record_type, const unsigned char* data, unsigned int size);
    virtual void OnHistory(SMDVDevice& device, const unsigned char* data, unsigned int size);
    // Default: alarm bookkeeping; returns true when any alarm of the batch is present.
    virtual bool OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules);
    // A transition found by the default bookkeeping.
    virtual void OnAlarm(SMDVDevice& device, const rule_value& rule, bool raised);
    // Default: queue the work; RunPendingWork() runs it.
    virtual void OnWork(std::function<void()> work);
    // A polling round ended (complete: its records were published) or was
    // abandoned (a refused first reply, or polling restarted after a stall).
    virtual void OnRoundEnd(SMDVDevice& device, bool complete);

    // Runs queued work items in order, including items queued while running.
    void RunPendingWork();
    size_t PendingWorkCount() const { return work_.size(); }

    bool IsAlarmActive(const SMDVDevice& device, const std::string& key, const std::string& text) const;
    size_t ActiveAlarmCount() const { return active_.size(); }
    // Publications so far, whatever OnPublish does with them.
    unsigned long long PublishCount() const { return publishCount_; }
    void CountPublish() { ++publishCount_; }

private:
    // (data id, device type, rule key, rule text)
    using AlarmId = std::tuple<uint32_t, std::string, std::string, std::string>;
    std::set<AlarmId> active_;
    std::deque<std::function<void()>> work_;
    unsigned long long publishCount_ = 0;

    static bool IsPowerOfTen(unsigned long n);
    void ReportRepeats();
    bool foldRepeats_ = false;
    std::string lastLine_;
    unsigned long lastRepeats_ = 0;
    unsigned long lastReported_ = 0;
};
