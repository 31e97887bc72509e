#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "VX42BAC.h"
#include "recording_controller.h"
#include "vtable_slot.h"

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

// The failure text, or "" when the key answers.
std::string Error(const VX42BAC& d, const std::string& key)
{
    try {
        d.Get_Value(0, key);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

std::shared_ptr<VX42BAC> Published(int channels)
{
    auto d = std::make_shared<VX42BAC>();
    d->InitV(nullptr, 7, Json::Value());
    d->tele.channel_count = static_cast<unsigned char>(channels);
    d->channels.resize(static_cast<size_t>(channels));
    for (int i = 0; i < channels; ++i) {
        d->channels[i].a = 220.f + i;
        d->channels[i].b = 230.f + i;
        d->channels[i].c = 240.f + i;
        d->channels[i].f = 50.f + i;
    }
    d->tele.ia = 1.5f;
    d->tele.ib = 2.5f;
    d->tele.ic = 3.5f;
    d->tele.ic_alert = 200;
    d->RoundDone();
    return d;
}

TEST(AcValues, KeysAndFailures)
{
    EXPECT_EQ(Error(*std::make_shared<VX42BAC>(), "ia"), "数据未就绪");
    const auto d = Published(2);
    struct Case {
        const char* key;
        float value;
        const char* error;
    };
    const Case cases[] = {
        {"ia", 1.5f, ""}, {"ib", 2.5f, ""}, {"ic", 3.5f, ""}, {"ic_alert", 200.f, ""}, {"ia_alert", 0.f, ""},
        {"channel_0_a", 220.f, ""}, {"channel_0_b", 230.f, ""}, {"channel_1_c", 241.f, ""},
        {"channel_1_f", 51.f, ""}, {"channel_0_abc", 220.f, ""}, {"xchannel_0_b", 230.f, ""},
        {"channel_001_f", 51.f, ""}, {"IA", 0, "数据未提供"}, {"channel_0_x", 0, "数据未提供"},
        {"channel_0_", 0, "数据未提供"}, {"channel__a", 0, "数据未提供"}, {"v", 0, "数据未提供"},
        {"channel_2_a", 0, "通道参数越界"}, {"channel_2_x", 0, "通道参数越界"},
        {"channel_99999999999_a", 0, "通道参数越界"}, {"channel_4294967296_a", 0, "通道参数越界"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(Error(*d, c.key), c.error);
        if (*c.error == '\0') {
            EXPECT_EQ(d->Get_Value(0, c.key), c.value);
        }
    }
    EXPECT_EQ(Error(*Published(1), "channel_1_f"), "通道参数越界");
}

TEST(AcValues, FreshnessBoundary)
{
    const auto d = Published(1);
    // The clock may tick between setting the time and asking: retry until it did not.
    auto errorAtAge = [&](long age) {
        for (;;) {
            const auto now = second_clock::local_time();
            d->SetLastUpdate(now - seconds(age));
            const std::string e = Error(*d, "ia");
            if (second_clock::local_time() == now) return e;
        }
    };
    EXPECT_EQ(errorAtAge(60), "");
    EXPECT_EQ(errorAtAge(61), "数据已超时");
    EXPECT_EQ(errorAtAge(3600), "数据已超时");
    EXPECT_EQ(errorAtAge(-3600), "");  // clock set back
    // A round makes the data fresh again.
    d->RoundDone();
    EXPECT_EQ(Error(*d, "ia"), "");
}

std::vector<unsigned char> Image(const VX42BAC& d)
{
    std::vector<unsigned char> image(31 + 26 * d.channels.size());
    std::memcpy(image.data(), &d.tele, 31);
    for (size_t i = 0; i < d.channels.size(); ++i) std::memcpy(&image[31 + 26 * i], &d.channels[i], 26);
    return image;
}

TEST(AcValues, LoadFromCache)
{
    const auto source = Published(1);
    std::vector<unsigned char> image = Image(*source);
    ASSERT_EQ(image.size(), 57u);

    auto d = std::make_shared<VX42BAC>();
    d->InitV(nullptr, 9, Json::Value());
    EXPECT_FALSE(d->LoadFromCache(image.data(), 31));
    EXPECT_FALSE(d->LoadFromCache(nullptr, 57));
    EXPECT_FALSE(d->LoadFromCache(image.data(), -57));
    EXPECT_FALSE(d->LoadFromCache(image.data(), 56));
    // An image whose byte 16 disagrees with its length changes nothing at all.
    std::vector<unsigned char> wrong = image;
    wrong[16] = 2;
    EXPECT_FALSE(d->LoadFromCache(wrong.data(), 57));
    EXPECT_EQ(d->tele.data_id, 9u);
    EXPECT_TRUE(d->channels.empty());
    EXPECT_EQ(Error(*d, "ia"), "数据未就绪");

    // Through the host's string form, with the exact image of the source.
    EXPECT_TRUE(d->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(Image(*d), image);
    EXPECT_EQ(d->Get_Value(0, "channel_0_f"), 50.f);
    // The restored count is fixed: a two-channel analog section is refused.
    std::vector<unsigned char> two(47, 0);
    two[0] = 2;
    EXPECT_EQ(d->parse40_41(two.data(), 47), -1);
}

TEST(AcValues, Thresholds)
{
    auto diff = [](const char* json) {
        Json::Value config;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        const std::string text(json);
        EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &config, &errors)) << errors;
        auto d = std::make_shared<VX42BAC>();
        EXPECT_TRUE(d->InitV(nullptr, 5, config));
        EXPECT_EQ(d->tele.data_id, 5u);
        EXPECT_EQ(d->DataId(), 5u);
        return std::make_pair(d->diff_v, d->diff_i);
    };
    using P = std::pair<float, float>;
    EXPECT_EQ(diff("{}"), P(20.f, 20.f));
    EXPECT_EQ(diff("[]"), P(20.f, 20.f));
    EXPECT_EQ(diff(R"({"appSetting": 3})"), P(20.f, 20.f));
    EXPECT_EQ(diff(R"({"appSetting": {"diff_v": 0.5, "diff_i": "0.5"}})"), P(0.5f, 0.5f));
    EXPECT_EQ(diff(R"({"appSetting": {"diff_v": "abc", "diff_i": null}})"), P(0.f, 20.f));
    EXPECT_EQ(diff(R"({"appSetting": {"diff_v": true, "diff_i": 7}})"), P(0.f, 7.f));

    Json::Value bad;
    bad["appSetting"]["diff_v"] = Json::Value(Json::arrayValue);
    auto d = std::make_shared<VX42BAC>();
    EXPECT_ANY_THROW(d->InitV(nullptr, 5, bad));
    EXPECT_EQ(d->DataId(), 0u);
}

TEST(AcValues, DeviceTypeAndSlotOrder)
{
    using AC = PMBusPowerAC<tele_c_vx42b_ac, tele_c_vx42b_ac_channel, 5085>;
    EXPECT_EQ(VX42BAC().DeviceType(), "vx42b-ac");
    EXPECT_EQ(VirtualSlot(&AC::parse40_41), 31);
    EXPECT_EQ(VirtualSlot(&AC::parse40_43), 32);
    EXPECT_EQ(VirtualSlot(&AC::parse40_44), 33);
    EXPECT_EQ(VirtualSlot(&AC::DoImpCheckAlert), 34);
    // Overrides keep the interface's slots.
    EXPECT_EQ(VirtualSlot(&AC::Get_Value), 0);
    EXPECT_EQ(VirtualSlot(&AC::RoundDone), 6);
    EXPECT_EQ(VirtualSlot(&AC::InitV), 11);
}

}  // namespace
