// Commissioning a site: the count-mismatch advice and `vx42b-poll discover`,
// alone and against vx42b-sim.
#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "count_advice.h"
#include "discover.h"
#include "e2e_support.h"

namespace {

using namespace vxpoll;
using namespace vxpoll::e2e;

TEST(PollCountAdvice, SaysWhatToChangeOncePerMismatch)
{
    const std::string tail = " (vx42b-poll discover shows the whole configuration)";
    const std::pair<const char*, std::string> cases[] = {
        {"PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 2",
         "the configuration lists 2 AC units, the power system reports 3: add one element to acSetting" + tail},
        {"PMBusPower:ProcotolError 1 read ac_number is 1, configured ac_number is 2",
         "the configuration lists 2 AC units, the power system reports 1: remove one element from acSetting" + tail},
        {"PMBusPower:ProcotolError 1 read ac_number is 0, configured ac_number is 1",
         "the configuration lists 1 AC unit, the power system reports 0: remove one element from acSetting" + tail},
        {"PMBusPower:ProcotolError 7 read dc_number is 4, configured dc_number is 1",
         "the configuration lists 1 DC unit, the power system reports 4: add 3 elements to dcSetting" + tail},
        {"PMBusPower:ProcotolError 7 read dc_number is 0, configured dc_number is 2",
         "the configuration lists 2 DC units, the power system reports 0: remove 2 elements from dcSetting" + tail},
        {"PMBusPower:ProcotolError 1 read ac_number is 2, configured ac_number is 2", ""},
        {"PMBusPower:ProcotolError 1 read ac_number is , configured ac_number is 2", ""},
        {"PMBusPower:ProcotolError 1 read ac_number is 3", ""},
        {"PMBusPowerAC:ProcotolError 11 read 40_41 p is 2 not 0", ""},
        {"", ""},
    };
    for (const auto& [line, advice] : cases) EXPECT_EQ(CountAdvice(line), advice) << line;

    CountAdvisor advisor;
    const char* three = "PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 2";
    const char* one = "PMBusPower:ProcotolError 1 read ac_number is 1, configured ac_number is 2";
    EXPECT_FALSE(advisor.Advise(three).empty());
    EXPECT_TRUE(advisor.Advise(three).empty());
    EXPECT_FALSE(advisor.Advise(one).empty());
    EXPECT_TRUE(advisor.Advise(one).empty());
}

std::vector<unsigned char> Bytes(std::initializer_list<int> values)
{
    std::vector<unsigned char> out;
    for (int v : values) out.push_back(static_cast<unsigned char>(v));
    return out;
}

std::vector<unsigned char> Zeros(std::vector<unsigned char> head, size_t n)
{
    head.resize(head.size() + n, 0);
    return head;
}

TEST(PollDiscover, ReadsTheCountsAndRefusesShortReplies)
{
    std::vector<AcUnit> ac;
    std::string error;
    // DATAFLAG, 2 units: the first with 1 channel (16 bytes, P=1, 4 bytes), then Ia Ib Ic; the second with none.
    std::vector<unsigned char> info = Bytes({0, 2, 1});
    info = Zeros(info, 16);
    info.push_back(1);
    info = Zeros(info, 4 + 12);
    info.push_back(0);
    info = Zeros(info, 12);
    ASSERT_TRUE(AcUnitsFromAnalog(info.data(), info.size(), ac, error)) << error;
    ASSERT_EQ(ac.size(), 2u);
    EXPECT_EQ(ac[0].channels, 1u);
    EXPECT_EQ(ac[1].channels, 0u);
    for (size_t cut = 0; cut < info.size(); ++cut) {
        std::vector<unsigned char> shorter(info.begin(), info.begin() + static_cast<long>(cut));
        EXPECT_FALSE(AcUnitsFromAnalog(shorter.data(), shorter.size(), ac, error)) << cut;
    }

    std::vector<DcUnit> dc;
    // DATAFLAG, 1 unit: V I, 2 battery groups, 0 branches, 1 user value.
    std::vector<unsigned char> dcInfo = Zeros(Bytes({0, 1}), 8);
    dcInfo.push_back(2);
    dcInfo = Zeros(dcInfo, 8);
    dcInfo.push_back(0);
    dcInfo.push_back(1);
    dcInfo = Zeros(dcInfo, 4);
    ASSERT_TRUE(DcUnitsFromAnalog(dcInfo.data(), dcInfo.size(), dc, error)) << error;
    ASSERT_EQ(dc.size(), 1u);
    EXPECT_EQ(dc[0].batteryGroups, 2u);
    dcInfo.pop_back();
    EXPECT_FALSE(DcUnitsFromAnalog(dcInfo.data(), dcInfo.size(), dc, error));
    EXPECT_EQ(error, "the DC analog reply (24 bytes) is shorter than what it announces");

    unsigned modules = 0;
    const std::vector<unsigned char> rc = Bytes({0, 1, 2, 3, 4, 7});
    ASSERT_TRUE(ModulesFromAnalog(rc.data(), rc.size(), modules, error));
    EXPECT_EQ(modules, 7u);
    EXPECT_FALSE(ModulesFromAnalog(rc.data(), 5, modules, error));

    const unsigned char model[] = "VX42B   \0junk";
    EXPECT_EQ(ModelText(model, sizeof model), "VX42B");
    const unsigned char odd[] = {'V', 'X', 0x01, ' '};
    EXPECT_EQ(ModelText(odd, sizeof odd), "VX?");
}

#ifdef VX42B_SIM_EXE
std::string SimConfigWithUnits(int ac, int dc)
{
    Json::Value config;
    config["data_id"] = 1;
    config["rcSetting"] = Json::Value(Json::objectValue);
    config["reply_timeout_ms"] = 1000;
    for (int k = 0; k < ac; ++k) config["acSetting"].append(Json::Value(Json::objectValue))["data_id"] = 11 + k;
    for (int k = 0; k < dc; ++k) config["dcSetting"].append(Json::Value(Json::objectValue))["data_id"] = 21 + k;
    return Json::writeString(Json::StreamWriterBuilder(), config);
}

TEST(PollDiscover, ItsConfigurationPollsTheSimulatorInCompleteRounds)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();

