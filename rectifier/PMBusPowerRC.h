#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "SMDSPDevice.h"
#include "byte_reader.h"
#include "subdevice.h"

// The rectifier sub-device: one group record and one record per rectifier
// module, filled from the rectifier replies and the two distribution
// parameter replies, published every round as record type RT_RC.
template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public SMDSPDevice {
public:
    PMBusPowerRC() = default;
    ~PMBusPowerRC() override = default;

    // Answers no key: always throws, telling only whether the data are fresh.
    float Get_Value(unsigned int index, const std::string& key) const override;
    using VDeviceInterface::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int size) override;
    void RoundDone() override;
    bool InitV(SMDVDevice* parent, unsigned int id, const Json::Value& settings) override;

    // Each takes the reply's INFO field and returns the bytes consumed or -1.
    // The slot order is part of the device's binary interface.
    virtual int parse41_41(const unsigned char* payload, int len);
    virtual int parse41_43(const unsigned char* payload, int len);
    virtual int parse41_44(const unsigned char* payload, int len);
    virtual int parse40_46(const unsigned char* payload, int len);
    virtual int parse42_46(const unsigned char* payload, int len);
    // The model's own alarm rules, stated after the round-end rules.
    virtual void DoImpCheckAlert() {}

    // The length of a 41/41 section and the module count it announces,
    // without keeping anything; -1 when the section does not fit in len.
    int Measure41_41(const unsigned char* payload, int len, unsigned char& count) const;
    // A module count the live system reports differently from the one held
    // (a module plugged in or pulled, a cache image) replaces it.
    void LearnModuleCount(unsigned char count);

    TeleRC tele{};
    // Empty until the module count is learnt; then exactly tele.channel_count long.
    std::vector<TeleRCChannel> channels;
    uint32_t snapshot_size = 0;
    std::unique_ptr<unsigned char[]> snapshot;

private:
    static constexpr int kGroupSize = static_cast<int>(sizeof(TeleRC));
    static constexpr int kModuleSize = static_cast<int>(sizeof(TeleRCChannel));
    static_assert(sizeof(TeleRC::ttime) == 7, "time stamp is the host's 7-byte form");

    static std::string Error(const char* what)
    {
        return std::string("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} ") + what;
    }
    // Logs where the failed read would have ended and refuses the reply.
    int Overflow(const char* what, const ByteReader& in, int len) const
    {
        InfoLog(Error(what), DataId(), in.Reached(), len);
        return -1;
    }

    // Modules that went away since the last round end: their rules are
    // stated once more, as a quiet module's, so that the host clears them.
    size_t goneModules_ = 0;
    subdevice::ItemRules moduleRules_;
    subdevice::RoundWork roundWork_;
};

template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(SMDVDevice* parent, unsigned int id, const Json::Value& settings)
{
    tele.data_id = id;
    return SMDVDevice::InitV(parent, id, settings);
}

