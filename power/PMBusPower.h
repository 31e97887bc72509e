#pragma once
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "PMBusProtocol.h"

// The main device: owns the serial conversation with one power system,
// polls it in rounds and routes every reply to the sub-device that owns it.
template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
public:
    explicit PMBusPower(std::vector<std::string> supportedModels) : supportedModels_(std::move(supportedModels)) {}
    ~PMBusPower() override = default;

    using VDeviceInterface::LoadFromCache;
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool InitSetting(const Json::Value& config) override;
    std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int dataId) override;
    std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() override;
    bool RefreshStatus() override;
    int process_payload() override;

    // Accessors for the host and tests.
    const std::vector<std::shared_ptr<AC>>& AcDevices() const { return acDevices_; }
    const std::vector<std::shared_ptr<DC>>& DcDevices() const { return dcDevices_; }
    const std::shared_ptr<RC>& RcDevice() const { return rcDevice_; }
    bool NeedDeviceInfo() const { return needDeviceInfo_; }
    const std::string& DeviceModel() const { return deviceModel_; }

protected:
    std::vector<std::shared_ptr<AC>> acDevices_;
    std::vector<std::shared_ptr<DC>> dcDevices_;
    std::shared_ptr<RC> rcDevice_;
    unsigned char acDataFlag_ = 0;
    unsigned char rcDataFlag_ = 0;
    bool needDeviceInfo_ = true;
    std::string deviceModel_;
    std::vector<std::string> supportedModels_;

    static const unsigned char commandGroup_;

private:
    enum : unsigned char { kFlagSwitch = 0x10, kFlagAlarm = 0x01 };
    static constexpr size_t kModelBytes = 20;

    template <class Device>
    bool CreateChildren(const Json::Value& config, const char* key, std::vector<std::shared_ptr<Device>>& out,
                        const std::function<std::shared_ptr<Device>()>& make);
    void SendStep(int step);
    bool DcHasGroupByte() const { return ver_ == 0x21; }
    int EndRound();
    bool ReplyTooShort(int L, int need);
    void CheckModel(const unsigned char* info, int L);
};

template <class AC, class DC, class RC>
const unsigned char PMBusPower<AC, DC, RC>::commandGroup_ = 0xFF;

template <class AC, class DC, class RC>
template <class Device>
bool PMBusPower<AC, DC, RC>::CreateChildren(const Json::Value& config, const char* key,
                                            std::vector<std::shared_ptr<Device>>& out,
                                            const std::function<std::shared_ptr<Device>()>& make)
{
    const Json::Value& list = config[key];
    if (!list.isArray()) return true;
    for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
        const Json::Value& element = list[k];
        // A null element reads as an empty one (data id 0).
        if (!element.isNull() && !element.isObject()) {
            InfoLog("PMBusPower:ConfigError {} {}[{}] is not an object", DataId(), key, k);
            return false;
        }
        // Whatever asUInt reads without throwing: null 0, true 1, 3.5 cut to 3.
        const Json::Value& id = element["data_id"];
        if (!id.isConvertibleTo(Json::uintValue)) {
            InfoLog("PMBusPower:ConfigError {} {}[{}].data_id is not an unsigned number", DataId(), key, k);
            return false;
        }
        std::shared_ptr<Device> device = make();
        try {
            device->InitV(this, id.asUInt(), element);
        } catch (const std::exception& e) {
            InfoLog("PMBusPower:ConfigError {} {}[{}] cannot be read: {}", DataId(), key, k, e.what());
            return false;
        }
        out.push_back(std::move(device));
    }
    return true;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& config)
{
    try {
        if (!PMBusProtocol::InitSetting(config)) return false;
        if (!config.isObject()) return false;
        if (!CreateChildren<AC>(config, "acSetting", acDevices_, [] { return std::make_shared<AC>(); }))
            return false;
        const std::string model = deviceModel_;
        if (!CreateChildren<DC>(config, "dcSetting", dcDevices_, [&model] { return std::make_shared<DC>(model); }))
            return false;
        const Json::Value& rc = config["rcSetting"];
        if (rc == Json::Value()) return false;
        rcDevice_ = std::make_shared<RC>();
        try {
            rcDevice_->InitV(this, DataId(), rc);
        } catch (const std::exception& e) {
            InfoLog("PMBusPower:ConfigError {} rcSetting cannot be read: {}", DataId(), e.what());
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        InfoLog("PMBusPower:ConfigError {} configuration cannot be read: {}", DataId(), e.what());
        return false;
    }
}

template <class AC, class DC, class RC>
std::shared_ptr<SMDVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned int dataId)
{
    for (const auto& d : acDevices_)
        if (d->DataId() == dataId) return d;
    for (const auto& d : dcDevices_)
        if (d->DataId() == dataId) return d;
    return {};
}

