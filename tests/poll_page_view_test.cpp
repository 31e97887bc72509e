// What the page is served: sub-devices in people's words, and the long plot
// ranges bucketed from the history file.
#include <chrono>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "history_db.h"
#include "json_line.h"
#include "vx42b_record_fields.h"

#ifdef VX42B_POLL_WITH_NET
#include "history_digest.h"
#include "page_view.h"
#endif

namespace {

#ifdef VX42B_POLL_WITH_NET

using namespace vxpoll;

std::string Image101(float v)
{
    std::string image(sizeof(tele_c_vx42b_dc), '\0');
    for (const FieldSpec& f : vx42b_fields::kDc)
        if (std::strcmp(f.name, "v") == 0) std::memcpy(&image[static_cast<size_t>(f.offset)], &v, sizeof v);
    return image;
}

std::string TimeText(double unixSeconds)
{
    return LocalTimeText(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(unixSeconds))));
}

void Insert(HistoryDb& db, double t, float v)
{
    HistoryRow row;
    row.time = TimeText(t);
    row.dataId = 21;
    row.deviceType = "vx42b-dc";
    row.recordType = 5087;
    row.image = Image101(v);
    std::string error;
    ASSERT_TRUE(db.Insert(row, error)) << error;
}

const Json::Value* SeriesOf(const Json::Value& out, const std::string& chart)
{
    for (const Json::Value& s : out["series"])
        if (s["chart"].asString() == chart) return &s;
    return nullptr;
}

TEST(PollPageView, FindsTheFirstRowOfARangeByBisection)
{
    struct Case {
        const char* name;
        std::vector<double> ages;  // hours before now, in insertion order
        double sinceHours;
        int64_t first;  // the id reading starts at
    };
    const std::vector<Case> cases{
        {"empty", {}, 24, 0},
        {"all older", {50, 40, 30}, 24, 4},
        {"all newer", {5, 4, 3}, 24, 1},
        {"in the middle", {200, 100, 30, 23, 10, 1}, 24, 4},
        {"the last only", {90, 80, 70, 60, 50, 1}, 24, 6},
    };
    const double now = UnixSeconds(std::chrono::system_clock::now());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempDir dir;
        HistoryDb db;
        std::string error;
        ASSERT_TRUE(db.Create(dir.Path() + "/h.db", error)) << error;
        for (double age : c.ages) Insert(db, now - age * 3600, 53.5f);
        int64_t first = -1;
        ASSERT_TRUE(db.FirstIdFrom(TimeText(now - c.sinceHours * 3600), first, error)) << error;
        EXPECT_EQ(first, c.first);
    }
}

TEST(PollPageView, BucketsTheHistoryFileAndReadsOnlyNewRowsLater)
{
    e2e::TempDir dir;
    const std::string path = dir.Path() + "/h.db";
    HistoryDigest digest(path);
    const DigestRange& day = *FindDigestRange("24h");
    const DigestRange& week = *FindDigestRange("7d");
    const double now = std::floor(UnixSeconds(std::chrono::system_clock::now()) / week.bucket) * week.bucket + 1000;
    Json::Value out;
    std::string error;
    // No file yet: empty ranges, no error.
    ASSERT_TRUE(digest.Json(day, now, out, error)) << error;
    EXPECT_EQ(out["series"].size(), 0u);

    HistoryDb db;
    ASSERT_TRUE(db.Create(path, error)) << error;
    for (int k = 0; k < 50; ++k) Insert(db, now - 10 * 86400 + k, 40);  // older than a week: never read
    // Three samples in the current 5-minute bucket, one two days ago.
    Insert(db, now - 2 * 86400, 50);
    for (float v : {52.0f, 54.0f, 56.0f}) Insert(db, now - 60 + v, v);

    ASSERT_TRUE(digest.Json(day, now, out, error)) << error;
    EXPECT_EQ(out["range"].asString(), "24h");
    EXPECT_EQ(out["times"].size(), static_cast<Json::ArrayIndex>(day.span / day.bucket) + 1);
    const Json::Value* v = SeriesOf(out, "dc_voltage");
    ASSERT_NE(v, nullptr) << ToJsonLine(out);
    const Json::ArrayIndex last = out["times"].size() - 1;
    EXPECT_DOUBLE_EQ((*v)["min"][last].asDouble(), 52);
    EXPECT_DOUBLE_EQ((*v)["max"][last].asDouble(), 56);
    EXPECT_DOUBLE_EQ((*v)["values"][last].asDouble(), 54);
    EXPECT_TRUE((*v)["values"][0].isNull());
    size_t filled = 0;
    for (const Json::Value& m : (*v)["values"]) filled += !m.isNull();
    EXPECT_EQ(filled, 1u);  // the sample of two days ago is not in the day
    EXPECT_LE(digest.RowsRead(), 4u + 1u);

    ASSERT_TRUE(digest.Json(week, now, out, error)) << error;
    v = SeriesOf(out, "dc_voltage");
    ASSERT_NE(v, nullptr);
    filled = 0;
    for (const Json::Value& m : (*v)["values"]) filled += !m.isNull();
    EXPECT_EQ(filled, 2u);
    EXPECT_LE(out["times"].size(), 400u);

    // Later requests read only what was added meanwhile.
    const uint64_t before = digest.RowsRead();
    Insert(db, now - 30, 60);
    ASSERT_TRUE(digest.Json(day, now, out, error)) << error;
    EXPECT_EQ(digest.RowsRead(), before + 1);
    EXPECT_DOUBLE_EQ((*SeriesOf(out, "dc_voltage"))["max"][last].asDouble(), 60);
}

