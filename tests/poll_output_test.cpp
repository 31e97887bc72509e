// The poller's parts between the plug-in and the user: queries, configuration
// checks, the controller's routing, frame tracing and both output forms.
#include <sstream>

#include <gtest/gtest.h>

#include "backoff.h"
#include "config.h"
#include "e2e_support.h"
#include "json_line.h"
#include "memory_port.h"
#include "output.h"
#include "SMDSPDevice.h"
#include "poll_controller.h"
#include "query.h"
#include "tracing_port.h"

namespace {

using namespace vxpoll;

const unsigned char kImage[] = {0x15, 0x16, 0x17};

TEST(PollQuery, ParsesDataIdAndKey)
{
    struct Case {
        const char* text;
        bool ok;
        uint32_t id;
        const char* keyOrError;
    };
    const Case cases[] = {
        {"21:v", true, 21, "v"},
        {"11:channel_0_a", true, 11, "channel_0_a"},
        {"4294967295:a:b", true, 4294967295u, "a:b"},
        {"21", false, 0, "query \"21\" is not DATAID:KEY"},
        {"21:", false, 0, "query \"21:\" has no key"},
        {":v", false, 0, "query \":v\": data id \"\" is not an unsigned number"},
        {"-1:v", false, 0, "query \"-1:v\": data id \"-1\" is not an unsigned number"},
        {"4294967296:v", false, 0, "query \"4294967296:v\": data id 4294967296 is too large"},
    };
    for (const Case& c : cases) {
        Query q;
        std::string error;
        ASSERT_EQ(ParseQuery(c.text, q, error), c.ok) << c.text;
        EXPECT_EQ(c.ok ? q.key : error, c.keyOrError);
        if (c.ok) {
            EXPECT_EQ(q.dataId, c.id);
        }
    }
}

TEST(PollConfig, NamesTheKeyThatIsWrong)
{
    const std::pair<const char*, const char*> cases[] = {
        {DefaultConfigText(), ""},
        {R"({"data_id": 1, "rcSetting": {}, "port": "tcp:h:1", "baud": 19200, "address": 255})", ""},
        {R"({"data_id": 1, "dcSetting": [{"data_id": 2, "appSetting": {"diff_v": "0.5", "diff_i": 3}}],
            "rcSetting": {}})",
         ""},
        {"[]", "the configuration must be a JSON object"},
        {R"({"rcSetting": {}})", "\"data_id\" is missing"},
        {R"({"data_id": -1, "rcSetting": {}})", "\"data_id\" must be an unsigned number"},
        {R"({"data_id": 1, "acSetting": [{}], "rcSetting": {}})", "acSetting[0].data_id is missing"},
        {R"({"data_id": 1, "acSetting": [7], "rcSetting": {}})", "acSetting[0] must be an object"},
        {R"({"data_id": 1, "dcSetting": [{"data_id": 2, "appSetting": []}], "rcSetting": {}})",
         "dcSetting[0].appSetting must be an object"},
        {R"({"data_id": 1, "acSetting": [{"data_id": 2, "appSetting": {"diff_i": true}}], "rcSetting": {}})",
         "acSetting[0].appSetting.diff_i must be a number"},
        {R"({"data_id": 1, "rcSetting": []})", "rcSetting must be an object"},
        {R"({"data_id": 1, "rcSetting": {}, "baud": 9601})",
         "\"baud\" must be one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400"},
        {R"({"data_id": 1, "rcSetting": {}, "address": 256})", "\"address\" must be a number from 0 to 255"},
        {R"({"data_id": 1, "rcSetting": {}, "reply_timeout_ms": 5})",
         "\"reply_timeout_ms\" must be a number from 10 to 600000"},
        {R"({"data_id": 1, "rcSetting": {}, "port": 3})", "\"port\" must be a device path or tcp:HOST:PORT"},
    };
    for (const auto& [text, message] : cases) {
        Json::Value config;
        std::string error;
        ASSERT_TRUE(ParseConfigText(text, "test", config, error)) << error;
        EXPECT_EQ(ValidateConfig(config, error), *message == '\0') << text;
        if (*message != '\0') {
            EXPECT_EQ(error, message);
        }
    }
    Json::Value config;
    std::string error;
    EXPECT_FALSE(ParseConfigText(R"({"data_id": 1, "data_id": 2})", "site.json", config, error));
    EXPECT_EQ(error.rfind("site.json is not valid JSON: ", 0), 0u) << error;
}

