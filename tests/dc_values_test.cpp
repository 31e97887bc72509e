#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "VX42BDC.h"
#include "hex.h"
#include "vtable_slot.h"

namespace {

using Bytes = std::vector<unsigned char>;
using boost::posix_time::seconds;
using boost::posix_time::second_clock;

std::string Failure(const VX42BDC& dc, const std::string& key)
{
    try {
        dc.Get_Value(0, key);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "answered";
}

Json::Value Parse(const std::string& text)
{
    Json::Value value;
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << text;
    return value;
}

TEST(DcValues, FreshForSixtySeconds)
{
    auto dc = std::make_shared<VX42BDC>();
    for (const char* key : {"v", "i", "x"}) EXPECT_EQ(Failure(*dc, key), "数据未就绪") << key;

    ASSERT_EQ(dc->parse42_41(Hex("0000c842 00004842 00 00 00").data(), 11), 11);
    dc->RoundDone();
    EXPECT_EQ(dc->Get_Value(0, "v"), 100.0f);
    EXPECT_EQ(dc->Get_Value(3, "i"), 50.0f);
    for (const char* key : {"V", "", "vv"}) EXPECT_EQ(Failure(*dc, key), "数据未就绪") << key;

    dc->SetLastUpdate(second_clock::local_time() + seconds(3600));  // clock set back
    EXPECT_EQ(dc->Get_Value(0, "v"), 100.0f);
    dc->SetLastUpdate(second_clock::local_time() - seconds(60));
    EXPECT_EQ(dc->Get_Value(0, "v"), 100.0f);
    dc->SetLastUpdate(second_clock::local_time() - seconds(61));
    EXPECT_EQ(Failure(*dc, "v"), "数据已超时");
    EXPECT_EQ(Failure(*dc, "x"), "数据已超时");
    dc->RoundDone();
    EXPECT_EQ(dc->Get_Value(0, "i"), 50.0f);
}

TEST(DcValues, CacheTakesExactlyOneImage)
{
    auto dc = std::make_shared<VX42BDC>();
    dc->InitV(nullptr, 5, Json::Value(Json::objectValue));
    Bytes image(101);
    for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<unsigned char>(k + 1);
    std::memcpy(image.data() + 4, Hex("00004842").data(), 4);

    for (int size : {0, 100, 102, -1, -101}) EXPECT_FALSE(dc->LoadFromCache(image.data(), size)) << size;
    EXPECT_FALSE(dc->LoadFromCache(nullptr, 101));
    EXPECT_FALSE(dc->LoadFromCache(std::string(100, 'x')));
    EXPECT_FALSE(dc->IsDataReady());
    EXPECT_EQ(dc->tele.data_id, 5u);

    dc->SetLastUpdate(second_clock::local_time() - seconds(3600));
    EXPECT_TRUE(dc->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(dc->Get_Value(0, "v"), 50.0f);
    EXPECT_EQ(std::memcmp(&dc->tele, image.data(), 101), 0);
}

TEST(DcValues, Configuration)
{
    struct Case {
        std::string json;
        float v, i;
    } cases[] = {
        {R"({"data_id": 3})", 0.1f, 20.0f},
        {R"({"appSetting": "diff_v"})", 0.1f, 20.0f},
        {R"({"appSetting": [{"diff_v": 1}]})", 0.1f, 20.0f},
        {R"({"appSetting": {"diff_v": "0.5"}})", 0.5f, 20.0f},
        {R"({"appSetting": {"diff_v": 0.5, "diff_i": "abc"}})", 0.5f, 0.0f},
        {R"({"appSetting": {"diff_i": 7}})", 0.1f, 7.0f},
    };
    for (const Case& c : cases) {
        VX42BDC dc("VX42");
        EXPECT_TRUE(dc.InitV(nullptr, 0x01020304, Parse(c.json)));
        EXPECT_EQ(dc.diff_v, c.v) << c.json;
        EXPECT_EQ(dc.diff_i, c.i) << c.json;
        EXPECT_EQ(dc.DataId(), 0x01020304u);
        Bytes id(4);
        std::memcpy(id.data(), &dc.tele, 4);
        EXPECT_EQ(id, Hex("04030201"));
        EXPECT_EQ(dc.model_name, "VX42");
        EXPECT_EQ(dc.DeviceType(), "vx42b-dc");
    }
    EXPECT_EQ(VX42BDC().model_name, "");
    EXPECT_EQ(VX42BDC().DeviceType(), "vx42b-dc");
}

TEST(DcValues, VirtualSlotsFollowTheHostInterface)
{
    using D = PMBusPowerDC<tele_c_vx42b_dc, 5087>;
    EXPECT_EQ(VirtualSlot(&D::Get_Value), 0);
    EXPECT_EQ(VirtualSlot(static_cast<bool (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), 2);
    EXPECT_EQ(VirtualSlot(&D::RoundDone), 6);
    EXPECT_EQ(VirtualSlot(&D::InitV), 11);
    EXPECT_EQ(VirtualSlot(&D::parse42_41), 31);
    EXPECT_EQ(VirtualSlot(&D::parse42_44), 32);
    EXPECT_EQ(VirtualSlot(&D::DoImpCheckAlert), 33);
    EXPECT_EQ(VirtualSlot(&VX42BDC::DoImpCheckAlert), 33);
}

}  // namespace
