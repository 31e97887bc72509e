// The poller's table-driven reading of published images, on images built by hand.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "hex.h"
#include "record_decoder.h"

namespace {

using vxpoll::DecodeRecord;
using vxpoll::RecordLayout;

struct Image {
    std::vector<unsigned char> bytes;
    explicit Image(size_t size) : bytes(size, 0) {}
    Image& F(size_t at, float v)
    {
        bytes.at(at + 3);  // in range
        std::memcpy(bytes.data() + at, &v, 4);
        return *this;
    }
    Image& B(size_t at, const std::string& hex)
    {
        const auto b = Hex(hex);
        for (size_t k = 0; k < b.size(); ++k) bytes.at(at + k) = b[k];
        return *this;
    }
};

Json::Value Decode(int type, const Image& image)
{
    Json::Value fields;
    std::string error;
    EXPECT_TRUE(DecodeRecord(type, image.bytes.data(), image.bytes.size(), fields, error)) << error;
    return fields;
}

void ExpectTiles(const std::vector<vxpoll::FieldSpec>& fields, int size)
{
    int next = 0;
    for (const auto& f : fields) {
        EXPECT_EQ(f.offset, next) << f.name;
        next = f.offset + vxpoll::FieldWidth(f);
    }
    EXPECT_EQ(next, size);
}

TEST(PollDecoder, LayoutsCoverEveryByteOnce)
{
    ASSERT_EQ(vxpoll::RecordLayouts().size(), 3u);
    for (const RecordLayout& layout : vxpoll::RecordLayouts()) {
        SCOPED_TRACE(layout.deviceType);
        EXPECT_EQ(vxpoll::RecordTypeOf(layout.deviceType), layout.recordType);
        ExpectTiles(layout.head, layout.headSize);
        ExpectTiles(layout.items, layout.itemSize);
    }
    EXPECT_EQ(vxpoll::FindLayout(5085)->headSize, 31);
    EXPECT_EQ(vxpoll::FindLayout(5085)->itemSize, 26);
    EXPECT_EQ(vxpoll::FindLayout(5087)->headSize, 101);
    EXPECT_EQ(vxpoll::FindLayout(5086)->headSize, 65);
    EXPECT_EQ(vxpoll::FindLayout(5086)->itemSize, 38);
}

Image AcImage()
{
    Image ac(57);
    ac.B(0, "0b 00 00 00").F(4, 12.5f).F(8, -0.1f).F(12, 0.0f);
    ac.B(16, "01 00 02 aa bb 01 02 03").B(24, "07 e8 05 01 0c 1e 2d");
    ac.F(31, 230.5f).F(35, 231.0f).F(39, 229.0f).F(43, 50.0f).B(47, "00 02 00 01 00 04 05 e1 00 00");
    return ac;
}

TEST(PollDecoder, AcRecordWithOneChannel)
{
    const Json::Value f = Decode(5085, AcImage());
    EXPECT_EQ(f["data_id"].asUInt(), 11u);
    EXPECT_FLOAT_EQ(f["ia"].asFloat(), 12.5f);
    EXPECT_EQ(f["ib"].asDouble(), -0.1);  // the shortest form, not -0.10000000149
    EXPECT_EQ(f["user_p43"][0].asUInt(), 0xaau);
    EXPECT_EQ(f["user_p43"][1].asUInt(), 0xbbu);
    EXPECT_EQ(f["ic_alert"].asUInt(), 3u);
    EXPECT_EQ(f["ttime"].asString(), "2024-05-01 12:30:45");
    ASSERT_EQ(f["channels"].size(), 1u);
    const Json::Value& ch = f["channels"][0];
    EXPECT_EQ(ch["a"].asDouble(), 230.5);
    EXPECT_EQ(ch["f"].asDouble(), 50.0);
    EXPECT_EQ(ch["a_alert"].asUInt(), 2u);
    EXPECT_EQ(ch["c_alert"].asUInt(), 1u);
    EXPECT_EQ(ch["p44_count"].asUInt(), 4u);
    EXPECT_EQ(ch["alert_p44"][1].asUInt(), 0xe1u);
}

TEST(PollDecoder, DcRecordWithArraysAndNoNumber)
{
    Image dc(101);
    dc.B(0, "15 00 00 00").F(4, 53.5f).F(8, 40.25f).B(12, "02").F(13, 1.25f).F(17, -2.5f);
    dc.F(23, std::numeric_limits<float>::quiet_NaN()).B(55, "01 0a").B(60, "03").B(93, "07");
    const Json::Value f = Decode(5087, dc);
    EXPECT_EQ(f["v"].asDouble(), 53.5);
    EXPECT_EQ(f["battery_i"][1].asDouble(), -2.5);
    EXPECT_TRUE(f["user_p"][0].isNull());  // JSON has no NaN
    EXPECT_EQ(f["user_p"].size(), 8u);
    EXPECT_EQ(f["dc_v_state"].asUInt(), 1u);
    EXPECT_EQ(f["fuse_state"][3].asUInt(), 3u);
    EXPECT_EQ(f["alert_p"].size(), 26u);
    EXPECT_EQ(f["alert_p"][25].asUInt(), 7u);
    EXPECT_TRUE(f["ttime"].isNull());  // never stamped
}

TEST(PollDecoder, RectifierRecordWithTwoModules)
{
    Image rc(65 + 2 * 38);
    rc.B(0, "01 00 00 00").F(24, 57.6f).B(32, "05").F(53, 53.5f).B(57, "02");
    rc.F(65, 20.5f).B(65 + 30, "01 06").F(103, 19.75f).B(103 + 21, "01 02 03");
    const Json::Value f = Decode(5086, rc);
    EXPECT_EQ(f["dc_param"][0].asDouble(), 57.6);
    EXPECT_EQ(f["group_value"].asDouble(), 53.5);
    ASSERT_EQ(f["modules"].size(), 2u);
    EXPECT_EQ(f["modules"][0]["module_value"].asDouble(), 20.5);
    EXPECT_EQ(f["modules"][0]["fault_state"].asUInt(), 1u);
    EXPECT_EQ(f["modules"][1]["module_value"].asDouble(), 19.75);
    EXPECT_EQ(f["modules"][1]["switch_state"][2].asUInt(), 3u);
}

TEST(PollDecoder, RefusesImagesThatDoNotFitTheirLayout)
{
    struct Case {
        int type;
        Image image;
        const char* error;
    };
    Image rcOneModuleMissing(65);
    rcOneModuleMissing.B(57, "01");
    Image acLong = AcImage();
    acLong.bytes.push_back(0);
    const std::vector<Case> cases = {
        {5087, Image(100), "image of 100 bytes is shorter than the 101-byte record"},
        {5086, rcOneModuleMissing, "image of 65 bytes, expected 103 for 1 modules"},
        {5085, acLong, "image of 58 bytes, expected 57 for 1 channels"},
        {5085, Image(30), "image of 30 bytes is shorter than the 31-byte record"},
        {9999, Image(101), "unknown record type 9999"},
    };
    for (const Case& c : cases) {
        Json::Value fields;
        std::string error;
        EXPECT_FALSE(DecodeRecord(c.type, c.image.bytes.data(), c.image.bytes.size(), fields, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(PollDecoder, EveryTruncatedPrefixIsRefusedWithinItsBytes)
{
    const Image ac = AcImage();
    for (size_t n = 0; n < ac.bytes.size(); ++n) {
        // Exactly sized on the heap: a read past n trips the address sanitizer.
        std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
        std::memcpy(copy.get(), ac.bytes.data(), n);
        Json::Value fields;
        std::string error;
        EXPECT_FALSE(DecodeRecord(5085, n == 0 ? nullptr : copy.get(), n, fields, error)) << n;
    }
}

}  // namespace
