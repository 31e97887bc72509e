#include "SMDVDevice.h"

#include <boost/date_time/posix_time/posix_time.hpp>

SMDVDevice::SMDVDevice() : lastUpdate_(boost::posix_time::second_clock::local_time()) {}

SMDVDevice::~SMDVDevice() = default;

bool SMDVDevice::InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value&)
{
    parent_ = parent;
    dataId_ = dataId;
    if (parent != nullptr && controller_.expired()) controller_ = parent->controller_;
    return true;
}

bool SMDVDevice::InitSetting(const Json::Value&) { return true; }

bool SMDVDevice::IsSupportDevice(const std::string& deviceType) const { return deviceType == deviceType_; }

int SMDVDevice::DeviceIoControl(int, const void*, int, void*, int, int& returned)
{
    returned = 0;
    return -1;
}

bool SMDVDevice::SendSP(int recordType, const unsigned char* data, unsigned int size, bool urgent)
{
    published_ = true;
    if (auto c = controller_.lock()) {
        c->CountPublish();
        c->OnPublish(*this, recordType, data, size, urgent);
    }
    return true;
}

bool SMDVDevice::SendDelayData(int) { return false; }
bool SMDVDevice::SendDoData(int, char) { return false; }
int SMDVDevice::ReadDi(int) { return -1; }
float SMDVDevice::ReadAi(int) { return 0.0f; }

float SMDVDevice::Get_SP_Value(unsigned int index, const std::string& key) { return Get_Value(index, key); }

void SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code, const std::string& name,
                                    const std::string& text, bool state, unsigned short sequence)
{
    // A spare entry's strings keep their room: assigning into them allocates nothing.
    if (spareWords_.empty()) {
        pendingRules_.emplace_back();
    } else {
        pendingRules_.push_back(std::move(spareWords_.back()));
        spareWords_.pop_back();
    }
    rule_value& rule = pendingRules_.back();
    rule.value = state ? 1 : 0;
    rule.key = key;
    rule.code = code;
    rule.level = level;
    rule.sequence = sequence;
    rule.name = name;
    rule.text = text;
    rule.data_id = dataId_;
    statedList_ = pendingRules_.data();
    statedCount_ = pendingRules_.size();
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    auto c = controller_.lock();
    const bool any = c ? c->OnAlarmBatch(*this, rules) : false;
    TakeBackWords(rules);
    return any;
}

void SMDVDevice::TakeBackWords(const std::vector<rule_value>& rules)
{
    // Only the very entries this device last stated, moved or swapped out of
    // its pending list (a vector keeps its buffer when moved), and only once.
    if (rules.empty() || rules.data() != statedList_ || rules.size() != statedCount_) return;
    statedList_ = nullptr;
    statedCount_ = 0;
    if (spareWords_.size() + rules.size() > kMaxSpareWords) return;
    for (const rule_value& done : rules) {
        // The entries are the list's own heap objects, never const ones.
        spareWords_.push_back(std::move(const_cast<rule_value&>(done)));
    }
}

void SMDVDevice::CheckThresholdWork(std::function<void()> work)
{
    if (auto c = controller_.lock())
        c->OnWork(std::move(work));
    else if (work)
        work();
}

void SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size)
{
    if (auto c = controller_.lock()) c->OnHistory(*this, data, size);
}

std::vector<rule_value> SMDVDevice::TakePendingRules()
{
    std::vector<rule_value> rules;
    rules.swap(pendingRules_);
    return rules;
}