TEST(PollBackoff, DoublesFromOneSecondUpToThirty)
{
    Backoff backoff;
    std::vector<long> delays;
    for (int k = 0; k < 7; ++k) delays.push_back(static_cast<long>(backoff.Next().count()));
    EXPECT_EQ(delays, (std::vector<long>{1, 2, 4, 8, 16, 30, 30}));
    backoff.Reset();
    EXPECT_EQ(backoff.Next().count(), 1);
}

TEST(PollJson, FloatsAreShortestAndNonNumbersNull)
{
    Json::Value v;
    v["a"] = FloatJson(230.1f);
    v["b"] = FloatJson(-0.1f);
    v["c"] = FloatJson(std::numeric_limits<float>::infinity());
    v["d"] = FloatJson(1e-7f);
    EXPECT_EQ(ToJsonLine(v), R"({"a":230.1,"b":-0.1,"c":null,"d":1e-07})");
}

// Strings are scanned eight bytes at a time: every byte that needs an
// escape is found wherever it falls in a word, in UTF-8 text too.
TEST(PollJson, StringsEscapeEveryByteThatNeedsItAtAnyPosition)
{
    const struct {
        char c;
        const char* escaped;
    } specials[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\x01', "\\u0001"}, {'\x1f', "\\u001f"}};
    const std::string plain = "\xe7\x94\xb5\xe6\xb1\xa0 abc~\x7f";  // UTF-8, a space, DEL: as they are
    for (const auto& special : specials) {
        for (size_t length = 1; length <= 20; ++length) {
            for (size_t at = 0; at < length; ++at) {
                std::string text;
                std::string expected = "\"";
                for (size_t k = 0; k < length; ++k) {
                    const char c = k == at ? special.c : plain[k % plain.size()];
                    text += c;
                    expected += k == at ? std::string(special.escaped) : std::string(1, c);
                }
                expected += '"';
                std::string out;
                AppendJsonString(out, text);
                ASSERT_EQ(out, expected) << "length " << length << ", escape at " << at;
            }
        }
    }
    std::string out;
    AppendHexString(out, kImage, sizeof kImage);
    EXPECT_EQ(out, "\"151617\"");
}

// Records what reaches the sink, one line per call.
class ListSink : public EventSink {
public:
    std::vector<std::string> calls;
    void Round(unsigned long n, bool complete, double) override
    {
        Add("round", std::to_string(n) + (complete ? " complete" : " abandoned"));
    }
    void Publish(const DeviceRef& d, int type, const unsigned char*, size_t size) override
    {
        Add("publish", Id(d) + " " + std::to_string(type) + " " + std::to_string(size));
    }
    void Rule(const DeviceRef& d, const rule_value& r) override
    {
        Add("rule", Id(d) + " " + r.key + (r.value ? " on" : " off"));
    }
    void Alarm(const DeviceRef& d, const rule_value& r, bool raised) override
    {
        Add("alarm", Id(d) + " " + r.key + (raised ? " raised" : " cleared"));
    }
    void History(const DeviceRef& d, int type, const unsigned char*, size_t) override
    {
        Add("history", Id(d) + " " + std::to_string(type));
    }
    void Log(const std::string& text, LogSource) override { Add("log", text); }
    void Value(unsigned long, const Query&, bool, float, const std::string&) override {}
    void Frame(bool tx, const std::string& bytes) override { Add(tx ? "tx" : "rx", bytes); }
    void Finish() override {}

private:
    static std::string Id(const DeviceRef& d) { return d.type + "/" + std::to_string(d.dataId); }
    void Add(const std::string& what, const std::string& detail) { calls.push_back(what + " " + detail); }
};

class Unit : public SMDSPDevice {
public:
    explicit Unit(const char* type) { deviceType_ = type; }
};

rule_value Rule(const char* key, bool on)
{
    rule_value r;
    r.key = key;
    r.text = key;
    r.value = on ? 1 : 0;
    return r;
}

TEST(PollController, RoutesHooksToSinkCacheAndRounds)
{
    e2e::TempDir dir;
    const ImageCache cache(dir.Path());
    ListSink sink;
    auto controller = std::make_shared<PollController>(sink, &cache, nullptr);
    auto dc = std::make_shared<Unit>("vx42b-dc");
    dc->InitV(nullptr, 21, Json::Value());
    dc->SetController(controller);

    dc->SendSP(5087, kImage, sizeof kImage, false);
    dc->SaveDeviceHistory(kImage, sizeof kImage);
    controller->OnAlarmBatch(*dc, {Rule("DC_0", true), Rule("DC_1", false)});
    controller->OnAlarmBatch(*dc, {Rule("DC_0", false), Rule("DC_1", false)});
    controller->OnRoundEnd(*dc, true);
    controller->OnRoundEnd(*dc, false);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"publish vx42b-dc/21 5087 3", "history vx42b-dc/21 5087",
                                                    "rule vx42b-dc/21 DC_0 on", "rule vx42b-dc/21 DC_1 off",
                                                    "alarm vx42b-dc/21 DC_0 raised", "rule vx42b-dc/21 DC_0 off",
                                                    "rule vx42b-dc/21 DC_1 off", "alarm vx42b-dc/21 DC_0 cleared"}));
    EXPECT_EQ(controller->TakeRoundEnds(), (std::vector<bool>{true, false}));
    EXPECT_TRUE(controller->TakeRoundEnds().empty());
    std::string image, error;
    ASSERT_TRUE(cache.Load("vx42b-dc", 21, 5087, image, error));
    EXPECT_EQ(image, "\x15\x16\x17");
}

