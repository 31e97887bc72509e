#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "VX42BDC.h"
#include "get_ttime.h"
#include "hex.h"
#include "recording_controller.h"
#include "vtable_slot.h"

namespace {

using Bytes = std::vector<unsigned char>;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// v 1.0, i 2.5, m 2 (3.0, -1.0), n 0, p 8: no-value marker, 0.0, 41 41 41 42, then 1.0 .. 5.0.
const Bytes kAnalog =
    Hex("0000803f 00002040 02 00004040 000080bf 00 08 20202020 00000000 41414142"
        "0000803f 00000040 00004040 00008040 0000a040");
// Voltage state 2, ten fuses (the fourth faulty), 26 user-defined states.
const Bytes kAlarm = Hex("02 0a 00000003000000000000 1a 03020000 0203e4e4 e2e1f0f0 f0e5e6e9 e9e9 e9e9e9e9e9e9e9e9");
const std::string kLog = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read ";

struct Dc : ::testing::Test {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BDC> dc = Make();

    std::shared_ptr<VX42BDC> Make()
    {
        auto d = std::make_shared<VX42BDC>("VX42");
        d->SetController(controller);
        d->InitV(nullptr, 7, Json::Value(Json::objectValue));
        return d;
    }
    Bytes Image() const
    {
        auto p = reinterpret_cast<const unsigned char*>(&dc->tele);
        return Bytes(p, p + sizeof(tele_c_vx42b_dc));
    }
    // From an exactly sized heap copy, so that a read past len trips the sanitizer.
    int Parse(bool analog, const Bytes& block, size_t len, VX42BDC* d = nullptr)
    {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[len]);
        if (len) std::memcpy(copy.get(), block.data(), len);
        d = d ? d : dc.get();
        return analog ? d->parse42_41(copy.get(), int(len)) : d->parse42_44(copy.get(), int(len));
    }
    std::string Answer(const std::string& key)
    try {
        return std::to_string(dc->Get_Value(0, key));
    } catch (const std::out_of_range& e) {
        return e.what();
    }
};

TEST_F(Dc, WholeBlocksBackToBack)
{
    auto second = Make();
    const Bytes analog = kAnalog + Hex("00004040 00000000 01 00008040 00 01 00000041");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Parse(true, analog, analog.size()), 51);
    EXPECT_EQ(Parse(true, Slice(analog, 51, 70), 19, second.get()), 19);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "parse 42 41: 0 0 80 3f\nparse 42 41: 0 0 40 40\n");
    // Only user_p knows the no-value marker.
    EXPECT_EQ(Image(), Hex("07000000") + Slice(kAnalog, 0, 19) +
                           Hex("cdccccbd 00000000 41414142 0000803f 00000040 00004040 00008040 0000a040") + Bytes(46));
    EXPECT_EQ(second->tele.v, 3.0f);
    const Bytes alarm = kAlarm + Hex("01 00 00");
    EXPECT_EQ(Parse(false, alarm, alarm.size()), 39);
    EXPECT_EQ(Parse(false, Slice(alarm, 39, 42), 3, second.get()), 3);
    EXPECT_EQ(Slice(Image(), 55, 94), kAlarm);
    EXPECT_EQ(second->tele.dc_v_state, 1);
    EXPECT_TRUE(controller->logs.empty());

    Bytes marked = kAnalog;
    std::memset(marked.data(), 0x20, 4);
    std::memset(marked.data() + 13, 0x20, 4);
    EXPECT_EQ(Parse(true, marked, 51), 51);
    EXPECT_EQ(Slice(Image(), 4, 23), Slice(marked, 0, 19));
}

TEST_F(Dc, TruncatedBlocksLeaveTheRecord)
{
    for (bool analog : {true, false}) {
        const Bytes& block = analog ? kAnalog : kAlarm;
        for (size_t len = 0; len < block.size(); ++len) {
            SCOPED_TRACE(testing::Message() << analog << " " << len);
            const Bytes before = Image();
            controller->logs.clear();
            ::testing::internal::CaptureStdout();
            EXPECT_EQ(Parse(analog, block, len), -1);
            const char* heads[] = {"", " 0", " 0 0", " 0 0 80", " 0 0 80 3f"};
            EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                      analog ? std::string("parse 42 41:") + heads[std::min<size_t>(len, 4)] + "\n" : "");
            EXPECT_EQ(Image(), before);
            ASSERT_EQ(controller->logs.size(), 1u);
            const std::string prefix = kLog + (analog ? "42_41" : "42_44") + " read overflow ";
            ASSERT_EQ(controller->logs[0].rfind(prefix, 0), 0u) << controller->logs[0];
            const int taken = std::stoi(controller->logs[0].substr(prefix.size()));
            EXPECT_TRUE(taken > int(len) && taken <= int(block.size())) << taken;
            EXPECT_EQ(controller->logs[0], prefix + std::to_string(taken) + " - " + std::to_string(len));
        }
    }
    EXPECT_EQ(dc->parse42_44(kAlarm.data(), -3), -1);
    EXPECT_TRUE(controller->Logged(kLog + "42_44 read overflow 1 - -3"));
}

