// The words people read: every field has a part and a metric, every rule
// the plug-in states has an English name and its item, and the screen's
// alarm rows keep their identifier at any width.
#include <set>

#include <gtest/gtest.h>

#include "count_advice.h"
#include "e2e_support.h"
#include "record_decoder.h"
#include "screen_model.h"
#include "vocabulary.h"

namespace {

using namespace vxpoll;

TEST(Vocabulary, EveryDescribedFieldHasItsPart)
{
    size_t described = 0;
    for (const RecordLayout& layout : RecordLayouts())
        for (const auto* block : {&layout.head, &layout.items})
            for (const FieldSpec& f : *block) {
                SCOPED_TRACE(f.name);
                ++described;
                const FieldWords* w = FindFieldWords(layout.recordType, f.name);
                ASSERT_NE(w, nullptr);
                const bool shown = w->kind != FieldKind::Count && w->kind != FieldKind::Meta;
                // Shown fields have a metric; counts and meta never do.
                EXPECT_EQ(*w->metric != '\0', shown);
                EXPECT_EQ(*w->help != '\0', shown);
                // An array's elements are numbered; a scalar has none.
                EXPECT_EQ(*w->element != '\0', f.count > 1);
                if (*w->countedBy != '\0') {
                    EXPECT_NE(FindFieldWords(layout.recordType, w->countedBy), nullptr);
                }
                // The base unit is in the name of a measurement that has one.
                const std::string metric = w->metric;
                if (std::string(w->unit) == "V") {
                    EXPECT_NE(metric.find("_volts"), std::string::npos);
                }
                if (std::string(w->unit) == "A") {
                    EXPECT_NE(metric.find("_amperes"), std::string::npos);
                }
                if (std::string(w->unit) == "Hz") {
                    EXPECT_NE(metric.find("_hertz"), std::string::npos);
                }
            }
    EXPECT_EQ(described, AllFieldWords().size());
    // The counts that only size a record are not shown to people.
    for (const char* count : {"p43_count", "channel_count", "airlock_count"})
        EXPECT_EQ(FindFieldWords(5085, count)->kind, FieldKind::Count) << count;
    for (const char* count : {"dc_m", "dc_n", "p_count", "fuse_count", "alert_p_count"})
        EXPECT_EQ(FindFieldWords(5087, count)->kind, FieldKind::Count) << count;
    for (const char* setting : {"ac_param", "dc_param", "dc_user_p"})
        EXPECT_EQ(FindFieldWords(5086, setting)->kind, FieldKind::Setting) << setting;
}

TEST(Vocabulary, AlarmsAreNamedWithTheirItem)
{
    struct Case {
        const char *key, *code, *name, *text, *english, *item, *itemId;
    };
    const Case cases[] = {
        {"DC_3", "06001", "电池熔丝故障告警", "直流4电池熔丝故障告警", "Battery fuse fault", "fuse 4", "fuse_4"},
        {"DC_3", "06001", "电池熔丝故障告警", "直流10电池熔丝故障告警", "Battery fuse fault", "fuse 10", "fuse_10"},
        {"RC_0", "06024", "整流模块故障告警", "模块2整流模块故障告警", "Rectifier module fault", "module 2",
         "module_2"},
        {"VX42B_RC_5", "06028", "整流模块通信状态告警", "第3模块模块通讯中断告警状态",
         "Rectifier module communication lost", "module 3", "module_3"},
        {"AC_1", "06015", "交流输入电压过低告警", "交流屏1输入线/相电压BC/B", "AC input voltage low",
         "channel 1 phase B", "channel_1_phase_b"},
        {"AC_7", "06018", "交流输入频率过高告警", "交流屏2频率", "AC input frequency high", "channel 2", "channel_2"},
        {"AC_16", "06029", "B相输入电流高于上限", "其他告警", "AC input current above the upper limit", "phase B",
         "phase_b"},
        // The AC model rules carry the channel in their name; their text names input 1 for every channel.
        {"VX42B_AC_3", "06016", "第2输入告警", "交流输入1停电告警", "AC input 1 mains failure", "channel 2",
         "channel_2"},
        {"DC_0", "06008", "输出电压过低告警", "输出电压过低告警", "DC output voltage low", "", ""},
        // A rule the table does not know keeps the device's words; a code
        // other than the table's is another rule.
        {"XX_1", "09999", "某告警", "某告警", "某告警", "", ""},
        {"DC_3", "06002", "电池熔丝故障告警", "直流4电池熔丝故障告警", "电池熔丝故障告警 直流4电池熔丝故障告警", "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.text);
        const AlarmWords en = DescribeAlarm(c.key, c.code, c.name, c.text, Lang::En);
        EXPECT_EQ(en.english, c.english);
        EXPECT_EQ(en.title, c.english);
        EXPECT_EQ(en.item, c.item);
        EXPECT_EQ(en.itemId, c.itemId);
        const AlarmWords zh = DescribeAlarm(c.key, c.code, c.name, c.text, Lang::Zh);
        // In Chinese: the device's own text, which names the item itself.
        EXPECT_NE(zh.title.find(c.text), std::string::npos);
        EXPECT_EQ(AlarmLine(zh), zh.title);
        EXPECT_EQ(zh.itemId, c.itemId);
    }
    EXPECT_EQ(AlarmLine(DescribeAlarm("DC_3", "06001", "电池熔丝故障告警", "直流4电池熔丝故障告警", Lang::En)),
              "Battery fuse fault, fuse 4");
    std::set<std::string> ids;
    for (const AlarmName& a : AlarmNames())
        EXPECT_TRUE(ids.insert(std::string(a.key) + " " + a.code).second) << a.key << " listed twice";
}

#ifdef VX42B_SIM_EXE
// Every rule the plug-in states, as it states them to its host against the
// simulated system (the model check made to fire with another model name),
// is in the table, under its own name; and the table names no rule the
// plug-in does not state.
TEST(Vocabulary, TheTableCoversEveryRuleThePlugInStates)
{
    using namespace vxpoll::e2e;
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario([](Json::Value& s) { s["model"] = "VX99Z"; })));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const PollRun run = PollJson(sim.Path(), dir.Write("config.json", TestConfig(1000)), {"--rounds", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::set<std::string> stated;
    for (const Json::Value& rule : Events(run.lines, "rule")) {
        const std::string key = rule["key"].asString();
        const std::string code = rule["code"].asString();
        SCOPED_TRACE(key + " " + code + " " + rule["text"].asString());
        const AlarmName* known = FindAlarmName(key, code);
        ASSERT_NE(known, nullptr) << "no English name";
        stated.insert(key + " " + code);
        const AlarmWords words = DescribeAlarm(key, code, rule["name"].asString(), rule["text"].asString(), Lang::En);
        // The item is found in the device's words wherever the table says it is.
        EXPECT_EQ(words.item.empty(), known->item == ItemKind::None);
        if (known->item == ItemKind::Fuse || known->item == ItemKind::Module || known->item == ItemKind::Channel) {
            EXPECT_NE(words.itemId.find_first_of("123456789"), std::string::npos);
        }
        // The plug-in's own name, as the table holds it beside the English one
        // (the AC model rules lead theirs with the channel).
        const std::string name = rule["name"].asString();
        EXPECT_NE(name.find(known->deviceName), std::string::npos) << name;
    }
    for (const AlarmName& a : AlarmNames())
        EXPECT_EQ(stated.count(std::string(a.key) + " " + a.code), 1u) << a.key << " is never stated";
}
#endif

TEST(Vocabulary, AlarmRowsKeepTheirIdentifierAtAnyWidth)
{
    for (const Lang lang : {Lang::En, Lang::Zh}) {
        ScreenModel model(lang);
        rule_value rule{};
        rule.key = "VX42B_RC_5";
        rule.code = "06028";
        rule.name = "整流模块通信状态告警";
        rule.text = "第2模块模块通讯中断告警状态";
        rule.level = 4;
        model.Alarm(DeviceRef{1, "vx42b-rc"}, rule, true, ScreenModel::WallClock::now());
        for (int width : {60, 80, 160}) {
            bool seen = false;
            for (const ScreenRow& row : model.Render(width, 24, ScreenModel::WallClock::now())) {
                if (row.text.find("since") == std::string::npos) continue;
                seen = true;
                EXPECT_LE(DisplayWidth(row.text), static_cast<size_t>(width)) << row.text;
                EXPECT_NE(row.text.find("[VX42B_RC_5 06028]"), std::string::npos) << row.text;
                if (lang == Lang::En && width >= 160) {
                    EXPECT_NE(row.text.find("Rectifier module communication lost, module 2"), std::string::npos);
                }
            }
            EXPECT_TRUE(seen);
        }
    }
}

TEST(Vocabulary, LongLogLinesWrapAndLoseNothing)
{
    const std::string advice =
        "vx42b-poll: the configuration lists 4 AC units, the power system reports 3: remove one element from "
        "acSetting; the DC units are checked once the AC count matches (vx42b-poll discover shows the whole "
        "configuration)";
    for (int width : {80, 160}) {
        ScreenModel model;
        model.Log(advice, ScreenModel::WallClock::now());
        std::string joined;
        for (const ScreenRow& row : model.Render(width, 40, ScreenModel::WallClock::now())) {
            if (row.style != RowStyle::Dim) continue;
            EXPECT_LE(DisplayWidth(row.text), static_cast<size_t>(width)) << row.text;
            joined += " " + row.text.substr(row.text.find_first_not_of(' '));
        }
        EXPECT_NE(joined.find("the power system reports 3"), std::string::npos) << joined;
        EXPECT_NE(joined.find("whole"), std::string::npos) << joined;
        EXPECT_NE(joined.find("configuration)"), std::string::npos) << joined;
    }
    EXPECT_EQ(WrapWidth("交流屏1输入线", 6, "  ").size(), 3u);
    EXPECT_EQ(FitWidth("交流屏1输入线", 6), "交流\u2026");  // never half a wide character
}

TEST(Vocabulary, CountAdviceTellsEveryDifferenceInOneMessage)
{
    CountAdvisor advisor;
    const std::string ac = advisor.Advise("PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 4");
    EXPECT_NE(ac.find("lists 4 AC units, the power system reports 3: remove one element from acSetting"),
              std::string::npos);
    EXPECT_NE(ac.find("the DC units are checked once the AC count matches"), std::string::npos);
    EXPECT_TRUE(advisor.Advise("PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 4").empty());
    // Both known: one message with both.
    const std::string both =
        advisor.Advise("PMBusPower:ProcotolError 1 read dc_number is 2, configured dc_number is 1");
    EXPECT_NE(both.find("remove one element from acSetting; the configuration lists 1 DC unit, the power system "
                        "reports 2: add one element to dcSetting"),
              std::string::npos)
        << both;

    // The DC count asked by the poller itself: a matching one drops the note.
    CountAdvisor asked;
    asked.LearnDc(1, 1);
    EXPECT_EQ(asked.Advise("PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 4"),
              "the configuration lists 4 AC units, the power system reports 3: remove one element from acSetting "
              "(vx42b-poll discover shows the whole configuration)");
}

}  // namespace
