#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BAC.h"
#include "hex.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Parser = int (VX42BAC::*)(const unsigned char*, int);

std::string F(float v)
{
    unsigned char b[4];
    std::memcpy(b, &v, 4);
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x ", b[0], b[1], b[2], b[3]);
    return text;
}

// Packed fields are passed by value: gtest would bind a reference to them.
uint32_t Bits(float v)
{
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return u;
}
float Val(float v) { return v; }

// Channel i: a 220+i, b 230+i, c 240+i, f 50+i, P = 0; then currents 1.5, 2.5, 3.5.
std::string Section41(int channels)
{
    std::string s = "0" + std::to_string(channels) + " ";
    for (int i = 0; i < channels; ++i) s += F(220.f + i) + F(230.f + i) + F(240.f + i) + F(50.f + i) + "00 ";
    return s + F(1.5f) + F(2.5f) + F(3.5f);
}

struct AcParse : ::testing::Test {
    std::shared_ptr<RecordingController> log = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BAC> dev = Make(0);

    // The analog trace lines are checked once; elsewhere they are noise.
    void SetUp() override { ::testing::internal::CaptureStdout(); }
    void TearDown() override { ::testing::internal::GetCapturedStdout(); }

    std::shared_ptr<VX42BAC> Make(int channels)
    {
        auto d = std::make_shared<VX42BAC>();
        d->SetController(log);
        d->InitV(nullptr, 7, Json::Value());
        if (channels > 0) {
            EXPECT_EQ(Feed(*d, &VX42BAC::parse40_41, Hex(Section41(channels))), 1 + 17 * channels + 12);
        }
        return d;
    }
    // Parses the first n bytes (all by default) from an exactly sized heap copy.
    static int Feed(VX42BAC& d, Parser fn, const Bytes& all, size_t n = SIZE_MAX)
    {
        const Bytes buf(all.begin(), all.begin() + static_cast<long>(std::min(n, all.size())));
        return (d.*fn)(buf.data(), static_cast<int>(buf.size()));
    }
    // Every proper prefix is refused; one byte short names the full layout.
    void ExpectPrefixesRefused(Parser fn, const Bytes& all, const std::string& which, int channels)
    {
        for (size_t n = 0; n < all.size(); ++n) EXPECT_EQ(Feed(*Make(channels), fn, all, n), -1) << n;
        EXPECT_EQ(log->logs.back(), "PMBusPowerAC:ProcotolError 7 read " + which + " read overflow " +
                                        std::to_string(all.size()) + " - " + std::to_string(all.size() - 1));
    }
};

TEST_F(AcParse, AnalogSectionFixesTheChannelCount)
{
    const Bytes s = Hex(Section41(2));
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, s), 47);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a:220 b:230 c:240 f:50\na:221 b:231 c:241 f:51\n");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(dev->channels.size(), 2u);
    EXPECT_EQ(dev->tele.channel_count, 2);
    EXPECT_EQ(Val(dev->channels[1].c), 241.f);
    EXPECT_EQ(Val(dev->tele.ic), 3.5f);

    // Another count is refused silently and changes nothing.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, Hex(Section41(3))), -1);
    EXPECT_EQ(dev->channels.size(), 2u);
    EXPECT_EQ(Val(dev->tele.ia), 1.5f);
    EXPECT_TRUE(log->logs.empty());
    ExpectPrefixesRefused(&VX42BAC::parse40_41, s, "40_41", 0);
}

TEST_F(AcParse, AnalogMarkersAndUserCounts)
{
    // Channel a marker, b zeros; ia marker, ib zeros.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41,
                   Hex("01 41414141 00000000" + F(240) + F(50) + "00 20202020 00000000" + F(3.5f))),
              30);
    EXPECT_EQ(Bits(dev->channels[0].a), 0u);
    EXPECT_EQ(Bits(dev->channels[0].b), 0u);
    EXPECT_EQ(Bits(dev->tele.ia), 0xBDCCCCCDu);
    EXPECT_EQ(Bits(dev->tele.ib), 0u);

    // An unexpected user count is reported and its floats skipped.
    EXPECT_EQ(
        Feed(*dev, &VX42BAC::parse40_41, Hex("01" + F(1) + F(2) + F(3) + F(4) + "01 11111111" + F(5) + F(6) + F(7))),
        34);
    EXPECT_EQ(dev->channels[0].p41_count, 1);
    EXPECT_EQ(Val(dev->tele.ia), 5.f);
    EXPECT_EQ(log->logs.at(0), "PMBusPowerAC:ProcotolError 7 read 40_41 p is 1 not 0");
    // A count that runs past the section.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, Hex("01" + F(1) + F(2) + F(3) + F(4) + "ff" + F(5) + F(6) + F(7))), -1);
    EXPECT_EQ(log->logs.back(), "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 1038 - 30");
}