// A counted run cut short is reported where the whole run would end, also
// when it is longer than the slots it fills.
TEST_F(Dc, CutRunsAreReportedWhereTheyWouldEnd)
{
    const struct {
        bool analog;
        std::string block;
        size_t len;
        int taken;
    } cases[] = {
        {false, "01 0c 030303030303030303030909 00", 2, 14},
        {false, "01 0c 030303030303030303030909 00", 12, 14},
        {false, "01 0c 030303030303030303030909 00", 13, 14},
        {false, "01 0c 030303030303030303030909 00", 14, 15},
        {false, "01 0a 03030303030303030303 00", 11, 12},
        {false, "01 00 1e" + std::string(60, 'e'), 3, 33},
        {false, "01 00 1e" + std::string(60, 'e'), 28, 33},
        {false, "01 00 1e" + std::string(60, 'e'), 32, 33},
        {false, "01 00 1a" + std::string(52, 'e'), 20, 29},
        {true, "00000041 00000042 03 111111112222222233333333 00 00", 9, 21},
        {true, "00000041 00000042 03 111111112222222233333333 00 00", 20, 21},
        {true, "00000041 00000042 02 1111111122222222 00 00", 12, 17},
        {true, "00000041 00000042 00 00 08" + std::string(64, '4'), 11, 43},
        {true, "00000041 00000042 00 00 08" + std::string(64, '4'), 42, 43},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block + " cut to " + std::to_string(c.len));
        controller->logs.clear();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(Parse(c.analog, Hex(c.block), c.len), -1);
        ::testing::internal::GetCapturedStdout();
        // After the count message of an oversized run, if any.
        ASSERT_FALSE(controller->logs.empty());
        EXPECT_EQ(controller->logs.back(), kLog + (c.analog ? "42_41" : "42_44") + " read overflow " +
                                               std::to_string(c.taken) + " - " + std::to_string(c.len));
        EXPECT_EQ(Image(), Hex("07000000") + Bytes(97));
    }
}

