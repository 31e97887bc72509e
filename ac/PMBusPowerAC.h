#pragma once
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "SMDSPDevice.h"
#include "byte_reader.h"
#include "channel_key.h"
#include "subdevice.h"

// One AC distribution unit of the power system: decodes its sections of the
// 40/41, 40/43 and 40/44 replies into a packed record plus one packed record
// per input channel, publishes both as one image at every round end, states
// the AC alarm rules and answers value queries.
template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public SMDSPDevice {
public:
    PMBusPowerAC() = default;
    ~PMBusPowerAC() override = default;

    float Get_Value(unsigned int index, const std::string& key) const override;
    using VDeviceInterface::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config) override;

    // The main device reaches these through their vtable slots: keep the order.
    virtual int parse40_41(const unsigned char* data, int len);
    virtual int parse40_43(const unsigned char* data, int len);
    virtual int parse40_44(const unsigned char* data, int len);
    virtual void DoImpCheckAlert() = 0;

    // The length of a 40/41 section and the channel count it announces,
    // without keeping anything; -1 when the section does not fit in len.
    int Measure40_41(const unsigned char* data, int len, unsigned char& count) const;
    // A channel count the live system reports differently from the one held
    // (earlier rounds, a cache image) replaces it.
    void LearnChannelCount(unsigned char count);

    TeleAC tele{};
    std::vector<TeleACChannel> channels;
    float diff_v = 20.0f;
    float diff_i = 20.0f;
    uint32_t snapshot_size = 0;
    std::unique_ptr<unsigned char[]> snapshot;

protected:
    // States one rule and numbers it with the round's sequence counter.
    void Rule(const subdevice::RuleText& rule, bool state) { subdevice::State(*this, ruleSeq_, rule, state); }
    // Channel number as the alarm texts show it: 1 for the first channel.
    static std::string ChannelNumber(size_t index) { return std::to_string(index + 1); }

private:
    static constexpr float kMinusPointOne = -0.1f;

    int Overflow(const char* format, const ByteReader& r, int len) const
    {
        InfoLog(format, DataId(), r.Reached(), len);
        return -1;
    }
    // "a:220 b:221 c:219.5 f:50" on standard output, each value as the
    // stream's default format writes it (six significant digits).
    static void TraceChannel(float a, float b, float c, float f)
    {
        char line[96];
        char* at = line;
        char* const end = line + sizeof line;
        const float values[4] = {a, b, c, f};
        const char* const names[4] = {"a:", " b:", " c:", " f:"};
        for (int k = 0; k < 4; ++k) {
            for (const char* n = names[k]; *n != '\0'; ++n) *at++ = *n;
            at = std::to_chars(at, end, values[k], std::chars_format::general, 6).ptr;
        }
        *at++ = '\n';
        std::cout.write(line, at - line);
    }
    void CheckChannelRules();
    void CheckRecordRules();

    // Channels that went away since the last round end: their rules are
    // stated once more, as a quiet channel's, so that the host clears them.
    size_t goneChannels_ = 0;
    subdevice::ItemRules channelRules_;
    subdevice::RoundWork roundWork_;
};

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(SMDVDevice* parent, unsigned int dataId,
                                                       const Json::Value& config)
{
    tele.data_id = dataId;
    subdevice::ReadAppSetting(config, diff_v, diff_i);
    return SMDVDevice::InitV(parent, dataId, config);
}