TEST(PollPageView, ShowsLabelsUnitsAndStatesNotMemberNames)
{
    DeviceState dc;
    dc.dataId = 21;
    dc.type = "vx42b-dc";
    dc.recordType = 5087;
    Json::Value f(Json::objectValue);
    f["data_id"] = 21;
    f["v"] = 53.456;
    f["i"] = 40.0;
    f["dc_m"] = 2;
    f["battery_i"] = Json::Value(Json::arrayValue);
    for (double b : {5.1, -0.1, 9.0}) f["battery_i"].append(b);  // the third is past the announced two
    f["dc_n"] = 0;
    f["p_count"] = 1;
    f["user_p"] = Json::Value(Json::arrayValue);
    f["user_p"].append(25.0);
    f["user_p"].append(7.0);
    f["dc_v_state"] = 1;
    f["fuse_count"] = 3;
    f["fuse_state"] = Json::Value(Json::arrayValue);
    for (int s : {0, 3, 0, 3}) f["fuse_state"].append(s);
    dc.fields = f;
    const Json::Value view = DeviceView(dc);
    EXPECT_EQ(view["title"].asString(), "DC 21");

    struct Row {
        const char* label;
        const char* text;
        bool alert;
    };
    const std::vector<Row> rows{
        {"Output voltage", "53.46 V (low)", true},    {"Output current", "40.00 A", false},
        {"Battery-group current 1", "5.10 A", false}, {"Battery-group current 2", "no value", false},
        {"Battery-fuse state", "3, fault: 2", true},
    };
    ASSERT_EQ(view["values"].size(), rows.size()) << ToJsonLine(view);
    for (size_t k = 0; k < rows.size(); ++k) {
        const Json::Value& r = view["values"][static_cast<Json::ArrayIndex>(k)];
        EXPECT_EQ(r["label"].asString(), rows[k].label);
        EXPECT_EQ(r["text"].asString(), rows[k].text);
        EXPECT_EQ(r["alert"].asBool(), rows[k].alert) << rows[k].label;
    }
    ASSERT_EQ(view["other"].size(), 1u);
    EXPECT_EQ(view["other"][0]["text"].asString(), "25");  // cut to p_count

    DeviceState rc;
    rc.dataId = 1;
    rc.type = "vx42b-rc";
    rc.recordType = 5086;
    Json::Value g(Json::objectValue);
    g["ac_param"] = Json::Value(Json::arrayValue);
    g["ac_param"].append(280.0);
    g["ac_param"].append(57.6);
    g["group_value"] = 53.5;
    g["channel_count"] = 1;
    Json::Value module(Json::objectValue);
    module["module_value"] = 20.4;
    module["fault_state"] = 1;
    module["switch_state"] = Json::Value(Json::arrayValue);
    module["switch_state"].append(0);
    g["modules"] = Json::Value(Json::arrayValue);
    g["modules"].append(module);
    rc.fields = g;
    const Json::Value r = DeviceView(rc);
    EXPECT_EQ(r["title"].asString(), "Rectifiers");
    ASSERT_EQ(r["settings"].size(), 1u);
    EXPECT_EQ(r["settings"][0]["label"].asString(), "AC distribution parameter");
    EXPECT_EQ(r["settings"][0]["text"].asString(), "280, 57.6");
    ASSERT_EQ(r["values"].size(), 1u);  // the module count only sizes the record
    EXPECT_EQ(r["values"][0]["text"].asString(), "53.50 V");
    EXPECT_EQ(r["items"]["item"].asString(), "Module");
    EXPECT_EQ(r["items"]["rows"][0]["cells"][0]["text"].asString(), "20.40 A");
    bool fault = false;
    for (const Json::Value& c : r["items"]["rows"][0]["cells"])
        fault =
            fault || (c["field"].asString() == "fault_state" && c["text"].asString() == "fault" && c["alert"].asBool());
    EXPECT_TRUE(fault) << ToJsonLine(r);
    for (const Json::Value& c : r["items"]["columns"]) EXPECT_EQ(c["label"].asString().find('_'), std::string::npos);
}

TEST(PollPageView, NamesAlarmsInTheChosenLanguage)
{
    DeviceState dc;
    dc.dataId = 21;
    dc.type = "vx42b-dc";
    const PresentAlarm fuse{"DC_3", "06001", "电池熔丝故障告警", "熔丝4电池熔丝故障告警", 1, "2026-12-08T10:00:00.000"};
    struct Case {
        Lang lang;
        const char* title;
    };
    for (const Case& c : {Case{Lang::En, "Battery fuse fault"}, Case{Lang::Zh, "熔丝4"}}) {
        Json::Value alarm(Json::objectValue);
        AddAlarmWords(alarm, dc, fuse, c.lang);
        EXPECT_NE(alarm["title"].asString().find(c.title), std::string::npos) << alarm["title"].asString();
        EXPECT_EQ(alarm["source"].asString(), "DC 21");
    }
}

TEST(PollPageView, FormatsNumbers)
{
    struct Case {
        double v;
        int decimals;
        const char* text;
    };
    const std::vector<Case> cases{
        {53.456, 2, "53.46"}, {5, 2, "5.00"},   {230, 1, "230.0"}, {-0.001, 2, "0.00"}, {57.6, -1, "57.6"},
        {45, -1, "45"},       {0.004, -1, "0"}, {-2.5, 1, "-2.5"}, {NAN, 2, "–"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatNumber(c.v, c.decimals), c.text) << c.v;
}

#else

TEST(PollPageView, NeedsTheNetworkOutputs) { GTEST_SKIP() << "built without cpp-httplib"; }

#endif

}  // namespace
