#include "VX42BDC.h"

#include <cstdint>

template class PMBusPowerDC<tele_c_vx42b_dc, kRecordTypeDc>;

VX42BDC::VX42BDC() { deviceType_ = "vx42b-dc"; }

VX42BDC::VX42BDC(const std::string& model) : PMBusPowerDC(model) { deviceType_ = "vx42b-dc"; }

VX42BDC::~VX42BDC() = default;

namespace {

// One user-defined alarm state byte tested against one code.
struct ModelRule {
    const char* key;
    const char* code;
    const char* name;
    const char* text;
    uint8_t slot;
    uint8_t alarm;
};

// Slots 15, 16 and 18 to 25 carry nothing this model reports.
constexpr ModelRule kModelRules[] = {
    {"VX42B_DC_0", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", 0, 3},
    {"VX42B_DC_1", "06007", "负载熔丝故障告警", "负载熔丝2故障告警", 1, 3},
    {"VX42B_DC_2", "06007", "负载熔丝故障告警", "负载熔丝3故障告警", 2, 3},
    {"VX42B_DC_3", "06007", "负载熔丝故障告警", "负载熔丝4故障告警", 3, 3},
    {"VX42B_DC_4", "06002", "电池充电过流告警", "电池1充电过流告警", 4, 2},
    {"VX42B_DC_5", "06002", "电池充电过流告警", "电池2充电过流告警", 5, 2},
    {"VX42B_DC_6", "06029", "电池保护", "其他告警", 6, 0xE4},
    {"VX42B_DC_7", "06029", "负载下电", "其他告警", 7, 0xE3},
    {"VX42B_DC_8", "06029", "电池房1温度告警状态", "其他告警", 8, 0xE1},
    {"VX42B_DC_9", "06029", "电池房2温度告警状态", "其他告警", 9, 0xE1},
    {"VX42B_DC_10", "06029", "环境1温度告警状态", "其他告警", 10, 0xF0},
    {"VX42B_DC_11", "06029", "环境2温度告警状态", "其他告警", 11, 0xF0},
    {"VX42B_DC_12", "06029", "DC/DC故障", "其他告警", 12, 0xF0},
    {"VX42B_DC_13", "06005", "电池供电告警", "开关电源处于电池供电中", 13, 0xE5},
    {"VX42B_DC_14", "06004", "电池放电不平衡告警", "电池放电不平衡(1组<2组/(1组>2组)", 14, 0xE6},
    {"VX42B_DC_17", "06029", "直流电压差别大", "其他告警", 17, 0xE9},
};

constexpr bool SlotsFit()
{
    for (const ModelRule& rule : kModelRules)
        if (rule.slot >= tele_c_vx42b_dc::ALERT_P_SIZE()) return false;
    return true;
}
static_assert(SlotsFit(), "every model rule tests a slot of alert_p");

}  // namespace

void VX42BDC::DoImpCheckAlert()
{
    // A reply with any other number of states is not this model's layout.
    if (tele.alert_p_count != tele_c_vx42b_dc::ALERT_P_SIZE()) return;
    static const std::vector<subdevice::RuleText> texts = [] {
        std::vector<subdevice::RuleText> out;
        for (const ModelRule& rule : kModelRules) out.push_back({2, rule.key, rule.code, rule.name, rule.text});
        return out;
    }();
    for (size_t k = 0; k < texts.size(); ++k)
        StateRule(texts[k], tele.alert_p[kModelRules[k].slot] == kModelRules[k].alarm);
}
