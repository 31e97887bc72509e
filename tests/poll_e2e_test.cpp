// vx42b-poll against vx42b-sim over a pseudo-terminal: the JSON stream.
#include <map>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

using namespace vxpoll::e2e;

Json::Value Change(int round, const char* path, int value)
{
    Json::Value c;
    c["round"] = round;
    c["set"][path] = value;
    return c;
}

TEST(PollEndToEnd, RecordsRulesAlarmsAndValuesRoundByRound)
{
    TempDir dir;
    Json::Value schedule(Json::arrayValue);
    schedule.append(Change(2, "dc[0].v_state", 1));
    schedule.append(Change(4, "dc[0].v_state", 0));
    Sim sim(dir.Write("scenario.json", StillScenario([&schedule](Json::Value& s) { s["schedule"] = schedule; })));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();

    const PollRun run = PollJson(sim.Path(), dir.Write("config.json", TestConfig(1000)),
                                 {"--rounds", "5", "--query", "21:v", "--query", "12:channel_0_a", "--query", "21:x",
                                  "--query", "99:v", "--query", "1:v"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const Json::Value& line : run.lines) ASSERT_TRUE(line.isObject()) << "a line that is not JSON on stdout";
    // The plug-in's own trace lines went to standard error.
    EXPECT_NE(run.err.find("a:380 b:381 c:379 f:50"), std::string::npos);

    // Walk the stream in order: per round the publishes, then the round, then the answers.
    struct Round {
        std::map<unsigned, Json::Value> published;
        std::vector<Json::Value> dcRules;
        std::map<std::string, Json::Value> values;
    };
    std::vector<Round> rounds(1);
    std::vector<Json::Value> alarms;
    size_t histories = 0;
    size_t publishes = 0;
    for (const Json::Value& e : run.lines) {
        const std::string event = e["event"].asString();
        if (event == "publish") {
            rounds.back().published[e["data_id"].asUInt()] = e;
            ++publishes;
        } else if (event == "rule" && e["data_id"].asUInt() == 21 && e["key"].asString() == "DC_0") {
            rounds.back().dcRules.push_back(e);
        } else if (event == "alarm") {
            alarms.push_back(e);
        } else if (event == "history") {
            ++histories;
        } else if (event == "round") {
            EXPECT_EQ(e["round"].asUInt(), rounds.size());
            EXPECT_TRUE(e["complete"].asBool());
            rounds.emplace_back();
        } else if (event == "value") {
            ASSERT_GE(rounds.size(), 2u) << "an answer before the first round";
            rounds[rounds.size() - 2].values[std::to_string(e["data_id"].asUInt()) + ":" + e["key"].asString()] = e;
        }
    }
    ASSERT_EQ(rounds.size(), 6u);  // five rounds and the empty tail
    EXPECT_EQ(histories, publishes);

    for (size_t r = 0; r < 5; ++r) {
        SCOPED_TRACE("round " + std::to_string(r + 1));
        const Round& round = rounds[r];
        ASSERT_EQ(round.published.size(), 4u);
        const Json::Value& dc = round.published.at(21);
        EXPECT_EQ(dc["record_type"].asInt(), 5087);
        EXPECT_EQ(dc["device_type"].asString(), "vx42b-dc");
        EXPECT_EQ(dc["size"].asUInt(), 101u);
        EXPECT_EQ(dc["image"].asString().size(), 202u);
        EXPECT_EQ(dc["fields"]["data_id"].asUInt(), 21u);
        EXPECT_FLOAT_EQ(dc["fields"]["v"].asFloat(), 53.5f);
        EXPECT_EQ(dc["fields"]["fuse_count"].asUInt(), 10u);

        const Json::Value& ac = round.published.at(11);
        EXPECT_EQ(ac["record_type"].asInt(), 5085);
        EXPECT_EQ(ac["size"].asUInt(), 31u + 2 * 26u);
        EXPECT_FLOAT_EQ(ac["fields"]["channels"][1]["a"].asFloat(), 230.0f);
        EXPECT_EQ(round.published.at(12)["size"].asUInt(), 57u);

        const Json::Value& rc = round.published.at(1);
        EXPECT_EQ(rc["record_type"].asInt(), 5086);
        EXPECT_EQ(rc["size"].asUInt(), 65u + 2 * 38u);
        EXPECT_FLOAT_EQ(rc["fields"]["modules"][0]["module_value"].asFloat(), 20.4f);

        // The low-voltage rule is stated every round, raised in rounds 2 and 3 only.
        ASSERT_EQ(round.dcRules.size(), 1u);
        EXPECT_EQ(round.dcRules[0]["state"].asBool(), r == 1 || r == 2);
        EXPECT_EQ(round.dcRules[0]["seq"].asUInt(), 1u);
        EXPECT_EQ(round.dcRules[0]["code"].asString(), "06008");

        EXPECT_FLOAT_EQ(round.values.at("21:v")["value"].asFloat(), 53.5f);
        EXPECT_FLOAT_EQ(round.values.at("12:channel_0_a")["value"].asFloat(), 380.0f);
        EXPECT_EQ(round.values.at("21:x")["error"].asString(), "数据未就绪");
        EXPECT_EQ(round.values.at("99:v")["error"].asString(), "no device with data id 99");
        EXPECT_EQ(round.values.at("1:v")["error"].asString(), "数据未就绪");
    }

    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[0]["transition"].asString(), "raised");
    EXPECT_EQ(alarms[1]["transition"].asString(), "cleared");
    for (const Json::Value& a : alarms) {
        EXPECT_EQ(a["data_id"].asUInt(), 21u);
        EXPECT_EQ(a["key"].asString(), "DC_0");
        EXPECT_EQ(a["text"].asString(), "输出电压过低告警");
    }
    for (const Json::Value& log : Events(run.lines, "log"))
        EXPECT_EQ(log["source"].asString(), "poller") << log["text"].asString();
}

TEST(PollEndToEnd, TraceShowsEveryFrameBothWays)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const PollRun run = PollJson(sim.Path(), dir.Write("config.json", TestConfig(1000)), {"--rounds", "1", "--trace"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto tx = Events(run.lines, "tx");
    const auto rx = Events(run.lines, "rx");
    // Device information, then a full first round: AC 41/43/44, rectifier 41/43/44, DC 41/44, parameters.
    ASSERT_GE(tx.size(), 11u);
    EXPECT_EQ(tx[0]["text"].asString(), "~200140510000FDB3");
    EXPECT_EQ(tx[0]["hex"].asString(), "7e323030313430353130303030464442330d");
    // Each reply is one frame: SOI to EOI.
    ASSERT_EQ(rx.size(), tx.size());
    for (const Json::Value& frame : rx) {
        const std::string hex = frame["hex"].asString();
        EXPECT_EQ(hex.substr(0, 2), "7e");
        EXPECT_EQ(hex.substr(hex.size() - 2), "0d");
    }
}

}  // namespace
