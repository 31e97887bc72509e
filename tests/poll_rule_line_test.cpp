// The rule line is written by hand for speed; it must stay the line jsoncpp
// writes for the same event.
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <json/value.h>

#include "json_line.h"
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
        {{0, ""}, 3, 0, true, "q\"uote\\back/slash", "\b\f\n\r\t", std::string("nul\0x\x01\x1f\x7f", 9),
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

}  // namespace
