#include "VX42BAC.h"

template class PMBusPowerAC<tele_c_vx42b_ac, tele_c_vx42b_ac_channel, kRecordTypeAc>;

VX42BAC::VX42BAC() { deviceType_ = "vx42b-ac"; }

VX42BAC::~VX42BAC() = default;

void VX42BAC::DoImpCheckAlert()
{
    struct UserRule {
        const char* key;
        const char* code;
        const char* name;
        const char* text;
        unsigned char value;
    };
    // Rule k tests alert_p44[k]; the mains failure byte reports 0xE1, not 5.
    static const UserRule kRules[] = {
        {"VX42B_AC_0", "06013", "输入告警", "交流输入空开跳告警", 5},
        {"VX42B_AC_1", "06029", "其他告警", "交流输出空开告警", 5},
        {"VX42B_AC_2", "06022", "输入告警", "防雷器故障告警", 5},
        {"VX42B_AC_3", "06016", "输入告警", "交流输入1停电告警", 225},
    };
    constexpr size_t kCount = sizeof kRules / sizeof kRules[0];
    static_assert(kCount == tele_c_vx42b_ac_channel::p40_44_SIZE(), "one rule per user-defined alarm byte");
    userRules_.Fit(channels.size(), kCount, [](size_t channel, size_t k) {
        return subdevice::RuleText{1, kRules[k].key, kRules[k].code, "第" + ChannelNumber(channel) + kRules[k].name,
                                   kRules[k].text};
    });
    for (size_t i = 0; i < channels.size(); ++i) {
        const tele_c_vx42b_ac_channel& ch = channels[i];
        // Without all four bytes this round says nothing about these alarms.
        if (ch.p44_count != tele_c_vx42b_ac_channel::p40_44_SIZE()) continue;
        for (size_t k = 0; k < kCount; ++k) Rule(userRules_.At(i, k), ch.alert_p44[k] == kRules[k].value);
    }
}
