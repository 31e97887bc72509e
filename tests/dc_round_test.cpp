#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "VX42BDC.h"
#include "get_ttime.h"
#include "hex.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Rule {
    std::string key;
    int level;
    std::string code, name, text;
    bool state;
};

// dc_v_state 1, fuse 4 faulty, and the user-defined states below.
const Bytes kFuses = Hex("00000003000000000000");
const Bytes kStates = Hex("03020000 0203e4e4 e2e1f0f0 f0e5e6e9 e9e9 e9e9e9e9e9e9e9e9");

std::vector<Rule> FuseRules()
{
    std::vector<Rule> rules;
    for (int k = 1; k <= 10; ++k)
        rules.push_back({"DC_3", 1, "06001", "电池熔丝故障告警", "直流" + std::to_string(k) + "电池熔丝故障告警", k == 4});
    return rules;
}

const std::vector<Rule> kModelRules = {
    {"VX42B_DC_0", 2, "06007", "负载熔丝故障告警", "负载熔丝1故障告警", true},
    {"VX42B_DC_1", 2, "06007", "负载熔丝故障告警", "负载熔丝2故障告警", false},  // 2 is no fuse fault
    {"VX42B_DC_2", 2, "06007", "负载熔丝故障告警", "负载熔丝3故障告警", false},
    {"VX42B_DC_3", 2, "06007", "负载熔丝故障告警", "负载熔丝4故障告警", false},
    {"VX42B_DC_4", 2, "06002", "电池充电过流告警", "电池1充电过流告警", true},
    {"VX42B_DC_5", 2, "06002", "电池充电过流告警", "电池2充电过流告警", false},  // 3 is no over-current
    {"VX42B_DC_6", 2, "06029", "电池保护", "其他告警", true},
    {"VX42B_DC_7", 2, "06029", "负载下电", "其他告警", false},  // 0xE4, needs 0xE3
    {"VX42B_DC_8", 2, "06029", "电池房1温度告警状态", "其他告警", false},  // 0xE2, needs 0xE1
    {"VX42B_DC_9", 2, "06029", "电池房2温度告警状态", "其他告警", true},
    {"VX42B_DC_10", 2, "06029", "环境1温度告警状态", "其他告警", true},
    {"VX42B_DC_11", 2, "06029", "环境2温度告警状态", "其他告警", true},
    {"VX42B_DC_12", 2, "06029", "DC/DC故障", "其他告警", true},
    {"VX42B_DC_13", 2, "06005", "电池供电告警", "开关电源处于电池供电中", true},
    {"VX42B_DC_14", 2, "06004", "电池放电不平衡告警", "电池放电不平衡(1组<2组/(1组>2组)", true},
    {"VX42B_DC_17", 2, "06029", "直流电压差别大", "其他告警", true},
};

struct Round : ::testing::Test {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BDC> dc = std::make_shared<VX42BDC>();

    void SetUp() override
    {
        dc->SetController(controller);
        dc->InitV(nullptr, 9, Json::Value(Json::objectValue));
        dc->tele.dc_v_state = 1;
        std::memcpy(dc->tele.fuse_state, kFuses.data(), kFuses.size());
        std::memcpy(dc->tele.alert_p, kStates.data(), kStates.size());
    }
    Bytes Image() const
    {
        Bytes b(sizeof dc->tele);
        std::memcpy(b.data(), &dc->tele, b.size());
        return b;
    }
};

