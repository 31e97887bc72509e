// The rule line is written by hand for speed; it must stay the line jsoncpp
// writes for the same event.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "json_line.h"
#include "json_text.h"
#include "output.h"

namespace {

using namespace vxpoll;

TEST(PollRuleLine, EqualsTheGenericJsonLine)
{
    struct Case {
        DeviceRef device;
        int level;
        unsigned sequence;
        bool state;
        std::string key, code, name, text;
    };
    const Case cases[] = {
        {{21, "vx42b-dc"}, 1, 7, true, "DC_3", "06001", "电池熔丝故障告警", "直流4电池熔丝故障告警"},
        {{4294967295u, "vx42b-ac"}, -2147483647 - 1, 4294967295u, false, "AC_0", "06015", "", ""},
        {{0, ""},
         3,
         0,
         true,
         "q\"uote\\back/slash",
         "\b\f\n\r\t",
         std::string("nul\0x\x01\x1f\x7f", 9),
         "\xe2\x80\xa8 \xff\xfe \xc3"},
    };
    for (const Case& c : cases) {
        rule_value rule;
        rule.level = c.level;
        rule.sequence = c.sequence;
        rule.value = c.state ? 1 : 0;
        rule.key = c.key;
        rule.code = c.code;
        rule.name = c.name;
        rule.text = c.text;
        std::ostringstream out;
        JsonSink sink(out);
        sink.Rule(c.device, rule);
        std::string line = out.str();
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();

        // The generic line for the same event, with the time the line carries.
        const size_t at = line.rfind(",\"time\":\"");
        ASSERT_NE(at, std::string::npos) << line;
        Json::Value expected = RuleJson(c.device, rule);
        expected["event"] = "rule";
        expected["time"] = line.substr(at + 9, 23);
        EXPECT_EQ(line, ToJsonLine(expected));
    }
}

TEST(PollRuleLine, AppendJsonWritesWhatJsoncppWrites)
{
    std::vector<Json::Value> values;
    for (
        const char* text : {
            R"({})",
            R"([])",
            R"({"a":[],"b":{},"c":null})",
            R"([1,-2,3.5,-0.0,1e21,1e-7,0.1,1.0,123456789012345678])",
            R"({"z":true,"a":false,"m":"q\"uote\\ \u0001\n\t 中文","\u00e9k\"ey":[[1,[2]],{"x":{"y":[]}}]})",
            R"([18446744073709551615,-9223372036854775808,4294967296,0.30000000000000004,2.5e-308,1.7976931348623157e308])",
        })
        values.push_back(ParseJson(text));
    // Decoded records, as the publish and history lines carry them.
    const struct {
        int type;
        size_t size;
    } images[] = {{5085, 31 + 26 * 2}, {5087, 101}, {5086, 65 + 38 * 3}, {5086, 65}, {5085, 20}};
    for (const auto& image : images) {
        std::vector<unsigned char> bytes(image.size);
        for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>((k * 37 + 11) % 251);
        if (image.type == 5085 && image.size > 16) bytes[16] = 2;
        if (image.type == 5086 && image.size > 57) bytes[57] = static_cast<unsigned char>((image.size - 65) / 38);
        values.push_back(PublishJson(DeviceRef{7, "vx42b-x"}, image.type, bytes.data(), bytes.size()));
        values.push_back(HistoryJson(DeviceRef{7, "vx42b-x"}, image.type, bytes.data(), bytes.size()));
    }
    for (const Json::Value& v : values) {
        std::string fast;
        AppendJson(fast, v);
        EXPECT_EQ(fast, ToJsonLine(v));
    }
}

}  // namespace
