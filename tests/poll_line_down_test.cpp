// A power system that stops answering, then answers again, under a poller
// with every network output: the JSON stream, the retained line topic, the
// metrics and the page in headless Chromium all turn down and back up. The
// line is declared down after 3 s here (--down-after) so that the test does
// not wait out the 6 s default; how long each output took is printed.
#include <atomic>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "e2e_support.h"
#include "headless_chromium.h"

#if defined(VX42B_POLL_WITH_NET) && defined(VX42B_SIM_EXE)
#include <httplib.h>

#include "mqtt_broker.h"
#endif

namespace {

#if defined(VX42B_POLL_WITH_NET) && defined(VX42B_SIM_EXE)

using namespace vxpoll::e2e;
using namespace std::chrono_literals;
using testing_support::ChromiumPath;
using testing_support::HeadlessChromium;
using testing_support::MosquittoBroker;
using testing_support::MqttReceived;
using testing_support::MqttRecorder;
using Clock = std::chrono::steady_clock;

// The poller's JSON lines, read on a thread of their own.
class Lines {
public:
    explicit Lines(Child& child) : child_(child)
    {
        thread_ = std::thread([this] {
            std::string text;
            while (!stop_) {
                if (!child_.ReadLine(text, 1s)) continue;
                Json::Value v;
                if (!Json::Reader().parse(text, v)) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(v);
            }
        });
    }
    ~Lines() { Stop(); }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // The first line from index `from` on that matches; null when none came in time.
    Json::Value WaitFor(size_t from, const std::function<bool(const Json::Value&)>& match, std::chrono::seconds limit,
                        size_t* at = nullptr)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (size_t k = from; k < lines_.size(); ++k) {
                    if (!match(lines_[k])) continue;
                    if (at != nullptr) *at = k;
                    return lines_[k];
                }
            }
            if (Clock::now() >= deadline) return Json::Value();
            std::this_thread::sleep_for(50ms);
        }
    }
    size_t Size()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

private:
    Child& child_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Json::Value> lines_;
};

bool LineEvent(const Json::Value& v, const char* state)
{
    return v["event"].asString() == "line" && v["state"].asString() == state;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Polls `ready` every 100 ms; the time it first held, or a negative one.
double SecondsUntil(Clock::time_point from, const std::function<bool()>& ready, std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (ready()) return std::chrono::duration<double>(Clock::now() - from).count();
        std::this_thread::sleep_for(100ms);
    }
    return -1;
}

