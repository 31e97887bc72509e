// Every alarm rule of the three sub-devices, driven through its own byte of
// the published image: one below, at and one above the value it alarms on,
// with every other byte 0. A rule that reads the wrong byte, compares
// loosely or tests a neighbouring value fails here.
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BAC.h"
#include "VX42BDC.h"
#include "VX42BRC.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A rule as the host sees it, and the image byte it tests.
struct Probe {
    std::string key, name, text;
    size_t offset;
    unsigned char alarm;
};

// A group of rules stated only when a count byte holds exactly its value.
struct Gate {
    size_t offset;
    unsigned char exact;
    size_t rules;  // how many rules it silences otherwise
};

struct Kind {
    const char* name;
    std::function<std::shared_ptr<SMDVDevice>()> make;
    Bytes image;  // every state byte 0, every count as expected
    std::vector<Probe> probes;
    std::vector<Gate> gates;
};

std::string N(size_t k) { return std::to_string(k); }

// Two AC channels with their four user-defined alarm bytes.
Kind AcKind()
{
    Kind kind{"AC", [] { return std::make_shared<VX42BAC>(); }, Bytes(31 + 2 * 26, 0), {}, {}};
    kind.image[16] = 2;
    struct ChannelRule {
        const char *key, *name, *what;
        size_t field;  // within the channel record
        unsigned char alarm;
    };
    const ChannelRule channelRules[] = {
        {"AC_0", "交流输入电压过低告警", "输入线/相电压AB/A", 17, 1},
        {"AC_1", "交流输入电压过低告警", "输入线/相电压BC/B", 18, 1},
        {"AC_2", "交流输入电压过低告警", "输入线/相电压CA/C", 19, 1},
        {"AC_3", "交流输入频率过低告警", "频率", 20, 1},
        {"AC_4", "交流输入电压过高告警", "输入线/相电压AB/A", 17, 2},
        {"AC_5", "交流输入电压过高告警", "输入线/相电压BC/B", 18, 2},
        {"AC_6", "交流输入电压过高告警", "输入线/相电压CA/C", 19, 2},
        {"AC_7", "交流输入频率过高告警", "频率", 20, 2},
        {"AC_8", "交流输入缺相告警", "输入线/相电压AB/A", 17, 3},
        {"AC_9", "交流输入缺相告警", "输入线/相电压BC/B", 18, 3},
        {"AC_10", "交流输入缺相告警", "输入线/相电压CA/C", 19, 3},
    };
    const ChannelRule userRules[] = {
        {"VX42B_AC_0", "输入告警", "交流输入空开跳告警", 22, 5},
        {"VX42B_AC_1", "其他告警", "交流输出空开告警", 23, 5},
        {"VX42B_AC_2", "输入告警", "防雷器故障告警", 24, 5},
        {"VX42B_AC_3", "输入告警", "交流输入1停电告警", 25, 0xE1},
    };
    for (size_t ch = 0; ch < 2; ++ch) {
        const size_t base = 31 + 26 * ch;
        kind.image[base + 21] = 4;
        for (const auto& r : channelRules)
            kind.probes.push_back({r.key, r.name, "交流屏" + N(ch + 1) + r.what, base + r.field, r.alarm});
        for (const auto& r : userRules)
            kind.probes.push_back({r.key, "第" + N(ch + 1) + r.name, r.what, base + r.field, r.alarm});
        kind.gates.push_back({base + 21, 4, 4});
    }
    const char* phases[] = {"A", "B", "C"};
    const char* kinds[] = {"输入电流低于下限", "输入电流高于上限", "输入电流缺项"};
    for (unsigned char alarm = 1; alarm <= 3; ++alarm)
        for (size_t ph = 0; ph < 3; ++ph)
            kind.probes.push_back({"AC_" + N(12 + 3 * (alarm - 1) + ph),
                                   std::string(phases[ph]) + "相" + kinds[alarm - 1], "其他告警", 21 + ph, alarm});
    return kind;
}

// One DC unit: ten fuses, 26 user-defined states.
Kind DcKind()
{
    Kind kind{"DC", [] { return std::make_shared<VX42BDC>(); }, Bytes(101, 0), {}, {}};
    kind.image[56] = 10;
    kind.image[67] = 26;
    kind.probes.push_back({"DC_0", "输出电压过低告警", "输出电压过低告警", 55, 1});
    kind.probes.push_back({"DC_1", "输出电压过高告警", "输出电压过高告警", 55, 2});
    for (size_t k = 1; k <= 10; ++k)
        kind.probes.push_back({"DC_3", "电池熔丝故障告警", "直流" + N(k) + "电池熔丝故障告警", 57 + k - 1, 3});
    kind.gates.push_back({56, 10, 10});
    const struct {
        const char *key, *name, *text;
        size_t slot;
        unsigned char alarm;
    } model[] = {
        {"VX42B_DC_0", "负载熔丝故障告警", "负载熔丝1故障告警", 0, 3},
        {"VX42B_DC_1", "负载熔丝故障告警", "负载熔丝2故障告警", 1, 3},
        {"VX42B_DC_2", "负载熔丝故障告警", "负载熔丝3故障告警", 2, 3},
        {"VX42B_DC_3", "负载熔丝故障告警", "负载熔丝4故障告警", 3, 3},
        {"VX42B_DC_4", "电池充电过流告警", "电池1充电过流告警", 4, 2},
        {"VX42B_DC_5", "电池充电过流告警", "电池2充电过流告警", 5, 2},
        {"VX42B_DC_6", "电池保护", "其他告警", 6, 0xE4},
        {"VX42B_DC_7", "负载下电", "其他告警", 7, 0xE3},
        {"VX42B_DC_8", "电池房1温度告警状态", "其他告警", 8, 0xE1},
        {"VX42B_DC_9", "电池房2温度告警状态", "其他告警", 9, 0xE1},
        {"VX42B_DC_10", "环境1温度告警状态", "其他告警", 10, 0xF0},
        {"VX42B_DC_11", "环境2温度告警状态", "其他告警", 11, 0xF0},
        {"VX42B_DC_12", "DC/DC故障", "其他告警", 12, 0xF0},
        {"VX42B_DC_13", "电池供电告警", "开关电源处于电池供电中", 13, 0xE5},
        {"VX42B_DC_14", "电池放电不平衡告警", "电池放电不平衡(1组<2组/(1组>2组)", 14, 0xE6},
        {"VX42B_DC_17", "直流电压差别大", "其他告警", 17, 0xE9},
    };
    for (const auto& r : model) kind.probes.push_back({r.key, r.name, r.text, 68 + r.slot, r.alarm});
    kind.gates.push_back({67, 26, 16});
    return kind;
}

