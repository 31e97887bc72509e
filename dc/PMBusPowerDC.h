#pragma once
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "SMDSPDevice.h"
#include "byte_reader.h"
#include "subdevice.h"

// One DC distribution unit: its output bus, battery groups, battery fuses and
// user-defined values, filled from the 0x42/0x41 and 0x42/0x44 replies and
// published once per polling round under RT_DC.
template <class TeleDC, int RT_DC>
class PMBusPowerDC : public SMDSPDevice {
public:
    PMBusPowerDC() = default;
    explicit PMBusPowerDC(const std::string& model) : model_name(model) {}
    ~PMBusPowerDC() override = default;

    float Get_Value(unsigned int index, const std::string& key) const override;
    using VDeviceInterface::LoadFromCache;  // the string form hands its bytes to the one below
    bool LoadFromCache(const unsigned char* data, int size) override;
    void RoundDone() override;
    bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config) override;

    // Each takes this unit's block of the reply's info field and returns the
    // bytes the block took, or -1 when it runs past len.
    virtual int parse42_41(const unsigned char* p, int len);
    virtual int parse42_44(const unsigned char* p, int len);
    // The model's own alarm rules, stated after the round-end rules.
    virtual void DoImpCheckAlert() = 0;

    TeleDC tele{};
    // Change thresholds from "appSetting"; kept for the configuration's sake,
    // nothing is gated on them: every round is published and saved.
    float diff_v = 0.1f;
    float diff_i = 20.0f;
    // The main device's model at the time this unit was made.
    std::string model_name;

protected:
    // States one rule with the next sequence number.
    void StateRule(const subdevice::RuleText& rule, bool state) { subdevice::State(*this, ruleSeq_, rule, state); }

private:
    static constexpr unsigned int kImageSize = sizeof(TeleDC);

    void StateRoundEndRules();
    // taken: where the field or run that did not fit would have ended.
    int Overflow(const char* format, int taken, int len) const
    {
        InfoLog(format, DataId(), taken, len);
        return -1;
    }
    static constexpr const char* kOverflow42_41 =
        "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_41 read overflow {} - {}";
    static constexpr const char* kOverflow42_44 =
        "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 read overflow {} - {}";
    subdevice::RoundWork roundWork_;
};

// One unit's block of the DC analog reply (0x42/0x41); the caller steps over
// DATAFLAG, the unit count and, for up to three units, the group byte.
//
//   0     output voltage                f32     -> v
//   4     output current                f32     -> i
//   8     M                             u8      -> dc_m
//   9     battery-group currents        M × f32 -> battery_i, when M <= M_SIZE()
//   9+4M  N                             u8      -> dc_n
//         load-branch currents          N × f32 -> branch_i, when N <= N_SIZE()
//         P                             u8      -> p_count
//         user-defined values           P × f32 -> user_p; the no-value marker stores -0.1
template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const unsigned char* p, int len)
{
    // Trace of the block's head, from the bytes that are there.
    {
        ByteReader head(p, len);
        char line[32] = "parse 42 41:";
        size_t used = std::strlen(line);
        unsigned char b;
        for (int k = 0; k < 4 && head.ReadU8(b); ++k)
            used +=
                static_cast<size_t>(std::snprintf(line + used, sizeof line - used, " %x", static_cast<unsigned>(b)));
        std::printf("%s\n", line);
    }

    // Work on a copy: a block that overruns leaves the record as it was.
    TeleDC next = tele;
    ByteReader r(p, len);
    unsigned char m = 0, n = 0, count = 0;
    if (!r.ReadFloat(&next.v) || !r.ReadFloat(&next.i) || !r.ReadU8(m))
        return Overflow(kOverflow42_41, r.Reached(), len);
    next.dc_m = m;
    if (m > TeleDC::M_SIZE()) {
        InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}", DataId(), m,
                TeleDC::M_SIZE());
        if (!r.Skip(4 * m)) return Overflow(kOverflow42_41, r.Reached(), len);
    } else if (!r.Read(next.battery_i, 4 * m)) {
        return Overflow(kOverflow42_41, r.Reached(), len);
    }

    if (!r.ReadU8(n)) return Overflow(kOverflow42_41, r.Reached(), len);
    next.dc_n = n;
    if (n > TeleDC::N_SIZE()) {
        InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}", DataId(), n,
                TeleDC::N_SIZE());
        if (!r.Skip(4 * n)) return Overflow(kOverflow42_41, r.Reached(), len);
    } else if constexpr (TeleDC::N_SIZE() > 0) {
        if (!r.Read(next.branch_i, 4 * n)) return Overflow(kOverflow42_41, r.Reached(), len);
    }

    if (!r.ReadU8(count)) return Overflow(kOverflow42_41, r.Reached(), len);
    next.p_count = count;
    if (count > TeleDC::P_SIZE()) {
        InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}", DataId(),
                count, TeleDC::P_SIZE());
        // The rest of the block cannot be told from the next unit's: it all counts as taken.
        tele = next;
        return len;
    }
    // Read as one run: a run cut short is reported where the whole run would end.
    if (!r.Has(4 * count)) return Overflow(kOverflow42_41, r.Reached(), len);
    for (unsigned k = 0; k < count; ++k) r.ReadFloatOr(&next.user_p[k], -0.1f);
    tele = next;
    return r.Position();
}