TEST(PollLineDown, EveryOutputShowsASilentLineAndItsReturn)
{
    TempDir dir;
    MosquittoBroker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    MqttRecorder mqtt(broker.Port(), {"site/#"});
    ASSERT_TRUE(mqtt.WaitSubscribed(10s));
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    Child poll({PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config",
                dir.Write("config.json", TestConfig(1000)), "--http", "127.0.0.1:0", "--mqtt", broker.Url() + "/site",
                "--down-after", "3"});
    Lines lines(poll);
    const std::regex serving(R"(http: serving http://127\.0\.0\.1:(\d+)/)");
    const Json::Value servingLine = lines.WaitFor(
        0, [&serving](const Json::Value& v) { return std::regex_search(v["text"].asString(), serving); }, 20s);
    std::smatch m;
    const std::string servingText = servingLine["text"].asString();
    ASSERT_TRUE(std::regex_search(servingText, m, serving)) << poll.Err();
    const int port = std::stoi(m[1]);
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(5, 0);
    auto metrics = [&http] {
        auto res = http.Get("/metrics");
        return res && res->status == 200 ? res->body : std::string();
    };
    auto lineOnMqtt = [&mqtt](const char* payload, size_t from) {
        const std::vector<MqttReceived> all = mqtt.Messages();
        std::string last;
        for (size_t k = from; k < all.size(); ++k)
            if (all[k].topic == "site/line") last = all[k].payload;
        return last == payload;
    };

    // Up at the first complete round.
    size_t at = 0;
    ASSERT_FALSE(lines
                     .WaitFor(
                         0, [](const Json::Value& v) { return LineEvent(v, "up"); }, 30s, &at)
                     .isNull())
        << poll.Err();
    EXPECT_TRUE(
        mqtt.WaitFor([](const MqttReceived& r) { return r.topic == "site/line" && r.payload == "online"; }, 10s));
    EXPECT_GE(SecondsUntil(
                  Clock::now(), [&] { return Has(metrics(), "vx42b_line_up 1\n"); }, 10s),
              0);
    EXPECT_TRUE(Has(metrics(), "vx42b_dc_output_voltage_volts{"));

    const bool page = !ChromiumPath().empty();
    const std::string profile = dir.Path() + "/profile";
    std::filesystem::create_directory(profile);
    std::unique_ptr<HeadlessChromium> browser;
    if (page) {
        browser = std::make_unique<HeadlessChromium>(profile, 1280, 1200);
        ASSERT_TRUE(browser->Started());
        std::string error;
        ASSERT_TRUE(browser->Open("http://127.0.0.1:" + std::to_string(port) + "/", error)) << error;
        ASSERT_TRUE(browser->WaitUntil("document.body.dataset.line === 'up'", 20s));
    } else {
        std::cout << "no chromium (Debian package chromium): the page is not checked\n";
    }

    // Silence: every output turns down.
    const size_t mqttBefore = mqtt.Messages().size();
    const size_t before = lines.Size();
    sim.Signal(SIGSTOP);
    const Clock::time_point silenced = Clock::now();
    const Json::Value down = lines.WaitFor(
        before, [](const Json::Value& v) { return LineEvent(v, "down"); }, 20s);
    const double jsonDown = std::chrono::duration<double>(Clock::now() - silenced).count();
    ASSERT_FALSE(down.isNull()) << poll.Err();
    EXPECT_EQ(down["reason"].asString(), "time-outs");
    EXPECT_EQ(down["since"].asString(), down["last_reply"].asString());
    const double mqttDown = SecondsUntil(
        silenced, [&] { return lineOnMqtt("offline", mqttBefore); }, 10s);
    const double metricsDown = SecondsUntil(
        silenced, [&] { return Has(metrics(), "vx42b_line_up 0\n"); }, 10s);
    const std::string downMetrics = metrics();
    EXPECT_FALSE(Has(downMetrics, "vx42b_dc_output_voltage_volts{")) << downMetrics;
    EXPECT_FALSE(Has(downMetrics, "vx42b_alarm_active{"));
    EXPECT_FALSE(Has(downMetrics, "vx42b_alarms_present{"));
    EXPECT_TRUE(Has(downMetrics, "vx42b_last_reply_timestamp_seconds "));
    EXPECT_TRUE(Has(downMetrics, "vx42b_frame_errors_total{kind=\"chksum_mismatch\"} 0\n"));
    double pageDown = -1;
    if (browser) {
        pageDown = SecondsUntil(
            silenced,
            [&] {
                return browser
                    ->Evaluate(
                        "document.getElementById('status').className === 'status down' && "
                        "document.body.innerText.includes('no reply since') && "
                        "document.querySelectorAll('article.device.stale').length > 0")
                    .asBool();
            },
            15s);
        EXPECT_GE(pageDown, 0) << browser->Evaluate("document.body.innerText").asString();
    }
    EXPECT_GE(mqttDown, 0);
    EXPECT_GE(metricsDown, 0);
    // The line stays silent: time-outs go on counting, one each.
    const auto timeouts = [&] {
        std::smatch t;
        const std::string text = metrics();
        static const std::regex count(R"(vx42b_reply_timeouts_total (\d+))");
        return std::regex_search(text, t, count) ? std::stoul(t[1]) : 0ul;
    };
    const unsigned long first = timeouts();
    EXPECT_GE(SecondsUntil(
                  Clock::now(), [&] { return timeouts() >= first + 2; }, 10s),
              0);

    // Back: up again at the first complete round.
    const size_t mqttDownAt = mqtt.Messages().size();
    const size_t beforeUp = lines.Size();
    sim.Signal(SIGCONT);
    const Clock::time_point back = Clock::now();
    ASSERT_FALSE(lines
                     .WaitFor(
                         beforeUp, [](const Json::Value& v) { return LineEvent(v, "up"); }, 30s)
                     .isNull());
    const double jsonUp = std::chrono::duration<double>(Clock::now() - back).count();
    const double mqttUp = SecondsUntil(
        back, [&] { return lineOnMqtt("online", mqttDownAt); }, 10s);
    const double metricsUp = SecondsUntil(
        back, [&] { return Has(metrics(), "vx42b_line_up 1\n") && Has(metrics(), "vx42b_dc_output_voltage_volts{"); },
        10s);
    double pageUp = -1;
    if (browser) {
        pageUp = SecondsUntil(
            back,
            [&] {
                return browser
                    ->Evaluate(
                        "document.getElementById('status').className === 'status live' && "
                        "document.querySelectorAll('article.device.stale').length === 0")
                    .asBool();
            },
            15s);
        EXPECT_GE(pageUp, 0);
    }
    EXPECT_GE(mqttUp, 0);
    EXPECT_GE(metricsUp, 0);
    std::cout << "seconds after SIGSTOP to down (line declared down 3 s after the last reply): json " << jsonDown
              << ", mqtt " << mqttDown << ", metrics " << metricsDown << ", page " << pageDown << "\n"
              << "seconds after SIGCONT to up: json " << jsonUp << ", mqtt " << mqttUp << ", metrics " << metricsUp
              << ", page " << pageUp << "\n";

    browser.reset();
    lines.Stop();
    poll.Kill(SIGTERM);
    EXPECT_EQ(poll.Collect(20s), 0) << poll.Err();
}

#else

TEST(PollLineDown, NeedsTheNetworkOutputsAndTheSimulator)
{
    GTEST_SKIP() << "built without libmosquitto, cpp-httplib or the simulator";
}

#endif

}  // namespace