TEST(PollTracingPort, ReportsFramesAndRemembersFailure)
{
    auto memory = std::make_shared<MemoryPort>();
    ListSink sink;
    TracingPort port(memory, [&sink](bool tx, const std::string& f) { sink.Frame(tx, f); });
    ASSERT_TRUE(port.Open());
    const std::string command = "~200140510000FDB3\r";
    ASSERT_TRUE(port.Write(reinterpret_cast<const unsigned char*>(command.data()), command.size()));
    memory->Inject("~2001\r~20");
    unsigned char buf[64];
    EXPECT_EQ(port.Read(buf, sizeof buf), 9);
    memory->Inject("01\r");
    EXPECT_EQ(port.Read(buf, sizeof buf), 3);
    memory->Inject("noise");
    EXPECT_EQ(port.Read(buf, sizeof buf), 5);
    EXPECT_FALSE(port.Failed());
    port.Close();  // what never ended a frame is still shown
    EXPECT_EQ(port.Read(buf, sizeof buf), -1);
    EXPECT_TRUE(port.Failed());
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"tx " + command, "rx ~2001\r", "rx ~2001\r", "rx noise"}));
}

TEST(PollOutput, JsonLinesCarryEveryField)
{
    std::ostringstream text;
    JsonSink sink(text);
    rule_value r = Rule("DC_3", true);
    r.code = "06001";
    r.level = 1;
    r.name = "电池熔丝故障告警";
    r.text = "直流4电池熔丝故障告警";
    r.sequence = 7;
    sink.Rule(DeviceRef{21, "vx42b-dc"}, r);
    sink.Alarm(DeviceRef{21, "vx42b-dc"}, r, false);
    sink.Round(3, false, 1.23456);
    sink.Value(3, Query{21, "v"}, true, 53.5f, "");
    sink.Value(3, Query{21, "x"}, false, 0, "数据未就绪");
    sink.Log("PMBusPower:ProcotolError 1 parse p41_41 overflow memory boundary", LogSource::Device);
    sink.Frame(false, std::string("~20\x01\r", 5));
    auto lines = e2e::JsonLines(text.str());
    ASSERT_EQ(lines.size(), 7u);
    for (auto& line : lines) {
        Json::Value time;
        ASSERT_TRUE(line.removeMember("time", &time));
        EXPECT_EQ(time.asString().size(), 23u);
    }
    EXPECT_EQ(ToJsonLine(lines[0]),
              R"({"code":"06001","data_id":21,"device_type":"vx42b-dc","event":"rule","key":"DC_3","level":1,)"
              R"("name":"电池熔丝故障告警","seq":7,"state":true,"text":"直流4电池熔丝故障告警"})");
    EXPECT_EQ(lines[1]["transition"].asString(), "cleared");
    EXPECT_EQ(ToJsonLine(lines[2]), R"({"complete":false,"duration_s":1.235,"event":"round","round":3})");
    EXPECT_EQ(ToJsonLine(lines[3]), R"({"data_id":21,"event":"value","key":"v","round":3,"value":53.5})");
    EXPECT_EQ(lines[4]["error"].asString(), "数据未就绪");
    EXPECT_EQ(lines[5]["source"].asString(), "device");
    EXPECT_EQ(ToJsonLine(lines[6]), R"({"event":"rx","hex":"7e3230010d","text":"~20\\x01"})");
}

