#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_line.h"

namespace {

using Seq = std::vector<std::string>;
using vx42b_sim::Fault;

const Seq kFullRound = {"4041FF", "4043FF", "4044FF", "4141", "4143", "4144", "4241", "4244", "4046", "4246"};

vx42b_sim::Scenario Quiet()
{
    vx42b_sim::Scenario s = DefaultScenario();
    s.schedule.clear();
    s.drift.clear();
    return s;
}

// The first round after start-up: device information, then every query.
TEST(PollingRound, FirstRoundAsksEverything)
{
    SimLine line(Quiet());
    ASSERT_TRUE(line.initialised);
    ASSERT_TRUE(line.RunRound());
    Seq expect = {"4051"};
    expect.insert(expect.end(), kFullRound.begin(), kFullRound.end());
    EXPECT_EQ(line.TakeSent(), expect);
    EXPECT_TRUE(line.device->IsDataReady());
    EXPECT_EQ(line.device->Step(), 0);
}

TEST(PollingRound, ConfigurationShapesTheRound)
{
    const struct {
        const char* config;
        int ac, dc;
        Seq round;
    } cases[] = {
        {R"({"acSetting": [{"data_id": 11}], "rcSetting": {}})",
         1,
         0,
         {"4051", "4041FF", "4043FF", "4044FF", "4141", "4143", "4144"}},
        {R"({"dcSetting": [{"data_id": 21}], "rcSetting": {}})",
         0,
         1,
         {"4051", "4141", "4143", "4144", "4241", "4244", "4246"}},
        {R"({"acSetting": {"data_id": 11}, "rcSetting": {}})", 0, 0, {"4051", "4141", "4143", "4144"}},
    };
    for (const auto& c : cases) {
        vx42b_sim::Scenario s = Quiet();
        s.system.ac.resize(static_cast<size_t>(c.ac));
        s.system.dc.resize(static_cast<size_t>(c.dc));
        SimLine line(s, c.config);
        ASSERT_TRUE(line.RunRound()) << c.config;
        EXPECT_EQ(line.TakeSent(), c.round) << c.config;
        // Later rounds start with AC analog values, or the rectifiers without AC.
        ASSERT_TRUE(line.RunRound()) << c.config;
        EXPECT_EQ(line.TakeSent().front(), c.ac ? "4041FF" : "4141") << c.config;
    }
}

TEST(PollingRound, DataFlagPicksStatusQueriesOnceReady)
{
    const struct {
        bool switches, alarms;
        Seq round;
    } cases[] = {
        {false, false, {"4041FF", "4141", "4241", "4046", "4246"}},
        {false, true, {"4041FF", "4044FF", "4141", "4144", "4241", "4244", "4046", "4246"}},
        {true, false, {"4041FF", "4043FF", "4141", "4143", "4241", "4046", "4246"}},
        {true, true, kFullRound},
    };
    for (const auto& c : cases) {
        SimLine line(Quiet());
        ASSERT_TRUE(line.RunRound());
        line.TakeSent();
        auto& sys = line.sim.System();
        if (c.switches) {
            sys.ac[0].userSwitch[0] ^= 1;
            sys.rc.modules[0].userSwitch[0] ^= 1;
        }
        if (c.alarms) {
            sys.ac[0].channels[0].aState ^= 2;
            sys.rc.modules[0].userStates[0] ^= 1;
            sys.dc[0].userStates[0] ^= 3;
        }
        ASSERT_TRUE(line.RunRound());
        EXPECT_EQ(line.TakeSent(), c.round) << c.switches << c.alarms;
    }
}

TEST(PollingRound, VersionDecidesDcCommandGroupByte)
{
    SimLine line(Quiet());
    line.device->SetVersion(0x21);
    line.sim.System().version = 0x21;
    ASSERT_TRUE(line.RunRound());
    const Seq sent = line.TakeSent();
    EXPECT_EQ(sent[7], "4241FF");
    EXPECT_EQ(sent[8], "4244FF");
}

TEST(PollingRound, PublishesInConfigurationOrderWithSimulatedValues)
{
    vx42b_sim::Scenario s = Quiet();
    s.system.ac[1].ia = 12.5f;
    s.system.dc[0].v = 53.25f;
    s.system.rc.groupValue = 7.75f;
    SimLine line(s);
    ASSERT_TRUE(line.RunRound());
    const auto& p = line.controller->publishes;
    ASSERT_EQ(p.size(), 4u);
    const int types[] = {5085, 5085, 5087, 5086};
    const unsigned ids[] = {11, 12, 21, 1};
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(p[k].recordType, types[k]);
        EXPECT_EQ(p[k].device->DataId(), ids[k]);
    }
    auto floatAt = [](const std::vector<unsigned char>& image, size_t offset) {
        float v;
        std::memcpy(&v, image.data() + offset, 4);
        return v;
    };
    EXPECT_EQ(p[1].image.size(), 31u + 26u);
    EXPECT_EQ(floatAt(p[1].image, 4), 12.5f);
    EXPECT_EQ(p[2].image.size(), 101u);
    EXPECT_EQ(floatAt(p[2].image, 4), 53.25f);
    EXPECT_EQ(p[3].image.size(), 65u + 2 * 38u);
    EXPECT_EQ(floatAt(p[3].image, 53), 7.75f);
    EXPECT_EQ(line.controller->histories.size(), 4u);
}