// The rectifier analog reply (0x41/0x41), INFO from its first byte:
//
//   0     DATAFLAG
//   1-4   group value                 f32     -> group_value
//   5     N, the modules              u8      -> channel_count
//   6     per module, 5 + 4P bytes:
//           +0  module value          f32     -> module_value
//           +4  P                     u8      -> p41_count
//           +5  user-defined values   P × f32 -> user_p41, when P is P41_41_SIZE();
//                                                four equal bytes store 0.0
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const unsigned char* payload, int len)
{
    constexpr int kUserValues = TeleRCChannel::P41_41_SIZE();
    ByteReader in(payload, len);
    unsigned char count = 0;
    if (!in.Has(6) || !in.Skip(1) || !in.ReadFloat(&tele.group_value) || !in.ReadU8(count))
        return Overflow("read 41_41 read overflow {} - {}", in, len);
    if (channels.empty()) {
        tele.channel_count = count;
        channels.assign(count, TeleRCChannel{});
    } else if (count != tele.channel_count) {
        // The module count is fixed once learnt.
        return -1;
    }
    for (TeleRCChannel& module : channels) {
        if (!in.Has(5) || !in.ReadFloat(&module.module_value) || !in.ReadU8(module.p41_count))
            return Overflow("read 41_41 read overflow {} - {}", in, len);
        if (module.p41_count != kUserValues) {
            InfoLog(Error("read 41_41 p is {} not {}"), DataId(), module.p41_count, kUserValues);
            if (!in.Skip(4 * module.p41_count)) return Overflow("read 41_41 read overflow {} - {}", in, len);
            continue;
        }
        if constexpr (kUserValues > 0) {
            if (!in.Has(4 * kUserValues)) return Overflow("read 41_41 module overflow {} - {}", in, len);
            for (int k = 0; k < kUserValues; ++k) in.ReadFloatOr(&module.user_p41[k], 0.0f);
        }
    }
    return in.Position();
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Measure41_41(const unsigned char* payload, int len,
                                                             unsigned char& count) const
{
    // DATAFLAG, group value, N, then per module its value, P and P floats.
    ByteReader in(payload, len);
    if (!in.Skip(5) || !in.ReadU8(count)) return -1;
    for (unsigned k = 0; k < count; ++k) {
        unsigned char p = 0;
        if (!in.Skip(4) || !in.ReadU8(p) || !in.Skip(4 * p)) return -1;
    }
    return in.Position();
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LearnModuleCount(unsigned char count)
{
    const size_t held = channels.size();
    if (count == held) return;
    if (held != 0)
        InfoLog("PMBusPowerRC:CountChange {} rectifier module count changed from {} to {}", DataId(), held, count);
    if (count < held && held > goneModules_) goneModules_ = held;
    tele.channel_count = count;
    channels.resize(count);
}

// The rectifier switch-status reply (0x41/0x43):
//
//   0     DATAFLAG
//   1     N, the modules (at most the known ones)
//   2     per module, 4 + P bytes:
//           +0  switch states         3 × u8  -> switch_state
//           +3  P                     u8      -> p43_count
//           +4  user-defined bytes    P × u8  -> user_p43, when P is P41_43_SIZE()
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const unsigned char* payload, int len)
{
    constexpr int kUserBytes = TeleRCChannel::P41_43_SIZE();
    ByteReader in(payload, len);
    unsigned char head[2];
    if (!in.Read(head, sizeof head)) return Overflow("read 41_43 read overflow {} - {}", in, len);
    const unsigned count = head[1];
    // Fewer modules than known is fine; modules past the reply keep their values.
    if (count > channels.size()) return -1;
    for (unsigned i = 0; i < count; ++i) {
        TeleRCChannel& module = channels[i];
        if (!in.Has(4) || !in.Read(module.switch_state, 3) || !in.ReadU8(module.p43_count))
            return Overflow("read 41_43 read overflow {} - {}", in, len);
        if (module.p43_count != kUserBytes) {
            InfoLog(Error("read 41_43 p is {}, not {}"), DataId(), module.p43_count, kUserBytes);
            if (!in.Skip(module.p43_count)) return Overflow("read 41_43 read overflow {} - {}", in, len);
            continue;
        }
        if constexpr (kUserBytes > 0) {
            if (!in.Read(module.user_p43, kUserBytes)) return Overflow("read 41_43 read overflow {} - {}", in, len);
        }
    }
    return in.Position();
}

// The rectifier alarm-status reply (0x41/0x44):
//
//   0     DATAFLAG
//   1     N, the modules (at most the known ones)
//   2     per module, 2 + P bytes:
//           +0  fault state           u8      -> fault_state
//           +1  P                     u8      -> p44_count
//           +2  user-defined bytes    P × u8  -> alert_p44, when P is P41_44_SIZE()
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const unsigned char* payload, int len)
{
    constexpr int kUserBytes = TeleRCChannel::P41_44_SIZE();
    ByteReader in(payload, len);
    unsigned char head[2];
    if (!in.Read(head, sizeof head)) return Overflow("read 41_44 read overflow {} - {}", in, len);
    const unsigned count = head[1];
    if (count > channels.size()) {
        InfoLog(Error("parse p41_44 channel_count not equal {} != {} "), DataId(), static_cast<int>(count),
                tele.channel_count);
        return 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        TeleRCChannel& module = channels[i];
        unsigned char fixed[2];
        if (!in.Read(fixed, sizeof fixed)) return Overflow("read 41_44 read overflow {} - {}", in, len);
        module.fault_state = fixed[0];
        module.p44_count = fixed[1];
        if (module.p44_count != kUserBytes) {
            InfoLog(Error("read 41_44 p is {}, not {}"), DataId(), module.p44_count, kUserBytes);
            if (!in.Skip(module.p44_count)) return Overflow("read 41_44 read overflow {} - {}", in, len);
            continue;
        }
        if constexpr (kUserBytes > 0) {
            if (!in.Read(module.alert_p44, kUserBytes)) return Overflow("read 41_44 read overflow {} - {}", in, len);
        }
    }
    return in.Position();
}

