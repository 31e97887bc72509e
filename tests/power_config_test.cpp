#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "VX42B.h"
#include "json_text.h"
#include "recording_controller.h"

namespace {

struct Configured {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VX42B> device = std::make_shared<VX42B>();
    bool ok;
    explicit Configured(const std::string& json, unsigned dataId = 1)
        : ok(device->Init(controller, dataId, ParseJson(json)))
    {}
};

TEST(PowerConfig, ChildrenInConfigurationOrder)
{
    Configured c(R"({"acSetting": [{"data_id": 11}, {"data_id": 12}], "dcSetting": [{"data_id": 21}],
                     "rcSetting": {}})",
                 5);
    ASSERT_TRUE(c.ok);
    auto all = c.device->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]->DataId(), 11u);
    EXPECT_EQ(all[1]->DataId(), 12u);
    EXPECT_EQ(all[2]->DataId(), 21u);
    EXPECT_EQ(all[3]->DataId(), 5u);
    EXPECT_EQ(all[0]->DeviceType(), "vx42b-ac");
    EXPECT_EQ(all[2]->DeviceType(), "vx42b-dc");
    EXPECT_EQ(all[3]->DeviceType(), "vx42b-rc");
    EXPECT_EQ(all[3]->Parent(), c.device.get());
    EXPECT_EQ(all[0]->Controller(), c.controller);
}

TEST(PowerConfig, LookupPrefersAcAndNeverReturnsRectifier)
{
    Configured c(R"({"acSetting": [{"data_id": 9}], "dcSetting": [{"data_id": 9}, {"data_id": 3}],
                     "rcSetting": {}})",
                 3);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.device->GetChildVDevice(9)->DeviceType(), "vx42b-ac");
    EXPECT_EQ(c.device->GetChildVDevice(3)->DeviceType(), "vx42b-dc");
    EXPECT_EQ(c.device->GetChildVDevice(4), nullptr);

    Configured alone(R"({"rcSetting": {}})", 3);
    EXPECT_EQ(alone.device->GetChildVDevice(3), nullptr);
}

TEST(PowerConfig, RectifierSettingIsRequired)
{
    const struct {
        const char* json;
        bool ok;
        size_t children;
    } cases[] = {
        {R"({"acSetting": [{"data_id": 1}], "dcSetting": [{"data_id": 2}]})", false, 3},
        {R"({"rcSetting": null})", false, 1},
        {R"({"acSetting": {"data_id": 1}, "rcSetting": {}})", true, 1},
        {R"({"acSetting": [{}], "rcSetting": 0})", true, 2},
    };
    for (const auto& k : cases) {
        Configured c(k.json);
        EXPECT_EQ(c.ok, k.ok) << k.json;
        EXPECT_EQ(c.device->GetAllChildVDevices().size(), k.children) << k.json;
    }
    Configured noId(R"({"acSetting": [{}], "rcSetting": {}})");
    EXPECT_EQ(noId.device->GetAllChildVDevices()[0]->DataId(), 0u);
}

