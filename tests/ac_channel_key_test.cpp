// The hand-written channel key search against the regular expression it
// replaced, on keys chosen to trip one or the other.
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "channel_key.h"

namespace {

struct Found {
    bool match = false;
    std::string digits;
    char field = 0;
};

Found ByRegex(const std::string& key)
{
    static const std::regex kChannelKey("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    std::smatch m;
    Found out;
    if (!std::regex_search(key, m, kChannelKey)) return out;
    out.match = true;
    out.digits = m.str(1);
    out.field = m.str(2)[0];
    return out;
}

Found ByHand(const std::string& key)
{
    ChannelKey where;
    Found out;
    if (!FindChannelKey(key, where)) return out;
    out.match = true;
    out.digits = key.substr(where.digits, where.digitCount);
    out.field = where.field;
    return out;
}

TEST(ChannelKey, FindsWhatTheRegularExpressionFinds)
{
    const std::string keys[] = {
        "channel_0_a",
        "channel_1_c",
        "channel_12_f",
        "channel_0_abc",
        "xchannel_0_b",
        "xchannel_channel_1_a",
        "channel_channel_2_b",
        "channel__1_a",
        "channel_1_",
        "channel_1",
        "channel_01_ab",
        "channel_001_f",
        "channel_",
        "channel",
        "",
        "ia",
        "channel_x_1_a",
        "channel_99999999999999999999999999_a",
        "channel_4294967296_a",
        "CHANNEL_1_a",
        "channel_1__",
        "channel_1_\n",
        "channel_1_\r",
        "channel_1_\na channel_2_b",
        "channel_1_\t",
        "channel_1_\xc3\xa9",
        "channel_\xd9\xa1_a",
        "channel_1\xef\xbc\x90_a",
        "\xff"
        "channel_3_\x80",
        "channel_1_a_channel_2_b",
        "channel_1x_a channel_5_c",
        std::string("channel_\0_a", 11),
        std::string("channel_1_\0", 11),
        "channel_2_a\n",
        "ch annel_1_a",
        "channel_-1_a",
        "channel_+1_a",
    };
    for (const std::string& key : keys) {
        const Found expected = ByRegex(key);
        const Found got = ByHand(key);
        EXPECT_EQ(got.match, expected.match) << testing::PrintToString(key);
        EXPECT_EQ(got.digits, expected.digits) << testing::PrintToString(key);
        EXPECT_EQ(got.field, expected.field) << testing::PrintToString(key);
    }
}

}  // namespace