    Child discover({PollExe(), "discover", "--port", sim.Path()});
    ASSERT_EQ(discover.Collect(std::chrono::seconds(20)), 0) << discover.Err();
    Json::Value config;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const std::string& text = discover.Out();
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &config, &errors)) << text;
    EXPECT_EQ(config["discovered"]["model"], "VX42B");
    EXPECT_EQ(config["discovered"]["ver"], "0x20");
    EXPECT_EQ(config["discovered"]["rectifier_modules"], 2);
    EXPECT_EQ(config["acSetting"].size(), 2u);
    EXPECT_EQ(config["discovered"]["ac_units"][0]["channels"], 2);
    EXPECT_EQ(config["discovered"]["ac_units"][1]["channels"], 1);
    EXPECT_EQ(config["dcSetting"].size(), 1u);
    EXPECT_NE(discover.Err().find("AC units: 2 (2 channels, 1 channel)"), std::string::npos) << discover.Err();

    const PollRun run = PollJson(sim.Path(), dir.Write("site.json", text), {"--rounds", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<Json::Value> rounds = Events(run.lines, "round");
    ASSERT_EQ(rounds.size(), 2u);
    for (const Json::Value& round : rounds) EXPECT_TRUE(round["complete"].asBool());
    EXPECT_EQ(LogsStartingWith(run.lines, "PMBusPower:ProcotolError"), 0u);
}

TEST(PollDiscover, ASilentLineIsExitStatusOne)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    Child discover({PollExe(), "discover", "--port", slave, "--timeout", "20"});
    EXPECT_EQ(discover.Collect(std::chrono::seconds(20)), 1);
    EXPECT_TRUE(discover.Out().empty());
    EXPECT_NE(discover.Err().find("did not answer"), std::string::npos) << discover.Err();
    ::close(master);

    Child missing({PollExe(), "discover", "--port", "/nonexistent/tty"});
    EXPECT_EQ(missing.Collect(std::chrono::seconds(20)), 1);
    EXPECT_NE(missing.Err().find("cannot open /nonexistent/tty"), std::string::npos) << missing.Err();
}

TEST(PollCountAdvice, AWrongUnitCountGetsOneMessageFromThePoller)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    struct Case {
        int ac, dc;
        const char* advice;
    };
    const Case cases[] = {
        // The round stops at the AC count; the poller asks the DC count itself.
        {3, 1, "the configuration lists 3 AC units, the power system reports 2: remove one element from acSetting"},
        {4, 2,
         "the configuration lists 4 AC units, the power system reports 2: remove 2 elements from acSetting; the "
         "configuration lists 2 DC units, the power system reports 1: remove one element from dcSetting"},
        {1, 0,
         "the configuration lists 1 AC unit, the power system reports 2: add one element to acSetting; the "
         "configuration lists 0 DC units, the power system reports 1: add one element to dcSetting"},
        {2, 2, "the configuration lists 2 DC units, the power system reports 1: remove one element from dcSetting"},
    };
    for (const Case& c : cases) {
        Child poll({PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config",
                    dir.Write("site.json", SimConfigWithUnits(c.ac, c.dc))});
        // The device logs the mismatch every round (folded into a count);
        // three more rounds show that the advice is not given again.
        size_t mismatches = 0, roundsAfter = 0;
        std::vector<std::string> advice;
        for (std::string line; roundsAfter < 3 && poll.ReadLine(line, std::chrono::seconds(20));) {
            const std::vector<Json::Value> events = JsonLines(line);
            if (events.empty()) continue;
            if (events[0]["event"] == "round" && !advice.empty()) ++roundsAfter;
            if (events[0]["event"] != "log") continue;
            const std::string text = events[0]["text"].asString();
            if (text.find("configured ac_number") != std::string::npos ||
                text.find("configured dc_number") != std::string::npos)
                ++mismatches;
            if (events[0]["source"] == "poller" && text.find("the configuration lists") == 0) advice.push_back(text);
        }
        poll.Kill(SIGTERM);
        poll.Collect(std::chrono::seconds(10));
        EXPECT_GE(mismatches, 1u) << c.advice;
        EXPECT_EQ(roundsAfter, 3u) << c.advice;
        ASSERT_EQ(advice.size(), 1u) << c.advice;
        EXPECT_EQ(advice[0], std::string(c.advice) + " (vx42b-poll discover shows the whole configuration)");
    }
}
#endif

}  // namespace