// Two rectifier modules with their six user-defined alarm bytes.
Kind RcKind()
{
    Kind kind{"RC", [] { return std::make_shared<VX42BRC>(); }, Bytes(65 + 2 * 38, 0), {}, {}};
    kind.image[57] = 2;
    const struct {
        const char *key, *name, *suffix;
        unsigned char alarm;
    } model[] = {
        {"VX42B_RC_0", "整流模块故障告警", "模块故障告警状态", 1},
        {"VX42B_RC_1", "整流模块风扇告警", "模块风扇告警", 1},
        {"VX42B_RC_2", "整流模块温度过高告警", "模块过温告警状态", 1},
        {"VX42B_RC_3", "整流模块模块限功率", "其他告警", 1},
        {"VX42B_RC_4", "交流输入停电告警", "交流输入停电", 1},
        {"VX42B_RC_5", "整流模块通信状态告警", "模块通讯中断告警状态", 0xE2},
    };
    for (size_t m = 0; m < 2; ++m) {
        const size_t base = 65 + 38 * m;
        kind.image[base + 31] = 6;
        kind.probes.push_back({"RC_0", "整流模块故障告警", "模块" + N(m + 1) + "整流模块故障告警", base + 30, 1});
        for (const auto& r : model)
            kind.probes.push_back(
                {r.key, r.name, "第" + N(m + 1) + "模块" + r.suffix, base + 32 + (&r - model), r.alarm});
        kind.gates.push_back({base + 31, 6, 6});
    }
    return kind;
}

struct Stated {
    std::string id;  // key, name and text
    bool state;
};

// Restores the image, ends a round and returns the rules the host was handed.
std::vector<Stated> RoundOn(const Kind& kind, const Bytes& image)
{
    auto host = std::make_shared<RecordingController>();
    auto device = kind.make();
    device->SetController(host);
    EXPECT_TRUE(device->LoadFromCache(image.data(), static_cast<int>(image.size())));
    device->RoundDone();
    host->RunPendingWork();
    std::vector<Stated> out;
    if (host->batches.size() != 1) {
        ADD_FAILURE() << kind.name << ": " << host->batches.size() << " batches";
        return out;
    }
    for (const rule_value& r : host->batches[0].rules)
        out.push_back({r.key + "|" + r.name + "|" + r.text, r.value != 0});
    return out;
}

std::string Id(const Probe& p) { return p.key + "|" + p.name + "|" + p.text; }

class AlarmRules : public ::testing::TestWithParam<Kind (*)()> {};

TEST_P(AlarmRules, EachRuleAlarmsOnItsValueOnly)
{
    const Kind kind = GetParam()();
    for (const Probe& driven : kind.probes) {
        for (int delta : {-1, 0, 1}) {
            const unsigned char value = static_cast<unsigned char>(driven.alarm + delta);
            SCOPED_TRACE(std::string(kind.name) + " " + Id(driven) + " byte " + N(driven.offset) + " = " + N(value));
            Bytes image = kind.image;
            image[driven.offset] = value;
            const std::vector<Stated> got = RoundOn(kind, image);
            ASSERT_EQ(got.size(), kind.probes.size());
            // Each stated rule against what its own byte says; every rule once.
            std::map<std::string, bool> stated;
            for (const Stated& r : got) EXPECT_TRUE(stated.emplace(r.id, r.state).second) << "twice: " << r.id;
            for (const Probe& p : kind.probes) {
                const auto it = stated.find(Id(p));
                ASSERT_NE(it, stated.end()) << "missing: " << Id(p);
                EXPECT_EQ(it->second, p.offset == driven.offset && value == p.alarm) << Id(p);
            }
        }
    }
}

TEST_P(AlarmRules, GroupsNeedTheirExactCount)
{
    const Kind kind = GetParam()();
    for (const Gate& gate : kind.gates) {
        for (int delta : {-1, 0, 1}) {
            const unsigned char count = static_cast<unsigned char>(gate.exact + delta);
            SCOPED_TRACE(std::string(kind.name) + " count at " + N(gate.offset) + " = " + N(count));
            Bytes image = kind.image;
            image[gate.offset] = count;
            EXPECT_EQ(RoundOn(kind, image).size(), kind.probes.size() - (delta == 0 ? 0 : gate.rules));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SubDevices, AlarmRules, ::testing::Values(&AcKind, &DcKind, &RcKind), [](const auto& info) {
    return std::string(info.index == 0 ? "AC" : info.index == 1 ? "DC" : "RC");
});

}  // namespace