TEST(PollingRound, DeviceModelCheck)
{
    const struct {
        std::string model;
        const char* shown;  // nullptr: accepted
    } cases[] = {
        {"VX42B", nullptr},   {"VX42", nullptr},        {std::string("VX42B\0rest", 10), nullptr},
        {"VX42BX", "VX42BX"}, {"OTHER 12", "OTHER 12"},
    };
    for (const auto& c : cases) {
        vx42b_sim::Scenario s = Quiet();
        s.system.model = c.model;
        SimLine line(s);
        ASSERT_TRUE(line.RunRound()) << c.model;
        EXPECT_FALSE(line.device->NeedDeviceInfo());
        const auto& t = line.controller->transitions;
        if (c.shown == nullptr) {
            EXPECT_TRUE(t.empty() || t[0].rule.key != "device_model") << c.model;
            continue;
        }
        ASSERT_FALSE(t.empty()) << c.model;
        EXPECT_EQ(t[0].rule.key, "device_model");
        EXPECT_EQ(t[0].rule.code, "70319");
        EXPECT_EQ(t[0].rule.level, 3);
        EXPECT_EQ(t[0].rule.name, "设备配置检测");
        EXPECT_EQ(t[0].rule.text, std::string("本驱动类型:vx42b 检测型号:") + c.shown);
        EXPECT_TRUE(t[0].raised);
    }
}

