// The live page in Debian's headless Chromium at a phone's and a desk's
// width: it fills with the simulated values in people's words, shows the
// scheduled alarm, draws the plots and switches to a longer range. A
// screenshot of each width is left beside the test (poll_page_390.png,
// poll_page_1280.png).
#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "headless_chromium.h"
#include "vx42b_record_fields.h"

namespace {

#if defined(VX42B_POLL_WITH_NET) && defined(VX42B_SIM_EXE)

using namespace vxpoll::e2e;
using namespace std::chrono_literals;
using testing_support::ChromiumPath;
using testing_support::HeadlessChromium;

// Member names people must not meet: every field name with an underscore,
// from the record descriptions, and the item lists' keys.
std::vector<std::string> MemberNames()
{
    std::vector<std::string> names{"channels", "modules"};
    for (const RecordSpec& r : vx42b_fields::kRecords)
        for (const auto& block : {std::make_pair(r.head, r.headFields), std::make_pair(r.items, r.itemFields)})
            for (int k = 0; k < block.second; ++k)
                if (std::string(block.first[k].name).find('_') != std::string::npos)
                    names.push_back(block.first[k].name);
    return names;
}

std::string Text(HeadlessChromium& browser, const std::string& selector)
{
    return browser.Evaluate("(document.querySelector(\"" + selector + "\") || {}).textContent || ''").asString();
}

TEST(PollPage, FitsAPhoneAndADeskInPeoplesWords)
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
                dir.Write("config.json", TestConfig(1000)), "--history", dir.Path() + "/history.db", "--http",
                "127.0.0.1:0"});
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

    const std::vector<std::string> members = MemberNames();
    struct Width {
        int width;
        int height;
        const char* screenshot;
    };
    for (const Width& w : {Width{390, 2400, "poll_page_390.png"}, Width{1280, 1600, "poll_page_1280.png"}}) {
        SCOPED_TRACE(std::to_string(w.width) + " px");
        const std::string profile = dir.Path() + "/profile" + std::to_string(w.width);
        std::filesystem::create_directory(profile);
        HeadlessChromium browser(profile, w.width, w.height);
        ASSERT_TRUE(browser.Started());
        std::string error;
        ASSERT_TRUE(browser.Open(url, error)) << error;
        ASSERT_TRUE(browser.SetViewport(w.width, w.height)) << browser.LastError();

        // Live: a few rounds, the fuse alarm and the plot samples are in.
        ASSERT_TRUE(
            browser.WaitUntil("Number(document.body.dataset.round || 0) >= 3 && "
                              "document.querySelectorAll('li.alarm[data-key=\"DC_3\"]').length === 1",
                              60s))
            << browser.Evaluate("document.body.innerText").asString();
        EXPECT_TRUE(
            browser.WaitUntil("typeof Chart !== 'undefined' && Chart.getChart('plot-dc_voltage') !== undefined && "
                              "Chart.getChart('plot-dc_voltage').data.datasets[0].data.length >= 1",
                              30s));
        EXPECT_EQ(browser.Evaluate("window.innerWidth").asInt(), w.width);

        // Nothing wider than the window: no sideways scroll of the page.
        EXPECT_LE(browser.Evaluate("document.documentElement.scrollWidth").asInt(), w.width)
            << browser
                   .Evaluate(
                       "[...document.querySelectorAll('body *')].filter(e => e.getBoundingClientRect().right > "
                       "window.innerWidth + 1).map(e => e.tagName + '.' + e.className).slice(0, 8).join(' ')")
                   .asString();
        if (w.width >= 1280) {
            // On a desk the item tables fit their cards, headers whole.
            EXPECT_EQ(browser
                          .Evaluate("[...document.querySelectorAll('.scroll')].filter(e => e.scrollWidth > "
                                    "e.clientWidth).length")
                          .asInt(),
                      0);
        }
        EXPECT_EQ(browser
                      .Evaluate("[...document.querySelectorAll('th, td, figcaption, .alarm span')].filter(e => "
                                "e.scrollWidth > e.clientWidth + 1).map(e => e.textContent).join('|')")
                      .asString(),
                  "");

        // People's words only: no member name, no device-language text by default.
        const std::string text = browser.Evaluate("document.body.innerText").asString();
        for (const std::string& name : members)
            EXPECT_FALSE(std::regex_search(text, std::regex("\\b" + name + "\\b"))) << name << " in:\n" << text;
        EXPECT_FALSE(browser.Evaluate("/[\\u3000-\\u9fff\\uff00-\\uffef]/.test(document.body.innerText)").asBool())
            << text;

        struct ValueCase {
            const char* selector;
            const char* text;
        };
        const std::vector<ValueCase> values{
            {"article[data-id='21'] tr[data-field='v'] td", "53.50 V"},
            {"article[data-id='21'] tr[data-field='battery_i'] td", "5.10 A"},
            {"article[data-id='21'] tr[data-field='fuse_state'] td", "fault: 4"},
            {"article[data-id='12'] tr[data-field='ia'] td", "5.2 A"},
            {"article[data-id='12'] tr[data-field='ib'] td", "5.0 A"},
            {"article[data-id='11'] tr[data-item='2'] td[data-field='a']", "230.0 V"},
            {"article[data-id='1'] tr[data-item='1'] td[data-field='module_value']", "20.40 A"},
            {"#alarms li.alarm .level", "Level "},
            {"#alarms li.alarm .where", "DC 21, fuse 4"},
            {"#alarms li.alarm .what", "fuse"},
            {"#alarms li.alarm .since", "since "},
            {"#status", "round "},
        };
        for (const ValueCase& v : values)
            EXPECT_NE(Text(browser, v.selector).find(v.text), std::string::npos) << v.selector;
        // The device's own text and code: a tooltip away.
        const std::string tip = browser.Evaluate("document.querySelector('#alarms li.alarm').title").asString();
        EXPECT_NE(tip.find("DC_3"), std::string::npos) << tip;
        EXPECT_TRUE(
            browser.Evaluate("/[\\u4e00-\\u9fff]/.test(document.querySelector('#alarms li.alarm').title)").asBool())
            << tip;
        // Settings apart, folded.
        EXPECT_NE(Text(browser, "article[data-id='1'] details summary").find("Settings"), std::string::npos);

        if (w.width >= 1280) {
            // Drawn: inside each plot's area, pixels of its first series' colour.
            for (const char* chart : {"dc_voltage", "dc_current", "battery_current", "ac_voltage"}) {
                const std::string count = std::string(R"((() => {
                    const chart = Chart.getChart('plot-)") +
                                          chart + R"(');
                    const a = chart.chartArea;
                    const d = chart.ctx.getImageData(a.left, a.top, a.right - a.left, a.bottom - a.top).data;
                    let n = 0;
                    for (let i = 0; i < d.length; i += 4)
                      if (Math.abs(d[i] - 0x1f) < 24 && Math.abs(d[i + 1] - 0x77) < 24 && Math.abs(d[i + 2] - 0xb4) < 24 && d[i + 3] > 128) n++;
                    return n;
                })())";
                EXPECT_GT(browser.Evaluate(count).asInt(), 3) << chart;
            }
        }

        std::string png;
        ASSERT_TRUE(browser.Screenshot(png)) << browser.LastError();
        EXPECT_EQ(png.substr(1, 3), "PNG");
        std::ofstream(w.screenshot, std::ios::binary) << png;

        // A longer range, picked on the page, comes from the history file in buckets.
        browser.Evaluate("document.querySelector('.ranges button[data-range=\"24h\"]').click()");
        EXPECT_TRUE(
            browser.WaitUntil("document.body.dataset.range === '24h' && "
                              "Chart.getChart('plot-dc_voltage').data.datasets.length === 3 && "
                              "Chart.getChart('plot-dc_voltage').data.datasets[2].data.some(p => p.y !== null)",
                              30s))
            << browser.Evaluate("document.getElementById('plots-note').textContent").asString();
        EXPECT_EQ(
            browser.Evaluate("document.querySelector('.ranges button[aria-pressed=\"true\"]').textContent").asString(),
            "24 h");
        EXPECT_EQ(browser.Evaluate("location.hash").asString(), "#24h");  // kept for a reload or a bookmark
        EXPECT_LE(browser.Evaluate("document.documentElement.scrollWidth").asInt(), w.width);
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