TEST_F(AcParse, SwitchSection)
{
    const Bytes good = Hex("00 02 aa bb");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, good), 4);
    EXPECT_EQ(dev->tele.user_p43[1], 0xbb);
    // A wrong user count is accepted; the old bytes stay.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, Hex("00 03 01 02 03")), 5);
    EXPECT_EQ(dev->tele.p43_count, 3);
    EXPECT_EQ(dev->tele.user_p43[0], 0xaa);
    EXPECT_EQ(log->logs.back(), "PMBusPowerAC:ProcotolError P7 read 40_43 p is 3 not 2");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, Hex("00 09 01 02")), -1);
    // Switch status bytes beyond the most this product carries.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, Hex("01 55 02 aa bb")), -1);
    EXPECT_EQ(dev->tele.airlock_count, 1);
    EXPECT_EQ(log->logs.back(), "ProcotolError 7 read 40_43 m is 1 max 0");
    ExpectPrefixesRefused(&VX42BAC::parse40_43, good, "40_43", 0);
}

TEST_F(AcParse, AlarmSection)
{
    // Before any analog section there are no channel blocks.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_44, Hex("02 01 02 03 ff")), 4);
    EXPECT_EQ(dev->tele.ic_alert, 3);

    dev = Make(2);
    // The leading count (09) is ignored; the analog count rules.
    const Bytes s = Hex("09  01 02 03 01 00 04 05 05 05 e1  03 02 01 00 00 04 00 00 00 00  01 02 03");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_44, s), 24);
    const auto& c0 = dev->channels[0];
    EXPECT_EQ(c0.b_alert, 2);
    EXPECT_EQ(c0.f_alert, 1);
    EXPECT_EQ(c0.alert_p44[3], 0xe1);
    EXPECT_EQ(dev->channels[1].a_alert, 3);
    EXPECT_EQ(dev->tele.ia_alert, 1);
    EXPECT_TRUE(log->logs.empty());

    // Further status bytes are skipped; a wrong user count keeps the old bytes.
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_44, Hex("02  00000000 02 aabb 03 090909  00000000 00 04 01010101  000000")),
              25);
    EXPECT_EQ(c0.p44_count, 3);
    EXPECT_EQ(c0.alert_p44[0], 5);
    EXPECT_EQ(dev->channels[1].alert_p44[0], 1);
    EXPECT_TRUE(log->Logged("PMBusPowerAC:ProcotolError 7 read 40_44 m is 2"));
    EXPECT_TRUE(log->Logged("PMBusPowerAC:ProcotolError 7 read 40_44 p is 3 not 4"));
    ExpectPrefixesRefused(&VX42BAC::parse40_44, s, "40_44", 2);
}

// A product with two user-defined floats per channel.
struct WideAC : PMBusPowerAC<tele_c_pmbuspower_ac<0, 2>, tele_c_pmbuspower_ac_channel<2, 4>, 1> {
    void DoImpCheckAlert() override {}
};

TEST_F(AcParse, UserFloatsDecodeWithTheirMarker)
{
    auto d = std::make_shared<WideAC>();
    const Bytes s = Hex("01" + F(1) + F(2) + F(3) + F(4) + "02 20202020" + F(9.5f) + F(5) + F(6) + F(7));
    EXPECT_EQ(d->parse40_41(s.data(), static_cast<int>(s.size())), 38);
    EXPECT_EQ(Bits(d->channels[0].user_p41[0]), 0xBDCCCCCDu);
    EXPECT_EQ(Val(d->channels[0].user_p41[1]), 9.5f);
}

}  // namespace