TEST_F(Dc, OversizedCounts)
{
    ASSERT_EQ(Parse(true, kAnalog, 51), 51);
    const Bytes good = Image();
    struct Case {
        std::string block;
        size_t len;
        std::string log, patch;  // patch: the image from dc_n on
    } cases[] = {
        {"00000041 00000042 03 111111112222222233333333 00 00", 23, "dc_m is 3, MAX_M is 2", "00 00"},
        {"00000041 00000042 00 01 44444444 02 00004141 20202020", 23, "dc_n is 1, MAX_N is 0",
         "01 02 00004141 cdccccbd"},
        // The rest of the field counts as taken, however long the block really is.
        {"00000041 00000042 00 00 09 11111111", 40, "p_count is 9, support user_p max is 8", "00 09"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(dc->LoadFromCache(good.data(), 101));
        controller->logs.clear();
        Bytes block = Hex(c.block);
        block.resize(c.len);
        EXPECT_EQ(Parse(true, block, c.len), int(c.len));
        EXPECT_EQ(controller->logs, std::vector<std::string>{kLog + c.log});
        Bytes expected = good;
        const Bytes patch = Slice(block, 0, 9) + Slice(good, 13, 21) + Hex(c.patch);
        std::copy(patch.begin(), patch.end(), expected.begin() + 4);
        EXPECT_EQ(Image(), expected) << c.log;
    }

    const Bytes big = Hex("01 0c 030303030303030303030909 1e") + Bytes(26, 0xe9) + Bytes(4, 0x77);
    controller->logs.clear();
    EXPECT_EQ(Parse(false, big, big.size()), 1 + 1 + 12 + 1 + 30);
    EXPECT_EQ(controller->logs, std::vector<std::string>{kLog + "42_44 p is 30,  alert_p is 26"});
    EXPECT_EQ(Slice(Image(), 55, 94), Hex("01 0c 03030303030303030303 1e") + Bytes(26, 0xe9));
}

const std::vector<rule_value> kModelRules = {
    {1, "VX42B_DC_0", "06007", 2, 0, "负载熔丝故障告警", "负载熔丝1故障告警", 7},
    {0, "VX42B_DC_1", "06007", 2, 0, "负载熔丝故障告警", "负载熔丝2故障告警", 7},  // 2 is no fuse fault
    {0, "VX42B_DC_2", "06007", 2, 0, "负载熔丝故障告警", "负载熔丝3故障告警", 7},
    {0, "VX42B_DC_3", "06007", 2, 0, "负载熔丝故障告警", "负载熔丝4故障告警", 7},
    {1, "VX42B_DC_4", "06002", 2, 0, "电池充电过流告警", "电池1充电过流告警", 7},
    {0, "VX42B_DC_5", "06002", 2, 0, "电池充电过流告警", "电池2充电过流告警", 7},  // 3 is no over-current
    {1, "VX42B_DC_6", "06029", 2, 0, "电池保护", "其他告警", 7},
    {0, "VX42B_DC_7", "06029", 2, 0, "负载下电", "其他告警", 7},             // 0xE4, needs 0xE3
    {0, "VX42B_DC_8", "06029", 2, 0, "电池房1温度告警状态", "其他告警", 7},  // 0xE2, needs 0xE1
    {1, "VX42B_DC_9", "06029", 2, 0, "电池房2温度告警状态", "其他告警", 7},
    {1, "VX42B_DC_10", "06029", 2, 0, "环境1温度告警状态", "其他告警", 7},
    {1, "VX42B_DC_11", "06029", 2, 0, "环境2温度告警状态", "其他告警", 7},
    {1, "VX42B_DC_12", "06029", 2, 0, "DC/DC故障", "其他告警", 7},
    {1, "VX42B_DC_13", "06005", 2, 0, "电池供电告警", "开关电源处于电池供电中", 7},
    {1, "VX42B_DC_14", "06004", 2, 0, "电池放电不平衡告警", "电池放电不平衡(1组<2组/(1组>2组)", 7},
    {1, "VX42B_DC_17", "06029", 2, 0, "直流电压差别大", "其他告警", 7},  // 15 and 16 hold 0xE9 too
};

TEST_F(Dc, RulesFollowTheReceivedCounts)
{
    ASSERT_EQ(Parse(false, kAlarm, 39), 39);
    for (int fuses : {9, 10, 11}) {
        for (int states : {25, 26, 27}) {
            dc->tele.fuse_count = uint8_t(fuses);
            dc->tele.alert_p_count = uint8_t(states);
            dc->tele.dc_v_state = uint8_t(fuses - 9 + (states == 27));  // 0 .. 3
            controller->batches.clear();
            dc->RoundDone();
            controller->RunPendingWork();

            const int v = dc->tele.dc_v_state;
            std::vector<rule_value> expected = {
                {v == 1, "DC_0", "06008", 3, 0, "输出电压过低告警", "输出电压过低告警", 7},
                {v == 2, "DC_1", "06009", 3, 0, "输出电压过高告警", "输出电压过高告警", 7}};
            for (int k = 1; k <= 10 && fuses == 10; ++k)
                expected.push_back({k == 4, "DC_3", "06001", 1, 0, "电池熔丝故障告警",
                                    "直流" + std::to_string(k) + "电池熔丝故障告警", 7});
            if (states == 26) expected.insert(expected.end(), kModelRules.begin(), kModelRules.end());
            ASSERT_EQ(controller->batches.size(), 1u);
            const std::vector<rule_value>& got = controller->batches[0].rules;
            ASSERT_EQ(got.size(), expected.size()) << fuses << " " << states;
            for (size_t k = 0; k < got.size(); ++k) {
                const rule_value& e = expected[k];
                EXPECT_EQ(std::tie(got[k].value, got[k].key, got[k].code, got[k].level, got[k].sequence, got[k].name,
                                   got[k].text, got[k].data_id),
                          std::make_tuple(e.value, e.key, e.code, e.level, uint32_t(k + 1), e.name, e.text, e.data_id))
                    << fuses << " " << states << " " << e.key << " " << e.text;
            }
        }
    }
    EXPECT_TRUE(dc->AlarmResult());  // set by earlier rounds, although the last one had no alarm
}

TEST_F(Dc, PublishesAndLaterSavesThisRoundsImage)
{
    ASSERT_EQ(Parse(false, kAlarm, 39), 39);
    EXPECT_FALSE(dc->AlarmResult());
    const auto before = get_ttime(second_clock::local_time());
    dc->RoundDone();
    const auto after = get_ttime(second_clock::local_time());
    EXPECT_TRUE(dc->PendingRules().empty());
    EXPECT_EQ(dc->RuleSequence(), 29);
    ASSERT_EQ(controller->publishes.size(), 1u);
    const Bytes published = controller->publishes[0].image;
    EXPECT_EQ(controller->publishes[0].recordType, 5087);
    EXPECT_EQ(published, Image());
    const Bytes stamp = Slice(published, 94, 101);
    EXPECT_TRUE(stamp == Bytes(before.begin(), before.end()) || stamp == Bytes(after.begin(), after.end()));

    // The next round's replies arrive, and the host lets go, before the work item runs.
    ASSERT_EQ(Parse(false, Hex("00 00 00"), 3), 3);
    std::weak_ptr<VX42BDC> alive = dc;
    dc.reset();
    controller->RunPendingWork();
    EXPECT_TRUE(alive.expired());
    ASSERT_EQ(controller->histories.size(), 1u);
    EXPECT_EQ(controller->histories[0].image, published);
    EXPECT_EQ(controller->batches.at(0).rules.size(), 28u);
}

TEST_F(Dc, ValuesAreFreshForSixtySeconds)
{
    for (const char* key : {"v", "i", "x"}) EXPECT_EQ(Answer(key), "数据未就绪");
    ASSERT_EQ(Parse(true, Hex("0000c842 00004842 00 00 00"), 11), 11);
    dc->RoundDone();
    EXPECT_EQ(dc->Get_Value(0, "v"), 100.0f);
    EXPECT_EQ(dc->Get_Value(3, "i"), 50.0f);
    for (const char* key : {"V", "", "vv"}) EXPECT_EQ(Answer(key), "数据未就绪");
    const std::pair<int, std::string> ages[] = {{-3600, "100.000000"}, {60, "100.000000"}, {61, "数据已超时"}};
    for (const auto& [age, answer] : ages) {
        dc->SetLastUpdate(second_clock::local_time() - seconds(age));
        EXPECT_EQ(Answer("v"), answer) << age;
    }
    EXPECT_EQ(Answer("x"), "数据已超时");
}

TEST_F(Dc, CacheTakesExactlyOneImage)
{
    Bytes image(101, 0x11);
    std::memcpy(image.data() + 4, Hex("00004842").data(), 4);
    for (int size : {0, 100, 102, -1}) EXPECT_FALSE(dc->LoadFromCache(image.data(), size));
    EXPECT_FALSE(dc->LoadFromCache(nullptr, 101));
    EXPECT_FALSE(dc->IsDataReady());
    EXPECT_EQ(Image(), Hex("07000000") + Bytes(97));
    dc->SetLastUpdate(second_clock::local_time() - seconds(3600));
    EXPECT_TRUE(dc->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(Answer("v"), "50.000000");
    EXPECT_EQ(Image(), image);
}

TEST(DcConfig, SettingsIdentityAndSlots)
{
    Json::Value texts, numbers, current;
    texts["diff_v"] = "0.5";
    texts["diff_i"] = "abc";
    numbers["diff_v"] = 0.5;
    numbers["diff_i"] = 7;
    current["diff_i"] = "7";
    const std::tuple<Json::Value, float, float> cases[] = {{Json::Value(), 0.1f, 20.0f},
                                                           {Json::Value("diff_v"), 0.1f, 20.0f},
                                                           {Json::Value(Json::arrayValue), 0.1f, 20.0f},
                                                           {texts, 0.5f, 0.0f},
                                                           {numbers, 0.5f, 7.0f},
                                                           {current, 0.1f, 7.0f}};
    for (const auto& [app, v, i] : cases) {
        Json::Value config(Json::objectValue);
        if (!app.isNull()) config["appSetting"] = app;
        VX42BDC dc("VX42");
        EXPECT_TRUE(dc.InitV(nullptr, 0x01020304, config));
        EXPECT_EQ(std::make_pair(dc.diff_v, dc.diff_i), std::make_pair(v, i)) << config.toStyledString();
        EXPECT_EQ(std::make_tuple(dc.DataId(), dc.tele.data_id, dc.model_name, dc.DeviceType()),
                  std::make_tuple(0x01020304u, 0x01020304u, std::string("VX42"), std::string("vx42b-dc")));
    }
    EXPECT_EQ(VX42BDC().model_name + VX42BDC().DeviceType(), "vx42b-dc");

    using D = PMBusPowerDC<tele_c_vx42b_dc, 5087>;
    EXPECT_EQ(VirtualSlot(&D::parse42_41), 31);
    EXPECT_EQ(VirtualSlot(&D::parse42_44), 32);
    EXPECT_EQ(VirtualSlot(&D::DoImpCheckAlert), 33);
    EXPECT_EQ(VirtualSlot(&D::InitV), 11);
}

}  // namespace
