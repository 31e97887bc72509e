#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "VX42BAC.h"
#include "recording_controller.h"
#include "vtable_slot.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct AcDevice : ::testing::Test {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BAC> dev = std::make_shared<VX42BAC>();

    void SetUp() override
    {
        dev->SetController(host);
        dev->InitV(nullptr, 7, Json::Value());
    }
    // Channel i: a 220+i, b 230+i, c 240+i, f 50+i; all alarm bytes 0.
    void SetChannels(int n, int p44Count)
    {
        dev->tele.channel_count = static_cast<unsigned char>(n);
        dev->channels.assign(static_cast<size_t>(n), tele_c_vx42b_ac_channel{});
        for (int i = 0; i < n; ++i) {
            auto& ch = dev->channels[i];
            ch.a = 220.f + i, ch.b = 230.f + i, ch.c = 240.f + i, ch.f = 50.f + i;
            ch.p44_count = static_cast<unsigned char>(p44Count);
        }
    }
    std::vector<rule_value> Round()
    {
        dev->RoundDone();
        EXPECT_TRUE(dev->PendingRules().empty());
        host->RunPendingWork();
        return host->batches.back().rules;
    }
    // The failure text, or "" when the key answers.
    std::string Error(const std::string& key) const
    {
        try {
            dev->Get_Value(0, key);
            return "";
        } catch (const std::out_of_range& e) {
            return e.what();
        }
    }
    Bytes Image() const
    {
        constexpr size_t unit = sizeof(tele_c_vx42b_ac), channel = sizeof(tele_c_vx42b_ac_channel);
        Bytes image(unit + channel * dev->channels.size());
        std::memcpy(image.data(), &dev->tele, unit);
        for (size_t i = 0; i < dev->channels.size(); ++i)
            std::memcpy(&image[unit + channel * i], &dev->channels[i], channel);
        return image;
    }
};

TEST_F(AcDevice, OneChannelRuleList)
{
    const std::vector<std::string> expected = {
        "AC_0 3 06015 交流输入电压过低告警 交流屏1输入线/相电压AB/A",
        "AC_1 3 06015 交流输入电压过低告警 交流屏1输入线/相电压BC/B",
        "AC_2 3 06015 交流输入电压过低告警 交流屏1输入线/相电压CA/C",
        "AC_3 3 06019 交流输入频率过低告警 交流屏1频率",
        "AC_4 2 06014 交流输入电压过高告警 交流屏1输入线/相电压AB/A",
        "AC_5 2 06014 交流输入电压过高告警 交流屏1输入线/相电压BC/B",
        "AC_6 2 06014 交流输入电压过高告警 交流屏1输入线/相电压CA/C",
        "AC_7 2 06018 交流输入频率过高告警 交流屏1频率",
        "AC_8 2 06017 交流输入缺相告警 交流屏1输入线/相电压AB/A",
        "AC_9 2 06017 交流输入缺相告警 交流屏1输入线/相电压BC/B",
        "AC_10 2 06017 交流输入缺相告警 交流屏1输入线/相电压CA/C",
        "AC_12 3 06029 A相输入电流低于下限 其他告警",
        "AC_13 3 06029 B相输入电流低于下限 其他告警",
        "AC_14 3 06029 C相输入电流低于下限 其他告警",
        "AC_15 3 06029 A相输入电流高于上限 其他告警",
        "AC_16 3 06029 B相输入电流高于上限 其他告警",
        "AC_17 3 06029 C相输入电流高于上限 其他告警",
        "AC_18 3 06029 A相输入电流缺项 其他告警",
        "AC_19 3 06029 B相输入电流缺项 其他告警",
        "AC_20 3 06029 C相输入电流缺项 其他告警",
        "VX42B_AC_0 1 06013 第1输入告警 交流输入空开跳告警",
        "VX42B_AC_1 1 06029 第1其他告警 交流输出空开告警",
        "VX42B_AC_2 1 06022 第1输入告警 防雷器故障告警",
        "VX42B_AC_3 1 06016 第1输入告警 交流输入1停电告警",
    };
    SetChannels(1, 4);
    std::vector<std::string> actual;
    for (const auto& r : Round()) {
        actual.push_back(r.key + " " + std::to_string(r.level) + " " + r.code + " " + r.name + " " + r.text);
        EXPECT_EQ(r.value, 0) << r.key;
        EXPECT_EQ(r.data_id, 7u);
    }
    EXPECT_EQ(actual, expected);
}

