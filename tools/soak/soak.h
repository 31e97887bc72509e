#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "SMDController.h"

namespace vxsoak {

struct Options {
    unsigned long rounds = 10000;
    uint32_t seed = 1;
    std::string plugin;       // the plug-in to load; empty: the one built with the harness
    double faultRate = 0.05;  // share of replies spoilt outside the quiet windows, all kinds together
    bool progress = false;    // a line every 500 rounds on the report stream
    // What the run does to the system and the line; all of them by default.
    std::set<std::string> disturbances = AllDisturbances();

    static std::set<std::string> AllDisturbances() { return {"faults", "swap", "clock", "drop", "long"}; }
};

// The host side of the soak: counts what the devices hand over and keeps
// the alarm bookkeeping, remembering when each present alarm was last
// stated so that alarms nobody states any more show up.
class SoakController : public SMDController {
public:
    void OnLog(const std::string& text) override;
    void OnPublish(SMDVDevice& device, int recordType, const unsigned char* data, unsigned int size,
                   bool urgent) override;
    void OnHistory(SMDVDevice& device, const unsigned char* data, unsigned int size) override;
    bool OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules) override;
    void OnAlarm(SMDVDevice& device, const rule_value& rule, bool raised) override;
    void OnRoundEnd(SMDVDevice& device, bool complete) override;

    // Round ends since the last call (true: complete).
    std::vector<bool> TakeRoundEnds();
    // Present alarms not stated present for more than `rounds` complete rounds.
    std::vector<std::string> StaleAlarms(unsigned long rounds) const;

    // A log line's kind: its first word ("PMBusProtocol:FrameError").
    static std::string KindOf(const std::string& line);

    const std::map<std::string, unsigned long>& LogKinds() const { return logKinds_; }
    const std::deque<std::string>& RecentLogs() const { return recent_; }
    unsigned long Publishes() const { return publishes_; }
    unsigned long Histories() const { return histories_; }
    unsigned long Raised() const { return raised_; }
    unsigned long Cleared() const { return cleared_; }

private:
    using AlarmId = std::tuple<uint32_t, std::string, std::string, std::string>;
    std::map<std::string, unsigned long> logKinds_;
    std::deque<std::string> recent_;
    std::vector<bool> roundEnds_;
    unsigned long completeRounds_ = 0;
    unsigned long publishes_ = 0;
    unsigned long histories_ = 0;
    unsigned long raised_ = 0;
    unsigned long cleared_ = 0;
    std::map<AlarmId, unsigned long> present_;  // present alarm -> complete rounds when last stated present
};

// Rounds without a complete one: the longest run, and whether a run went on
// too long once the faults had stopped.
class StallWatch {
public:
    // `quietLimit`: the most rounds in a row without a complete one allowed
    // where no fault is injected; `anyLimit`: anywhere.
    StallWatch(unsigned quietLimit, unsigned anyLimit) : quietLimit_(quietLimit), anyLimit_(anyLimit) {}
    // One round ended; `quiet`: no fault or disturbance could have spoilt it.
    // False when this round makes a stall.
    bool Round(bool complete, bool quiet);
    unsigned long Longest() const { return longest_; }
    unsigned long Current() const { return run_; }

private:
    unsigned quietLimit_;
    unsigned anyLimit_;
    unsigned long run_ = 0;
    unsigned long quietRun_ = 0;
    unsigned long longest_ = 0;
};

// Heap in use (the sanitizer's allocator under ASan, else mallinfo2), the
// resident set and the open descriptors of this process.
struct Resources {
    size_t heap = 0;
    size_t rss = 0;
    size_t fds = 0;
    static Resources Measure();
};

// Runs the soak and prints its report; returns the exit status: 0 passed,
// 1 a stall, growth or a plug-in failure, 2 bad input.
int RunSoak(const Options& options, std::ostream& report);

}  // namespace vxsoak
