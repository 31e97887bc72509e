// vx42b-poll's cache and history files across runs, against vx42b-sim.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "image_cache.h"
#include "json_line.h"

namespace {

using namespace vxpoll::e2e;

std::vector<Json::Value> Poll(const std::string& port, const std::string& config, std::vector<std::string> extra)
{
    PollRun run = PollJson(port, config, extra);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.lines;
}

std::string FileHex(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return vxpoll::HexString(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(PollStoreEndToEnd, CachedImagesAnswerQueriesAfterARestart)
{
    TempDir dir;
    const std::string cache = dir.Path() + "/cache";
    const std::string config = dir.Write("config.json", TestConfig(1000));
    std::vector<Json::Value> first;
    {
        Sim sim(dir.Write("first.json", StillScenario()));
        ASSERT_FALSE(sim.Path().empty()) << sim.Err();
        first = Poll(sim.Path(), config, {"--rounds", "1", "--cache", cache});
    }
    const auto published = Events(first, "publish");
    ASSERT_EQ(published.size(), 4u);
    for (const Json::Value& p : published) {
        const std::string file =
            cache + "/" + p["device_type"].asString() + "-" + std::to_string(p["data_id"].asUInt()) + ".img";
        // A 16-byte header, then the image as published.
        EXPECT_EQ(FileHex(file).substr(2 * vxpoll::kImageHeaderSize), p["image"].asString()) << file;
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(cache)) {
        EXPECT_EQ(entry.path().extension(), ".img") << "left behind: " << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 4u);

    // The second system reports one AC unit where two are configured: every
    // round is abandoned at its first reply and nothing new is published, so
    // the answers can only come from the cache. Its own DC voltage differs.
    Sim sim(dir.Write("second.json", StillScenario([](Json::Value& s) {
                          s["ac"].resize(1);
                          s["dc"][0]["v"] = 40.0;
                      })));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const auto second =
        Poll(sim.Path(), config, {"--rounds", "1", "--cache", cache, "--query", "21:v", "--query", "11:channel_1_a"});
    EXPECT_TRUE(Events(second, "publish").empty());
    const auto rounds = Events(second, "round");
    ASSERT_EQ(rounds.size(), 1u);
    EXPECT_FALSE(rounds[0]["complete"].asBool());
    bool restoredDc = false;
    for (const Json::Value& log : Events(second, "log"))
        restoredDc = restoredDc || log["text"].asString().rfind("cache: restored vx42b-dc 21 from", 0) == 0;
    EXPECT_TRUE(restoredDc);
    const auto values = Events(second, "value");
    ASSERT_EQ(values.size(), 2u);
    EXPECT_FLOAT_EQ(values[0]["value"].asFloat(), 53.5f);
    EXPECT_FLOAT_EQ(values[1]["value"].asFloat(), 230.0f);
}

TEST(PollStoreEndToEnd, HistoryFileReadsBackAsDecodedRecords)
{
    TempDir dir;
    const std::string history = dir.Path() + "/history.db";
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const auto saved =
        Events(Poll(sim.Path(), dir.Write("config.json", TestConfig(1000)), {"--rounds", "2", "--history", history}),
               "history");
    ASSERT_EQ(saved.size(), 8u);

    Child dump({PollExe(), "history", history});
    ASSERT_EQ(dump.Collect(std::chrono::seconds(20)), 0) << dump.Err();
    const auto rows = JsonLines(dump.Out());
    ASSERT_EQ(rows.size(), saved.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        SCOPED_TRACE("row " + std::to_string(k));
        EXPECT_EQ(rows[k]["event"].asString(), "history");
        EXPECT_EQ(rows[k]["data_id"], saved[k]["data_id"]);
        EXPECT_EQ(rows[k]["device_type"], saved[k]["device_type"]);
        EXPECT_EQ(rows[k]["record_type"], saved[k]["record_type"]);
        EXPECT_EQ(rows[k]["image"], saved[k]["image"]);
        EXPECT_FALSE(rows[k]["time"].asString().empty());
        EXPECT_EQ(rows[k]["fields"]["data_id"], saved[k]["data_id"]);
    }
    EXPECT_FLOAT_EQ(rows[2]["fields"]["v"].asFloat(), 53.5f);  // AC 11, AC 12, then DC 21
}

}  // namespace
