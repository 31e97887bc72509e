// Module and channel counts that change under a running poll: hot-swap, a
// cache image from other hardware, a spoilt reply that must not be learnt.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model.h"
#include "sim_line.h"
#include "yd1363.h"

namespace {

vx42b_sim::Scenario Quiet()
{
    vx42b_sim::Scenario s = DefaultScenario();
    s.schedule.clear();
    s.drift.clear();
    return s;
}

size_t Modules(const SimLine& line) { return line.device->RcDevice()->channels.size(); }
size_t AcChannels(const SimLine& line, size_t unit) { return line.device->AcDevices()[unit]->channels.size(); }

// The last published image of a device, or an empty one.
std::vector<unsigned char> LastImage(const SimLine& line, const SMDVDevice* device)
{
    for (auto it = line.controller->publishes.rbegin(); it != line.controller->publishes.rend(); ++it)
        if (it->device == device) return it->image;
    return {};
}

bool Cleared(const SimLine& line, const std::string& key, const std::string& text)
{
    for (const auto& t : line.controller->transitions)
        if (!t.raised && t.rule.key == key && t.rule.text == text) return true;
    return false;
}

bool Raised(const SimLine& line, const std::string& key, const std::string& text)
{
    for (const auto& t : line.controller->transitions)
        if (t.raised && t.rule.key == key && t.rule.text == text) return true;
    return false;
}

TEST(CountChange, HotSwapIsLearntAgainAndPollingGoesOn)
{
    enum What { ModuleCount, AcChannelCount };
    const struct {
        const char* name;
        What what;
        size_t from, to;
        const char* line;
    } cases[] = {
        {"module plugged in", ModuleCount, 2, 3,
         "PMBusPowerRC:CountChange 1 rectifier module count changed from 2 to 3"},
        {"module pulled", ModuleCount, 3, 2, "PMBusPowerRC:CountChange 1 rectifier module count changed from 3 to 2"},
        {"all modules pulled", ModuleCount, 2, 0,
         "PMBusPowerRC:CountChange 1 rectifier module count changed from 2 to 0"},
        {"AC channel lost", AcChannelCount, 2, 1, "PMBusPowerAC:CountChange 11 AC channel count changed from 2 to 1"},
        {"AC channel added", AcChannelCount, 1, 2, "PMBusPowerAC:CountChange 11 AC channel count changed from 1 to 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vx42b_sim::Scenario s = Quiet();
        if (c.what == ModuleCount)
            s.system.rc.modules.resize(c.from);
        else
            s.system.ac[0].channels.resize(c.from);
        SimLine line(s);
        ASSERT_TRUE(line.RunRound());
        ASSERT_TRUE(line.RunRound());

        if (c.what == ModuleCount)
            line.sim.System().rc.modules.resize(c.to);
        else
            line.sim.System().ac[0].channels.resize(c.to);
        line.controller->logs.clear();
        ASSERT_TRUE(line.RunRound()) << "the round after the change completes";
        EXPECT_EQ(line.controller->logs, std::vector<std::string>{c.line});
        ASSERT_TRUE(line.RunRound());

        if (c.what == ModuleCount) {
            EXPECT_EQ(Modules(line), c.to);
            const auto* rc = line.device->RcDevice().get();
            EXPECT_EQ(LastImage(line, rc).size(), 65 + 38 * c.to);
            EXPECT_EQ(LastImage(line, rc)[57], c.to);
        } else {
            EXPECT_EQ(AcChannels(line, 0), c.to);
            const auto* ac = line.device->AcDevices()[0].get();
            EXPECT_EQ(LastImage(line, ac).size(), 31 + 26 * c.to);
        }
    }
}

TEST(CountChange, AlarmsOfAGoneModuleOrChannelAreCleared)
{
    vx42b_sim::Scenario s = Quiet();
    s.system.rc.modules.resize(3);
    s.system.rc.modules[2].fault = 1;
    s.system.rc.modules[2].userStates[1] = 1;  // fan alarm
    s.system.ac[0].channels[1].aState = 2;     // over-voltage on channel 2
    SimLine line(s);
    line.controller->runWorkAtOnce = true;
    ASSERT_TRUE(line.RunRound());
    ASSERT_TRUE(Raised(line, "RC_0", "模块3整流模块故障告警"));
    ASSERT_TRUE(Raised(line, "VX42B_RC_1", "第3模块模块风扇告警"));
    ASSERT_TRUE(Raised(line, "AC_4", "交流屏2输入线/相电压AB/A"));

    line.sim.System().rc.modules.resize(2);
    line.sim.System().ac[0].channels.resize(1);
    ASSERT_TRUE(line.RunRound());
    EXPECT_TRUE(Cleared(line, "RC_0", "模块3整流模块故障告警"));
    EXPECT_TRUE(Cleared(line, "VX42B_RC_1", "第3模块模块风扇告警"));
    EXPECT_TRUE(Cleared(line, "AC_4", "交流屏2输入线/相电压AB/A"));

    // Stated once: the next round names only the modules and channels there are.
    const size_t batches = line.controller->batches.size();
    ASSERT_TRUE(line.RunRound());
    for (size_t k = batches; k < line.controller->batches.size(); ++k)
        for (const rule_value& r : line.controller->batches[k].rules) {
            EXPECT_EQ(r.text.find("模块3"), std::string::npos) << r.text;
            EXPECT_EQ(r.text.find("交流屏2"), std::string::npos) << r.text;
        }
}

TEST(CountChange, StaleCacheImageIsProvisional)
{
    vx42b_sim::Scenario s = Quiet();
    s.system.rc.modules.resize(3);
    SimLine line(s);
    // An image saved while the system had one module.
    std::vector<unsigned char> image(65 + 38, 0);
    image[57] = 1;
    ASSERT_TRUE(line.device->RcDevice()->LoadFromCache(image.data(), static_cast<int>(image.size())));
    ASSERT_EQ(Modules(line), 1u);

    ASSERT_TRUE(line.RunRound());
    EXPECT_EQ(Modules(line), 3u);
    EXPECT_TRUE(line.controller->Logged("PMBusPowerRC:CountChange 1 rectifier module count changed from 1 to 3"));
    EXPECT_EQ(LastImage(line, line.device->RcDevice().get()).size(), 65u + 38u * 3u);
}

// A rectifier analog reply whose count byte says more modules than its section holds.
std::string SpoiltRcAnalog(const vx42b_sim::PowerSystem& system, unsigned char claimed)
{
    vx42b_sim::Bytes info = vx42b_sim::RcAnalog(system);
    info[5] = claimed;
    return yd1363::Encode(0x20, 1, 0x41, 0x00, info.data(), info.size());
}

TEST(CountChange, SpoiltCountIsNeverLearnt)
{
    const struct {
        const char* name;
        bool known;  // a count was learnt before the spoilt reply
    } cases[] = {{"first reply", false}, {"later reply", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vx42b_sim::Scenario s = Quiet();
        s.system.ac.clear();
        s.system.dc.clear();
        SimLine line(s, R"({"rcSetting": {}})");
        if (c.known) {
            ASSERT_TRUE(line.RunRound());
        }
        // One command and its reply by hand, so that the next reply answers the analog query.
        line.device->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3));
        ASSERT_TRUE(line.device->RefreshStatus());
        if (!c.known) {
            const std::string info = line.port->Written().front();
            line.port->Written().clear();
            line.Deliver(line.sim.Respond(info));
        }
        line.port->Written().clear();
        ASSERT_EQ(line.device->Step(), 4);

        line.controller->logs.clear();
        line.Deliver(SpoiltRcAnalog(line.sim.System(), 3));
        EXPECT_EQ(Modules(line), c.known ? 2u : 0u);
        EXPECT_TRUE(line.controller->Logged("PMBusPower:ProcotolError 1 parse p41_41 overflow memory boundary"));
        EXPECT_EQ(line.device->Step(), 4);

        ASSERT_TRUE(line.RunRound()) << "a correct reply is taken afterwards";
        EXPECT_EQ(Modules(line), 2u);
    }
}

// A spoilt AC reply is not learnt either: the sections must fit the reply exactly.
TEST(CountChange, AcCountIsLearntOnlyFromAReplyThatFits)
{
    SimLine line(Quiet());
    ASSERT_TRUE(line.RunRound());
    line.Refresh();
    line.port->Written().clear();
    ASSERT_EQ(line.device->Step(), 0);

    const vx42b_sim::Bytes sections = vx42b_sim::AcAnalogSections(line.sim.System());
    vx42b_sim::Bytes info = {0x00, 2};
    info.insert(info.end(), sections.begin(), sections.end());
    info[2] = 1;  // the first unit claims one channel; its section holds two
    const std::string frame = yd1363::Encode(0x20, 1, 0x40, 0x00, info.data(), info.size());
    line.controller->logs.clear();
    line.Deliver(frame);
    EXPECT_EQ(AcChannels(line, 0), 2u);
    EXPECT_EQ(line.controller->logs,
              std::vector<std::string>{"PMBusPower:ProcotolError 1 parse 40_41 overflow memory boundary"});
    EXPECT_TRUE(line.port->Written().empty());
}

}  // namespace
