// vx42b-poll against vx42b-sim with its web server on: /metrics and
// /api/state over plain HTTP, then behind basic authentication and TLS.

#include <atomic>
#include <cstring>
#include <map>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "crypt_hash.h"
#include "e2e_support.h"

#ifdef VX42B_POLL_WITH_NET
#include <httplib.h>
#endif

namespace {

#if defined(VX42B_POLL_WITH_NET) && defined(VX42B_SIM_EXE)

using namespace vxpoll::e2e;
using namespace std::chrono_literals;

Json::Value Parse(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
    return v;
}

// The poller with --http on a free port; the port comes from its log line.
class PollWithHttp {
public:
    PollWithHttp(const TempDir& dir, const std::vector<std::string>& extra)
    {
        Json::Value schedule(Json::arrayValue);
        Json::Value fuse;
        fuse["round"] = 2;
        fuse["set"]["dc[0].fuse_state[3]"] = 3;
        schedule.append(fuse);
        sim_ = std::make_unique<Sim>(
            dir.Write("scenario.json", StillScenario([&schedule](Json::Value& s) { s["schedule"] = schedule; })));
        std::vector<std::string> argv{PollExe(), "--json",     "--plugin", PluginPath(),
                                      "--port",  sim_->Path(), "--config", dir.Write("config.json", TestConfig(1000))};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = std::make_unique<Child>(argv);
        const std::regex serving(R"(http: serving https?://127\.0\.0\.1:(\d+)/)");
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (port_ == 0 && std::chrono::steady_clock::now() < deadline && child_->ReadLine(line, 20s)) {
            const Json::Value v = Parse(line);
            std::smatch m;
            const std::string text = v["text"].asString();
            if (v["event"].asString() == "log") logs_.push_back(text);
            if (std::regex_search(text, m, serving)) port_ = std::stoi(m[1]);
        }
        drain_ = std::thread([this] {
            std::string l;
            while (!stop_) child_->ReadLine(l, 1s);
        });
    }
    ~PollWithHttp()
    {
        stop_ = true;
        if (drain_.joinable()) drain_.join();
        child_->Kill(SIGTERM);
        child_->Collect(20s);
    }
    int Port() const { return port_; }
    const std::vector<std::string>& Logs() const { return logs_; }
    std::string Err() const { return child_->Err(); }

private:
    std::unique_ptr<Sim> sim_;
    std::unique_ptr<Child> child_;
    std::thread drain_;
    std::atomic<bool> stop_{false};
    int port_ = 0;
    std::vector<std::string> logs_;
};

// Asks /api/state until `ready` holds for it.
template <class Client>
Json::Value StateWhen(Client& client, const std::function<bool(const Json::Value&)>& ready,
                      const httplib::Headers& headers = {})
{
    Json::Value state;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto res = client.Get("/api/state", headers);
        if (res && res->status == 200) {
            state = Parse(res->body);
            if (ready(state)) return state;
        }
        std::this_thread::sleep_for(200ms);
    }
    return state;
}

const Json::Value* Device(const Json::Value& state, unsigned id)
{
    for (const Json::Value& d : state["devices"])
        if (d["data_id"].asUInt() == id) return &d;
    return nullptr;
}

bool AlarmPresent(const Json::Value& state, const std::string& key)
{
    for (const Json::Value& a : state["alarms"])
        if (a["key"].asString() == key) return true;
    return false;
}

// name{labels} -> value, for every sample line; a line that is neither a
// comment nor a sample fails the test.
std::map<std::string, double> Samples(const std::string& text)
{
    std::map<std::string, double> out;
    std::istringstream lines(text);
    const std::regex sample(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*(\{.*\})?) ([-+0-9.eEInfNa]+)$)");
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, sample)) << line;
        if (m.size() == 4) out[m[1]] = std::stod(m[3]);
    }
    return out;
}

