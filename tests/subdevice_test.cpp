// What the three sub-devices share: the clock, the freshness test and their
// "appSetting" keys.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "json_text.h"
#include "subdevice.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;

TEST(SubDevice, NowIsTheLocalClockToTheSecond)
{
    // Read twice around it: a second may tick over in between.
    const ptime before = boost::posix_time::second_clock::local_time();
    const ptime now = subdevice::Now();
    const ptime after = boost::posix_time::second_clock::local_time();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
    EXPECT_EQ(now.time_of_day().fractional_seconds(), 0);
}

// The time zone's offset is applied, east and west of UTC alike.
TEST(SubDevice, NowFollowsTheTimeZone)
{
    const char* const saved = std::getenv("TZ");
    const std::string keep = saved != nullptr ? saved : "";
    for (const char* zone : {"UTC0", "CST-8", "EST5", "NPT-5:45"}) {
        SCOPED_TRACE(zone);
        ::setenv("TZ", zone, 1);
        ::tzset();
        const ptime before = boost::posix_time::second_clock::local_time();
        const ptime now = subdevice::Now();
        const ptime after = boost::posix_time::second_clock::local_time();
        EXPECT_LE(before, now);
        EXPECT_LE(now, after);
    }
    if (saved != nullptr)
        ::setenv("TZ", keep.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

// A round end renews the last-update time and stamps the record from the same clock.
TEST(SubDevice, StampRoundRenewsTheLastUpdateAndTheRecordTime)
{
    ptime last(boost::posix_time::not_a_date_time);
    unsigned char ttime[7] = {};
    const ptime before = subdevice::Now();
    subdevice::StampRound(last, ttime);
    const ptime after = subdevice::Now();
    ASSERT_FALSE(last.is_special());
    EXPECT_LE(before, last);
    EXPECT_LE(last, after);
    bool matches = false;
    for (ptime t = before; t <= after; t += seconds(1)) {
        const auto stamp = get_ttime(t);
        matches = matches || std::equal(stamp.begin(), stamp.end(), ttime);
    }
    EXPECT_TRUE(matches);
}

TEST(SubDevice, FreshForSixtySecondsAfterTheLastUpdate)
{
    struct Case {
        uint8_t ready;
        long age;  // seconds; the last update is this long ago
        bool special;
        const char* error;  // nullptr: answers
    };
    const Case cases[] = {
        {0, 0, false, "数据未就绪"}, {0, 100, false, "数据未就绪"}, {1, 0, false, nullptr},
        {1, 60, false, nullptr},     {1, 61, false, "数据已超时"},  {1, 3600, false, "数据已超时"},
        {1, -30, false, nullptr},    {1, 0, true, "数据已超时"},    {2, 0, false, "数据未就绪"},
    };
    for (const Case& c : cases) {
        const ptime last = c.special ? ptime(boost::posix_time::not_a_date_time) : subdevice::Now() - seconds(c.age);
        std::string error;
        try {
            subdevice::RequireFresh(c.ready, last);
        } catch (const std::out_of_range& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error != nullptr ? c.error : "") << "ready " << int{c.ready} << " age " << c.age;
    }
}

TEST(SubDevice, AppSettingReadsNumbersAndNumericTexts)
{
    struct Case {
        const char* entry;
        float v, i;
    };
    const Case cases[] = {
        {R"({})", 1, 2},
        {R"({"appSetting": {"diff_v": 5, "diff_i": "7.5"}})", 5, 7.5f},
        {R"({"appSetting": {"diff_v": "abc"}})", 0, 2},
        {R"({"appSetting": {"diff_i": null}})", 1, 2},
        {R"({"appSetting": [1, 2]})", 1, 2},
        {R"({"appSetting": null})", 1, 2},
        {R"([1])", 1, 2},
        {R"({"appSetting": {"diff_v": true, "diff_i": -3}})", 0, -3},
    };
    for (const Case& c : cases) {
        float v = 1, i = 2;
        subdevice::ReadAppSetting(ParseJson(c.entry), v, i);
        EXPECT_EQ(v, c.v) << c.entry;
        EXPECT_EQ(i, c.i) << c.entry;
    }
    // A value with no text form is the caller's to report.
    float v = 1, i = 2;
    EXPECT_THROW(subdevice::ReadAppSetting(ParseJson(R"({"appSetting": {"diff_v": [1]}})"), v, i), std::exception);
}

// Item rules are made once per item count: each (item, row) exactly once, in
// order, and not again while the count stays.
TEST(SubDevice, ItemRulesAreMadeOncePerItemCount)
{
    subdevice::ItemRules rules;
    std::vector<std::string> made;
    const auto make = [&made](size_t item, size_t row) {
        const std::string key = std::to_string(item) + "." + std::to_string(row);
        made.push_back(key);
        subdevice::RuleText t;
        t.key = key;
        return t;
    };
    const struct {
        size_t items;
        std::vector<std::string> made;
    } steps[] = {
        {2, {"0.0", "0.1", "1.0", "1.1"}},
        {2, {}},
        {3, {"0.0", "0.1", "1.0", "1.1", "2.0", "2.1"}},
        {1, {"0.0", "0.1"}},
        {0, {}},
        {0, {}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.items);
        made.clear();
        rules.Fit(step.items, 2, make);
        EXPECT_EQ(made, step.made);
        for (size_t item = 0; item < step.items; ++item)
            for (size_t row = 0; row < 2; ++row)
                EXPECT_EQ(rules.At(item, row).key, std::to_string(item) + "." + std::to_string(row));
    }
}

}  // namespace
