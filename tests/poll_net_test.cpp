// The network outputs' parts: option parsing, password checks, the state
// store's snapshots and what is rendered from them.
#include <malloc.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "crypt_hash.h"
#include "e2e_support.h"

#ifdef VX42B_POLL_WITH_NET
#include "http_server.h"
#include "json_line.h"
#include "mqtt_sink.h"
#include "record_decoder.h"
#include "state_store.h"
#include "state_view.h"
#endif

namespace {

#ifdef VX42B_POLL_WITH_NET

using namespace vxpoll;

TEST(PollNet, MqttUrls)
{
    struct Case {
        const char* url;
        bool ok;
        const char* host;
        int port;
        bool tls;
        const char* prefix;
    };
    const Case cases[] = {
        {"mqtt://broker", true, "broker", 1883, false, ""},
        {"mqtt://broker:1884/site-17", true, "broker", 1884, false, "site-17"},
        {"mqtts://broker/a/b/", true, "broker", 8883, true, "a/b"},
        {"mqtt://[::1]:1999/x", true, "::1", 1999, false, "x"},
        {"mqtt://user:pw@broker", false, "", 0, false, ""},
        {"mqtt://broker:0", false, "", 0, false, ""},
        {"mqtt://broker:70000", false, "", 0, false, ""},
        {"mqtt://broker:/x", false, "", 0, false, ""},
        {"mqtt:///x", false, "", 0, false, ""},
        {"mqtt://broker/a/#", false, "", 0, false, ""},
        {"mqtt://broker/a//b", false, "", 0, false, ""},
        {"tcp://broker", false, "", 0, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        MqttOptions o;
        std::string error;
        ASSERT_EQ(ParseMqttUrl(c.url, o, error), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(o.host, c.host);
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.tls, c.tls);
        EXPECT_EQ(o.prefix, c.prefix);
    }
}

TEST(PollNet, MqttAuthFiles)
{
    struct Case {
        const char* text;
        bool ok;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"gateway\nsecret\n", true, "gateway", "secret"},
        {"gateway\r\nse:cr et\r\n", true, "gateway", "se:cr et"},
        {"gateway", true, "gateway", ""},
        {"", false, "", ""},
        {"\nsecret\n", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string user, password, error;
        ASSERT_EQ(ParseMqttAuth(c.text, "auth", user, password, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(user, c.user);
            EXPECT_EQ(password, c.password);
        } else {
            EXPECT_NE(error.find("auth:"), std::string::npos);
        }
    }
}

TEST(PollNet, HttpAddressesAndLoopback)
{
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
        bool loopback;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", 8080, true},
        {":9100", true, "127.0.0.1", 9100, true},
        {"0.0.0.0:80", true, "0.0.0.0", 80, false},
        {"192.0.2.7:80", true, "192.0.2.7", 80, false},
        {"127.1.2.3:0", true, "127.1.2.3", 0, true},
        {"[::1]:8080", true, "::1", 8080, true},
        {"[::]:8080", true, "::", 8080, false},
        {"localhost:1", true, "localhost", 1, true},
        {"::1:8080", false, "", 0, false},
        {"host:65536", false, "", 0, false},
        {"host:", false, "", 0, false},
        {"host:8o", false, "", 0, false},
        {"[::1]8080", false, "", 0, false},
        {"300.1.1.1:8080", false, "", 0, false},
        {"1.2.3:80", false, "", 0, false},
        {"[::g]:80", false, "", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string host, error;
        int port = -1;
        ASSERT_EQ(ParseHttpAddress(c.text, host, port, error), c.ok) << error;
        if (!c.ok) continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(IsLoopback(host), c.loopback);
    }
}

std::string Basic(const std::string& credentials)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (unsigned char c : credentials) {
        value = (value << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(digits[(value >> bits) & 63]);
        }
    }
    if (bits > 0) out.push_back(digits[(value << (6 - bits)) & 63]);
    while (out.size() % 4 != 0) out.push_back('=');
    return "Basic " + out;
}

TEST(PollNet, BasicAuthFilesAndChecks)
{
    struct FileCase {
        std::string text;
        bool ok;
        const char* error;
    };
    const std::vector<FileCase> files{
        {"# users\n\nalice:" + CryptHash("$2b$", "wonder") + "\nbob:" + CryptHash("$y$", "builder") +
             "\ncarol:" + CryptHash("$5$", "x") + "\ndave:" + CryptHash("$2y$", "x") + "\n",
         true, ""},
        {"alice:wonder\n", false, "users:1: the password of \"alice\""},
        // Kinds libxcrypt still checks, but the docs do not name.
        {"# old\nalice:" + CryptHash("$1$", "wonder") + "\n", false,
         "users:2: the password of \"alice\" is a md5crypt"},
        {"alice:$apr1$abc$def\n", false, "users:1: the password of \"alice\" is a Apache MD5"},
        {"alice:" + CryptHash("$2a$", "wonder") + "\n", false, "users:1: the password of \"alice\" is a bcrypt $2a$"},
        {"alice:" + CryptHash("$sha1$", "wonder") + "\n", false, "users:1: the password of \"alice\" is a sha1crypt"},
        {"alice:abJnggxhB/yWI\n", false, "is a DES"},
        {"alice:$7$whatever\n", false, "users:1: the password of \"alice\" is not a crypt(3) hash"},
        {"no colon here\n", false, "users:1: expected USER:HASH"},
        {"# nobody\n", false, "no users"},
    };
    for (const FileCase& f : files) {
        SCOPED_TRACE(f.text);
        BasicAuth auth;
        std::string error;
        EXPECT_EQ(auth.Parse(f.text, "users", error), f.ok) << error;
        if (!f.ok) {
            EXPECT_NE(error.find(f.error), std::string::npos) << error;
        }
    }

    using R = BasicAuth::Result;
    BasicAuth auth;
    std::string error;
    ASSERT_TRUE(auth.Parse("alice:" + CryptHash("$2b$", "wonder") + "\nbob:" + CryptHash("$6$", "builder") + "\n",
                           "users", error));
    struct CheckCase {
        std::string header;
        R result;
    };
    const std::string token = Basic("bob:builder").substr(6);
    const std::vector<CheckCase> checks{
        {Basic("alice:wonder"), R::Accepted},
        {Basic("alice:wonder"), R::Accepted},  // the second from the verified cache
        {"basic " + token, R::Accepted},       // the scheme in any case
        {"BASIC   " + token, R::Accepted},
        {Basic("alice:builder"), R::Refused},
        {Basic("carol:wonder"), R::Refused},
        {Basic("alice"), R::Refused},
        {Basic("alice:"), R::Refused},
        {Basic(std::string("alice:wonder\0junk", 17)), R::Refused},  // crypt(3) would stop at the NUL
        {Basic(std::string("alice\0:wonder", 13)), R::Refused},
        {"Basic !!!", R::Refused},
        {"Basicx " + token, R::Refused},
        {"Bearer abc", R::Refused},
        {"", R::Refused},
        {"Basic ", R::Refused},
    };
    for (size_t k = 0; k < checks.size(); ++k) {
        SCOPED_TRACE(checks[k].header);
        // Each from its own address: the failures' wait is tested below.
        EXPECT_EQ(auth.Check(checks[k].header, "192.0.2." + std::to_string(k)).result, checks[k].result);
    }
}

TEST(PollNet, FailedLoginsMakeTheirAddressWait)
{
    using R = BasicAuth::Result;
    BasicAuth auth;
    std::string error;
    ASSERT_TRUE(auth.Parse("alice:" + CryptHash("$2b$", "wonder") + "\n", "users", error));
    auto now = BasicAuth::Clock::now();
    const std::string good = Basic("alice:wonder");
    const std::string bad = Basic("alice:guess");
    // The first failures are free; then the address waits, without a hash,
    // 1 s, 2 s, 4 s ... up to a minute; another address does not.
    for (unsigned k = 1; k < BasicAuth::kFreeFailures; ++k)
        EXPECT_EQ(auth.Check(bad, "192.0.2.7", now).result, R::Refused);
    EXPECT_EQ(auth.Check(bad, "192.0.2.7", now).result, R::Refused);
    const BasicAuth::Verdict waiting = auth.Check(good, "192.0.2.7", now);
    EXPECT_EQ(waiting.result, R::Wait);
    EXPECT_EQ(waiting.retryAfter, 1);
    EXPECT_EQ(auth.Check(bad, "192.0.2.8", now).result, R::Refused);
    struct Step {
        std::chrono::milliseconds later;
        const std::string& header;
        R result;
        int retryAfter;
    };
    const std::vector<Step> steps{
        {std::chrono::milliseconds(1000), bad, R::Refused, 0},  // the wait is over: tried and failed again
        {std::chrono::milliseconds(0), good, R::Wait, 2},      {std::chrono::milliseconds(1999), good, R::Wait, 1},
        {std::chrono::milliseconds(1), good, R::Accepted, 0},  // success forgives
        {std::chrono::milliseconds(0), bad, R::Refused, 0},
    };
    for (const Step& s : steps) {
        now += s.later;
        const BasicAuth::Verdict v = auth.Check(s.header, "192.0.2.7", now);
        EXPECT_EQ(v.result, s.result);
        if (s.result == R::Wait) {
            EXPECT_EQ(v.retryAfter, s.retryAfter);
        }
    }
    // The wait grows to a minute and no further.
    for (int k = 0; k < 20; ++k) {
        now += std::chrono::minutes(2);
        auth.Check(bad, "192.0.2.9", now);
    }
    EXPECT_EQ(auth.Check(bad, "192.0.2.9", now).retryAfter, 60);
    // A client already let in is not held up by its address's failures.
    EXPECT_EQ(auth.Check(good, "192.0.2.9", now).result, R::Accepted);
    EXPECT_EQ(auth.Check(Basic("alice:wonder2"), "192.0.2.9", now).result, R::Wait);

    // A flood from many addresses keeps the table bounded.
    for (size_t k = 0; k < BasicAuth::kAddressesMax + 500; ++k)
        auth.Check(Basic("nobody:x"), "10.0." + std::to_string(k / 256) + "." + std::to_string(k % 256), now);
    EXPECT_EQ(auth.AddressesTracked(), BasicAuth::kAddressesMax);
}

TEST(PollNet, ExposureWarnings)
{
    struct Case {
        bool loopback, auth, tls;
        const char* says;  // nullptr: no warning
    };
    const std::vector<Case> cases{
        {true, false, false, nullptr},
        {false, true, true, nullptr},
        {false, false, false, "without authentication or TLS"},
        {false, true, false, "takes passwords without TLS"},
        {false, false, true, "without authentication: TLS hides the traffic"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> warnings =
            ExposureWarnings("https://192.0.2.1:9142/", c.loopback, c.auth, c.tls);
        if (c.says == nullptr) {
            EXPECT_TRUE(warnings.empty()) << warnings.front();
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(c.says), std::string::npos) << warnings[0];
    }
}

DeviceRef Dc() { return DeviceRef{21, "vx42b-dc"}; }

std::vector<unsigned char> DcImage(float v)
{
    std::vector<unsigned char> image(101, 0);
    const uint32_t id = 21;
    std::memcpy(image.data(), &id, 4);
    std::memcpy(image.data() + 4, &v, 4);
    image[12] = 2;  // two battery groups
    return image;
}

rule_value Rule(const char* key, const char* text, bool on)
{
    rule_value r;
    r.key = key;
    r.code = "06001";
    r.text = text;
    r.name = text;
    r.level = 1;
    r.value = on ? 1 : 0;
    return r;
}

TEST(PollNet, SnapshotsKeepAlarmsRulesAndTheLine)
{
    StateStore store;
    EXPECT_EQ(store.Current()->round, 0u);
    const std::vector<unsigned char> image = DcImage(53.5f);
    store.Publish(Dc(), 5087, image.data(), image.size());
    store.Rule(Dc(), Rule("DC_3", "fuse 4", true));
    store.Rule(Dc(), Rule("DC_3", "fuse 5", false));
    store.Alarm(Dc(), Rule("DC_3", "fuse 4", true), true);
    // Nothing is visible before the round ends.
    EXPECT_TRUE(store.Current()->devices.empty());
    store.Round(1, true, 0.7);
    LineStats line;
    line.up = true;
    line.roundsComplete = 1;
    line.frameErrors["CHKSUM mismatch"] = 2;
    store.Line(line);

    const std::shared_ptr<const Snapshot> first = store.Current();
    ASSERT_EQ(first->devices.size(), 1u);
    EXPECT_EQ(first->devices[0].rules.size(), 2u);
    ASSERT_EQ(first->devices[0].alarms.size(), 1u);
    EXPECT_FALSE(first->devices[0].alarms[0].since.empty());

    // A cleared alarm leaves the next snapshot, not the one already handed out.
    store.Alarm(Dc(), Rule("DC_3", "fuse 4", false), false);
    store.Round(2, false, 75);
    EXPECT_EQ(first->devices[0].alarms.size(), 1u);
    EXPECT_TRUE(store.Current()->devices[0].alarms.empty());

    const std::string metrics = MetricsText(*store.Current());
    for (const char* line : {
             "vx42b_dc_output_voltage_volts{data_id=\"21\"} 53.5\n",
             "vx42b_battery_current_amperes{data_id=\"21\",battery=\"2\"} 0\n",
             "vx42b_alarm_active{data_id=\"21\",key=\"DC_3\",code=\"06001\",item=\"fuse_4\",level=\"1\"} 1\n",
             "vx42b_alarm_active{data_id=\"21\",key=\"DC_3\",code=\"06001\",item=\"fuse_5\",level=\"1\"} 0\n",
             "vx42b_frame_errors_total{kind=\"chksum_mismatch\"} 2\n",
             "vx42b_round_duration_seconds_bucket{le=\"1\"} 1\n",
             "vx42b_round_duration_seconds_bucket{le=\"60\"} 1\n",
             "vx42b_round_duration_seconds_bucket{le=\"+Inf\"} 2\n",
             "vx42b_round_duration_seconds_count 2\n",
         })
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    // Counts that size the record, the data id and the time stamp are not metrics;
    // one battery group past the two announced is not either.
    for (const char* absent :
         {"vx42b_value", "dc_m", "fuse_count", "p_count", "ttime", "battery=\"3\"", "battery=\"0\""})
        EXPECT_EQ(metrics.find(absent), std::string::npos) << absent;

    const Json::Value state = StateJson(*store.Current());
    EXPECT_EQ(state["devices"][0]["units"]["v"].asString(), "V");
    EXPECT_EQ(state["line"]["frame_errors"]["CHKSUM mismatch"].asUInt(), 2u);
    EXPECT_EQ(state["line"]["round_duration"]["count"].asUInt(), 2u);
}

// A round whose rules did not change shares its list with the snapshot
// before; the broker's state payload is written without a copy and its
// digest moves with the values, not with the times.
TEST(PollNet, SnapshotsShareUnchangedRulesAndStateDigestsIgnoreTimes)
{
    StateStore store;
    const std::vector<unsigned char> image = DcImage(53.5f);
    const auto round = [&](unsigned long n, bool fuse5) {
        store.Publish(Dc(), 5087, image.data(), image.size());
        store.Rule(Dc(), Rule("DC_3", "fuse 4", false));
        store.Rule(Dc(), Rule("DC_3", "fuse 5", fuse5));
        store.Round(n, true, 0.7);
        return store.Current();
    };
    const std::shared_ptr<const Snapshot> first = round(1, false);
    const std::shared_ptr<const Snapshot> second = round(2, false);
    EXPECT_EQ(&first->devices[0].rules.get(), &second->devices[0].rules.get());
    const std::shared_ptr<const Snapshot> third = round(3, true);
    ASSERT_EQ(third->devices[0].rules.size(), 2u);
    EXPECT_TRUE(third->devices[0].rules[1].state);
    EXPECT_FALSE(second->devices[0].rules[1].state);  // a snapshot handed out stays as it was

    DeviceState d = third->devices[0];
    std::string now;
    const uint64_t digest = AppendDeviceStateJson(now, d);
    EXPECT_EQ(now, ToJsonLine(DeviceStateJson(d)));
    Json::Value fields = d.fields.get();
    d.time = "2030-01-01T00:00:00.000";
    fields["ttime"] = "2030-01-01 00:00:00";
    d.fields = fields;
    std::string later;
    EXPECT_EQ(AppendDeviceStateJson(later, d), digest);
    EXPECT_EQ(later, ToJsonLine(DeviceStateJson(d)));
    fields["v"] = 53.6;
    d.fields = fields;
    std::string moved;
    EXPECT_NE(AppendDeviceStateJson(moved, d), digest);

    // The members DeviceStateJson adds, wherever they fall among the fields.
    DeviceState other;
    other.dataId = 7;
    other.type = "vx42b-dc";
    other.time = "t";
    Json::Value own(Json::objectValue);
    own["a"] = 1;
    own["data_id"] = 9;
    own["time"] = "own";
    own["zz"] = "\"";
    for (const Json::Value& f : {Json::Value(), own}) {
        other.fields = f;
        std::string out;
        AppendDeviceStateJson(out, other);
        EXPECT_EQ(out, ToJsonLine(DeviceStateJson(other)));
    }
}

// The page's plots keep 6 hours: their memory grows until the window is
// full and not after. Simulated time, one sample a 2.5 s round (one kept
// every 10 s); the heap in use comes from the C library, so a sanitizer's
// allocator skips the figure.
TEST(PollNet, PlotHistoryPlateausOnceItsWindowIsFull)
{
    const auto inUse = [] { return static_cast<long>(::mallinfo2().uordblks); };
    if (inUse() == 0) GTEST_SKIP() << "no heap figures from this allocator";
    Json::Value fields;
    std::string error;
    const std::vector<unsigned char> image = DcImage(53.5f);
    ASSERT_TRUE(DecodeRecord(5087, image.data(), image.size(), fields, error)) << error;
    PlotHistory plots(std::chrono::hours(6), std::chrono::seconds(10));
    double t = 1.8e9;
    std::shared_ptr<const Plots> shown;
    const auto run = [&](double seconds) {
        for (const double end = t + seconds; t < end; t += 2.5)
            if (plots.Add(t, 21, "vx42b-dc", fields)) shown = plots.Build();  // as the store publishes it
    };
    const long start = inUse();
    run(6 * 3600);
    const long full = inUse();
    run(3600);
    const long later = inUse();
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->times.size(), 6u * 360u + 1u);
    const long grown = full - start;
    EXPECT_GT(grown, 0);
    // An hour past the window: a few of the deque's blocks at most.
    EXPECT_LT(later - full, grown / 50) << "grew " << (later - full) << " bytes after the window was full";
    std::printf("plots of one DC unit (%zu series), 6 h at one sample per 10 s: %ld bytes, %.0f bytes a sample\n",
                shown->series.size(), grown, static_cast<double>(grown) / static_cast<double>(shown->times.size()));
}

TEST(PollNet, MetricsCarryNoFreeTextAndPassPromtool)
{
    StateStore store;
    const std::vector<unsigned char> image = DcImage(53.5f);
    store.Publish(Dc(), 5087, image.data(), image.size());
    store.Rule(Dc(), Rule("K", "a \"quoted\" back\\slash\nnew line", true));
    store.Rule(Dc(), Rule("DC_3", "直流4电池熔丝故障告警", true));
    store.Round(1, true, 1);
    LineStats line;
    line.up = true;
    line.frameErrors["CHKSUM mismatch"] = 2;
    line.frameErrors["wrong address"] = 1;
    store.LineChanged(line);
    const std::string metrics = MetricsText(*store.Current());
    EXPECT_EQ(metrics.find("quoted"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("直流"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find(R"(key="K",code="06001",item="",level="1"} 1)"), std::string::npos) << metrics;
    if (std::system("command -v promtool > /dev/null 2>&1") != 0) GTEST_SKIP() << "promtool is not installed";
    vxpoll::e2e::TempDir dir;
    const std::string file = dir.Write("metrics.txt", metrics);
    const std::string out = dir.Path() + "/promtool.out";
    const int status = std::system(("promtool check metrics < " + file + " > " + out + " 2>&1").c_str());
    std::ifstream in(out);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said, "") << said;
}

TEST(PollNet, PlotsTakeOneSampleAStepAndForgetPastTheWindow)
{
    PlotHistory plots(std::chrono::seconds(70), std::chrono::seconds(10));
    Json::Value dc;
    dc["v"] = 53.5;
    dc["i"] = 40.0;
    dc["dc_m"] = 1;
    dc["battery_i"].append(5.0);
    dc["battery_i"].append(4.0);
    struct Step {
        double t;
        bool taken;
    };
    const Step steps[] = {{1000, true}, {1005, false}, {1010, true}, {1030, true}, {1095, true}, {1099, false}};
    for (const Step& s : steps) EXPECT_EQ(plots.Add(s.t, 21, "vx42b-dc", dc), s.taken) << s.t;
    const std::shared_ptr<const Plots> built = plots.Build();
    // 1000 and 1010 fell out of the 70 s window behind 1095.
    ASSERT_EQ(built->times.size(), 2u);
    EXPECT_EQ(built->times[0], 1030);
    ASSERT_EQ(built->series.size(), 3u);  // voltage, current, one battery group (dc_m)
    EXPECT_EQ(built->series[2].chart, "battery_current");
    EXPECT_EQ(built->series[2].values[1], 5.0);
}

TEST(PollNet, DiscoveryGivesSensorsWithUnitsAndABinarySensorPerAlarmItem)
{
    StateStore store;
    const std::vector<unsigned char> image = DcImage(53.5f);
    store.Publish(Dc(), 5087, image.data(), image.size());
    store.Rule(Dc(), Rule("DC_3", "fuse 4", false));
    store.Rule(Dc(), Rule("DC_3", "fuse 5", false));
    store.Round(1, true, 1);
    MqttOptions o;
    o.prefix = "site/17";
    const std::vector<MqttMessage> messages = DiscoveryMessages(*store.Current(), o, 1);
    size_t binary = 0;
    size_t sensors = 0;
    for (const MqttMessage& m : messages) {
        EXPECT_EQ(m.topic.rfind("homeassistant/", 0), 0u) << m.topic;
        EXPECT_NE(m.topic.find("/vx42b_site_17/"), std::string::npos) << m.topic;
        binary += m.topic.find("/binary_sensor/") != std::string::npos;
        sensors += m.topic.find("/sensor/") != std::string::npos;
    }
    EXPECT_EQ(binary, 2u);        // fuse 4 and fuse 5
    EXPECT_EQ(sensors, 2u + 2u);  // v, i, battery_i x2 (dc_m); no user values announced (p_count 0)
    // Available only while the poller is connected and the line answers;
    // a state nobody renews expires.
    for (const MqttMessage& m : messages) {
        SCOPED_TRACE(m.topic);
        Json::Value config;
        ASSERT_TRUE(Json::Reader().parse(m.payload, config));
        EXPECT_EQ(config["availability_mode"].asString(), "all");
        ASSERT_EQ(config["availability"].size(), 2u);
        EXPECT_EQ(config["availability"][0]["topic"].asString(), "site/17/status");
        EXPECT_EQ(config["availability"][1]["topic"].asString(), "site/17/line");
        EXPECT_EQ(config["availability"][1]["payload_not_available"].asString(), "offline");
        EXPECT_FALSE(config.isMember("availability_topic"));
        EXPECT_EQ(config["expire_after"].asUInt(), 12u);  // twice the 6 s after which the line is down
    }
}

// While the line is down the values are absent (not stale), the line and
// the counters stay; timestamps keep their milliseconds.
TEST(PollNet, ValuesAreDroppedWhileTheLineIsDown)
{
    StateStore store;
    const std::vector<unsigned char> image = DcImage(53.5f);
    store.Publish(Dc(), 5087, image.data(), image.size());
    store.Rule(Dc(), Rule("DC_3", "fuse 4", true));
    store.Alarm(Dc(), Rule("DC_3", "fuse 4", true), true);
    store.Round(1, true, 0.7);
    const auto t = LineStats::WallClock::time_point(std::chrono::milliseconds(1796825740123));
    LineStats line;
    line.roundsComplete = 1;
    line.timeouts = 31;
    line.frameErrors = {{"CHKSUM mismatch", 0}, {"wrong address", 0}};
    line.lastComplete = t;
    line.lastReply = t + std::chrono::milliseconds(250);
    line.since = line.lastReply;
    struct Case {
        bool up;
        std::vector<const char*> present;
        std::vector<const char*> absent;
    };
    const Case cases[] = {
        {true,
         {"vx42b_line_up 1\n", "vx42b_dc_output_voltage_volts{", "vx42b_battery_current_amperes{",
          "vx42b_alarm_active{", "vx42b_alarms_present{"},
         {}},
        {false,
         {"vx42b_line_up 0\n", "vx42b_reply_timeouts_total 31\n", "vx42b_rounds_total{result=\"complete\"} 1\n",
          "vx42b_frame_errors_total{kind=\"chksum_mismatch\"} 0\n",
          "vx42b_frame_errors_total{kind=\"wrong_address\"} 0\n",
          "vx42b_last_complete_round_timestamp_seconds 1796825740.123\n",
          "vx42b_last_reply_timestamp_seconds 1796825740.373\n"},
         {"vx42b_dc_output_voltage_volts", "vx42b_battery_current_amperes", "vx42b_alarm_active",
          "vx42b_alarms_present"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.up ? "up" : "down");
        line.up = c.up;
        line.reason = c.up ? "" : "time-outs";
        store.LineChanged(line);
        const std::string metrics = MetricsText(*store.Current());
        for (const char* text : c.present) EXPECT_NE(metrics.find(text), std::string::npos) << text << "\n" << metrics;
        for (const char* text : c.absent) EXPECT_EQ(metrics.find(text), std::string::npos) << text;
        // Down, only the line's own families remain, whatever the record held.
        static const std::set<std::string> lineFamilies{"vx42b_line_up",
                                                        "vx42b_last_reply_timestamp_seconds",
                                                        "vx42b_rounds_total",
                                                        "vx42b_reply_timeouts_total",
                                                        "vx42b_frame_errors_total",
                                                        "vx42b_last_complete_round_timestamp_seconds",
                                                        "vx42b_round_duration_seconds"};
        std::istringstream lines(metrics);
        for (std::string l; std::getline(lines, l);)
            if (!c.up && l.rfind("# TYPE ", 0) == 0) {
                const std::string family = l.substr(7, l.find(' ', 7) - 7);
                EXPECT_EQ(lineFamilies.count(family), 1u) << family;
            }
        const Json::Value state = StateJson(*store.Current(), line.since + std::chrono::seconds(25));
        EXPECT_EQ(state["line"]["state"].asString(), c.up ? "up" : "down");
        EXPECT_EQ(state["line"]["since_s"].asInt(), 25);
        EXPECT_EQ(state["line"].isMember("reason"), !c.up);
        // The page still has the old values to show greyed, with their time.
        EXPECT_EQ(state["devices"].size(), 1u);
    }
}

// The web server's and the broker client's threads read snapshots while the
// polling thread publishes them; ThreadSanitizer watches this.
TEST(PollNet, SnapshotsAreReadWhileRoundsArePublished)
{
    StateStore store;
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    std::atomic<size_t> reads{0};
    for (int k = 0; k < 3; ++k) {
        readers.emplace_back([&] {
            while (!done) {
                const std::shared_ptr<const Snapshot> s = store.Current();
                reads += MetricsText(*s).size() > 0;
                reads += StateJson(*s).isObject();
                reads += PlotsJson(*s->plots).isObject();
            }
        });
    }
    for (unsigned long round = 1; round <= 300; ++round) {
        const std::vector<unsigned char> image = DcImage(50.0f + static_cast<float>(round % 7));
        store.Publish(Dc(), 5087, image.data(), image.size());
        store.Rule(Dc(), Rule("DC_3", "fuse 4", round % 2 == 0));
        store.Alarm(Dc(), Rule("DC_3", "fuse 4", true), round % 2 == 0);
        store.Round(round, true, 0.5);
    }
    done = true;
    for (std::thread& t : readers) t.join();
    EXPECT_GT(reads.load(), 0u);
    EXPECT_EQ(store.Current()->round, 300u);
}

#else

TEST(PollNet, NeedsTheNetworkOutputs) { GTEST_SKIP() << "built without libmosquitto or cpp-httplib"; }

#endif

}  // namespace
