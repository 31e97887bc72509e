// The live page in Debian's headless Chromium: it fills with the simulated
// values, shows the scheduled alarm and draws the plots. A screenshot is
// left beside the test (poll_page.png).
#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "headless_chromium.h"

namespace {

#if defined(VX42B_POLL_WITH_NET) && defined(VX42B_SIM_EXE)

using namespace vxpoll::e2e;
using namespace std::chrono_literals;
using testing_support::ChromiumPath;
using testing_support::HeadlessChromium;

TEST(PollPage, ShowsLiveValuesAnAlarmAndDrawnPlots)
{
    if (ChromiumPath().empty()) GTEST_SKIP() << "no chromium (Debian package chromium)";
    TempDir dir;
    Json::Value schedule(Json::arrayValue);
    Json::Value fuse;
    fuse["round"] = 2;
    fuse["set"]["dc[0].fuse_state[3]"] = 3;
    schedule.append(fuse);
    Sim sim(dir.Write("scenario.json", StillScenario([&schedule](Json::Value& s) { s["schedule"] = schedule; })));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    Child poll({PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config",
                dir.Write("config.json", TestConfig(1000)), "--http", "127.0.0.1:0"});
    const std::regex serving(R"(http: serving (http://127\.0\.0\.1:\d+/))");
    std::string url, line;
    while (url.empty() && poll.ReadLine(line, 20s)) {
        std::smatch m;
        if (std::regex_search(line, m, serving)) url = m[1];
    }
    ASSERT_FALSE(url.empty()) << poll.Err();
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        std::string l;
        while (!stop) poll.ReadLine(l, 1s);
    });

    const std::string profile = dir.Path() + "/profile";
    std::filesystem::create_directory(profile);
    {
        HeadlessChromium browser(profile, 1280, 1500);
        ASSERT_TRUE(browser.Started());
        std::string error;
        ASSERT_TRUE(browser.Open(url, error)) << error;

        // Live: the page has taken a few rounds, the alarm and the plot samples.
        EXPECT_TRUE(
            browser.WaitUntil("Number(document.body.dataset.round || 0) >= 3 && "
                              "document.querySelectorAll('tr.alarm[data-key=\"DC_3\"]').length === 1",
                              60s))
            << browser.Evaluate("document.body.innerText").asString();
        EXPECT_TRUE(
            browser.WaitUntil("typeof Chart !== 'undefined' && Chart.getChart('plot-dc_voltage') !== undefined && "
                              "Chart.getChart('plot-dc_voltage').data.datasets[0].data.length >= 1",
                              30s));

        struct ValueCase {
            const char* selector;
            const char* text;
        };
        const std::vector<ValueCase> values{
            {"article[data-id='21'] tr[data-field='v'] td", "53.50 V"},
            {"article[data-id='21'] tr[data-field='battery_i'] td", "5.10, 4.90 A"},
            {"article[data-id='12'] tr[data-field='ia'] td", "5.20 A"},
            {"#alarms tr.alarm td:nth-child(2)", "DC_3"},
            {"#status", "round "},
        };
        for (const ValueCase& v : values) {
            const std::string text =
                browser.Evaluate(std::string("(document.querySelector(\"") + v.selector + "\") || {}).textContent")
                    .asString();
            EXPECT_NE(text.find(v.text), std::string::npos) << v.selector << ": " << text;
        }

        // Drawn: each plot's canvas holds pixels of its first series' colour.
        for (const char* chart : {"dc_voltage", "dc_current", "battery_current", "ac_voltage"}) {
            const std::string count = std::string(R"((() => {
                const c = document.getElementById('plot-)") +
                                      chart + R"(');
                const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
                let n = 0;
                for (let i = 0; i < d.length; i += 4)
                  if (Math.abs(d[i] - 0x1f) < 24 && Math.abs(d[i + 1] - 0x77) < 24 && Math.abs(d[i + 2] - 0xb4) < 24 && d[i + 3] > 128) n++;
                return n;
            })())";
            EXPECT_GT(browser.Evaluate(count).asInt(), 3) << chart;
        }

        std::string png;
        ASSERT_TRUE(browser.Screenshot(png)) << browser.LastError();
        ASSERT_GT(png.size(), 1000u);
        EXPECT_EQ(png.substr(1, 3), "PNG");
        std::ofstream("poll_page.png", std::ios::binary) << png;
    }

    stop = true;
    drain.join();
    poll.Kill(SIGTERM);
    EXPECT_EQ(poll.Collect(20s), 0) << poll.Err();
}

#else

TEST(PollPage, NeedsTheNetworkOutputsAndTheSimulator) { GTEST_SKIP() << "built without cpp-httplib or the simulator"; }

#endif

}  // namespace
