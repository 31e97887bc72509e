#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "VX42BRC.h"
#include "recording_controller.h"
#include "vtable_slot.h"

namespace {

using Bytes = std::vector<unsigned char>;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;
using R = PMBusPowerRC<tele_c_vx42b_rc, tele_c_vx42b_rc_channel, 5086>;

std::shared_ptr<VX42BRC> Rectifier(const std::shared_ptr<RecordingController>& ctl, unsigned char modules)
{
    auto rc = std::make_shared<VX42BRC>();
    rc->SetController(ctl);
    rc->InitV(nullptr, 0x01020304, Json::Value());
    rc->tele.channel_count = modules;
    rc->channels.assign(modules, tele_c_vx42b_rc_channel{});
    return rc;
}

// What a consumer of record type 5086 expects: the group record, then the modules.
Bytes ImageOf(const VX42BRC& rc)
{
    Bytes out(sizeof rc.tele + sizeof(tele_c_vx42b_rc_channel) * rc.channels.size());
    std::memcpy(out.data(), &rc.tele, sizeof rc.tele);
    if (!rc.channels.empty()) std::memcpy(out.data() + sizeof rc.tele, rc.channels.data(), out.size() - sizeof rc.tele);
    return out;
}

std::string Why(const VX42BRC& rc)
{
    try {
        rc.Get_Value(0, "v");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "a value";
}

// The main device and the host reach the sub-device through these slots.
TEST(RcRound, VirtualSlots)
{
    EXPECT_EQ(VirtualSlot(&R::parse41_41), 31);
    EXPECT_EQ(VirtualSlot(&R::parse41_43), 32);
    EXPECT_EQ(VirtualSlot(&R::parse41_44), 33);
    EXPECT_EQ(VirtualSlot(&R::parse40_46), 34);
    EXPECT_EQ(VirtualSlot(&R::parse42_46), 35);
    EXPECT_EQ(VirtualSlot(&R::DoImpCheckAlert), 36);
    EXPECT_EQ(VirtualSlot(&VX42BRC::DoImpCheckAlert), 36);
    EXPECT_EQ(VX42BRC().DeviceType(), "vx42b-rc");
}

struct Rule {
    const char *key, *code, *name, *text;  // text: after "第k模块"; empty for RC_0
    int level;
};
const Rule kRc0 = {"RC_0", "06024", "整流模块故障告警", "", 2};
const Rule kModelRules[] = {
    {"VX42B_RC_0", "06024", "整流模块故障告警", "模块故障告警状态", 3},
    {"VX42B_RC_1", "06025", "整流模块风扇告警", "模块风扇告警", 4},
    {"VX42B_RC_2", "06027", "整流模块温度过高告警", "模块过温告警状态", 3},
    {"VX42B_RC_3", "06029", "整流模块模块限功率", "其他告警", 3},
    {"VX42B_RC_4", "06016", "交流输入停电告警", "交流输入停电", 2},
    {"VX42B_RC_5", "06028", "整流模块通信状态告警", "模块通讯中断告警状态", 4},
};

TEST(RcRound, RulesAndSequenceNumbers)
{
    // Module 1: 1 and E2 in the first and last alarm byte. Module 2: fault,
    // and 1 everywhere else, which is no communication alarm.
    const unsigned char alarms[2][6] = {{1, 0, 0, 0, 0, 0xE2}, {0, 1, 1, 1, 1, 1}};
    const std::set<std::pair<std::string, size_t>> raised = {{"VX42B_RC_0", 1}, {"VX42B_RC_5", 1}, {"RC_0", 2},
                                                             {"VX42B_RC_1", 2}, {"VX42B_RC_2", 2}, {"VX42B_RC_3", 2},
                                                             {"VX42B_RC_4", 2}};
    for (unsigned char modules = 0; modules <= 2; ++modules) {
        for (unsigned char count : {5, 6, 7}) {
            SCOPED_TRACE(std::to_string(modules) + " modules, p44_count " + std::to_string(count));
            auto ctl = std::make_shared<RecordingController>();
            auto rc = Rectifier(ctl, modules);
            for (size_t k = 0; k < modules; ++k) {
                rc->channels[k].p44_count = count;
                rc->channels[k].fault_state = k == 1 ? 1 : 0;
                std::memcpy(rc->channels[k].alert_p44, alarms[k], 6);
            }
            rc->RoundDone();
            EXPECT_TRUE(rc->PendingRules().empty());
            ctl->RunPendingWork();
            ASSERT_EQ(ctl->batches.size(), 1u);
            const std::vector<rule_value>& got = ctl->batches[0].rules;

            std::vector<std::pair<Rule, size_t>> want;
            for (size_t k = 1; k <= modules; ++k) want.push_back({kRc0, k});
            for (size_t k = 1; k <= modules && count == 6; ++k)
                for (const Rule& r : kModelRules) want.push_back({r, k});
            ASSERT_EQ(got.size(), want.size());
            for (size_t i = 0; i < got.size(); ++i) {
                const Rule& r = want[i].first;
                const std::string k = std::to_string(want[i].second);
                EXPECT_EQ(got[i].text, r.text[0] ? "第" + k + "模块" + r.text : "模块" + k + "整流模块故障告警");
                EXPECT_EQ(std::make_tuple(got[i].key, got[i].level, got[i].code, got[i].name, got[i].sequence),
                          std::make_tuple(r.key, r.level, r.code, r.name, i + 1));
                EXPECT_EQ(got[i].value, raised.count({r.key, want[i].second})) << got[i].text;
            }
            EXPECT_EQ(rc->AlarmResult(), modules == 2 || (modules == 1 && count == 6));
        }
    }
}

TEST(RcRound, PublishedAndSavedImagesAreTheRecordThenTheModules)
{
    for (unsigned char modules : {0, 1, 2}) {
        SCOPED_TRACE(static_cast<int>(modules));
        auto ctl = std::make_shared<RecordingController>();
        auto rc = Rectifier(ctl, modules);
        if (modules) rc->channels.back().user_p43[4] = 0x5A;
        rc->SetLastUpdate(second_clock::local_time() - seconds(61));
        rc->RoundDone();
        EXPECT_TRUE(rc->IsDataReady());
        EXPECT_EQ(Why(*rc), "数据未就绪");  // renewed
        const Bytes first = ImageOf(*rc);
        ASSERT_EQ(first.size(), 65u + 38u * modules);
        EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), (Bytes{4, 3, 2, 1}));
        EXPECT_EQ(first[58] * 256 + first[59], second_clock::local_time().date().year());

        // The second round changes the image before the first round's work runs.
        rc->tele.dc_p_count = 3;
        rc->RoundDone();
        ctl->RunPendingWork();
        ASSERT_EQ(ctl->histories.size(), 2u);
        EXPECT_EQ(ctl->publishes.at(0).recordType, 5086);
        EXPECT_EQ(ctl->publishes[0].image, first);
        EXPECT_EQ(ctl->histories[0].image, first);
        EXPECT_EQ(ctl->publishes.at(1).image, ImageOf(*rc));
        EXPECT_EQ(ctl->histories[1].image, ImageOf(*rc));
    }
}

