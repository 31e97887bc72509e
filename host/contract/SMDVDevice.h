#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "SMDController.h"
#include "VDeviceInterface.h"
#include "rule_value.h"

// A virtual device: identity, freshness, alarms and publication.
class SMDVDevice : public VDeviceInterface, public std::enable_shared_from_this<SMDVDevice> {
public:
    SMDVDevice();
    ~SMDVDevice() override;

    bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config) override;
    bool InitSetting(const Json::Value& config) override;
    bool IsSupportDevice(const std::string& deviceType) const override;
    int DeviceIoControl(int code, const void* in, int inSize, void* out, int outSize, int& returned) override;
    bool SendSP(int recordType, const unsigned char* data, unsigned int size, bool urgent) override;
    bool SendDelayData(int delay) override;
    bool SendDoData(int channel, char value) override;
    int ReadDi(int channel) override;
    float ReadAi(int channel) override;
    float Get_SP_Value(unsigned int index, const std::string& key) override;

    // States one alarm rule; collected in the pending rule list.
    void CheckThresholdBool(int level, const std::string& key, const std::string& code, const std::string& name,
                            const std::string& text, bool state, unsigned short sequence);
    // Evaluates a batch through the controller's bookkeeping. A batch that
    // is this device's own last pending list is taken back afterwards (it is
    // left empty): the next rules stated are written into its entries, so
    // that a steady round copies its rules without allocating.
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    // Hands a work item to the controller (runs it at once without one).
    void CheckThresholdWork(std::function<void()> work);
    void SaveDeviceHistory(const unsigned char* data, unsigned int size);

    template <typename... Args>
    void InfoLog(const std::string& format, const Args&... args) const
    {
        if (auto c = controller_.lock()) c->InfoLog(format, std::vector<LogArg>{LogArg(args)...});
    }

    // Host-side accessors.
    SMDVDevice* Parent() const { return parent_; }
    std::shared_ptr<SMDController> Controller() const { return controller_.lock(); }
    void SetController(std::weak_ptr<SMDController> controller) { controller_ = std::move(controller); }
    const boost::posix_time::ptime& LastUpdate() const { return lastUpdate_; }
    void SetLastUpdate(const boost::posix_time::ptime& t) { lastUpdate_ = t; }
    bool IsDataReady() const { return dataReady_ != 0; }
    void SetDataReady(bool ready) { dataReady_ = ready ? 1 : 0; }
    bool HasPublished() const { return published_; }
    unsigned short RuleSequence() const { return ruleSeq_; }
    const std::vector<rule_value>& PendingRules() const
    {
        DropUnstated(const_cast<std::vector<rule_value>&>(pendingRules_));
        return pendingRules_;
    }
    std::vector<rule_value> TakePendingRules();
    bool AlarmResult() const { return alarmResult_ != 0; }

protected:
    uint16_t ruleSeq_ = 0;
    boost::posix_time::ptime lastUpdate_;
    uint8_t dataReady_ = 0;
    std::vector<rule_value> pendingRules_;
    std::weak_ptr<SMDController> controller_;
    uint8_t alarmResult_ = 0;
    SMDVDevice* parent_ = nullptr;
    bool published_ = false;

private:
    void TakeBackWords(const std::vector<rule_value>& rules);
    // Entries the pending list holds past this round's rules (a round that
    // states fewer than the last) go before anyone reads the list.
    void DropUnstated(std::vector<rule_value>& rules) const;
    // The last batch taken back, whose strings keep their room for the next rules.
    std::vector<rule_value> spareWords_;
    // The list being stated into and how many of its entries are this round's:
    // the batch it becomes is recognised by its buffer.
    const rule_value* statedList_ = nullptr;
    size_t statedCount_ = 0;
};
