#pragma once
#include <functional>
#include <string>
#include <vector>

#include "SMDController.h"
#include "SMDVDevice.h"

// A controller that records every side effect a device hands to the host.
class RecordingController : public SMDController {
public:
    struct Publish {
        SMDVDevice* device;
        int recordType;
        std::vector<unsigned char> image;
        bool urgent;
    };
    struct History {
        SMDVDevice* device;
        std::vector<unsigned char> image;
    };
    struct Batch {
        SMDVDevice* device;
        std::vector<rule_value> rules;
    };
    struct Transition {
        SMDVDevice* device;
        rule_value rule;
        bool raised;
    };

    std::vector<std::string> logs;
    std::vector<Publish> publishes;
    std::vector<History> histories;
    std::vector<Batch> batches;
    std::vector<Transition> transitions;
    // One entry per round end: true complete, false abandoned.
    std::vector<bool> roundEnds;
    // When false, work items stay queued until RunPendingWork().
    bool runWorkAtOnce = false;

    void OnLog(const std::string& text) override { logs.push_back(text); }
    void OnPublish(SMDVDevice& device, int recordType, const unsigned char* data, unsigned int size,
                   bool urgent) override
    {
        publishes.push_back({&device, recordType, std::vector<unsigned char>(data, data + size), urgent});
    }
    void OnHistory(SMDVDevice& device, const unsigned char* data, unsigned int size) override
    {
        histories.push_back({&device, std::vector<unsigned char>(data, data + size)});
    }
    bool OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules) override
    {
        batches.push_back({&device, rules});
        return SMDController::OnAlarmBatch(device, rules);
    }
    void OnAlarm(SMDVDevice& device, const rule_value& rule, bool raised) override
    {
        transitions.push_back({&device, rule, raised});
    }
    void OnWork(std::function<void()> work) override
    {
        if (runWorkAtOnce)
            work();
        else
            SMDController::OnWork(std::move(work));
    }

    void OnRoundEnd(SMDVDevice&, bool complete) override { roundEnds.push_back(complete); }

    bool Logged(const std::string& text) const
    {
        for (const auto& l : logs)
            if (l == text) return true;
        return false;
    }
};
