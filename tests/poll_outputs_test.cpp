// The outputs' shared parts: the line counts and the fan-out that hands every event to each output.
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "PMBusProtocol.h"
#include "fanout_sink.h"
#include "output.h"
#include "poll_controller.h"

namespace {

using namespace vxpoll;

TEST(PollLineStats, RoundsCountAndRememberTheLastComplete)
{
    LineStats stats;
    EXPECT_FALSE(stats.HasComplete());
    const auto t0 = LineStats::WallClock::now();
    CountRound(stats, true, 1.5, t0);
    CountRound(stats, false, 0.25, t0 + std::chrono::seconds(9));
    EXPECT_EQ(stats.roundsComplete, 1u);
    EXPECT_EQ(stats.roundsAbandoned, 1u);
    EXPECT_EQ(stats.lastRoundSeconds, 0.25);
    EXPECT_TRUE(stats.HasComplete());
    EXPECT_EQ(stats.lastComplete, t0);
}

// Writes one word per event, so that the order across outputs shows.
class WordSink : public EventSink {
public:
    WordSink(std::string name, std::vector<std::string>& words) : name_(std::move(name)), words_(words) {}
    void Round(unsigned long, bool, double) override { Say("round"); }
    void Publish(const DeviceRef&, int, const unsigned char*, size_t) override { Say("publish"); }
    void Rule(const DeviceRef&, const rule_value&) override { Say("rule"); }
    void Alarm(const DeviceRef&, const rule_value&, bool) override { Say("alarm"); }
    void History(const DeviceRef&, int, const unsigned char*, size_t) override { Say("history"); }
    void Log(const std::string&, LogSource) override { Say("log"); }
    void Value(unsigned long, const Query&, bool, float, const std::string&) override { Say("value"); }
    void Frame(bool, const std::string&) override { Say("frame"); }
    void Line(const LineStats& stats) override { Say("line" + std::to_string(stats.timeouts)); }
    void Tick() override { Say("tick"); }
    bool Closed() const override { return closed; }
    void Finish() override { Say("finish"); }
    bool closed = false;

private:
    void Say(const std::string& what) { words_.push_back(name_ + ":" + what); }
    std::string name_;
    std::vector<std::string>& words_;
};

TEST(PollFanout, HandsEveryEventToEachOutputInOrder)
{
    std::vector<std::string> words;
    FanoutSink fanout;
    fanout.Add(std::make_unique<WordSink>("a", words));
    auto second = std::make_unique<WordSink>("b", words);
    WordSink* b = second.get();
    fanout.Add(std::move(second));
    fanout.Add(nullptr);
    EXPECT_EQ(fanout.Size(), 2u);

    const unsigned char image[] = {1};
    LineStats stats;
    stats.timeouts = 4;
    fanout.Publish(DeviceRef{11, "vx42b-ac"}, 5085, image, 1);
    fanout.Rule(DeviceRef{}, rule_value{});
    fanout.Alarm(DeviceRef{}, rule_value{}, true);
    fanout.History(DeviceRef{}, 5085, image, 1);
    fanout.Round(1, true, 0.5);
    fanout.Line(stats);
    fanout.Log("x", LogSource::Poller);
    fanout.Value(1, Query{}, true, 1, "");
    fanout.Frame(true, "~");
    fanout.Tick();
    fanout.Finish();
    std::vector<std::string> expected;
    for (const char* event :
         {"publish", "rule", "alarm", "history", "round", "line4", "log", "value", "frame", "tick", "finish"}) {
        expected.push_back(std::string("a:") + event);
        expected.push_back(std::string("b:") + event);
    }
    EXPECT_EQ(words, expected);

    EXPECT_FALSE(fanout.Closed());
    b->closed = true;
    EXPECT_TRUE(fanout.Closed());
}

// The counts come from the events, never from log lines (which fold).
TEST(PollFanout, TheControllerTellsTheLineAfterEachTimeOutAndRefusedFrame)
{
    std::vector<std::string> words;
    WordSink sink("s", words);
    auto controller = std::make_shared<PollController>(sink, nullptr, nullptr);
    struct AnyDevice : PMBusProtocol {
        int process_payload() override { return 0; }
        bool LoadFromCache(const unsigned char*, int) override { return false; }
    } device;
    controller->OnLog("SMDSPDevice:Timeout 1 no reply within 1000 ms");
    controller->OnReplyTimeout(device);
    controller->OnLog("parse 42 41: 3 bytes");
    controller->OnFrameError(device, "CHKSUM mismatch");
    EXPECT_EQ(words, (std::vector<std::string>{"s:log", "s:line1", "s:log", "s:line1"}));
    EXPECT_EQ(controller->Line().timeouts, 1u);
    EXPECT_EQ(controller->Line().FrameErrorTotal(), 1u);
}

// A line that stays silent repeats one time-out line; folding shows it at 1,
// 10 and when the run ends, but every time-out counts, and the folded
// reports themselves count nothing.
TEST(PollFanout, StreamOutputsCloseWhenTheirReaderIsGone)
{
    std::ostringstream text;
    JsonSink json(text);
    HumanSink human(text);
    EXPECT_FALSE(json.Closed());
    EXPECT_FALSE(human.Closed());
    text.setstate(std::ios::badbit);
    EXPECT_TRUE(json.Closed());
    EXPECT_TRUE(human.Closed());
}

}  // namespace