TEST(PollHttp, MetricsAndStateShowValuesRulesAlarmsAndTheLine)
{
    TempDir dir;
    PollWithHttp poll(dir, {"--http", "127.0.0.1:0"});
    ASSERT_NE(poll.Port(), 0) << poll.Err();
    httplib::Client client("127.0.0.1", poll.Port());

    const Json::Value state =
        StateWhen(client, [](const Json::Value& s) { return s["round"].asUInt() >= 3 && AlarmPresent(s, "DC_3"); });
    ASSERT_TRUE(AlarmPresent(state, "DC_3")) << state.toStyledString();
    const Json::Value* dc = Device(state, 21);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ((*dc)["device_type"].asString(), "vx42b-dc");
    EXPECT_FLOAT_EQ((*dc)["fields"]["v"].asFloat(), 53.5f);
    EXPECT_EQ((*dc)["units"]["v"].asString(), "V");
    EXPECT_EQ((*dc)["units"]["battery_i"].asString(), "A");
    EXPECT_EQ((*dc)["alarms"][0]["key"].asString(), "DC_3");
    bool fuseRuleOn = false;
    for (const Json::Value& r : (*dc)["rules"])
        fuseRuleOn = fuseRuleOn || (r["key"].asString() == "DC_3" && r["state"].asBool());
    EXPECT_TRUE(fuseRuleOn);
    for (unsigned id : {1u, 11u, 12u}) EXPECT_NE(Device(state, id), nullptr) << id;
    EXPECT_GE(state["line"]["rounds_complete"].asUInt(), 3u);
    EXPECT_FALSE(state["line"]["port"].asString().empty());

    auto res = client.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->get_header_value("Content-Type").find("text/plain; version=0.0.4"), std::string::npos);
    const std::map<std::string, double> samples = Samples(res->body);
    struct Expect {
        const char* sample;
        double value;  // NaN: only present
    };
    const double any = std::nan("");
    const std::vector<Expect> expected{
        {R"(vx42b_dc_output_voltage_volts{data_id="21"})", 53.5},
        {R"(vx42b_battery_current_amperes{data_id="21",battery="2"})", 4.9},
        {R"(vx42b_ac_phase_voltage_volts{data_id="11",channel="2",phase="a"})", 230},
        {R"(vx42b_ac_frequency_hertz{data_id="11",channel="2"})", 50},
        {R"(vx42b_rectifier_output_current_amperes{data_id="1",module="1"})", 20.4},
        {R"(vx42b_battery_fuse_state{data_id="21",fuse="4"})", 3},
        {R"(vx42b_alarms_present{data_id="21"})", 1},
        {R"(vx42b_rounds_total{result="complete"})", any},
        {R"(vx42b_rounds_total{result="abandoned"})", 0},
        {R"(vx42b_reply_timeouts_total)", any},
        {R"(vx42b_round_duration_seconds_bucket{le="+Inf"})", any},
        {R"(vx42b_round_duration_seconds_count)", any},
        {R"(vx42b_round_duration_seconds_sum)", any},
    };
    for (const Expect& e : expected) {
        const auto found = samples.find(e.sample);
        ASSERT_NE(found, samples.end()) << e.sample;
        if (!std::isnan(e.value)) {
            EXPECT_NEAR(found->second, e.value, 1e-4) << e.sample;
        }
    }
    // The histogram's +Inf bucket counts every round; the fuse rule that fired shows 1.
    EXPECT_EQ(samples.at(R"(vx42b_round_duration_seconds_bucket{le="+Inf"})"),
              samples.at("vx42b_round_duration_seconds_count"));
    size_t fuseOn = 0;
    for (const auto& s : samples)
        if (s.first.rfind(R"(vx42b_alarm_active{data_id="21",key="DC_3",)", 0) == 0 && s.second == 1) ++fuseOn;
    EXPECT_EQ(fuseOn, 1u);
    // Every family is announced once, before its samples.
    EXPECT_EQ(samples.count(R"(vx42b_alarm_active{data_id="21",key="DC_3",code="06001",item="fuse_4",level="1"})"), 1u);
    for (const char* family :
         {"vx42b_dc_output_voltage_volts gauge", "vx42b_alarm_active gauge", "vx42b_battery_current_amperes gauge",
          "vx42b_rounds_total counter", "vx42b_round_duration_seconds histogram", "vx42b_frame_errors_total counter"}) {
        const std::string type = std::string("# TYPE ") + family + "\n";
        const size_t at = res->body.find(type);
        EXPECT_NE(at, std::string::npos) << family;
        EXPECT_EQ(res->body.find(type, at + 1), std::string::npos) << family;
    }

    auto history = client.Get("/api/history");
    ASSERT_TRUE(history);
    const Json::Value plots = Parse(history->body);
    EXPECT_GE(plots["times"].size(), 1u);
    std::map<std::string, size_t> charts;
    for (const Json::Value& s : plots["series"]) ++charts[s["chart"].asString()];
    EXPECT_EQ(charts["dc_voltage"], 1u);
    EXPECT_EQ(charts["battery_current"], 2u);
    EXPECT_EQ(charts["ac_voltage"], 9u);  // unit 11: two channels, unit 12: one; three phases each
    // Without a history file the longer ranges say what they need.
    auto week = client.Get("/api/history?range=7d");
    ASSERT_TRUE(week);
    EXPECT_NE(Parse(week->body)["note"].asString().find("--history"), std::string::npos) << week->body;

    // Read-only, bounded requests.
    struct RequestCase {
        const char* method;
        const char* path;
        size_t bodySize;
        int status;
    };
    const std::vector<RequestCase> requests{
        {"GET", "/", 0, 200},
        {"GET", "/app.js", 0, 200},
        {"GET", "/chart.js", 0, 200},
        {"GET", "/nothing", 0, 404},
        {"POST", "/api/state", 10, 405},
        {"DELETE", "/metrics", 0, 405},
        {"PUT", "/", 4096, 405},
        {"GET", "/api/history?range=1y", 0, 400},
        {"GET", "/api/history?range=7d", 0, 200},
    };
    for (const RequestCase& r : requests) {
        SCOPED_TRACE(std::string(r.method) + " " + r.path);
        httplib::Request req;
        req.method = r.method;
        req.path = r.path;
        req.body.assign(r.bodySize, 'x');
        if (r.bodySize > 0) req.set_header("Content-Type", "text/plain");
        auto got = client.send(req);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->status, r.status);
    }
    // A request line past the library's bound is refused without reading on.
    auto huge = client.Get(("/" + std::string(10000, 'a')).c_str());
    EXPECT_TRUE(!huge || huge->status >= 400);
}

