// One line, one poller; one web address, one server: a second program on
// either is refused with the holder named, and the first polls on untouched.
#include <gtest/gtest.h>

#include <regex>

#include "e2e_support.h"

namespace {

#ifdef VX42B_SIM_EXE

using namespace vxpoll::e2e;
using namespace std::chrono_literals;

// A poller running until stopped; the constructor waits for `ready` in a log line.
class RunningPoller {
public:
    RunningPoller(std::vector<std::string> argv, const std::regex& ready)
    {
        child_ = std::make_unique<Child>(argv);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline && child_->ReadLine(line, 20s)) {
            std::smatch m;
            if (std::regex_search(line, m, ready)) {
                match_ = m.size() > 1 ? m[1].str() : m[0].str();
                break;
            }
        }
    }
    ~RunningPoller() { Stop(); }
    // The first group of the line that matched, or empty when none came.
    const std::string& Match() const { return match_; }
    pid_t Pid() const { return child_->Pid(); }
    int Stop()
    {
        child_->Kill(SIGTERM);
        return child_->Collect(20s);
    }
    std::vector<Json::Value> Lines() const { return JsonLines(child_->Out()); }
    std::string Err() const { return child_->Err(); }

private:
    std::unique_ptr<Child> child_;
    std::string match_;
};

TEST(PollExclusive, SecondPollerAndDiscoverAreRefusedWhileOneRuns)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const std::string config = dir.Write("config.json", TestConfig(300));
    RunningPoller first({PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config", config},
                        std::regex(R"("event":"round")"));
    ASSERT_FALSE(first.Match().empty()) << first.Err();
    const std::string inUse = "port " + sim.Path() + " is in use (by PID " + std::to_string(first.Pid());

    // The same port named on the command line and in the configuration, and
    // discover as an engineer runs it beside the service.
    const std::string configured =
        dir.Write("configured.json", R"({"data_id": 1, "dcSetting": [{"data_id": 21}], "rcSetting": {}, "port": ")" +
                                         sim.Path() + R"("})");
    const std::string history = dir.Path() + "/history.db";
    const std::vector<std::vector<std::string>> seconds = {
        {PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config", config, "--rounds", "2",
         "--history", history},
        {PollExe(), "--plain", "--plugin", PluginPath(), "--config", configured, "--rounds", "2"},
        {PollExe(), "discover", "--port", sim.Path(), "--timeout", "200"},
    };
    for (const auto& argv : seconds) {
        Child second(argv);
        EXPECT_EQ(second.Collect(20s), 2) << argv[1] << ": " << second.Err();
        EXPECT_NE(second.Err().find(inUse), std::string::npos) << argv[1] << ": " << second.Err();
        EXPECT_EQ(second.Out(), "") << argv[1];
    }
    // Refused before anything was touched.
    EXPECT_FALSE(std::filesystem::exists(history));

    // The first went on undisturbed: no garbled reply, no lost round.
    ASSERT_EQ(first.Stop(), 0) << first.Err();
    const auto lines = first.Lines();
    for (const Json::Value& r : Events(lines, "round")) EXPECT_TRUE(r["complete"].asBool());
    EXPECT_EQ(LogsStartingWith(lines, "PMBusProtocol:FrameError"), 0u);
    EXPECT_EQ(LogsStartingWith(lines, "SMDSPDevice:Timeout"), 0u);

    // Once it has stopped, the line is free again.
    const PollRun after = PollJson(sim.Path(), config, {"--rounds", "1"});
    EXPECT_EQ(after.status, 0) << after.err;
}

#ifdef VX42B_POLL_WITH_NET
TEST(PollExclusive, SecondServerOnTheSameWebAddressIsRefused)
{
    TempDir dir;
    RunningPoller first({PollExe(), "--json", "--plugin", PluginPath(), "--http", "127.0.0.1:0"},
                        std::regex(R"(http: serving http://(127\.0\.0\.1:\d+)/)"));
    ASSERT_FALSE(first.Match().empty()) << first.Err();
    const std::string address = first.Match();

    Child second({PollExe(), "--json", "--plugin", PluginPath(), "--http", address, "--rounds", "1"});
    EXPECT_EQ(second.Collect(20s), 2) << second.Err();
    EXPECT_NE(second.Err().find(address + " is already in use"), std::string::npos) << second.Err();
    for (const Json::Value& log : Events(JsonLines(second.Out()), "log"))
        EXPECT_EQ(log["text"].asString().find("serving"), std::string::npos) << log["text"].asString();
    EXPECT_EQ(first.Stop(), 0) << first.Err();
}
#endif

#endif

}  // namespace
