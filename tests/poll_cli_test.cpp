// vx42b-poll as a user runs it: bad input, the built-in simulator, stopping.
#include <set>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

using namespace vxpoll::e2e;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunPoll(std::vector<std::string> args)
{
    args.insert(args.begin(), PollExe());
    Child poll(args);
    const int status = poll.Collect(std::chrono::seconds(20));
    return Outcome{status, poll.Out(), poll.Err()};
}

struct BadInput {
    const char* name;
    std::vector<std::string> args;
    const char* config;  // written to a file and passed with --config when set
    const char* message;
};

TEST(PollCli, BadInputIsRefusedWithStatusTwoAndAReason)
{
    const std::string good = R"({"data_id": 1, "rcSetting": {}})";
    const std::vector<BadInput> cases = {
        {"unknown option", {"--bogus"}, nullptr, "--bogus"},
        {"query without key", {"--query", "21:"}, nullptr, "has no key"},
        {"unsupported speed", {"--baud", "1234"}, nullptr, "--baud"},
        {"scenario with a port", {"--port", "/dev/null", "--scenario", "x.json"}, nullptr, "excludes"},
        {"missing configuration",
         {"--config", "/nonexistent/site.json"},
         nullptr,
         "--config: /nonexistent/site.json: cannot open: No such file"},
        {"configuration not JSON", {}, "{\"data_id\": 1,", "is not valid JSON"},
        {"AC units not a list",
         {},
         R"({"data_id": 1, "acSetting": {}, "rcSetting": {}})",
         "\"acSetting\" must be an array"},
        {"no rectifier setting", {}, R"({"data_id": 1})", "\"rcSetting\" is missing"},
        {"bad threshold",
         {},
         R"({"data_id": 1, "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": "x"}}],
           "rcSetting": {}})",
         "dcSetting[0].appSetting.diff_v must be a number"},
        {"missing plug-in", {"--plugin", "/nonexistent/libvx42b.so"}, nullptr, "cannot load plug-in"},
        {"library without get_providers", {"--plugin", VX42B_HOST_LIB_PATH}, nullptr, "has no get_providers"},
        {"configuration refused by the plug-in",
         {"--plugin", VX42B_REFUSING_PLUGIN_PATH},
         nullptr,
         "RefusingDevice:ConfigError 1 nothing is good enough"},
        {"history file missing", {"history", "/nonexistent/history.db"}, nullptr, "cannot open history"},
        {"scenario missing", {"--scenario", "/nonexistent/scenario.json"}, nullptr, "--scenario: /nonexistent"},
    };
    TempDir dir;
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        // A port that never answers: none of these may get as far as polling.
        if (args.empty() || args[0] != "history") {
            if (std::find(args.begin(), args.end(), "--config") == args.end()) {
                args.push_back("--config");
                args.push_back(dir.Write("config.json", c.config != nullptr ? c.config : good));
            }
            if (std::find(args.begin(), args.end(), "--port") == args.end() &&
                std::find(args.begin(), args.end(), "--scenario") == args.end()) {
                args.push_back("--port");
                args.push_back("/nonexistent/tty");
            }
        }
        const Outcome o = RunPoll(args);
        EXPECT_EQ(o.status, 2) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(o.out.find("round"), std::string::npos) << o.out;
    }
}

// The poller's check, the plug-in and the topics agree: a fraction is cut,
// also just below 2^32, where jsoncpp's asUInt would throw.
TEST(PollCli, FractionalDataIdsAreCutEverywhere)
{
    TempDir dir;
    const std::string config =
        dir.Write("config.json", R"({"data_id": 1.5, "acSetting": [{"data_id": 11}, {"data_id": 12.25}],
                          "dcSetting": [{"data_id": 4294967295.9}], "rcSetting": {}})");
    const Outcome o =
        RunPoll({"--plugin", PluginPath(), "--config", config, "--json", "--rounds", "1", "--query", "4294967295:v"});
    ASSERT_EQ(o.status, 0) << o.err;
    std::set<unsigned> published;
    bool answered = false;
    for (const Json::Value& e : JsonLines(o.out)) {
        if (e["event"].asString() == "publish") published.insert(e["data_id"].asUInt());
        if (e["event"].asString() == "value" && e["data_id"].asUInt() == 4294967295u) answered = !e["value"].isNull();
    }
    EXPECT_EQ(published, (std::set<unsigned>{1, 11, 12, 4294967295u})) << o.out;
    EXPECT_TRUE(answered) << o.out;
}

TEST(PollCli, BuiltInSimulatorShowsRoundsAndStopsCleanlyOnSigterm)
{
    Child poll({PollExe(), "--plugin", PluginPath(), "--json"});
    std::string line;
    bool sawRound = false;
    while (!sawRound && poll.ReadLine(line, std::chrono::seconds(15))) {
        const auto parsed = JsonLines(line);
        ASSERT_TRUE(parsed.at(0).isObject()) << line;
        sawRound = parsed[0]["event"].asString() == "round" && parsed[0]["complete"].asBool();
    }
    ASSERT_TRUE(sawRound) << poll.Err();
    poll.Kill(SIGTERM);
    EXPECT_EQ(poll.Collect(std::chrono::seconds(10)), 0);
    EXPECT_FALSE(poll.TimedOut());
    // Whatever came after the signal is whole lines of JSON.
    const std::string rest = poll.Unread();
    EXPECT_TRUE(rest.empty() || rest.back() == '\n');
    for (const Json::Value& v : JsonLines(rest)) EXPECT_TRUE(v.isObject());
}

TEST(PollCli, HumanViewTabulatesEachRound)
{
    const Outcome o = RunPoll({"--plugin", PluginPath(), "--rounds", "1", "--query", "21:v"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("-- round 1 | complete |"), std::string::npos) << o.out;
    // The screen's words, numbered from 1; no member names, no trace lines.
    EXPECT_NE(o.out.find("  AC 11        Ia "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("    channel 1  AB/A "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  DC 21        output "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("    module 1  "), std::string::npos) << o.out;
    for (const char* hidden : {"channel 0", "module 0", "module_value", "ia=", "a:"})
        EXPECT_EQ(o.out.find(hidden), std::string::npos) << hidden << " in " << o.out;
    EXPECT_EQ(o.err.find("a:"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("  value 21:v = "), std::string::npos) << o.out;
}

}  // namespace