TEST(PollOutput, HumanViewShowsARepeatedLogLineOnceWithACount)
{
    std::ostringstream text;
    HumanSink sink(text);
    for (int k = 0; k < 3; ++k) sink.Log("SMDSPDevice:Timeout 1 no reply within 100 ms", LogSource::Device);
    sink.Log("port /dev/ttyUSB0 open", LogSource::Poller);
    sink.Alarm(DeviceRef{21, "vx42b-dc"}, Rule("DC_0", true), true);
    sink.Round(1, true, 0.5);
    sink.Log("SMDSPDevice:Timeout 1 no reply within 100 ms", LogSource::Device);  // a new round, shown again
    sink.Finish();
    std::vector<std::string> lines;
    std::stringstream all(text.str());
    for (std::string line; std::getline(all, line);) {
        // Log lines start with the wall-clock time.
        if (line.size() > 9 && line[2] == ':' && line[5] == ':') line = line.substr(9);
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 6u) << text.str();
    EXPECT_EQ(lines[0], "log  SMDSPDevice:Timeout 1 no reply within 100 ms");
    EXPECT_EQ(lines[1], "vx42b-poll: port /dev/ttyUSB0 open");
    EXPECT_EQ(lines[2], "(2 more) log  SMDSPDevice:Timeout 1 no reply within 100 ms");
    EXPECT_EQ(lines[3].rfind("-- round 1 | complete | 0.50 s | ", 0), 0u);
    EXPECT_EQ(lines[4], "  alarm raised   L0  DC 21  DC_0  [DC_0 ]");
    EXPECT_EQ(lines[5], "log  SMDSPDevice:Timeout 1 no reply within 100 ms");
}

TEST(PollOutput, HumanViewNamesAlarmsInTheChosenLanguage)
{
    rule_value fuse;
    fuse.level = 1;
    fuse.key = "DC_3";
    fuse.code = "06001";
    fuse.name = "电池熔丝故障告警";
    fuse.text = "直流4电池熔丝故障告警";
    fuse.value = 1;
    const std::pair<Lang, const char*> cases[] = {
        {Lang::En, "  alarm raised   L1  DC 21  Battery fuse fault, fuse 4  [DC_3 06001]"},
        {Lang::Zh, "  alarm raised   L1  DC 21  电池熔丝故障告警 直流4电池熔丝故障告警  [DC_3 06001]"},
    };
    for (const auto& [lang, expected] : cases) {
        std::ostringstream text;
        HumanSink sink(text, lang);
        sink.Alarm(DeviceRef{21, "vx42b-dc"}, fuse, true);
        sink.Round(1, true, 0.5);
        EXPECT_NE(text.str().find(std::string(expected) + "\n"), std::string::npos) << text.str();
    }
}

}  // namespace
