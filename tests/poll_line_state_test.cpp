// The line's up/down state and its counts: decided in one place on aged
// clocks, counted per event however the log folds, shown by every output.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "PMBusProtocol.h"
#include "json_line.h"
#include "line_watch.h"
#include "memory_port.h"
#include "output.h"
#include "poll_controller.h"
#include "screen_model.h"
#include "yd1363.h"

namespace {

using namespace vxpoll;
using namespace std::chrono_literals;

// t after a fixed start on both clocks.
LineTime At(std::chrono::milliseconds t)
{
    const LineTime start{std::chrono::steady_clock::time_point(1h),
                         LineStats::WallClock::time_point(std::chrono::seconds(1796825740))};
    return {start.steady + t, start.wall + t};
}

TEST(PollLineWatch, DownAfterSilenceOrAClosedPortUpAtTheFirstCompleteRound)
{
    enum Kind { Reply, Refused, Complete, Closed, Open, Check };
    struct Step {
        Kind kind;
        long ms;
        bool changed;  // for Check
        bool up;
        const char* reason;
        long sinceMs;  // the state's "since", after the start
    };
    const std::vector<std::pair<const char*, std::vector<Step>>> cases = {
        {"silence after a working round",
         {{Check, 0, false, false, "starting", 0},
          {Reply, 500, false, false, "", 0},
          {Check, 700, false, false, "starting", 500},  // a reply alone is not a round
          {Complete, 900, false, false, "", 0},
          {Check, 900, true, true, "", 900},
          {Check, 6499, false, true, "", 900},
          {Check, 6500, true, false, "time-outs", 500},  // 6 s after the last reply
          {Check, 60000, false, false, "time-outs", 500},
          {Reply, 61000, false, false, "", 0},
          {Check, 61000, false, false, "time-outs", 61000},  // down until a round completes
          {Complete, 61800, false, false, "", 0},
          {Check, 61800, true, true, "", 61800}}},
        {"garbled replies only",
         {{Reply, 100, false, false, "", 0},
          {Complete, 100, false, false, "", 0},
          {Check, 100, true, true, "", 100},
          {Refused, 3000, false, false, "", 0},
          {Check, 6100, true, false, "frame errors", 100}}},
        {"no reply at all from the start",
         {{Check, 5999, false, false, "starting", 0}, {Check, 6000, true, false, "time-outs", 0}}},
        {"a port that fails",
         {{Reply, 100, false, false, "", 0},
          {Complete, 100, false, false, "", 0},
          {Check, 100, true, true, "", 100},
          {Closed, 2000, false, false, "", 0},
          {Check, 2000, true, false, "port closed", 100},  // at once, not after 6 s
          {Open, 3000, false, false, "", 0},
          {Check, 3000, false, false, "port closed", 100},
          {Check, 6100, true, false, "time-outs", 100}}},
    };
    for (const auto& [name, steps] : cases) {
        SCOPED_TRACE(name);
        LineWatch watch(6000ms, At(0ms));
        LineStats stats;
        for (const Step& s : steps) {
            SCOPED_TRACE(s.ms);
            const LineTime now = At(std::chrono::milliseconds(s.ms));
            switch (s.kind) {
            case Reply: watch.ReplyAccepted(now); break;
            case Refused: watch.FrameError(); break;
            case Complete: watch.RoundComplete(now); break;
            case Closed: watch.PortOpen(false); break;
            case Open: watch.PortOpen(true); break;
            case Check:
                EXPECT_EQ(watch.Update(now, stats), s.changed);
                EXPECT_EQ(stats.up, s.up);
                EXPECT_EQ(stats.reason, s.reason);
                EXPECT_EQ(stats.since, At(std::chrono::milliseconds(s.sinceMs)).wall);
                break;
            }
        }
    }
}

TEST(PollLineWatch, TheWallClockSetBackOrForwardDecidesNothing)
{
    LineWatch watch(6000ms, At(0ms));
    LineStats stats;
    watch.ReplyAccepted(At(0ms));
    watch.RoundComplete(At(0ms));
    watch.Update(At(0ms), stats);
    LineTime jumped = At(1000ms);
    jumped.wall += 24h;  // the gateway's clock set at boot
    EXPECT_FALSE(watch.Update(jumped, stats));
    EXPECT_TRUE(stats.up);
}

TEST(PollLineWatch, DefaultIsThreeTimeOutsOrThreePeriods)
{
    EXPECT_EQ(DefaultDownAfter(1000ms), 6000ms);
    EXPECT_EQ(DefaultDownAfter(300ms), 6000ms);
    EXPECT_EQ(DefaultDownAfter(5000ms), 15000ms);
}

// A device that asks whenever allowed; every reply ends its round.
class Asker : public PMBusProtocol {
public:
    bool RefreshStatus() override
    {
        if (!SMDSPDevice::RefreshStatus()) return false;
        write_pmbus_cmd(0x41, 0x41);
        return true;
    }
    int process_payload() override { return 0; }
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

// The poller's controller on a device driven by fake clocks: counts, line
// changes and the JSON stream.
struct ControllerLine : ::testing::Test {
    std::ostringstream out;
    JsonSink json{out};
    std::shared_ptr<PollController> controller = std::make_shared<PollController>(json, nullptr, nullptr);
    std::shared_ptr<Asker> device = std::make_shared<Asker>();
    std::shared_ptr<MemoryPort> port = std::make_shared<MemoryPort>();
    std::chrono::milliseconds t{0};

