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
    // The rules are written into the entries of the last batch in place:
    // their strings keep their room, so a steady round neither allocates nor
    // moves an entry. Entries past statedCount_ are left from that batch.
    if (pendingRules_.empty() && !spareWords_.empty()) {
        pendingRules_.swap(spareWords_);
        statedList_ = pendingRules_.data();
        statedCount_ = 0;
    } else if (pendingRules_.data() != statedList_ || statedCount_ > pendingRules_.size()) {
        statedList_ = pendingRules_.data();
        statedCount_ = pendingRules_.size();
    }
    if (statedCount_ == pendingRules_.size()) {
        pendingRules_.emplace_back();
        statedList_ = pendingRules_.data();
    }
    rule_value& rule = pendingRules_[statedCount_++];
    rule.value = state ? 1 : 0;
    rule.key = key;
    rule.code = code;
    rule.level = level;
    rule.sequence = sequence;
    rule.name = name;
    rule.text = text;
    rule.data_id = dataId_;
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    // This device's own list, moved or swapped out of pending (a vector keeps
    // its buffer): only its stated entries are this round's.
    const bool own =
        &rules != &pendingRules_ && !rules.empty() && rules.data() == statedList_ && rules.size() >= statedCount_;
    if (own) DropUnstated(const_cast<std::vector<rule_value>&>(rules));
    auto c = controller_.lock();
    const bool any = c ? c->OnAlarmBatch(*this, rules) : false;
    if (own) TakeBackWords(rules);
    return any;
}

void SMDVDevice::DropUnstated(std::vector<rule_value>& rules) const
{
    // Lists are never const objects; they shrink only when fewer rules were stated.
    if (rules.data() == statedList_ && rules.size() > statedCount_) rules.resize(statedCount_);
}

void SMDVDevice::TakeBackWords(const std::vector<rule_value>& rules)
{
    // Once only, and only while no other batch waits to be written into.
    if (rules.data() != statedList_ || !spareWords_.empty()) return;
    statedList_ = nullptr;
    statedCount_ = 0;
    spareWords_.swap(const_cast<std::vector<rule_value>&>(rules));
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
    DropUnstated(pendingRules_);
    std::vector<rule_value> rules;
    rules.swap(pendingRules_);
    return rules;
}