TEST_F(Round, RulesFollowTheReceivedCounts)
{
    for (int fuses : {9, 10, 11}) {
        for (int states : {25, 26, 27}) {
            SCOPED_TRACE(testing::Message() << "fuse_count " << fuses << ", alert_p_count " << states);
            dc->tele.fuse_count = static_cast<uint8_t>(fuses);
            dc->tele.alert_p_count = static_cast<uint8_t>(states);
            controller->batches.clear();
            dc->RoundDone();
            controller->RunPendingWork();

            std::vector<Rule> expected = {{"DC_0", 3, "06008", "输出电压过低告警", "输出电压过低告警", true},
                                          {"DC_1", 3, "06009", "输出电压过高告警", "输出电压过高告警", false}};
            if (fuses == 10) for (const Rule& r : FuseRules()) expected.push_back(r);
            if (states == 26) expected.insert(expected.end(), kModelRules.begin(), kModelRules.end());
            ASSERT_EQ(controller->batches.size(), 1u);
            const std::vector<rule_value>& got = controller->batches[0].rules;
            ASSERT_EQ(got.size(), expected.size());
            for (size_t k = 0; k < got.size(); ++k) {
                SCOPED_TRACE(expected[k].key + " " + expected[k].text);
                EXPECT_EQ(got[k].sequence, k + 1);
                EXPECT_EQ(got[k].key, expected[k].key);
                EXPECT_EQ(got[k].level, expected[k].level);
                EXPECT_EQ(got[k].code, expected[k].code);
                EXPECT_EQ(got[k].name, expected[k].name);
                EXPECT_EQ(got[k].text, expected[k].text);
                EXPECT_EQ(got[k].value, expected[k].state ? 1 : 0);
                EXPECT_EQ(got[k].data_id, 9u);
            }
        }
    }
}

TEST_F(Round, VoltageStateDrivesOnlyItsOwnRule)
{
    for (int state : {0, 1, 2, 3}) {
        dc->tele.dc_v_state = static_cast<uint8_t>(state);
        dc->RoundDone();
        ASSERT_EQ(controller->PendingWorkCount(), 1u);
        controller->RunPendingWork();
        const std::vector<rule_value>& got = controller->batches.back().rules;
        EXPECT_EQ(got[0].value, state == 1 ? 1 : 0) << state;
        EXPECT_EQ(got[1].value, state == 2 ? 1 : 0) << state;
    }
}

TEST_F(Round, PublishesAndSavesThisRoundsImage)
{
    using boost::posix_time::second_clock;
    dc->tele.fuse_count = 10;
    dc->tele.alert_p_count = 26;
    const auto before = get_ttime(second_clock::local_time());
    dc->RoundDone();
    const auto after = get_ttime(second_clock::local_time());
    EXPECT_TRUE(dc->IsDataReady());
    EXPECT_TRUE(dc->PendingRules().empty());
    EXPECT_EQ(dc->RuleSequence(), 29);

    ASSERT_EQ(controller->publishes.size(), 1u);
    const Bytes published = controller->publishes[0].image;
    EXPECT_EQ(controller->publishes[0].recordType, 5087);
    EXPECT_EQ(published, Image());
    const Bytes stamp(published.begin() + 94, published.end());
    EXPECT_TRUE(stamp == Bytes(before.begin(), before.end()) || stamp == Bytes(after.begin(), after.end()));

    // The next round's replies arrive before the host runs the work item, and
    // the host lets go of the device meanwhile.
    ASSERT_EQ(dc->parse42_44(Hex("00 00 00").data(), 3), 3);
    std::weak_ptr<VX42BDC> alive = dc;
    dc.reset();
    EXPECT_FALSE(alive.expired());
    controller->RunPendingWork();
    EXPECT_TRUE(alive.expired());
    ASSERT_EQ(controller->histories.size(), 1u);
    EXPECT_EQ(controller->histories[0].image, published);
    ASSERT_EQ(controller->batches.size(), 1u);
    EXPECT_EQ(controller->batches[0].rules.size(), 28u);
}

TEST_F(Round, AlarmResultStaysSet)
{
    controller->runWorkAtOnce = true;
    EXPECT_FALSE(dc->AlarmResult());
    dc->RoundDone();
    EXPECT_TRUE(dc->AlarmResult());
    dc->tele.dc_v_state = 0;
    dc->RoundDone();
    EXPECT_TRUE(dc->AlarmResult());
}

}  // namespace