// The AC-distribution parameter reply (0x40/0x46), no DATAFLAG:
//
//   0-19  parameter values            5 × f32 -> ac_param
//   20    P                           u8
//   21    user-defined values         P × f32, not kept
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const unsigned char* payload, int len)
{
    ByteReader in(payload, len);
    unsigned char count = 0;
    if (!in.Has(21) || !in.Read(tele.ac_param, 20) || !in.ReadU8(count))
        return Overflow("read 40_46 read overflow {} - {}", in, len);
    // The user-defined parameters are not kept; the caller checks the length.
    return 21 + 4 * count;
}

// The DC-distribution parameter reply (0x42/0x46), no DATAFLAG:
//
//   0-7   parameter values            2 × f32 -> dc_param
//   8     P                           u8      -> dc_p_count
//   9     user-defined values         P × f32 -> dc_user_p, when P is P42_46_NUMBER();
//                                                a reply that stops early fills the front
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const unsigned char* payload, int len)
{
    constexpr int kUserNumber = TeleRC::P42_46_NUMBER();
    constexpr int kUserBytes = TeleRC::P42_46_SIZE();
    ByteReader in(payload, len);
    if (!in.Has(9) || !in.Read(tele.dc_param, 8) || !in.ReadU8(tele.dc_p_count))
        return Overflow("read 42_46 read overflow {} - {}", in, len);
    if (tele.dc_p_count != kUserNumber) {
        InfoLog(Error("read 42_46 p is {}, not {}"), DataId(), tele.dc_p_count, kUserNumber);
        // Skipped unread; the caller checks the length.
        return 9 + 4 * tele.dc_p_count;
    }
    if constexpr (kUserBytes > 0) {
        // A reply that stops early fills only the front.
        in.Read(tele.dc_user_p, std::min(kUserBytes, in.Remaining()));
    }
    return in.Position();
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone()
{
    subdevice::StampRound(lastUpdate_, tele.ttime);
    subdevice::BuildSnapshot(snapshot, snapshot_size, tele, channels);
    const subdevice::RoundFields fields{dataReady_, ruleSeq_, pendingRules_, &PMBusPowerRC::alarmResult_};
    subdevice::Publish(*this, fields, RT_RC, snapshot.get(), snapshot_size);
    TeleRCChannel quiet{};
    quiet.p44_count = TeleRCChannel::P41_44_SIZE();
    const size_t live = subdevice::AddGoneItems(channels, goneModules_, quiet);
    moduleRules_.Fit(channels.size(), 1, [](size_t module, size_t) {
        return subdevice::RuleText{2, "RC_0", "06024", "整流模块故障告警",
                                   "模块" + std::to_string(module + 1) + "整流模块故障告警"};
    });
    for (size_t k = 0; k < channels.size(); ++k)
        subdevice::State(*this, ruleSeq_, moduleRules_.At(k, 0), channels[k].fault_state == 1);
    DoImpCheckAlert();
    channels.resize(live);
    roundWork_.HandOver(*this, fields, snapshot.get(), snapshot_size);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned int, const std::string&) const
{
    subdevice::RequireFresh(dataReady_, lastUpdate_);
    throw std::out_of_range("数据未就绪");
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const unsigned char* data, int size)
{
    std::printf("rc data_len:%d vs %d\n", size, kGroupSize);
    if (data == nullptr || size < kGroupSize) return false;
    ByteReader in(data, size);
    TeleRC group;
    in.Read(&group, kGroupSize);
    const unsigned count = group.channel_count;
    std::printf("rc channelLen %d and %u left:%d\n", kModuleSize, count, size - kGroupSize);
    // An image that disagrees with its own module count is refused whole.
    if (size - kGroupSize != kModuleSize * static_cast<int>(count)) return false;
    std::vector<TeleRCChannel> modules(count);
    for (TeleRCChannel& module : modules) in.Read(&module, kModuleSize);
    tele = group;
    channels.swap(modules);
    dataReady_ = 1;
    lastUpdate_ = subdevice::Now();
    return true;
}