// One unit's section of the AC analog reply (0x40/0x41); the caller steps
// over DATAFLAG and the unit count. The no-value marker stores 0.0 in a
// channel's voltages and frequency, -0.1 elsewhere.
//
//   0     M, the input channels         u8      -> channel_count
//   1     per channel, 17 + 4P bytes:
//           +0   voltage AB/A           f32     -> a
//           +4   voltage BC/B           f32     -> b
//           +8   voltage CA/C           f32     -> c
//           +12  frequency              f32     -> f
//           +16  P                      u8      -> p41_count
//           +17  user-defined values    P × f32 -> user_p41, when P is P40_41_SIZE()
//   then  phase currents A, B, C        3 × f32 -> ia, ib, ic
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* data, int len)
{
    static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
    ByteReader r(data, len);
    unsigned char m = 0;
    if (!r.ReadU8(m)) return Overflow(kOverflow, r, len);
    if (channels.empty()) {
        tele.channel_count = m;
        channels.resize(m);
    } else if (m != tele.channel_count) {
        // The unit's channel count is fixed once known.
        return -1;
    }
    // channels.size() equals channel_count from here on.
    for (TeleACChannel& ch : channels) {
        if (!r.ReadFloatOr(&ch.a, 0.0f) || !r.ReadFloatOr(&ch.b, 0.0f) || !r.ReadFloatOr(&ch.c, 0.0f) ||
            !r.ReadFloatOr(&ch.f, 0.0f))
            return Overflow(kOverflow, r, len);
        TraceChannel(ch.a, ch.b, ch.c, ch.f);

        unsigned char p = 0;
        if (!r.ReadU8(p)) return Overflow(kOverflow, r, len);
        ch.p41_count = p;
        if (p != TeleACChannel::P40_41_SIZE()) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", DataId(), p,
                    TeleACChannel::P40_41_SIZE());
            if (!r.Skip(4 * p)) return Overflow(kOverflow, r, len);
        } else {
            if constexpr (TeleACChannel::P40_41_SIZE() > 0) {
                for (int k = 0; k < p; ++k)
                    if (!r.ReadFloatOr(&ch.user_p41[k], kMinusPointOne)) return Overflow(kOverflow, r, len);
            }
        }
    }
    if (!r.ReadFloatOr(&tele.ia, kMinusPointOne) || !r.ReadFloatOr(&tele.ib, kMinusPointOne) ||
        !r.ReadFloatOr(&tele.ic, kMinusPointOne))
        return Overflow(kOverflow, r, len);
    return r.Position();
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Measure40_41(const unsigned char* data, int len,
                                                             unsigned char& count) const
{
    // M, then per channel a b c f (16), P and P floats, then ia ib ic (12).
    ByteReader r(data, len);
    if (!r.ReadU8(count)) return -1;
    for (unsigned k = 0; k < count; ++k) {
        unsigned char p = 0;
        if (!r.Skip(16) || !r.ReadU8(p) || !r.Skip(4 * p)) return -1;
    }
    return r.Skip(12) ? r.Position() : -1;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LearnChannelCount(unsigned char count)
{
    const size_t held = channels.size();
    if (count == held) return;
    if (held != 0) InfoLog("PMBusPowerAC:CountChange {} AC channel count changed from {} to {}", DataId(), held, count);
    if (count < held && held > goneChannels_) goneChannels_ = held;
    tele.channel_count = count;
    channels.resize(count);
}

// One unit's section of the AC switch-status reply (0x40/0x43):
//
//   0     m, switch status bytes        u8      -> airlock_count (at most AIRLOCK_MAX())
//   1     switch status bytes           m × u8  -> airlock
//   1+m   P                             u8      -> p43_count
//   2+m   user-defined bytes            P × u8  -> user_p43, when P is P40_43_SIZE()
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* data, int len)
{
    static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
    ByteReader r(data, len);
    unsigned char m = 0;
    if (!r.ReadU8(m)) return Overflow(kOverflow, r, len);
    tele.airlock_count = m;
    if (m > TeleAC::AIRLOCK_MAX()) {
        InfoLog("ProcotolError {} read 40_43 m is {} max {}", DataId(), m, TeleAC::AIRLOCK_MAX());
        return -1;
    }
    if constexpr (TeleAC::AIRLOCK_MAX() > 0) {
        if (!r.Read(tele.airlock, m)) return Overflow(kOverflow, r, len);
    }
    unsigned char p = 0;
    if (!r.ReadU8(p)) return Overflow(kOverflow, r, len);
    tele.p43_count = p;
    if (p != TeleAC::P40_43_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", DataId(), p, TeleAC::P40_43_SIZE());
        if (!r.Skip(p)) return Overflow(kOverflow, r, len);
        return r.Position();
    }
    if constexpr (TeleAC::P40_43_SIZE() > 0) {
        if (!r.Read(tele.user_p43, p)) return Overflow(kOverflow, r, len);
    }
    return r.Position();
}