TEST_F(AcDevice, RuleCountAndNumbering)
{
    struct Case {
        int channels, p44Count;
        size_t rules;
    };
    for (const Case c :
         {Case{0, 4, 9}, Case{1, 0, 20}, Case{1, 3, 20}, Case{1, 4, 24}, Case{2, 0, 31}, Case{2, 4, 39}}) {
        SetChannels(c.channels, c.p44Count);
        const auto rules = Round();
        ASSERT_EQ(rules.size(), c.rules) << c.channels << " channels, " << c.p44Count << " user bytes";
        for (size_t i = 0; i < rules.size(); ++i) EXPECT_EQ(rules[i].sequence, i + 1);
    }
    const auto rules = host->batches.back().rules;  // two channels with their user bytes
    EXPECT_EQ(rules[11].key + rules[11].text, "AC_0交流屏2输入线/相电压AB/A");
    EXPECT_EQ(rules[22].key, "AC_12");
    EXPECT_EQ(rules[35].key + rules[35].name, "VX42B_AC_0第2输入告警");
}

TEST_F(AcDevice, StatesFollowTheAlarmBytes)
{
    SetChannels(2, 4);
    auto& c0 = dev->channels[0];
    auto& c1 = dev->channels[1];
    c0.b_alert = 3, c0.f_alert = 1, c1.c_alert = 2, dev->tele.ia_alert = 3;
    c0.alert_p44[3] = 5, c1.alert_p44[3] = 225, c1.alert_p44[0] = 5;
    std::vector<std::string> raised;
    for (const auto& r : Round())
        if (r.value) raised.push_back(r.key + " " + r.text);
    const std::vector<std::string> expected = {
        "AC_3 交流屏1频率", "AC_9 交流屏1输入线/相电压BC/B", "AC_6 交流屏2输入线/相电压CA/C",
        "AC_18 其他告警",   "VX42B_AC_0 交流输入空开跳告警", "VX42B_AC_3 交流输入1停电告警",
    };
    EXPECT_EQ(raised, expected);
    EXPECT_TRUE(host->IsAlarmActive(*dev, "AC_6", "交流屏2输入线/相电压CA/C"));
    EXPECT_TRUE(dev->AlarmResult());

    // Nothing latches: the next round restates them absent; the result flag stays.
    SetChannels(2, 4);
    dev->tele.ia_alert = 0;
    for (const auto& r : Round()) EXPECT_EQ(r.value, 0) << r.key;
    EXPECT_EQ(host->ActiveAlarmCount(), 0u);
    EXPECT_TRUE(dev->AlarmResult());
}

