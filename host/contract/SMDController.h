#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
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
    // urgent: the device asked for the record to go out ahead of others.
    virtual void OnPublish(SMDVDevice& device, int record_type, const unsigned char* data, unsigned int size,
                           bool urgent);
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
    // What happens on the line, one call per event as it happens (log lines
    // may be folded; these never are): a command given up without a reply, a
    // reply refused by the framing checks (kind as yd1363::Describe names it),
    // a reply accepted.
    virtual void OnReplyTimeout(SMDVDevice& device);
    virtual void OnFrameError(SMDVDevice& device, const std::string& kind);
    virtual void OnReplyAccepted(SMDVDevice& device);

    // Runs queued work items in order, including items queued while running.
    void RunPendingWork();
    size_t PendingWorkCount() const { return work_.size(); }

    bool IsAlarmActive(const SMDVDevice& device, const std::string& key, const std::string& text) const;
    size_t ActiveAlarmCount() const { return active_.size(); }
    // Publications so far, whatever OnPublish does with them.
    unsigned long long PublishCount() const { return publishCount_; }
    void CountPublish() { ++publishCount_; }

private:
    // A present alarm: data id, device type, rule key, rule text.
    struct Alarm {
        uint32_t dataId;
        std::string type, key, text;
    };
    // The same four, borrowed: a batch is looked up without copying a string.
    struct AlarmView {
        uint32_t dataId;
        std::string_view type, key, text;
    };
    struct AlarmOrder {
        using is_transparent = void;
        static AlarmView View(const Alarm& a) { return {a.dataId, a.type, a.key, a.text}; }
        static const AlarmView& View(const AlarmView& v) { return v; }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const
        {
            const AlarmView& x = View(a);
            const AlarmView& y = View(b);
            if (x.dataId != y.dataId) return x.dataId < y.dataId;
            if (x.type != y.type) return x.type < y.type;
            if (x.key != y.key) return x.key < y.key;
            return x.text < y.text;
        }
    };
    std::set<Alarm, AlarmOrder> active_;
    // Queued work, and the list that runs; both keep their capacity.
    std::vector<std::function<void()>> work_;
    std::vector<std::function<void()>> running_;
    unsigned long long publishCount_ = 0;

    static bool IsPowerOfTen(unsigned long n);
    void ReportRepeats();
    bool foldRepeats_ = false;
    std::string lastLine_;
    unsigned long lastRepeats_ = 0;
    unsigned long lastReported_ = 0;
};