// One unit's section of the AC alarm-status reply (0x40/0x44):
//
//   0     M, the channels               u8, not trusted: the 0x40/0x41 count rules
//   1     per known channel, 6 + m + P bytes:
//           +0   alarm states of a b c f  4 × u8 -> a_alert b_alert c_alert f_alert
//           +4   m                        u8, further states, skipped
//           +5   further states           m × u8
//           +5+m P                        u8     -> p44_count
//           +6+m user-defined bytes       P × u8 -> alert_p44, when P is p40_44_SIZE()
//   then  alarm states of ia ib ic      3 × u8  -> ia_alert ib_alert ic_alert
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* data, int len)
{
    static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
    ByteReader r(data, len);
    // The section's own channel count is not trusted: the 40/41 count rules.
    if (!r.Skip(1)) return Overflow(kOverflow, r, len);
    unsigned char u = 0;
    for (TeleACChannel& ch : channels) {
        if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
        ch.a_alert = u;
        if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
        ch.b_alert = u;
        if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
        ch.c_alert = u;
        if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
        ch.f_alert = u;

        unsigned char m = 0;
        if (!r.ReadU8(m)) return Overflow(kOverflow, r, len);
        if (m != 0) InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", DataId(), m);
        if (!r.Skip(m)) return Overflow(kOverflow, r, len);

        unsigned char p = 0;
        if (!r.ReadU8(p)) return Overflow(kOverflow, r, len);
        ch.p44_count = p;
        if (p != TeleACChannel::p40_44_SIZE()) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", DataId(), p,
                    TeleACChannel::p40_44_SIZE());
            if (!r.Skip(p)) return Overflow(kOverflow, r, len);
        } else {
            if constexpr (TeleACChannel::p40_44_SIZE() > 0) {
                if (!r.Read(ch.alert_p44, p)) return Overflow(kOverflow, r, len);
            }
        }
    }
    if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
    tele.ia_alert = u;
    if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
    tele.ib_alert = u;
    if (!r.ReadU8(u)) return Overflow(kOverflow, r, len);
    tele.ic_alert = u;
    return r.Position();
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone()
{
    static_assert(sizeof(tele.ttime) == 7, "get_ttime yields 7 bytes");
    subdevice::StampRound(lastUpdate_, tele.ttime);
    subdevice::BuildSnapshot(snapshot, snapshot_size, tele, channels);
    const subdevice::RoundFields fields{dataReady_, ruleSeq_, pendingRules_, &PMBusPowerAC::alarmResult_};
    subdevice::Publish(*this, fields, RT_AC, snapshot.get(), snapshot_size);
    TeleACChannel quiet{};
    quiet.p44_count = TeleACChannel::p40_44_SIZE();
    const size_t live = subdevice::AddGoneItems(channels, goneChannels_, quiet);
    CheckChannelRules();
    CheckRecordRules();
    DoImpCheckAlert();
    channels.resize(live);
    roundWork_.HandOver(*this, fields, snapshot.get(), snapshot_size);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::CheckChannelRules()
{
    // Which alarm-state byte a rule tests: 0 a, 1 b, 2 c, 3 f.
    struct ChannelRule {
        const char* key;
        int level;
        const char* code;
        const char* name;
        const char* what;
        int field;
        unsigned char value;
    };
    static const ChannelRule kRules[] = {
        {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A", 0, 1},
        {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B", 1, 1},
        {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C", 2, 1},
        {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", 3, 1},
        {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A", 0, 2},
        {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B", 1, 2},
        {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C", 2, 2},
        {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", 3, 2},
        {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A", 0, 3},
        {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B", 1, 3},
        {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C", 2, 3},
    };
    constexpr size_t kCount = sizeof kRules / sizeof kRules[0];
    channelRules_.Fit(channels.size(), kCount, [](size_t channel, size_t row) {
        const ChannelRule& rule = kRules[row];
        return subdevice::RuleText{rule.level, rule.key, rule.code, rule.name,
                                   "交流屏" + ChannelNumber(channel) + rule.what};
    });
    for (size_t i = 0; i < channels.size(); ++i) {
        const TeleACChannel& ch = channels[i];
        const unsigned char states[4] = {ch.a_alert, ch.b_alert, ch.c_alert, ch.f_alert};
        for (size_t row = 0; row < kCount; ++row)
            Rule(channelRules_.At(i, row), states[kRules[row].field] == kRules[row].value);
    }
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::CheckRecordRules()
{
    // Which phase a rule tests: 0 A, 1 B, 2 C. There is no AC_11.
    struct RecordRule {
        const char* key;
        const char* name;
        int phase;
        unsigned char value;
    };
    static const RecordRule kRules[] = {
        {"AC_12", "A相输入电流低于下限", 0, 1}, {"AC_13", "B相输入电流低于下限", 1, 1},
        {"AC_14", "C相输入电流低于下限", 2, 1}, {"AC_15", "A相输入电流高于上限", 0, 2},
        {"AC_16", "B相输入电流高于上限", 1, 2}, {"AC_17", "C相输入电流高于上限", 2, 2},
        {"AC_18", "A相输入电流缺项", 0, 3},     {"AC_19", "B相输入电流缺项", 1, 3},
        {"AC_20", "C相输入电流缺项", 2, 3},
    };
    constexpr size_t kCount = sizeof kRules / sizeof kRules[0];
    static const std::vector<subdevice::RuleText> texts = [] {
        std::vector<subdevice::RuleText> out;
        for (const RecordRule& rule : kRules) out.push_back({3, rule.key, "06029", rule.name, "其他告警"});
        return out;
    }();
    const unsigned char states[3] = {tele.ia_alert, tele.ib_alert, tele.ic_alert};
    for (size_t row = 0; row < kCount; ++row) Rule(texts[row], states[kRules[row].phase] == kRules[row].value);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned int, const std::string& key) const
{
    subdevice::RequireFresh(dataReady_, lastUpdate_);

    if (key == "ia") return tele.ia;
    if (key == "ib") return tele.ib;
    if (key == "ic") return tele.ic;
    if (key == "ia_alert") return tele.ia_alert;
    if (key == "ib_alert") return tele.ib_alert;
    if (key == "ic_alert") return tele.ic_alert;

    ChannelKey where;
    if (!FindChannelKey(key, where)) throw std::out_of_range("数据未提供");

    // Any index at or past the channel count is out of range, however many
    // digits it has; stop before the value could overflow.
    size_t k = 0;
    for (size_t d = 0; d < where.digitCount && k < channels.size(); ++d)
        k = k * 10 + static_cast<size_t>(key[where.digits + d] - '0');
    if (k >= channels.size()) throw std::out_of_range("通道参数越界");

    const TeleACChannel& ch = channels[k];
    switch (where.field) {
    case 'a': return ch.a;
    case 'b': return ch.b;
    case 'c': return ch.c;
    case 'f': return ch.f;
    default: throw std::out_of_range("数据未提供");
    }
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int len)
{
    if (data == nullptr || len <= static_cast<int>(sizeof(TeleAC))) return false;
    ByteReader r(data, len);
    // Refuse an image that disagrees with its own channel count before
    // anything is overwritten.
    const unsigned char* head = r.Peek(static_cast<int>(sizeof(TeleAC)));
    if (head == nullptr) return false;
    const size_t count = head[offsetof(TeleAC, channel_count)];
    if (static_cast<size_t>(len) != sizeof(TeleAC) + count * sizeof(TeleACChannel)) return false;

    TeleAC record;
    std::vector<TeleACChannel> restored(count);
    if (!r.Read(&record, static_cast<int>(sizeof record))) return false;
    for (TeleACChannel& ch : restored)
        if (!r.Read(&ch, static_cast<int>(sizeof ch))) return false;

    tele = record;
    channels = std::move(restored);
    dataReady_ = 1;
    lastUpdate_ = subdevice::Now();
    return true;
}
