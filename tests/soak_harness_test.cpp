#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "SMDVDevice.h"
#include "responder.h"
#include "scenario.h"
#include "sim_wire.h"
#include "soak.h"
#include "wall_clock.h"

namespace {

using namespace std::chrono_literals;
using vx42b_sim::CommandFrame;

std::string ReadAll(SimWire& wire)
{
    std::string out;
    unsigned char buf[4096];
    long n;
    while ((n = wire.Read(buf, sizeof buf)) > 0) out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    return out;
}

bool Send(SimWire& wire, const std::string& frame)
{
    return wire.Write(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
}

struct WireRig {
    vx42b_sim::Responder sim{vx42b_sim::DefaultScenario()};
    SimWire wire{sim, 9600, 20ms};
    WireRig() { wire.Open(); }
};

TEST(SimWire, RepliesArriveAtTheLineSpeedAfterTheTurnAround)
{
    struct Case {
        const char* name;
        int baud;
        size_t modules;
    };
    const Case cases[] = {{"9600 baud", 9600, 2}, {"1200 baud", 1200, 2}, {"a long reply", 9600, 40}};
    for (const Case& c : cases) {
        WireRig rig;
        rig.wire.SetBaud(c.baud);
        rig.sim.System().rc.modules.resize(c.modules);
        const std::string command = CommandFrame(0x20, 1, 0x41, 0x41);
        const std::string reply = rig.sim.Respond(command);  // the same reply, as the wire will ask
        const auto start = rig.wire.Now();
        ASSERT_TRUE(Send(rig.wire, command)) << c.name;
        const auto byte = std::chrono::microseconds(10'000'000 / c.baud);
        const auto firstByte = start + byte * static_cast<long>(command.size() + 1) + 20ms;
        const auto lastByte = firstByte + byte * static_cast<long>(reply.size() - 1);

        // Nothing before the first byte is due, then pieces no longer than the wait.
        EXPECT_EQ(ReadAll(rig.wire), "") << c.name;
        std::string got;
        int waits = 0;
        while (got.size() < reply.size() && waits < 1000) {
            const auto before = rig.wire.Now();
            rig.wire.WaitForInput(50ms);
            EXPECT_LE(rig.wire.Now() - before, 50ms) << c.name;
            got += ReadAll(rig.wire);
            ++waits;
        }
        EXPECT_EQ(got.size(), reply.size()) << c.name;
        EXPECT_GE(rig.wire.Now(), lastByte) << c.name;
        EXPECT_LT(rig.wire.Now(), lastByte + 50ms) << c.name;
        const auto lineTime = lastByte - start;
        EXPECT_GE(waits, static_cast<int>(lineTime / 50ms)) << c.name;
        EXPECT_EQ(rig.wire.GetCounters().collisions, 0u) << c.name;
    }
}

TEST(SimWire, ACommandSentIntoAReplyCollidesWithIt)
{
    WireRig rig;
    rig.sim.System().rc.modules.resize(40);
    ASSERT_TRUE(Send(rig.wire, CommandFrame(0x20, 1, 0x41, 0x41)));
    rig.wire.WaitForInput(50ms);
    rig.wire.WaitForInput(50ms);
    ASSERT_GT(rig.wire.InFlight(), 0u);
    const size_t commandsBefore = static_cast<size_t>(rig.sim.GetCounters().commands);
    // Sent before the bytes that have arrived are read: those stay readable.
    ASSERT_TRUE(Send(rig.wire, CommandFrame(0x20, 1, 0x41, 0x41)));
    EXPECT_EQ(rig.wire.GetCounters().collisions, 1u);
    EXPECT_EQ(rig.sim.GetCounters().commands, commandsBefore);  // the simulator never heard it
    const std::string arrived = ReadAll(rig.wire);
    EXPECT_FALSE(arrived.empty());
    EXPECT_NE(arrived.back(), '\r');
    rig.wire.WaitForInput(5000ms);
    EXPECT_EQ(ReadAll(rig.wire), "");
}

TEST(SimWire, ADroppedLineFailsUntilItCanBeReopened)
{
    WireRig rig;
    ASSERT_TRUE(Send(rig.wire, CommandFrame(0x20, 1, 0x40, 0x51)));
    rig.wire.Drop(3s);
    unsigned char buf[16];
    EXPECT_EQ(rig.wire.Read(buf, sizeof buf), -1);
    EXPECT_FALSE(Send(rig.wire, CommandFrame(0x20, 1, 0x40, 0x51)));
    EXPECT_TRUE(rig.wire.WaitForInput(50ms));  // as poll() reports an error
    rig.wire.Close();
    EXPECT_FALSE(rig.wire.Open());
    rig.wire.Advance(3s);
    EXPECT_TRUE(rig.wire.Open());
    EXPECT_EQ(rig.wire.GetCounters().failedOpens, 1u);
    ASSERT_TRUE(Send(rig.wire, CommandFrame(0x20, 1, 0x40, 0x51)));
    rig.wire.WaitForInput(500ms);
    const std::string reply = ReadAll(rig.wire);
    EXPECT_EQ(vx42b_sim::ParseFrame(reply).error, yd1363::Error::None);
}

TEST(StallWatch, CountsRoundsWithoutACompleteOne)
{
    struct Case {
        const char* name;
        std::string rounds;  // c complete, a abandoned, q abandoned with no fault going on
        int stallsAt;        // index of the round that makes a stall, -1 none
        unsigned long longest;
    };
    const Case cases[] = {
        {"all complete", "cccc", -1, 0},
        {"faults spoil a few", "caacaaac", -1, 3},
        {"quiet rounds may miss three", "cqqqc", -1, 3},
        {"a fourth quiet one is a stall", "cqqqq", 4, 4},
        {"faults before quiet rounds", "caaqqqc", -1, 5},
        {"too many even with faults", std::string(31, 'a'), 30, 31},
    };
    for (const Case& c : cases) {
        vxsoak::StallWatch watch(3, 30);
        int stalled = -1;
        for (size_t k = 0; k < c.rounds.size(); ++k) {
            const bool ok = watch.Round(c.rounds[k] == 'c', c.rounds[k] == 'q');
            if (!ok && stalled < 0) stalled = static_cast<int>(k);
        }
        EXPECT_EQ(stalled, c.stallsAt) << c.name;
        EXPECT_EQ(watch.Longest(), c.longest) << c.name;
    }
}

class Named : public SMDVDevice {
public:
    explicit Named(uint32_t id) { dataId_ = id; }
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    void Reset() override {}
    bool Init(std::weak_ptr<SMDController>, unsigned int, const Json::Value&) override { return true; }
    bool RefreshStatus() override { return false; }
    int process(unsigned char*, unsigned int) override { return 0; }
    bool IsProcessing() override { return false; }
    bool IsStalled() override { return false; }
    int SendData(const unsigned char*, unsigned int) override { return 0; }
    int SendParityData(const unsigned char*, unsigned int, EnumParity) override { return 0; }
    bool OpenPort() override { return false; }
    void ClosePort() override {}
};

TEST(SoakController, AnAlarmNobodyStatesAnyMoreIsStale)
{
    vxsoak::SoakController c;
    Named ac(11);
    auto rule = [](const char* key, const char* text, uint8_t value) {
        rule_value r;
        r.key = key;
        r.text = text;
        r.value = value;
        return r;
    };
    c.OnAlarmBatch(ac, {rule("AC_0", "channel 1", 1), rule("AC_0", "channel 2", 1), rule("AC_1", "channel 1", 1)});
    for (int round = 0; round < 5; ++round) {
        c.OnRoundEnd(ac, true);
        // Channel 2 is gone: nobody states it; channel 1's second alarm clears.
        c.OnAlarmBatch(ac, {rule("AC_0", "channel 1", 1), rule("AC_1", "channel 1", 0)});
    }
    EXPECT_EQ(c.StaleAlarms(3), std::vector<std::string>{"11  AC_0 channel 2"});
    EXPECT_EQ(c.ActiveAlarmCount(), 2u);
    c.OnAlarmBatch(ac, {rule("AC_0", "channel 2", 0)});
    EXPECT_TRUE(c.StaleAlarms(3).empty());
}

TEST(SoakController, LogKindsAreTheClassAndKind)
{
    const std::pair<std::string, std::string> cases[] = {
        {"PMBusProtocol:FrameError 1 bad checksum", "PMBusProtocol:FrameError"},
        {"PMBusPowerDC<TeleDC, 2, 0>:ProcotolError 21 read", "PMBusPowerDC<TeleDC, 2, 0>:ProcotolError"},
        {"ProcotolError 11 read 40_43 m is 3 max 0", "ProcotolError"},
        {"lonely", "lonely"},
    };
    for (const auto& [line, kind] : cases) EXPECT_EQ(vxsoak::SoakController::KindOf(line), kind) << line;
}

TEST(WallClock, AnOffsetMovesWhatTheDevicesRead)
{
    using boost::posix_time::second_clock;
    const auto before = second_clock::local_time();
    SetWallClockOffset(-std::chrono::hours(1));
    const auto back = second_clock::local_time();
    SetWallClockOffset(std::chrono::seconds(0));
    const auto after = second_clock::local_time();
    EXPECT_NEAR(static_cast<double>((before - back).total_seconds()), 3600.0, 2.0);
    EXPECT_LE((after - before).total_seconds(), 2);
}

TEST(Resources, SeeAnOpenDescriptorAndHeapInUse)
{
    const vxsoak::Resources a = vxsoak::Resources::Measure();
    FILE* f = std::fopen("/proc/self/status", "r");
    ASSERT_NE(f, nullptr);
    std::vector<char> block(1 << 20, 'x');
    const vxsoak::Resources b = vxsoak::Resources::Measure();
    std::fclose(f);
    EXPECT_EQ(b.fds, a.fds + 1);
    EXPECT_GE(b.heap, a.heap + block.size());
    EXPECT_GT(b.rss, 0u);
}

}  // namespace