// One unit's block of the DC alarm-status reply (0x42/0x44); runs longer
// than their slots are cut to the slots and stepped over.
//
//   0     output-voltage state          u8      -> dc_v_state
//   1     K                             u8      -> fuse_count
//   2     battery-fuse states           K × u8  -> fuse_state
//   2+K   Q                             u8      -> alert_p_count
//   3+K   user-defined alarm states     Q × u8  -> alert_p
template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const unsigned char* p, int len)
{
    TeleDC next = tele;
    ByteReader r(p, len);
    unsigned char k = 0, q = 0;
    if (!r.ReadU8(next.dc_v_state) || !r.ReadU8(k)) return Overflow(kOverflow42_44, r.Reached(), len);
    next.fuse_count = k;
    // Oversized runs are cut to the slots; the walk still steps over every
    // received state, and a run cut short is reported where the whole run would end.
    const int fuses = k > TeleDC::ALERT_M_SIZE() ? TeleDC::ALERT_M_SIZE() : k;
    if (!r.Has(k) || !r.Read(next.fuse_state, fuses) || !r.Skip(k - fuses) || !r.ReadU8(q))
        return Overflow(kOverflow42_44, r.Reached(), len);
    next.alert_p_count = q;
    if (q > TeleDC::ALERT_P_SIZE())
        InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}", DataId(), q,
                TeleDC::ALERT_P_SIZE());
    const int states = q > TeleDC::ALERT_P_SIZE() ? TeleDC::ALERT_P_SIZE() : q;
    if (!r.Has(q) || !r.Read(next.alert_p, states) || !r.Skip(q - states))
        return Overflow(kOverflow42_44, r.Reached(), len);
    tele = next;
    return r.Position();
}

template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config)
{
    tele.data_id = dataId;
    subdevice::ReadAppSetting(config, diff_v, diff_i);
    return SMDVDevice::InitV(parent, dataId, config);
}

template <class TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone()
{
    subdevice::StampRound(lastUpdate_, tele.ttime);
    unsigned char image[kImageSize];
    std::memcpy(image, &tele, kImageSize);
    const subdevice::RoundFields fields{dataReady_, ruleSeq_, pendingRules_, &PMBusPowerDC::alarmResult_};
    subdevice::Publish(*this, fields, RT_DC, image, kImageSize);
    StateRoundEndRules();
    DoImpCheckAlert();
    roundWork_.HandOver(*this, fields, image, kImageSize);
}

template <class TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::StateRoundEndRules()
{
    constexpr unsigned kFuses = TeleDC::ALERT_M_SIZE();
    // The output-voltage pair, then one fuse rule per fuse (all keyed "DC_3").
    static const std::vector<subdevice::RuleText> texts = [] {
        std::vector<subdevice::RuleText> out{
            {3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警"},
            {3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警"},
        };
        for (unsigned k = 1; k <= kFuses; ++k)
            out.push_back({1, "DC_3", "06001", "电池熔丝故障告警", "直流" + std::to_string(k) + "电池熔丝故障告警"});
        return out;
    }();
    StateRule(texts[0], tele.dc_v_state == 1);
    StateRule(texts[1], tele.dc_v_state == 2);
    if (tele.fuse_count != kFuses) return;
    for (unsigned k = 0; k < kFuses; ++k) StateRule(texts[2 + k], tele.fuse_state[k] == 3);
}

template <class TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned int, const std::string& key) const
{
    subdevice::RequireFresh(dataReady_, lastUpdate_);
    if (key == "v") return tele.v;
    if (key == "i") return tele.i;
    throw std::out_of_range("数据未就绪");
}

template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const unsigned char* data, int size)
{
    if (data == nullptr || size != static_cast<int>(kImageSize)) return false;
    std::memcpy(&tele, data, kImageSize);
    dataReady_ = 1;
    lastUpdate_ = subdevice::Now();
    return true;
}
