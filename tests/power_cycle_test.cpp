// The polling cycle's tables: the command of each step and the step that
// follows an accepted reply.
#include <gtest/gtest.h>

#include "polling_cycle.h"

namespace {

using namespace polling;

TEST(PollingCycle, CommandOfEachStep)
{
    const struct {
        int step;
        unsigned char cid1, cid2;
        Info info;
        bool repeated;
    } rows[] = {
        {0, 0x40, 0x41, Info::Group, true},    {1, 0x40, 0x43, Info::Group, true},
        {2, 0x40, 0x44, Info::Group, true},    {3, 0x40, 0x46, Info::None, false},
        {4, 0x41, 0x41, Info::None, true},     {5, 0x41, 0x43, Info::None, true},
        {6, 0x41, 0x44, Info::None, true},     {7, 0x42, 0x41, Info::GroupV21, true},
        {8, 0x42, 0x44, Info::GroupV21, true}, {9, 0x42, 0x46, Info::None, false},
        {14, 0x40, 0x51, Info::None, true},
    };
    for (const auto& r : rows) {
        const Command* c = CommandOf(r.step);
        ASSERT_NE(c, nullptr) << r.step;
        EXPECT_EQ(c->cid1, r.cid1) << r.step;
        EXPECT_EQ(c->cid2, r.cid2) << r.step;
        EXPECT_EQ(c->info, r.info) << r.step;
        EXPECT_EQ(c->repeated, r.repeated) << r.step;
    }
    for (int step : {-1, 10, 11, 12, 13, 15, 255}) EXPECT_EQ(CommandOf(step), nullptr) << step;
}

TEST(PollingCycle, NextStepAfterAnAcceptedReply)
{
    constexpr unsigned char S = kFlagSwitch, A = kFlagAlarm, SA = kFlagSwitch | kFlagAlarm;
    const int End = kRoundEnd;
    const struct {
        int step;
        bool ready, ac, dc;
        unsigned char acFlag, rcFlag, dcFlag;
        int next;
    } rows[] = {
        // Device information: the round starts with AC, or the rectifiers without AC.
        {14, false, true, true, 0, 0, 0, 0},
        {14, true, false, true, 0, 0, 0, 4},
        // AC analog: switch status when not ready or bit 4, else alarm status on bit 0, else rectifiers.
        {0, false, true, true, 0, 0, 0, 1},
        {0, true, true, true, S, 0, 0, 1},
        {0, true, true, true, SA, 0, 0, 1},
        {0, true, true, true, A, 0, 0, 2},
        {0, true, true, true, 0, 0, 0, 4},
        {0, true, true, true, 0x20, 0, 0, 4},
        // AC switch status.
        {1, false, true, true, 0, 0, 0, 2},
        {1, true, true, true, A, 0, 0, 2},
        {1, true, true, true, S, 0, 0, 4},
        // AC alarm status.
        {2, false, true, true, SA, 0, 0, 4},
        // Rectifier analog: as AC, then DC when configured, else the round ends.
        {4, false, true, true, 0, 0, 0, 5},
        {4, true, true, true, 0, S, 0, 5},
        {4, true, true, true, 0, A, 0, 6},
        {4, true, true, true, 0, 0, 0, 7},
        {4, true, true, false, 0, 0, 0, End},
        // Rectifier switch status.
        {5, false, true, true, 0, 0, 0, 6},
        {5, true, true, true, 0, A, 0, 6},
        {5, true, true, true, 0, S, 0, 7},
        {5, true, false, false, 0, S, 0, End},
        // Rectifier alarm status.
        {6, true, true, true, 0, 0, 0, 7},
        {6, false, true, false, 0, 0, 0, End},
        // DC analog: alarm status when not ready or either bit, else the parameters.
        {7, false, true, true, 0, 0, 0, 8},
        {7, true, true, true, 0, 0, S, 8},
        {7, true, true, true, 0, 0, A, 8},
        {7, true, true, true, S, SA, 0, 3},
        {7, true, false, true, 0, 0, 0, 9},
        // DC alarm status.
        {8, true, true, true, 0, 0, 0, 3},
        {8, false, false, true, 0, 0, 0, 9},
        // The parameters end the round.
        {3, true, true, true, 0, 0, 0, 9},
        {9, true, true, true, 0, 0, 0, End},
    };
    for (const auto& r : rows) {
        Inputs in;
        in.ready = r.ready;
        in.hasAc = r.ac;
        in.hasDc = r.dc;
        in.acFlag = r.acFlag;
        in.rcFlag = r.rcFlag;
        in.dcFlag = r.dcFlag;
        EXPECT_EQ(NextStep(r.step, in), r.next)
            << "step " << r.step << " ready " << r.ready << " ac " << r.ac << " dc " << r.dc << " flags "
            << int(r.acFlag) << "/" << int(r.rcFlag) << "/" << int(r.dcFlag);
    }
}

}  // namespace
