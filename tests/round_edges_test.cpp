// The main device's edge cases, driven from the outside: frames through
// process(), polls through RefreshStatus(), commands read off the port.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "sim_line.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Seq = std::vector<std::string>;

vx42b_sim::Scenario Quiet()
{
    vx42b_sim::Scenario s = DefaultScenario();
    s.schedule.clear();
    s.drift.clear();
    return s;
}

// Commands written since the last call, as "CID1 CID2 INFO" in hex; not answered.
Seq Written(SimLine& line)
{
    Seq out;
    for (const std::string& frame : line.port->Written()) {
        const vx42b_sim::ParsedFrame f = vx42b_sim::ParseFrame(frame);
        char text[8];
        std::snprintf(text, sizeof text, "%02X%02X", f.cid1, f.cid2);
        std::string command = text;
        for (unsigned char b : f.info) {
            std::snprintf(text, sizeof text, "%02X", b);
            command += text;
        }
        out.push_back(command);
    }
    line.port->Written().clear();
    return out;
}

void DeliverReply(SimLine& line, unsigned char cid1, const Bytes& info)
{
    line.Deliver(yd1363::Encode(0x20, 1, cid1, 0, info.data(), info.size()));
}

// What the simulated system answers to a command, INFO only.
Bytes GenuineInfo(SimLine& line, unsigned char cid1, unsigned char cid2, const Bytes& info)
{
    return vx42b_sim::ParseFrame(line.sim.Respond(vx42b_sim::CommandFrame(0x20, 1, cid1, cid2, info))).info;
}

void PassPacing(SimLine& line)
{
    line.device->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3));
}

struct StepCommand {
    int step;
    unsigned char cid1, cid2;
    Bytes info;
};
const StepCommand kSteps[] = {
    {1, 0x40, 0x43, {0xFF}}, {2, 0x40, 0x44, {0xFF}}, {3, 0x40, 0x46, {}}, {4, 0x41, 0x41, {}}, {5, 0x41, 0x43, {}},
    {6, 0x41, 0x44, {}},     {7, 0x42, 0x41, {}},     {8, 0x42, 0x44, {}}, {9, 0x42, 0x46, {}}, {14, 0x40, 0x51, {}},
};

// A reply that would be taken at its step, but with another CID1, is dropped
// without a word: nothing sent, the step kept, the round not ended.
TEST(RoundEdges, WrongCid1IsDroppedAtEveryStep)
{
    SimLine line(Quiet());
    ASSERT_TRUE(line.RunRound());
    for (const StepCommand& s : kSteps) {
        const Bytes info = GenuineInfo(line, s.cid1, s.cid2, s.info);
        for (unsigned char wrong : {0x40, 0x41, 0x42}) {
            if (wrong == s.cid1) continue;
            SCOPED_TRACE(testing::Message() << "step " << s.step << " CID1 " << std::hex << int(wrong));
            Written(line);
            line.controller->logs.clear();
            const size_t ends = line.controller->roundEnds.size();
            line.device->SetStep(s.step);
            DeliverReply(line, wrong, info);
            EXPECT_EQ(Written(line), Seq{});
            EXPECT_EQ(line.device->Step(), s.step);
            EXPECT_EQ(line.controller->roundEnds.size(), ends);
            EXPECT_EQ(line.controller->logs, Seq{});
        }
        // The same reply with its own CID1 moves polling on.
        SCOPED_TRACE(testing::Message() << "step " << s.step << " right CID1");
        const size_t ends = line.controller->roundEnds.size();
        line.device->SetStep(s.step);
        DeliverReply(line, s.cid1, info);
        EXPECT_TRUE(!Written(line).empty() || line.controller->roundEnds.size() > ends);
    }
}

// From four DC units on, the first unit's block starts at the count byte.
TEST(RoundEdges, DcBlocksStartAfterTheCountUpToThreeUnitsAndAtItFromFour)
{
    for (unsigned char units : {1, 3, 4, 5}) {
        SCOPED_TRACE(int(units));
        std::string config = R"({"rcSetting": {}, "dcSetting": [)";
        for (unsigned char k = 0; k < units; ++k)
            config += std::string(k ? "," : "") + R"({"data_id": )" + std::to_string(30 + k) + "}";
        SimLine line(Quiet(), config + "]}");
        ASSERT_TRUE(line.initialised);
        // Unit k: voltage bytes 1k 2k 3k 4k, current 5k 5k 5k 5k, no further values.
        Bytes blocks;
        for (unsigned char k = 0; k < units; ++k) {
            const Bytes block = {static_cast<unsigned char>(0x10 + k),
                                 static_cast<unsigned char>(0x20 + k),
                                 static_cast<unsigned char>(0x30 + k),
                                 static_cast<unsigned char>(0x40 + k),
                                 static_cast<unsigned char>(0x50 + k),
                                 static_cast<unsigned char>(0x50 + k),
                                 static_cast<unsigned char>(0x50 + k),
                                 static_cast<unsigned char>(0x50 + k),
                                 0,
                                 0,
                                 0};
            blocks.insert(blocks.end(), block.begin(), block.end());
        }
        Bytes info = {0x00};
        if (units <= 3)
            info.push_back(units);
        else
            blocks[0] = units;  // the count byte is the first voltage byte
        info.insert(info.end(), blocks.begin(), blocks.end());

        line.device->SetStep(7);
        ::testing::internal::CaptureStdout();
        DeliverReply(line, 0x42, info);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(line.controller->logs, Seq{});
        EXPECT_EQ(Written(line), Seq{"4244"});
        const auto& dc = line.device->DcDevices();
        ASSERT_EQ(dc.size(), units);
        for (unsigned char k = 0; k < units; ++k) {
            unsigned char v[4], i[4];
            std::memcpy(v, &dc[k]->tele.v, 4);
            std::memcpy(i, &dc[k]->tele.i, 4);
            EXPECT_EQ(Bytes(v, v + 4), Bytes(blocks.begin() + 11 * k, blocks.begin() + 11 * k + 4)) << int(k);
            EXPECT_EQ(Bytes(i, i + 4), Bytes(4, static_cast<unsigned char>(0x50 + k))) << int(k);
        }
    }
}