// A refused or dropped reply: what is logged, sent and left behind.
TEST(PollingRound, DropAndAbandonPaths)
{
    const struct {
        const char* name;
        uint8_t cid1, cid2;
        Fault fault;
        const char* log;  // a line that starts so, or nullptr
        int step;         // step afterwards
        bool abandoned;   // the round was given up
    } cases[] = {
        {"wrong CID1 at step 0", 0x40, 0x41, Fault::WrongCid1, nullptr, 0, true},
        {"wrong AC count", 0x40, 0x41, Fault::WrongCount,
         "PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 2", 0, true},
        {"AC parser refuses", 0x40, 0x41, Fault::ShortInfo, "PMBusPowerAC:ProcotolError 12 read 40_41 read overflow", 0,
         false},
        {"wrong CID1 at step 4", 0x41, 0x41, Fault::WrongCid1, nullptr, 4, false},
        {"rectifier parser short", 0x41, 0x41, Fault::ShortInfo,
         "PMBusPower:ProcotolError 1 parse p41_41 overflow memory boundary", 4, false},
        {"wrong DC count", 0x42, 0x41, Fault::WrongCount,
         "PMBusPower:ProcotolError 1 read dc_number is 2, configured dc_number is 1", 7, false},
        {"wrong CID1 at step 9", 0x42, 0x46, Fault::WrongCid1, nullptr, 9, false},
    };
    for (const auto& c : cases) {
        SimLine line(Quiet());
        ASSERT_TRUE(line.RunRound()) << c.name;
        line.TakeSent();
        line.controller->logs.clear();
        line.sim.InjectOnce(c.cid1, c.cid2, c.fault);
        // Poll until the faulty reply has been handled.
        for (int k = 0; k < 12 && line.sim.PendingFaults() > 0; ++k) line.Refresh();
        const Seq sent = line.TakeSent();
        char last[8];
        std::snprintf(last, sizeof last, "%02X%02X", c.cid1, c.cid2);
        ASSERT_FALSE(sent.empty()) << c.name;
        EXPECT_EQ(sent.back().substr(0, 4), last) << c.name << ": nothing is sent after the refused reply";
        EXPECT_EQ(line.device->Step(), c.step) << c.name;
        EXPECT_EQ(line.controller->roundEnds.size(), c.abandoned ? 2u : 1u) << c.name;
        if (c.log != nullptr) {
            bool found = false;
            for (const auto& l : line.controller->logs) found = found || l.rfind(c.log, 0) == 0;
            EXPECT_TRUE(found) << c.name;
        }
        // Polling goes on to a complete round (after restarting from a stall).
        EXPECT_TRUE(line.RunRound() || line.RunRound()) << c.name;
    }
}

TEST(PollingRound, ShortReplyIsDroppedBeforeAnyRead)
{
    SimLine line(Quiet());
    ASSERT_TRUE(line.RunRound());
    const struct {
        int step;
        uint8_t cid1;
        std::vector<unsigned char> info;
    } cases[] = {{0, 0x40, {0x00}}, {0, 0x40, {}}, {7, 0x42, {0x00}}, {8, 0x42, {}}, {4, 0x41, {}}};
    for (const auto& c : cases) {
        line.controller->logs.clear();
        line.device->SetStep(c.step);
        line.Deliver(yd1363::Encode(0x20, 1, c.cid1, 0, c.info.data(), c.info.size()));
        EXPECT_TRUE(
            line.controller->Logged("PMBusPower:ProcotolError 1 reply too short " + std::to_string(c.info.size())))
            << c.step;
        EXPECT_EQ(line.device->Step(), c.step);
        EXPECT_TRUE(line.port->Written().empty());
    }
}

// Wherever a reply is lost, polling comes back to complete rounds.
TEST(PollingRound, LostReplyAtEveryStepNeverStopsPolling)
{
    const uint8_t commands[][2] = {{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
                                   {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};
    for (const auto& c : commands) {
        SimLine line(Quiet());
        line.sim.InjectOnce(c[0], c[1], Fault::NoReply);
        bool complete = false;
        for (int round = 0; round < 3 && !complete; ++round) complete = line.RunRound(12);
        EXPECT_TRUE(complete) << std::hex << int(c[0]) << "/" << int(c[1]);
        EXPECT_EQ(line.sim.PendingFaults(), 0u);
    }
}

TEST(PollingRound, PacingHoldsRoundsTwoSecondsApartButNotAClockSetBack)
{
    SimLine line(Quiet());
    ASSERT_TRUE(line.RunRound());
    line.TakeSent();
    const auto now = boost::posix_time::second_clock::local_time();
    line.device->SetPacing(5);
    line.device->SetLastUpdate(now - boost::posix_time::seconds(1));
    EXPECT_FALSE(line.device->RefreshStatus());
    EXPECT_EQ(line.device->Pacing(), 0);
    EXPECT_TRUE(line.port->Written().empty());
    line.device->SetLastUpdate(now - boost::posix_time::seconds(2));
    EXPECT_TRUE(line.device->RefreshStatus());
    line.Pump();
    // The clock went back an hour: the stamp lies in the future.
    line.device->SetLastUpdate(now + boost::posix_time::hours(1));
    line.device->SetStep(0);
    EXPECT_TRUE(line.device->RefreshStatus());
    EXPECT_FALSE(line.port->Written().empty());
}

}  // namespace