TEST(RcRound, CacheRestoreAndQueries)
{
    auto ctl = std::make_shared<RecordingController>();
    auto source = Rectifier(ctl, 2);
    source->channels[1].alert_p44[5] = 0xE2;
    source->RoundDone();
    const Bytes image = ctl->publishes.at(0).image;
    ASSERT_EQ(image.size(), 141u);

    // Too short, a length that disagrees with byte 57's module count, no data at all.
    auto rc = Rectifier(ctl, 0);
    const Bytes untouched = ImageOf(*rc);
    rc->SetLastUpdate(second_clock::local_time() - seconds(61));
    for (const auto& r :
         {std::make_pair(image.data(), 64), std::make_pair(image.data(), 103), std::make_pair(image.data(), 140),
          std::make_pair(static_cast<const unsigned char*>(nullptr), 141), std::make_pair(image.data(), -1)}) {
        EXPECT_FALSE(rc->LoadFromCache(r.first, r.second)) << r.second;
        EXPECT_EQ(ImageOf(*rc), untouched);
        EXPECT_FALSE(rc->IsDataReady());
        EXPECT_EQ(Why(*rc), "数据未就绪");  // old, but never ready
    }

    testing::internal::CaptureStdout();
    EXPECT_TRUE(rc->LoadFromCache(image.data(), 141));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:141 vs 65\nrc channelLen 38 and 2 left:76\n");
    EXPECT_EQ(ImageOf(*rc), image);
    // Never a value; stale after 60 seconds, a clock gone back is not stale.
    const std::pair<int, const char*> ages[] = {
        {0, "数据未就绪"}, {60, "数据未就绪"}, {61, "数据已超时"}, {-3600, "数据未就绪"}};
    for (const auto& age : ages) {
        rc->SetLastUpdate(second_clock::local_time() - seconds(age.first));
        EXPECT_EQ(Why(*rc), age.second) << age.first;
    }

    Bytes bare(image.begin(), image.begin() + sizeof(tele_c_vx42b_rc));
    bare[offsetof(tele_c_vx42b_rc, channel_count)] = 0;
    EXPECT_TRUE(rc->LoadFromCache(bare.data(), static_cast<int>(bare.size())));
    EXPECT_EQ(ImageOf(*rc), bare);
}

}  // namespace