    void SetUp() override
    {
        controller->FoldRepeatedLines(true);
        controller->SetClock([this] { return At(t); });
        ASSERT_TRUE(device->Init(controller, 1, Json::Value()));
        device->AttachPort(port);
        ASSERT_TRUE(device->OpenPort());
        device->SetClock([this] { return At(t).steady; });
        controller->WatchLine(6000ms);
    }
    void Feed(std::string bytes)
    {
        device->process(reinterpret_cast<unsigned char*>(&bytes[0]), static_cast<unsigned>(bytes.size()));
    }
    std::vector<Json::Value> Lines(const std::string& event) const
    {
        std::vector<Json::Value> found;
        std::istringstream in(out.str());
        for (std::string text; std::getline(in, text);) {
            Json::Value v;
            std::istringstream one(text);
            Json::CharReaderBuilder builder;
            std::string errors;
            if (Json::parseFromStream(builder, one, &v, &errors) && v["event"].asString() == event) found.push_back(v);
        }
        return found;
    }
};

const std::string kReply = [] {
    const unsigned char info[] = {0x00, 0x11, 0x22, 0x33};
    return yd1363::Encode(0x20, 1, 0x41, 0x00, info, sizeof info);
}();

std::string Corrupted(std::string frame)
{
    // The last checksum digit, before the CR.
    char& digit = frame[frame.size() - 2];
    digit = digit == '0' ? '1' : '0';
    return frame;
}

TEST_F(ControllerLine, EveryTimeOutAndRefusedFrameCountsThoughTheLogFolds)
{
    for (int k = 0; k < 25; ++k) {
        t = std::chrono::milliseconds(1000 * k);
        device->RefreshStatus();
    }
    EXPECT_EQ(controller->Line().timeouts, 24u);
    // Fewer log lines than time-outs: the counts do not come from the log.
    EXPECT_LT(Lines("log").size(), 5u);

    for (int k = 0; k < 12; ++k) Feed(Corrupted(kReply));
    EXPECT_EQ(controller->Line().frameErrors["CHKSUM mismatch"], 12u);
    EXPECT_EQ(controller->Line().FrameErrorTotal(), 12u);
}

TEST_F(ControllerLine, JsonTellsEachChangeWithItsReason)
{
    t = 100ms;
    device->RefreshStatus();
    Feed(kReply);
    controller->LineRoundComplete();
    controller->CheckLine(true);
    t = 6000ms;
    controller->CheckLine(true);  // 5.9 s after the reply: still up
    t = 6100ms;
    controller->CheckLine(true);
    controller->CheckLine(false);
    t = 7000ms;
    controller->CheckLine(false);  // no change, no line
    const std::vector<Json::Value> lines = Lines("line");
    ASSERT_EQ(lines.size(), 3u) << out.str();
    EXPECT_EQ(lines[0]["state"].asString(), "up");
    EXPECT_FALSE(lines[0].isMember("reason"));
    EXPECT_EQ(lines[1]["state"].asString(), "down");
    EXPECT_EQ(lines[1]["reason"].asString(), "time-outs");
    // "since" is the last valid reply, to the millisecond.
    EXPECT_EQ(lines[1]["since"].asString(), LocalTimeText(At(100ms).wall));
    EXPECT_EQ(lines[1]["last_reply"].asString(), LocalTimeText(At(100ms).wall));
    EXPECT_EQ(lines[2]["reason"].asString(), "port closed");
}

TEST(PollLineScreen, DownShowsNoReplyInRedAndGreysTheOldValues)
{
    ScreenModel model;
    const auto now = LineStats::WallClock::now();
    std::vector<unsigned char> dc(101, 0);
    const uint32_t id = 21;
    const float v = 53.5f;
    std::memcpy(dc.data(), &id, 4);
    std::memcpy(dc.data() + 4, &v, 4);
    model.Publish(DeviceRef{21, "vx42b-dc"}, 5087, dc.data(), dc.size());
    rule_value rule;
    rule.key = "DC_3";
    rule.text = "fuse 4";
    rule.level = 1;
    rule.value = 1;
    model.Alarm(DeviceRef{21, "vx42b-dc"}, rule, true, now - 40s);
    model.Round(5, true);
    LineStats line;
    line.port = "/dev/ttyUSB0";
    line.lastComplete = now - 31s;
    line.up = false;
    line.reason = "time-outs";
    line.since = now - 30s;
    model.Line(line);
    const std::vector<ScreenRow> rows = model.Render(100, 30, now);
    std::string text;
    bool red = false;
    size_t dim = 0;
    for (const ScreenRow& r : rows) {
        text += r.text + "\n";
        if (r.text.find("DOWN: no reply since ") != std::string::npos) red = r.style == RowStyle::Level1;
        if (r.text.find("53.50 V") != std::string::npos || r.text.find("fuse 4") != std::string::npos)
            dim += r.style == RowStyle::Dim;
    }
    EXPECT_TRUE(red) << text;
    EXPECT_NE(text.find("(30 s)"), std::string::npos) << text;
    EXPECT_NE(text.find("values       stale: as of "), std::string::npos) << text;
    EXPECT_EQ(dim, 2u) << text;

    line.up = true;
    model.Line(line);
    const std::vector<ScreenRow> upRows = model.Render(100, 30, now);
    for (const ScreenRow& r : upRows) EXPECT_EQ(r.text.find("stale"), std::string::npos) << r.text;
}

TEST(PollFloatText, EveryPrintedDoubleReadsBackAsItself)
{
    for (const double v : {0.1, 1796825740.123, 1.0 / 3, 53.52836000061035, 1e300, -2.5e-7, 12.0}) {
        const std::string text = ShortestText(v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    }
    EXPECT_EQ(ShortestText(1796825740.123), "1796825740.123");
    EXPECT_EQ(ShortestText(0.1), "0.1");
    Json::Value v(Json::objectValue);
    v["t"] = 1796825740.123;
    v["n"] = 2.0;
    v["f"] = FloatJson(53.52836f);
    EXPECT_EQ(ToJsonLine(v), R"({"f":53.52836,"n":2.0,"t":1796825740.123})");
}

}  // namespace