// A switch-status reply with nothing behind DATAFLAG and the count runs no
// parser and goes on as usual; one byte more is a section, and refused.
TEST(RoundEdges, SwitchReplyOfTwoBytesRunsNoParser)
{
    const struct {
        bool ready;
        Bytes info;
        Seq next;
        Seq logs;
    } cases[] = {
        {false, {0x00, 0x02}, {"4044FF"}, {}},
        {true, {0x00, 0x02}, {"4141"}, {}},
        {true, {0x01, 0x02}, {"4141"}, {}},  // the DATAFLAG of this reply is not the one that counts
        {false, {0x00, 0x02, 0x00}, {}, {"PMBusPowerAC:ProcotolError 11 read 40_43 read overflow 2 - 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ready << " " << c.info.size());
        SimLine line(Quiet());
        line.device->SetDataReady(c.ready);
        line.device->SetStep(1);
        DeliverReply(line, 0x40, c.info);
        EXPECT_EQ(Written(line), c.next);
        EXPECT_EQ(line.controller->logs, c.logs);
        for (const auto& ac : line.device->AcDevices()) EXPECT_EQ(ac->tele.p43_count, 0);
    }
}

// A base that says no is final: nothing sent, the pacing word untouched.
TEST(RoundEdges, RefusalByTheBaseLeavesThePacingWord)
{
    const struct {
        const char* why;
        bool closePort;
        long age;
    } cases[] = {
        {"port closed, round due", true, 3},
        {"port closed, round not due", true, 0},
        {"reply awaited, round due", false, 3},
        {"reply awaited, round not due", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        SimLine line(Quiet());
        ASSERT_TRUE(line.RunRound());
        if (c.closePort) {
            line.device->ClosePort();
        } else {
            PassPacing(line);
            ASSERT_TRUE(line.device->RefreshStatus());
            ASSERT_EQ(Written(line), Seq{"4041FF"});
        }
        line.device->SetPacing(5);
        line.device->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(c.age));
        EXPECT_FALSE(line.device->RefreshStatus());
        EXPECT_EQ(line.device->Pacing(), 5);
        EXPECT_EQ(Written(line), Seq{});
        EXPECT_EQ(line.device->Step(), 0);
    }
}

// What a due poll sends at each step; the parameter queries are never repeated.
TEST(RoundEdges, PollRepeatsTheStepCommandButNeverAParameterQuery)
{
    const struct {
        int step;
        Seq sent;
    } cases[] = {
        {0, {"4041FF"}}, {1, {"4043FF"}}, {2, {"4044FF"}}, {3, {}},       {4, {"4141"}},
        {5, {"4143"}},   {6, {"4144"}},   {7, {"4241"}},   {8, {"4244"}}, {9, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        SimLine line(Quiet());
        ASSERT_TRUE(line.RunRound());
        line.device->SetStep(c.step);
        PassPacing(line);
        EXPECT_TRUE(line.device->RefreshStatus());
        EXPECT_EQ(Written(line), c.sent);
        EXPECT_EQ(line.device->Step(), c.step);
    }
}

// The model name is what stands before the first control byte, without the
// blanks around it; that name is compared and shown.
TEST(RoundEdges, ModelNameEndsAtTheFirstControlByte)
{
    const struct {
        std::string model;  // the 20 bytes start so; blanks follow
        const char* shown;  // nullptr: accepted
    } cases[] = {
        {"VX42B\r\n", nullptr},
        {"  VX42 ", nullptr},
        {std::string("VX42\0B", 6), nullptr},
        {"VX42B\x7f", nullptr},
        {"VX42B\tX", nullptr},
        {"VX4\x01"
         "2B",
         "VX4"},
        {"VX 42B", "VX 42B"},
        {"\x1bVX42B", ""},
        {"vx42b", "vx42b"},
        {"VX42B\xa0", "VX42B\xa0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        vx42b_sim::Scenario s = Quiet();
        s.system.model = c.model;
        SimLine line(s);
        ASSERT_TRUE(line.RunRound());
        std::vector<std::string> raised;
        for (const auto& t : line.controller->transitions)
            if (t.rule.key == "device_model" && t.raised) raised.push_back(t.rule.text);
        if (c.shown == nullptr)
            EXPECT_EQ(raised, Seq{});
        else
            EXPECT_EQ(raised, Seq{std::string("本驱动类型:vx42b 检测型号:") + c.shown});
    }
}

// A channel that went away states its rules once more, all of them quiet,
// under its own channel number: the host may tell the channels apart by the
// rule name alone (the user-defined alarm texts are the same for every channel).
TEST(RoundEdges, GoneChannelStatesEveryRuleQuietOnce)
{
    vx42b_sim::Scenario s = Quiet();
    s.system.ac[0].channels[1].userStates = {5, 5, 5, 0xE1};
    SimLine line(s);
    line.controller->runWorkAtOnce = true;
    ASSERT_TRUE(line.RunRound());
    line.sim.System().ac[0].channels.resize(1);
    line.controller->batches.clear();
    ASSERT_TRUE(line.RunRound());
    const SMDVDevice* unit = line.device->AcDevices()[0].get();
    std::vector<std::string> second;
    for (const auto& batch : line.controller->batches) {
        if (batch.device != unit) continue;
        for (const rule_value& r : batch.rules) {
            if (r.text.find("交流屏2") == std::string::npos && r.name.find("第2") == std::string::npos) continue;
            EXPECT_EQ(r.value, 0) << r.key << " " << r.name << " " << r.text;
            second.push_back(r.key);
        }
    }
    const Seq expected = {"AC_0", "AC_1", "AC_2",  "AC_3",       "AC_4",       "AC_5",       "AC_6",      "AC_7",
                          "AC_8", "AC_9", "AC_10", "VX42B_AC_0", "VX42B_AC_1", "VX42B_AC_2", "VX42B_AC_3"};
    EXPECT_EQ(second, expected);
}

// A reply its step refuses (cut short, or shorter than DATAFLAG and a count)
// is a lost one: nothing sent, the step kept, the round not ended, and the
// reason logged.
TEST(RoundEdges, RefusedReplyKeepsItsStepAtEveryStep)
{
    const struct {
        int step;
        unsigned char cid1;
        Bytes info;
        Seq logs;
    } cases[] = {
        {0, 0x40, {0x00}, {"PMBusPower:ProcotolError 1 reply too short 1"}},
        {0, 0x40, {0x00, 0x02, 0x01}, {"PMBusPower:ProcotolError 1 parse 40_41 overflow memory boundary"}},
        {1, 0x40, {0x00, 0x02, 0x00}, {"PMBusPowerAC:ProcotolError 11 read 40_43 read overflow 2 - 1"}},
        {2, 0x40, {0x00, 0x02, 0x01}, {"PMBusPowerAC:ProcotolError 11 read 40_44 read overflow 2 - 1"}},
        {4, 0x41, {}, {"PMBusPower:ProcotolError 1 reply too short 0"}},
        {4, 0x41, {0x00, 0x02, 0x00}, {"PMBusPower:ProcotolError 1 parse p41_41 overflow memory boundary"}},
        {7, 0x42, {0x00}, {"PMBusPower:ProcotolError 1 reply too short 1"}},
        {7, 0x42, {0x00, 0x01}, {"PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read 42_41 read overflow 4 - 0"}},
        {8, 0x42, {0x00}, {"PMBusPower:ProcotolError 1 reply too short 1"}},
        {8, 0x42, {0x00, 0x01}, {"PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read 42_44 read overflow 1 - 0"}},
        {9,
         0x42,
         {0x00, 0x00, 0x00},
         {"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 1 read 42_46 read overflow 9 - 3"}},
        {3,
         0x40,
         {0x00, 0x00, 0x00},
         {"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 1 read 40_46 read overflow 21 - 3"}},
        {5,
         0x41,
         {0x00, 0x02},
         {"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 1 read 41_43 read overflow 6 - 2",
          "PMBusPower:ProcotolError 1 parse p41_43 overflow memory boundary"}},
        {6,
         0x41,
         {0x00, 0x02},
         {"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 1 read 41_44 read overflow 4 - 2",
          "PMBusPower:ProcotolError 1 parse p41_44 overflow memory boundary"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "step " << c.step << ", " << c.info.size() << " bytes");
        SimLine line(Quiet());
        ASSERT_TRUE(line.RunRound());
        Written(line);
        line.controller->logs.clear();
        const size_t ends = line.controller->roundEnds.size();
        line.device->SetStep(c.step);
        DeliverReply(line, c.cid1, c.info);
        EXPECT_EQ(Written(line), Seq{});
        EXPECT_EQ(line.device->Step(), c.step);
        EXPECT_EQ(line.controller->roundEnds.size(), ends);
        EXPECT_EQ(line.controller->logs, c.logs);
    }
}

}  // namespace