template <class AC, class DC, class RC>
std::vector<std::shared_ptr<SMDVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices()
{
    std::vector<std::shared_ptr<SMDVDevice>> all;
    all.reserve(acDevices_.size() + dcDevices_.size() + 1);
    all.insert(all.end(), acDevices_.begin(), acDevices_.end());
    all.insert(all.end(), dcDevices_.begin(), dcDevices_.end());
    all.push_back(rcDevice_);
    return all;
}

template <class AC, class DC, class RC>
void PMBusPower<AC, DC, RC>::SendStep(int step)
{
    switch (step) {
    case 0: write_pmbus_cmd(0x40, 0x41, &commandGroup_, 1); break;
    case 1: write_pmbus_cmd(0x40, 0x43, &commandGroup_, 1); break;
    case 2: write_pmbus_cmd(0x40, 0x44, &commandGroup_, 1); break;
    case 3: write_pmbus_cmd(0x40, 0x46); break;
    case 4: write_pmbus_cmd(0x41, 0x41); break;
    case 5: write_pmbus_cmd(0x41, 0x43); break;
    case 6: write_pmbus_cmd(0x41, 0x44); break;
    case 7:
        if (DcHasGroupByte())
            write_pmbus_cmd(0x42, 0x41, &commandGroup_, 1);
        else
            write_pmbus_cmd(0x42, 0x41);
        break;
    case 8:
        if (DcHasGroupByte())
            write_pmbus_cmd(0x42, 0x44, &commandGroup_, 1);
        else
            write_pmbus_cmd(0x42, 0x44);
        break;
    case 9: write_pmbus_cmd(0x42, 0x46); break;
    case 14: write_pmbus_cmd(0x40, 0x51); break;
    default: break;
    }
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus()
{
    if (!SMDSPDevice::RefreshStatus()) return false;
    if (!needDeviceInfo_ && !lastUpdate_.is_special()) {
        const long long elapsed =
            (boost::posix_time::second_clock::local_time() - lastUpdate_).total_seconds();
        // A time stamp in the future (clock set back) must not stop polling.
        if (elapsed >= 0 && elapsed < 2) {
            pacing_ = 0;
            return false;
        }
    }
    if (needDeviceInfo_) {
        step_ = 14;
        SendStep(14);
        return true;
    }
    if (step_ == 0) {
        if (acDevices_.empty()) step_ = 4;
        SendStep(step_);
        return true;
    }
    // The parameter queries (3, 9) are not repeated.
    if (step_ != 3 && step_ != 9) SendStep(step_);
    return true;
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::EndRound()
{
    for (const auto& d : acDevices_) d->RoundDone();
    for (const auto& d : dcDevices_) d->RoundDone();
    if (rcDevice_) rcDevice_->RoundDone();
    step_ = 0;
    Reset();
    return 0;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::ReplyTooShort(int L, int need)
{
    if (L >= need) return false;
    InfoLog("PMBusPower:ProcotolError {} reply too short {}", DataId(), L);
    return true;
}

template <class AC, class DC, class RC>
void PMBusPower<AC, DC, RC>::CheckModel(const unsigned char* info, int L)
{
    const size_t n = L < static_cast<int>(kModelBytes) ? static_cast<size_t>(L) : kModelBytes;
    deviceModel_.assign(reinterpret_cast<const char*>(info), n);
    std::string name = deviceModel_.substr(0, deviceModel_.find('\0'));
    name.erase(name.find_last_not_of(' ') + 1);
    for (const std::string& supported : supportedModels_)
        if (supported == name) return;
    CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                       "本驱动类型:" + DeviceType() + " 检测型号:" + name, true, 0);
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::process_payload()
{
    usleep(20000);
    const unsigned cid1 = reply_[2];
    const int L = static_cast<int>(static_cast<unsigned short>(reply_[4] | (reply_[5] << 8)) >> 1);
    const unsigned char* info = reply_ + yd1363::kRecordHeader;
    const bool ready = IsDataReady();
    // Polling needs the rectifier sub-device; a refused configuration has none.
    if (!rcDevice_) return 1;

    switch (step_) {
    case 0: {
        if (cid1 != 0x40) {
            Reset();
            return 0;
        }
        if (ReplyTooShort(L, 2)) return 1;
        acDataFlag_ = info[0];
        if (info[1] != acDevices_.size()) {
            InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", DataId(), info[1],
                    acDevices_.size());
            Reset();
            return 0;
        }
        int used = 0;
        for (const auto& d : acDevices_) {
            const int r = d->parse40_41(info + 2 + used, L - 2 - used);
            if (r < 0) return 1;
            used += r;
        }
        if (used + 2 != L) {
            InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
            return 1;
        }
        if (!ready || (acDataFlag_ & kFlagSwitch))
            SendStep(step_ = 1);
        else if (acDataFlag_ & kFlagAlarm)
            SendStep(step_ = 2);
        else
            SendStep(step_ = 4);
        return 1;
    }
    case 1: {
        if (cid1 != 0x40) return 1;
        if (L - 2 > 0) {
            int used = 0;
            for (const auto& d : acDevices_) {
                const int r = d->parse40_43(info + 2 + used, L - 2 - used);
                if (r < 0) return 1;
                used += r;
            }
            if (used + 2 != L) {
                InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
                return 1;
            }
        }
        SendStep(step_ = (!ready || (acDataFlag_ & kFlagAlarm)) ? 2 : 4);
        return 1;
    }
    case 2: {
        if (cid1 != 0x40) return 1;
        int used = 0;
        for (const auto& d : acDevices_) {
            const int r = d->parse40_44(info + 2 + used, L - 2 - used);
            if (r < 0) return 1;
            used += r;
        }
        if (used + 2 != L) return 1;
        SendStep(step_ = 4);
        return 1;
    }
    case 14: {
        if (cid1 != 0x40) return 1;
        CheckModel(info, L);
        needDeviceInfo_ = false;
        SendStep(step_ = acDevices_.empty() ? 4 : 0);
        return 1;
    }
    case 4: {
        if (cid1 != 0x41) return 1;
        if (ReplyTooShort(L, 1)) return 1;
        rcDataFlag_ = info[0];
        if (rcDevice_->parse41_41(info, L) != L) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
            return 1;
        }
        if (!ready || (rcDataFlag_ & kFlagSwitch)) {
            SendStep(step_ = 5);
            return 1;
        }
        if (rcDataFlag_ & kFlagAlarm) {
            SendStep(step_ = 6);
            return 1;
        }
        break;  // as after step 6
    }
    case 5: {
        if (cid1 != 0x41) return 1;
        if (rcDevice_->parse41_43(info, L) != L) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", DataId());
            return 1;
        }
        if (!ready || (rcDataFlag_ & kFlagAlarm)) {
            SendStep(step_ = 6);
            return 1;
        }
        break;  // as after step 6
    }
    case 6: {
        if (cid1 != 0x41) return 1;
        if (rcDevice_->parse41_44(info, L) != L) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", DataId());
            return 1;
        }
        break;
    }
    case 7: {
        if (cid1 != 0x42) return 1;
        if (ReplyTooShort(L, 2)) return 1;
        const unsigned char dataFlag = info[0];
        if (info[1] != dcDevices_.size()) {
            InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(), info[1],
                    dcDevices_.size());
            return 1;
        }
        const int skip = info[1] <= 3 ? 2 : 1;
        int used = skip;
        for (const auto& d : dcDevices_) {
            const int r = d->parse42_41(info + used, L - used);
            if (r < 0) return 1;
            used += r;
        }
        if (used > L) InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
        if (!ready || (dataFlag & (kFlagSwitch | kFlagAlarm)))
            SendStep(step_ = 8);
        else
            SendStep(step_ = acDevices_.empty() ? 9 : 3);
        return 1;
    }
    case 8: {
        if (cid1 != 0x42) return 1;
        if (ReplyTooShort(L, 2)) return 1;
        if (info[1] != dcDevices_.size()) {
            InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(), info[1],
                    dcDevices_.size());
            return 1;
        }
        int used = 0;
        for (const auto& d : dcDevices_) {
            const int r = d->parse42_44(info + 2 + used, L - 2 - used);
            if (r < 0) return 1;
            used += r;
        }
        if (used + 2 > L) InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
        SendStep(step_ = acDevices_.empty() ? 9 : 3);
        return 1;
    }
    case 3: {
        if (cid1 != 0x40) return 1;
        const int r = rcDevice_->parse40_46(info, L);
        if (r < 0) return 1;
        if (r > L) InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
        SendStep(step_ = 9);
        return 1;
    }
    case 9: {
        if (cid1 != 0x42) return 1;
        const int r = rcDevice_->parse42_46(info, L);
        if (r < 0) return 1;
        if (r > L) InfoLog("PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary", DataId());
        return EndRound();
    }
    default:
        return 1;
    }

    // After the rectifier queries.
    if (!dcDevices_.empty()) {
        SendStep(step_ = 7);
        return 1;
    }
    return EndRound();
}
