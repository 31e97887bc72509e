#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BAC.h"
#include "recording_controller.h"

namespace {

struct AcRound : ::testing::Test {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BAC> dev = std::make_shared<VX42BAC>();

    void SetUp() override
    {
        dev->SetController(host);
        dev->InitV(nullptr, 7, Json::Value());
    }
    void SetChannels(int n, int p44Count)
    {
        dev->tele.channel_count = static_cast<unsigned char>(n);
        dev->channels.assign(static_cast<size_t>(n), tele_c_vx42b_ac_channel{});
        for (auto& ch : dev->channels) ch.p44_count = static_cast<unsigned char>(p44Count);
    }
    std::vector<rule_value> Round()
    {
        dev->RoundDone();
        EXPECT_TRUE(dev->PendingRules().empty());
        host->RunPendingWork();
        return host->batches.empty() ? std::vector<rule_value>{} : host->batches.back().rules;
    }
    static const rule_value* Find(const std::vector<rule_value>& rules, const std::string& key, const std::string& text)
    {
        for (const auto& r : rules)
            if (r.key == key && r.text == text) return &r;
        return nullptr;
    }
};

TEST_F(AcRound, OneChannelRuleList)
{
    struct Row {
        const char* key;
        int level;
        const char* code;
        const char* name;
        const char* text;
    };
    const Row expected[] = {
        {"AC_0", 3, "06015", "交流输入电压过低告警", "交流屏1输入线/相电压AB/A"},
        {"AC_1", 3, "06015", "交流输入电压过低告警", "交流屏1输入线/相电压BC/B"},
        {"AC_2", 3, "06015", "交流输入电压过低告警", "交流屏1输入线/相电压CA/C"},
        {"AC_3", 3, "06019", "交流输入频率过低告警", "交流屏1频率"},
        {"AC_4", 2, "06014", "交流输入电压过高告警", "交流屏1输入线/相电压AB/A"},
        {"AC_5", 2, "06014", "交流输入电压过高告警", "交流屏1输入线/相电压BC/B"},
        {"AC_6", 2, "06014", "交流输入电压过高告警", "交流屏1输入线/相电压CA/C"},
        {"AC_7", 2, "06018", "交流输入频率过高告警", "交流屏1频率"},
        {"AC_8", 2, "06017", "交流输入缺相告警", "交流屏1输入线/相电压AB/A"},
        {"AC_9", 2, "06017", "交流输入缺相告警", "交流屏1输入线/相电压BC/B"},
        {"AC_10", 2, "06017", "交流输入缺相告警", "交流屏1输入线/相电压CA/C"},
        {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警"},
        {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警"},
        {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警"},
        {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警"},
        {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警"},
        {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警"},
        {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警"},
        {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警"},
        {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警"},
        {"VX42B_AC_0", 1, "06013", "第1输入告警", "交流输入空开跳告警"},
        {"VX42B_AC_1", 1, "06029", "第1其他告警", "交流输出空开告警"},
        {"VX42B_AC_2", 1, "06022", "第1输入告警", "防雷器故障告警"},
        {"VX42B_AC_3", 1, "06016", "第1输入告警", "交流输入1停电告警"},
    };
    SetChannels(1, 4);
    const auto rules = Round();
    ASSERT_EQ(rules.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < rules.size(); ++i) {
        SCOPED_TRACE(expected[i].key);
        EXPECT_EQ(rules[i].key, expected[i].key);
        EXPECT_EQ(rules[i].level, expected[i].level);
        EXPECT_EQ(rules[i].code, expected[i].code);
        EXPECT_EQ(rules[i].name, expected[i].name);
        EXPECT_EQ(rules[i].text, expected[i].text);
        EXPECT_EQ(rules[i].value, 0);
        EXPECT_EQ(rules[i].sequence, i + 1);
    }
}

TEST_F(AcRound, RuleCountAndNumberingPerChannelSetup)
{
    struct Case {
        int channels;
        int p44Count;
        size_t rules;
    };
    for (const Case c : {Case{0, 4, 9}, Case{1, 0, 20}, Case{1, 3, 20}, Case{1, 4, 24}, Case{2, 0, 31}, Case{2, 4, 39}}) {
        SetChannels(c.channels, c.p44Count);
        const auto rules = Round();
        ASSERT_EQ(rules.size(), c.rules) << c.channels << " channels, " << c.p44Count << " user bytes";
        for (size_t i = 0; i < rules.size(); ++i) EXPECT_EQ(rules[i].sequence, i + 1);
        if (c.channels == 2 && c.p44Count == 4) {
            EXPECT_EQ(rules[11].key, "AC_0");
            EXPECT_EQ(rules[11].text, "交流屏2输入线/相电压AB/A");
            EXPECT_EQ(rules[22].key, "AC_12");
            EXPECT_EQ(rules[35].key, "VX42B_AC_0");
            EXPECT_EQ(rules[35].name, "第2输入告警");
        }
    }
}

TEST_F(AcRound, StatesFollowTheAlarmBytes)
{
    SetChannels(2, 4);
    dev->channels[1].c_alert = 2;
    dev->channels[0].b_alert = 3;
    dev->channels[0].f_alert = 1;
    dev->tele.ia_alert = 3;
    dev->channels[0].alert_p44[3] = 5;
    dev->channels[1].alert_p44[3] = 225;
    dev->channels[1].alert_p44[0] = 5;
    const auto rules = Round();
    std::vector<std::string> raised;
    for (const auto& r : rules)
        if (r.value) raised.push_back(r.key + " " + r.text + " " + r.name);
    const std::vector<std::string> expected = {
        "AC_3 交流屏1频率 交流输入频率过低告警",
        "AC_9 交流屏1输入线/相电压BC/B 交流输入缺相告警",
        "AC_6 交流屏2输入线/相电压CA/C 交流输入电压过高告警",
        "AC_18 其他告警 A相输入电流缺项",
        "VX42B_AC_0 交流输入空开跳告警 第2输入告警",
        "VX42B_AC_3 交流输入1停电告警 第2输入告警",
    };
    EXPECT_EQ(raised, expected);
    EXPECT_TRUE(host->IsAlarmActive(*dev, "AC_6", "交流屏2输入线/相电压CA/C"));
    EXPECT_TRUE(dev->AlarmResult());

    // Clearing is restating: the next round reports them absent.
    SetChannels(2, 4);
    dev->tele.ia_alert = 0;
    for (const auto& r : Round()) EXPECT_EQ(r.value, 0) << r.key;
    EXPECT_FALSE(host->IsAlarmActive(*dev, "AC_6", "交流屏2输入线/相电压CA/C"));
    EXPECT_TRUE(dev->AlarmResult());
}

TEST_F(AcRound, PublishedAndSavedImageIsRecordThenChannels)
{
    SetChannels(2, 4);
    dev->tele.ia = 12.5f;
    dev->channels[1].f = 49.5f;
    dev->RoundDone();
    ASSERT_EQ(host->publishes.size(), 1u);
    const auto& image = host->publishes[0].image;
    EXPECT_EQ(host->publishes[0].recordType, 5085);
    ASSERT_EQ(image.size(), 83u);
    ASSERT_EQ(dev->snapshot_size, 83u);
    std::vector<unsigned char> expected(83);
    std::memcpy(expected.data(), &dev->tele, 31);
    std::memcpy(expected.data() + 31, &dev->channels[0], 26);
    std::memcpy(expected.data() + 57, &dev->channels[1], 26);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(image[16], 2);
    EXPECT_EQ(image[0], 7);
    const auto stamp = get_ttime(dev->LastUpdate());
    EXPECT_EQ(image[24], stamp[0]);  // year, high byte
    EXPECT_EQ(image[26], stamp[2]);  // month
    EXPECT_TRUE(dev->IsDataReady());
    EXPECT_EQ(dev->RuleSequence(), 40);

    // A work item that runs after the next round still saves its own round.
    dev->tele.ia = 99.f;
    dev->RoundDone();
    host->RunPendingWork();
    ASSERT_EQ(host->histories.size(), 2u);
    EXPECT_EQ(host->histories[0].image, expected);
    EXPECT_EQ(host->histories[1].image, host->publishes[1].image);
    EXPECT_NE(host->histories[1].image, expected);
    EXPECT_EQ(host->batches[0].rules.size(), 39u);
    EXPECT_GE(dev->PendingRules().capacity(), 39u);

    // A pending work item keeps the device alive until it has run.
    dev->RoundDone();
    std::weak_ptr<VX42BAC> weak = dev;
    dev.reset();
    EXPECT_FALSE(weak.expired());
    host->RunPendingWork();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(host->histories.size(), 3u);
}

}  // namespace
