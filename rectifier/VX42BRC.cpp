#include "VX42BRC.h"

#include <string>

template class PMBusPowerRC<tele_c_vx42b_rc, tele_c_vx42b_rc_channel, kRecordTypeRectifier>;

namespace {

struct ModuleRule {
    const char* key;
    int level;
    const char* code;
    const char* name;
    const char* suffix;
    unsigned char alarmWhen;  // alert_p44[i] for rule i equals this
};

const ModuleRule kModuleRules[] = {
    {"VX42B_RC_0", 3, "06024", "整流模块故障告警", "模块故障告警状态", 1},
    {"VX42B_RC_1", 4, "06025", "整流模块风扇告警", "模块风扇告警", 1},
    {"VX42B_RC_2", 3, "06027", "整流模块温度过高告警", "模块过温告警状态", 1},
    {"VX42B_RC_3", 3, "06029", "整流模块模块限功率", "其他告警", 1},
    {"VX42B_RC_4", 2, "06016", "交流输入停电告警", "交流输入停电", 1},
    {"VX42B_RC_5", 4, "06028", "整流模块通信状态告警", "模块通讯中断告警状态", 0xE2},
};

static_assert(sizeof kModuleRules / sizeof kModuleRules[0] == tele_c_vx42b_rc_channel::P41_44_SIZE(),
              "one rule per user-defined alarm byte");

}  // namespace

VX42BRC::VX42BRC() { deviceType_ = "vx42b-rc"; }

VX42BRC::~VX42BRC() = default;

void VX42BRC::DoImpCheckAlert()
{
    constexpr size_t kCount = sizeof kModuleRules / sizeof kModuleRules[0];
    userRules_.Fit(channels.size(), kCount, [](size_t module, size_t i) {
        const ModuleRule& rule = kModuleRules[i];
        return subdevice::RuleText{rule.level, rule.key, rule.code, rule.name,
                                   "第" + std::to_string(module + 1) + "模块" + rule.suffix};
    });
    for (size_t k = 0; k < channels.size(); ++k) {
        const tele_c_vx42b_rc_channel& module = channels[k];
        // A module whose alarm bytes did not all arrive keeps whatever the host holds.
        if (module.p44_count != tele_c_vx42b_rc_channel::P41_44_SIZE()) continue;
        for (size_t i = 0; i < kCount; ++i)
            subdevice::State(*this, ruleSeq_, userRules_.At(k, i), module.alert_p44[i] == kModuleRules[i].alarmWhen);
    }
}