TEST_F(AcDevice, PublishedAndSavedImageIsRecordThenChannels)
{
    SetChannels(2, 4);
    dev->tele.ia = 12.5f;
    dev->RoundDone();
    const Bytes first = Image();
    ASSERT_EQ(host->publishes.size(), 1u);
    EXPECT_EQ(host->publishes[0].recordType, 5085);
    EXPECT_EQ(host->publishes[0].image, first);
    EXPECT_EQ(first.size(), 83u);
    EXPECT_EQ(dev->snapshot_size, 83u);
    EXPECT_EQ(first[0], 7);
    EXPECT_EQ(first[16], 2);
    const auto stamp = get_ttime(dev->LastUpdate());
    EXPECT_EQ(Bytes(first.begin() + 24, first.begin() + 27), Bytes(stamp.begin(), stamp.begin() + 3));
    EXPECT_TRUE(dev->IsDataReady());
    EXPECT_EQ(dev->RuleSequence(), 40);

    // A work item that runs after the next round still saves its own round.
    dev->tele.ia = 99.f;
    dev->RoundDone();
    host->RunPendingWork();
    ASSERT_EQ(host->histories.size(), 2u);
    EXPECT_EQ(host->histories[0].image, first);
    EXPECT_EQ(host->histories[1].image, Image());
    EXPECT_NE(Image(), first);
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

TEST_F(AcDevice, ValueKeys)
{
    EXPECT_EQ(Error("ia"), "数据未就绪");
    SetChannels(2, 4);
    dev->tele.ia = 1.5f, dev->tele.ib = 2.5f, dev->tele.ic = 3.5f, dev->tele.ic_alert = 200;
    dev->RoundDone();
    struct Case {
        const char* key;
        float value;
        const char* error;
    };
    const Case cases[] = {
        {"ia", 1.5f, ""},
        {"ib", 2.5f, ""},
        {"ic", 3.5f, ""},
        {"ic_alert", 200.f, ""},
        {"ia_alert", 0.f, ""},
        {"channel_0_a", 220.f, ""},
        {"channel_1_c", 241.f, ""},
        {"channel_1_f", 51.f, ""},
        {"channel_0_abc", 220.f, ""},
        {"xchannel_0_b", 230.f, ""},
        {"channel_001_f", 51.f, ""},
        {"IA", 0, "数据未提供"},
        {"channel_0_x", 0, "数据未提供"},
        {"channel_0_", 0, "数据未提供"},
        {"channel__a", 0, "数据未提供"},
        {"channel_2_a", 0, "通道参数越界"},
        {"channel_2_x", 0, "通道参数越界"},
        {"channel_99999999999_a", 0, "通道参数越界"},
        {"channel_4294967296_a", 0, "通道参数越界"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Error(c.key), c.error) << c.key;
        if (*c.error == '\0') {
            EXPECT_EQ(dev->Get_Value(0, c.key), c.value) << c.key;
        }
    }
}

TEST_F(AcDevice, FreshnessBoundary)
{
    SetChannels(1, 4);
    dev->RoundDone();
    // The clock may tick between setting the time and asking: retry until it did not.
    auto errorAtAge = [&](long age) {
        for (;;) {
            const auto now = boost::posix_time::second_clock::local_time();
            dev->SetLastUpdate(now - boost::posix_time::seconds(age));
            const std::string e = Error("ia");
            if (boost::posix_time::second_clock::local_time() == now) return e;
        }
    };
    EXPECT_EQ(errorAtAge(60), "");
    EXPECT_EQ(errorAtAge(61), "数据已超时");
    EXPECT_EQ(errorAtAge(-3600), "");  // clock set back
    dev->RoundDone();
    EXPECT_EQ(Error("ia"), "");
}

TEST_F(AcDevice, LoadFromCache)
{
    SetChannels(1, 4);
    dev->tele.data_id = 3;
    const Bytes image = Image();
    dev = std::make_shared<VX42BAC>();
    for (int len : {31, 56, -57}) EXPECT_FALSE(dev->LoadFromCache(image.data(), len)) << len;
    EXPECT_FALSE(dev->LoadFromCache(nullptr, 57));
    // An image whose byte 16 disagrees with its length changes nothing at all.
    Bytes wrong = image;
    wrong[16] = 2;
    EXPECT_FALSE(dev->LoadFromCache(wrong.data(), 57));
    EXPECT_EQ(Image(), Bytes(sizeof(tele_c_vx42b_ac), 0));
    EXPECT_EQ(Error("ia"), "数据未就绪");

    EXPECT_TRUE(dev->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(Image(), image);
    EXPECT_EQ(dev->Get_Value(0, "channel_0_f"), 50.f);
    // The restored count is fixed: a two-channel analog section is refused.
    Bytes two(47, 0);
    two[0] = 2;
    EXPECT_EQ(dev->parse40_41(two.data(), 47), -1);
}

TEST(AcConfig, Thresholds)
{
    auto init = [](const Json::Value& config) {
        auto d = std::make_shared<VX42BAC>();
        EXPECT_TRUE(d->InitV(nullptr, 5, config));
        EXPECT_EQ(d->tele.data_id, 5u);
        return std::make_pair(d->diff_v, d->diff_i);
    };
    auto app = [](Json::Value v, Json::Value i) {
        Json::Value c;
        c["appSetting"]["diff_v"] = v;
        c["appSetting"]["diff_i"] = i;
        return c;
    };
    using P = std::pair<float, float>;
    EXPECT_EQ(init(Json::Value()), P(20.f, 20.f));
    EXPECT_EQ(init(Json::Value(Json::arrayValue)), P(20.f, 20.f));
    EXPECT_EQ(init(app(0.5, "0.5")), P(0.5f, 0.5f));
    EXPECT_EQ(init(app("abc", Json::Value())), P(0.f, 20.f));
    EXPECT_EQ(init(app(Json::Value(), "abc")), P(20.f, 0.f));  // null is no setting
    EXPECT_EQ(init(app(true, 7)), P(0.f, 7.f));

    auto d = std::make_shared<VX42BAC>();
    EXPECT_ANY_THROW(d->InitV(nullptr, 5, app(Json::Value(Json::arrayValue), 1)));
    EXPECT_EQ(d->DataId(), 0u);
}

TEST(AcConfig, DeviceTypeAndSlotOrder)
{
    using AC = PMBusPowerAC<tele_c_vx42b_ac, tele_c_vx42b_ac_channel, 5085>;
    EXPECT_EQ(VX42BAC().DeviceType(), "vx42b-ac");
    EXPECT_EQ(VirtualSlot(&AC::parse40_41), 31);
    EXPECT_EQ(VirtualSlot(&AC::parse40_43), 32);
    EXPECT_EQ(VirtualSlot(&AC::parse40_44), 33);
    EXPECT_EQ(VirtualSlot(&AC::DoImpCheckAlert), 34);
}

}  // namespace