// An element or data id is read as jsoncpp reads it, wherever that does not throw.
TEST(PowerConfig, ElementsAndDataIdsAsJsonReadsThem)
{
    const struct {
        const char* element;
        unsigned id;
    } cases[] = {
        {"null", 0},
        {"{}", 0},
        {R"({"data_id": null})", 0},
        {R"({"data_id": false})", 0},
        {R"({"data_id": true})", 1},
        {R"({"data_id": 3.5})", 3},
        {R"({"data_id": 3.999})", 3},
        {R"({"data_id": -0.0})", 0},
        {R"({"data_id": 4294967295})", 4294967295u},
        {R"({"data_id": 4294967295.0})", 4294967295u},
        // Above the largest id only by its fraction: cut like any other (asUInt would throw).
        {R"({"data_id": 4294967295.5})", 4294967295u},
        {R"({"data_id": 4294967295.9})", 4294967295u},
        {R"({"data_id": 17, "appSetting": null})", 17},
    };
    for (const auto& k : cases) {
        for (const char* key : {"acSetting", "dcSetting"}) {
            const std::string json = std::string(R"({")") + key + R"(": [)" + k.element + R"(], "rcSetting": {}})";
            Configured c(json);
            EXPECT_TRUE(c.ok) << json;
            const auto all = c.device->GetAllChildVDevices();
            ASSERT_EQ(all.size(), 2u) << json;
            EXPECT_EQ(all[0]->DataId(), k.id) << json;
            EXPECT_EQ(all[0]->DeviceType(), key[0] == 'a' ? "vx42b-ac" : "vx42b-dc") << json;
            EXPECT_TRUE(c.controller->logs.empty()) << json << ": " << c.controller->logs.front();
        }
    }
}

TEST(PowerConfig, UnreadableConfigurationIsRefusedWithoutThrowing)
{
    const struct {
        const char* json;
        const char* log;
    } cases[] = {
        {R"({"acSetting": [5], "rcSetting": {}})", "PMBusPower:ConfigError 1 acSetting[0] is not an object"},
        {R"({"acSetting": [{"data_id": "11"}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 acSetting[0].data_id is not an unsigned number"},
        {R"({"dcSetting": [{"data_id": 1}, {"data_id": [2]}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 dcSetting[1].data_id is not an unsigned number"},
        {R"({"dcSetting": [{"data_id": -4}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 dcSetting[0].data_id is not an unsigned number"},
        {R"({"acSetting": [{"data_id": -0.5}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 acSetting[0].data_id is not an unsigned number"},
        {R"({"acSetting": [{"data_id": 4294967296}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 acSetting[0].data_id is not an unsigned number"},
        {R"({"acSetting": [{"data_id": 4294967296.0}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 acSetting[0].data_id is not an unsigned number"},
        {R"({"acSetting": [{"data_id": {}}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 acSetting[0].data_id is not an unsigned number"},
        {R"({"dcSetting": [null, "x"], "rcSetting": {}})", "PMBusPower:ConfigError 1 dcSetting[1] is not an object"},
        {R"({"acSetting": [[]], "rcSetting": {}})", "PMBusPower:ConfigError 1 acSetting[0] is not an object"},
        {R"({"acSetting": [true], "rcSetting": {}})", "PMBusPower:ConfigError 1 acSetting[0] is not an object"},
        {R"({"acSetting": [{"data_id": 1, "appSetting": {"diff_v": [1]}}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 acSetting[0] cannot be read"},
        {R"({"dcSetting": [{"data_id": 1, "appSetting": {"diff_i": {}}}], "rcSetting": {}})",
         "PMBusPower:ConfigError 1 dcSetting[0] cannot be read"},
        {R"([1, 2])", ""},
    };
    for (const auto& k : cases) {
        bool ok = true;
        std::shared_ptr<RecordingController> controller;
        EXPECT_NO_THROW({
            Configured c(k.json);
            ok = c.ok;
            controller = c.controller;
        }) << k.json;
        EXPECT_FALSE(ok) << k.json;
        if (*k.log == '\0') continue;
        bool found = false;
        for (const auto& line : controller->logs) found = found || line.rfind(k.log, 0) == 0;
        EXPECT_TRUE(found) << k.json;
    }
}

TEST(PowerConfig, DeviceInterfaceDefaults)
{
    Configured c(R"({"rcSetting": {}})");
    try {
        c.device->Get_Value(0, "v");
        FAIL() << "main device answered a value";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
    EXPECT_TRUE(c.device->LoadFromCache(std::string("\0\1\2", 3)));
    auto rc = c.device->GetAllChildVDevices().back();
    EXPECT_EQ(rc->GetChildVDevice(1), nullptr);
    EXPECT_TRUE(rc->GetAllChildVDevices().empty());
    EXPECT_EQ(c.device->DeviceType(), "vx42b");
    EXPECT_EQ(c.device->BaudRate(), 9600);
    EXPECT_EQ(c.device->Version(), 0x20);
}

}  // namespace
