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
#include "polling_cycle.h"
#include "subdevice.h"

// A unit's data id: what asUInt reads without throwing (null 0, true 1, 3.5
// cut to 3), and a fraction above the largest id cut too (4294967295.9 is
// 4294967295), where asUInt would throw.
inline bool ReadUnitDataId(const Json::Value& v, unsigned& id)
{
    if (v.type() == Json::realValue) {
        const double d = v.asDouble();
        if (!(d >= 0 && d < 4294967296.0)) return false;
        id = static_cast<unsigned>(d);
        return true;
    }
    if (!v.isConvertibleTo(Json::uintValue)) return false;
    id = v.asUInt();
    return true;
}

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
    static constexpr size_t kModelBytes = 20;
    // How the bytes the parsers consumed must compare with L.
    enum class Fit {
        Exact,       // equal, else the overflow line and the reply is dropped
        ExactQuiet,  // equal, else the reply is dropped without a line
        NotAbove,    // more than L only logs the overflow line
    };

    template <class Device>
    bool CreateChildren(const Json::Value& config, const char* key, std::vector<std::shared_ptr<Device>>& out,
                        const std::function<std::shared_ptr<Device>()>& make);
    void SendStep(int step);
    bool DcHasGroupByte() const { return ver_ == 0x21; }
    int EndRound();
    // Each device's parser in turn, INFO+skip onwards; false drops the reply.
    template <class Device, class Parser>
    bool ParseEach(const std::vector<std::shared_ptr<Device>>& devices, Parser parser, const unsigned char* info,
                   int skip, int L, Fit fit, const char* what);
    template <class Parser>
    bool ParseRc(Parser parser, const unsigned char* info, int L, Fit fit, const char* what);
    bool CheckFit(int used, int L, Fit fit, const char* what);
    bool LearnAcChannelCounts(const unsigned char* info, int L);
    bool LearnModuleCount(const unsigned char* info, int L);
    bool DcCountMatches(const unsigned char* info);
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
        unsigned id = 0;
        if (!ReadUnitDataId(element["data_id"], id)) {
            InfoLog("PMBusPower:ConfigError {} {}[{}].data_id is not an unsigned number", DataId(), key, k);
            return false;
        }
        std::shared_ptr<Device> device = make();
        try {
            device->InitV(this, id, element);
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
        if (!CreateChildren<AC>(config, "acSetting", acDevices_, [] { return std::make_shared<AC>(); })) return false;
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
    const polling::Command* c = polling::CommandOf(step);
    if (c == nullptr) return;
    const bool group = c->info == polling::Info::Group || (c->info == polling::Info::GroupV21 && DcHasGroupByte());
    if (group)
        write_pmbus_cmd(c->cid1, c->cid2, &commandGroup_, 1);
    else
        write_pmbus_cmd(c->cid1, c->cid2);
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus()
{
    if (!SMDSPDevice::RefreshStatus()) return false;
    if (!needDeviceInfo_ && !lastUpdate_.is_special()) {
        const long long elapsed = (subdevice::Now() - lastUpdate_).total_seconds();
        // A time stamp in the future (clock set back) must not stop polling.
        if (elapsed >= 0 && elapsed < 2) {
            pacing_ = 0;
            return false;
        }
    }
    if (needDeviceInfo_) {
        SendStep(step_ = polling::kDeviceInfo);
        return true;
    }
    if (step_ == polling::kAcAnalog) step_ = polling::FirstStep(!acDevices_.empty());
    const polling::Command* c = polling::CommandOf(step_);
    if (c != nullptr && c->repeated) SendStep(step_);
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
    // The name ends at the first NUL or other control byte (padding, CR LF);
    // blanks around it are padding too. No control byte reaches the alarm text.
    size_t end = 0;
    while (end < deviceModel_.size()) {
        const unsigned char c = static_cast<unsigned char>(deviceModel_[end]);
        if (c < 0x20 || c == 0x7F) break;
        ++end;
    }
    std::string name = deviceModel_.substr(0, end);
    const size_t first = name.find_first_not_of(' ');
    name = first == std::string::npos ? std::string() : name.substr(first, name.find_last_not_of(' ') - first + 1);
    for (const std::string& supported : supportedModels_)
        if (supported == name) return;
    CheckThresholdBool(3, "device_model", "70319", "设备配置检测", "本驱动类型:" + DeviceType() + " 检测型号:" + name,
                       true, 0);
}

template <class AC, class DC, class RC>
template <class Device, class Parser>
bool PMBusPower<AC, DC, RC>::ParseEach(const std::vector<std::shared_ptr<Device>>& devices, Parser parser,
                                       const unsigned char* info, int skip, int L, Fit fit, const char* what)
{
    int used = skip;
    for (const auto& d : devices) {
        const int r = ((*d).*parser)(info + used, L - used);
        if (r < 0) return false;
        used += r;
    }
    return CheckFit(used, L, fit, what);
}

template <class AC, class DC, class RC>
template <class Parser>
bool PMBusPower<AC, DC, RC>::ParseRc(Parser parser, const unsigned char* info, int L, Fit fit, const char* what)
{
    const int r = ((*rcDevice_).*parser)(info, L);
    // A refusal fails the exact fit, with its line; elsewhere it drops quietly.
    if (r < 0 && fit != Fit::Exact) return false;
    return CheckFit(r, L, fit, what);
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::CheckFit(int used, int L, Fit fit, const char* what)
{
    const bool ok = fit == Fit::NotAbove ? used <= L : used == L;
    if (!ok && fit != Fit::ExactQuiet)
        InfoLog("PMBusPower:ProcotolError {} parse " + std::string(what) + " overflow memory boundary", DataId());
    return ok || fit == Fit::NotAbove;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::LearnAcChannelCounts(const unsigned char* info, int L)
{
    // A channel count the system reports differently (hot-swap, a cache from
    // other hardware) is learnt again, but only from a reply whose sections
    // all fit it exactly; a spoilt count must never be learnt.
    bool differs = false;
    int used = 2;
    for (const auto& d : acDevices_) {
        unsigned char count = 0;
        const int r = used <= L ? d->Measure40_41(info + used, L - used, count) : -1;
        // A differing count in a section that is cut short is still told.
        if (used < L && count != d->channels.size()) differs = true;
        if (r < 0) {
            used = -1;
            break;
        }
        used += r;
    }
    if (!differs) return true;
    if (used != L) {
        InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
        return false;
    }
    used = 2;
    for (const auto& d : acDevices_) {
        unsigned char count = 0;
        used += d->Measure40_41(info + used, L - used, count);
        d->LearnChannelCount(count);
    }
    return true;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::LearnModuleCount(const unsigned char* info, int L)
{
    unsigned char count = 0;
    const int r = rcDevice_->Measure41_41(info, L, count);
    if (r >= 0 && count == rcDevice_->channels.size()) return true;
    if (r != L) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
        return false;
    }
    rcDevice_->LearnModuleCount(count);
    return true;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::DcCountMatches(const unsigned char* info)
{
    if (info[1] == dcDevices_.size()) return true;
    InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(), info[1],
            dcDevices_.size());
    return false;
}

// Each reply is the answer to the current step: check CID1, hand INFO to the
// parsers, then send the next step's command at once or end the round. A
// dropped reply returns 1 with the step unchanged; RefreshStatus repeats it.
template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::process_payload()
{
    using namespace polling;
    usleep(20000);
    const unsigned cid1 = reply_[2];
    const int L = static_cast<int>(static_cast<unsigned short>(reply_[4] | (reply_[5] << 8)) >> 1);
    const unsigned char* info = reply_ + yd1363::kRecordHeader;
    // Polling needs the rectifier sub-device; a refused configuration has none.
    if (!rcDevice_) return 1;
    const Command* expected = CommandOf(step_);
    if (expected == nullptr) return 1;
    if (cid1 != expected->cid1) {
        if (step_ != kAcAnalog) return 1;
        Reset();
        return 0;
    }
    unsigned char dcFlag = 0;

    switch (step_) {
    case kDeviceInfo:
        CheckModel(info, L);
        needDeviceInfo_ = false;
        break;
    case kAcAnalog:
        if (ReplyTooShort(L, 2)) return 1;
        acDataFlag_ = info[0];
        if (info[1] != acDevices_.size()) {
            InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", DataId(), info[1],
                    acDevices_.size());
            Reset();
            return 0;
        }
        if (!LearnAcChannelCounts(info, L)) return 1;
        if (!ParseEach(acDevices_, &AC::parse40_41, info, 2, L, Fit::Exact, "40_41")) return 1;
        break;
    case kAcSwitch:
        if (L - 2 > 0 && !ParseEach(acDevices_, &AC::parse40_43, info, 2, L, Fit::Exact, "40_43")) return 1;
        break;
    case kAcAlarm:
        if (!ParseEach(acDevices_, &AC::parse40_44, info, 2, L, Fit::ExactQuiet, "40_44")) return 1;
        break;
    case kRcAnalog:
        if (ReplyTooShort(L, 1)) return 1;
        rcDataFlag_ = info[0];
        if (!LearnModuleCount(info, L)) return 1;
        if (!ParseRc(&RC::parse41_41, info, L, Fit::Exact, "p41_41")) return 1;
        break;
    case kRcSwitch:
        if (!ParseRc(&RC::parse41_43, info, L, Fit::Exact, "p41_43")) return 1;
        break;
    case kRcAlarm:
        if (!ParseRc(&RC::parse41_44, info, L, Fit::Exact, "p41_44")) return 1;
        break;
    case kDcAnalog:
        if (ReplyTooShort(L, 2) || !DcCountMatches(info)) return 1;
        dcFlag = info[0];
        // Up to three units the count byte is followed by a group byte.
        if (!ParseEach(dcDevices_, &DC::parse42_41, info, info[1] <= 3 ? 2 : 1, L, Fit::NotAbove, "42_41")) return 1;
        break;
    case kDcAlarm:
        if (ReplyTooShort(L, 2) || !DcCountMatches(info)) return 1;
        if (!ParseEach(dcDevices_, &DC::parse42_44, info, 2, L, Fit::NotAbove, "42_44")) return 1;
        break;
    case kAcParam:
        if (!ParseRc(&RC::parse40_46, info, L, Fit::NotAbove, "40_46")) return 1;
        break;
    case kDcParam:
        if (!ParseRc(&RC::parse42_46, info, L, Fit::NotAbove, "42_46")) return 1;
        break;
    default: return 1;
    }

    Inputs in;
    in.ready = IsDataReady();
    in.hasAc = !acDevices_.empty();
    in.hasDc = !dcDevices_.empty();
    in.acFlag = acDataFlag_;
    in.rcFlag = rcDataFlag_;
    in.dcFlag = dcFlag;
    const int next = NextStep(step_, in);
    if (next == kRoundEnd) return EndRound();
    SendStep(step_ = next);
    return 1;
}
