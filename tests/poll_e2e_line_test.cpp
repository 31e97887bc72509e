// vx42b-poll on a real (pseudo-terminal) line paced like the wire: replies
// longer than the reply time-out, and a configuration the system refuses.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

using namespace vxpoll::e2e;

// 97 modules fill a rectifier analog reply (2043 INFO bytes, about 4.3 s at
// 9600 baud): far longer than the 1000 ms reply time-out, yet never cut off.
TEST(PollLineEndToEnd, LongestReplyAt9600BaudCompletesRounds)
{
    TempDir dir;
    const std::string scenario = dir.Write("scenario.json", StillScenario([](Json::Value& s) {
                                               Json::Value module = s["rc"]["modules"][0];
                                               s["rc"]["modules"] = Json::Value(Json::arrayValue);
                                               for (int k = 0; k < 97; ++k) s["rc"]["modules"].append(module);
                                               s["line"]["baud"] = 9600;
                                           }));
    Sim sim(scenario);
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const std::string config =
        dir.Write("config.json", R"({"data_id": 1, "rcSetting": {}, "baud": 9600, "reply_timeout_ms": 1000})");
    const PollRun run = PollJson(sim.Path(), config, {"--rounds", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rounds = Events(run.lines, "round");
    ASSERT_EQ(rounds.size(), 1u);
    EXPECT_TRUE(rounds[0]["complete"].asBool());
    EXPECT_EQ(LogsStartingWith(run.lines, "SMDSPDevice:Timeout"), 0u);
    EXPECT_EQ(LogsStartingWith(run.lines, "PMBusProtocol:FrameError"), 0u);
    bool rc = false;
    for (const Json::Value& p : Events(run.lines, "publish"))
        if (p["record_type"].asInt() == 5086) rc = p["size"].asUInt() == 65u + 38u * 97u;
    EXPECT_TRUE(rc);
}

// Two DC units configured for a system with one: every DC reply is refused,
// so each round is abandoned visibly instead of asking again for ever.
TEST(PollLineEndToEnd, RefusedReplyAbandonsTheRound)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const std::string config =
        dir.Write("config.json",
                  R"({"data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 12}],)"
                  R"( "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}, "reply_timeout_ms": 300})");
    const PollRun run = PollJson(sim.Path(), config, {"--rounds", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rounds = Events(run.lines, "round");
    ASSERT_EQ(rounds.size(), 2u);
    for (const Json::Value& r : rounds) EXPECT_FALSE(r["complete"].asBool());
    // A round right after start-up is held by the pacing and stalls; later ones are refused three times.
    EXPECT_GE(LogsStartingWith(run.lines, "PMBusProtocol:Refused 1 the reply to step 7 was refused 3 times in a row"),
              1u);
    EXPECT_EQ(LogsStartingWith(run.lines, "PMBusProtocol:Refused") + LogsStartingWith(run.lines, "SMDSPDevice:Stalled"),
              2u);
    // The repeats are folded into a count: at most two lines a round.
    EXPECT_LE(LogsStartingWith(run.lines, "PMBusPower:ProcotolError 1 read dc_number is 1, configured dc_number is 2"),
              4u);
}

}  // namespace