TEST(PollHttp, BasicAuthenticationOverTls)
{
    TempDir dir;
    const std::string cert = dir.Path() + "/cert.pem";
    const std::string key = dir.Path() + "/key.pem";
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
        "subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0) << "openssl could not make a test certificate";
    const std::string users = dir.Write("users", "# who may read\nalice:" + CryptHash("$2b$", "wonder") +
                                                     "\nbob:" + CryptHash("$6$", "builder") + "\n");
    ::chmod(users.c_str(), 0644);
    ::chmod(key.c_str(), 0600);
    PollWithHttp poll(dir, {"--http", "127.0.0.1:0", "--http-auth", users, "--http-cert", cert, "--http-key", key});
    ASSERT_NE(poll.Port(), 0) << poll.Err();
    // The users file others can read is named; the key only its owner reads is not.
    size_t usersWarned = 0;
    for (const std::string& log : poll.Logs()) {
        EXPECT_EQ(log.find("--http-key"), std::string::npos) << log;
        if (log == "--http-auth: " + users + " is readable by other users; chmod 600 it") ++usersWarned;
    }
    EXPECT_EQ(usersWarned, 1u);

    httplib::SSLClient client("127.0.0.1", poll.Port());
    client.set_ca_cert_path(cert.c_str());
    client.enable_server_certificate_verification(true);
    struct AuthCase {
        const char* user;
        const char* password;
        int status;
    };
    const std::vector<AuthCase> cases{
        {nullptr, nullptr, 401},   {"alice", "wonder", 200}, {"bob", "builder", 200},
        {"alice", "builder", 401}, {"carol", "wonder", 401}, {"alice", "", 401},
    };
    for (const AuthCase& c : cases) {
        SCOPED_TRACE(c.user == nullptr ? "no credentials" : std::string(c.user) + ":" + c.password);
        httplib::Headers headers;
        if (c.user != nullptr) headers.insert(httplib::make_basic_authentication_header(c.user, c.password));
        // Wrong passwords once each: a few more would make the address wait (tested beside).
        const bool wrong = c.user != nullptr && c.status != 200;
        for (const char* path : {"/", "/metrics", "/api/state"}) {
            if (wrong && std::strcmp(path, "/metrics") != 0) continue;
            auto res = client.Get(path, headers);
            ASSERT_TRUE(res) << httplib::to_string(res.error());
            EXPECT_EQ(res->status, c.status) << path;
            if (c.status == 401) {
                EXPECT_NE(res->get_header_value("WWW-Authenticate").find("Basic"), std::string::npos);
            }
        }
    }
    // Plain HTTP on the TLS port gets nothing.
    httplib::Client plain("127.0.0.1", poll.Port());
    auto res = plain.Get("/metrics");
    EXPECT_TRUE(!res || res->status != 200);
}

TEST(PollHttp, RefusesWhatItCannotServe)
{
    TempDir dir;
    const std::string config = dir.Write("config.json", TestConfig(1000));
    const std::string badUsers = dir.Write("users", "alice:plaintext\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const std::vector<Case> cases{
        {{"--http", "127.0.0.1:99999"}, "port number"},
        {{"--http", "::1:80"}, "brackets"},
        {{"--http", "127.0.0.1:0", "--http-auth", badUsers}, "users:1: the password of \"alice\""},
        {{"--http", "127.0.0.1:0", "--http-cert", config}, "--http-cert and --http-key go together"},
        {{"--http", "127.0.0.1:0", "--http-cert", config, "--http-key", config}, "cannot use the certificate"},
        {{"--http-auth", badUsers}, "--http"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> argv{PollExe(), "--json",    "--plugin", PluginPath(),
                                      "--port",  "/dev/null", "--config", config};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child poll(argv);
        EXPECT_EQ(poll.Collect(20s), 2);
        EXPECT_NE(poll.Err().find(c.message), std::string::npos) << poll.Err();
    }
}

#else

TEST(PollHttp, NeedsTheNetworkOutputsAndTheSimulator) { GTEST_SKIP() << "built without cpp-httplib or the simulator"; }

#endif

}  // namespace
