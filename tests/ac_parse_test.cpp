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

// Packed fields are read by value: gtest would bind a reference to them.
float Val(float v) { return v; }

uint32_t Bits(float v)
{
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return u;
}

// Channel i: a 220+i, b 230+i, c 240+i, f 50+i, then P = 0; currents 1.5, 2.5, 3.5.
std::string Section41(int channels)
{
    std::string s = "0" + std::to_string(channels) + " ";
    for (int i = 0; i < channels; ++i) s += F(220.f + i) + F(230.f + i) + F(240.f + i) + F(50.f + i) + "00 ";
    return s + F(1.5f) + F(2.5f) + F(3.5f);
}

struct AcParse : ::testing::Test {
    std::shared_ptr<RecordingController> log = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BAC> dev = Make();

    std::shared_ptr<VX42BAC> Make()
    {
        auto d = std::make_shared<VX42BAC>();
        d->SetController(log);
        d->InitV(nullptr, 7, Json::Value());
        return d;
    }
    // Parses the first n bytes from an exactly sized heap copy.
    static int Feed(VX42BAC& d, Parser fn, const Bytes& all, size_t n)
    {
        const Bytes buf(all.begin(), all.begin() + static_cast<long>(n));
        return (d.*fn)(buf.data(), static_cast<int>(n));
    }
    // Every proper prefix is refused; one byte short names the full layout.
    void ExpectPrefixesRefused(Parser fn, const Bytes& all, const char* which, int channels)
    {
        for (size_t n = 0; n < all.size(); ++n) {
            auto d = Make();
            if (channels > 0) {
                const Bytes analog = Hex(Section41(channels));
                ASSERT_EQ(Feed(*d, &VX42BAC::parse40_41, analog, analog.size()), static_cast<int>(analog.size()));
            }
            EXPECT_EQ(Feed(*d, fn, all, n), -1) << which << " prefix " << n;
        }
        const std::string last = "PMBusPowerAC:ProcotolError 7 read " + std::string(which) + " read overflow " +
                                 std::to_string(all.size()) + " - " + std::to_string(all.size() - 1);
        EXPECT_EQ(log->logs.back(), last);
    }
};

TEST_F(AcParse, AnalogSectionFixesTheChannelCount)
{
    const Bytes s = Hex(Section41(2));
    ASSERT_EQ(s.size(), 47u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, s, s.size()), 47);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a:220 b:230 c:240 f:50\na:221 b:231 c:241 f:51\n");
    ASSERT_EQ(dev->channels.size(), 2u);
    EXPECT_EQ(dev->tele.channel_count, 2);
    EXPECT_EQ(Val(dev->channels[1].c), 241.f);
    EXPECT_EQ(Val(dev->tele.ic), 3.5f);
    EXPECT_TRUE(log->logs.empty());

    // Another count is refused silently and changes nothing.
    const Bytes three = Hex(Section41(3));
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, three, three.size()), -1);
    EXPECT_EQ(dev->channels.size(), 2u);
    EXPECT_EQ(Val(dev->tele.ia), 1.5f);
    EXPECT_TRUE(log->logs.empty());
    ExpectPrefixesRefused(&VX42BAC::parse40_41, s, "40_41", 0);
}

TEST_F(AcParse, NoValueMarkerAndZero)
{
    // Channel a marker, b zeros; ia marker, ib zeros.
    const Bytes s = Hex("01 41414141 00000000" + F(240) + F(50) + "00 20202020 00000000" + F(3.5f));
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(Feed(*dev, &VX42BAC::parse40_41, s, s.size()), 30);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(Bits(dev->channels[0].a), 0u);
    EXPECT_EQ(Bits(dev->channels[0].b), 0u);
    EXPECT_EQ(Bits(dev->tele.ia), 0xBDCCCCCDu);
    EXPECT_EQ(Bits(dev->tele.ib), 0u);
}

TEST_F(AcParse, AnalogUserCountMismatchIsSkipped)
{
    ::testing::internal::CaptureStdout();
    const Bytes skip = Hex("01" + F(1) + F(2) + F(3) + F(4) + "01 11111111" + F(5) + F(6) + F(7));
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, skip, skip.size()), 34);
    EXPECT_EQ(dev->channels[0].p41_count, 1);
    EXPECT_EQ(Val(dev->tele.ia), 5.f);
    EXPECT_TRUE(log->Logged("PMBusPowerAC:ProcotolError 7 read 40_41 p is 1 not 0"));
    // A count that runs past the section.
    const Bytes big = Hex("01" + F(1) + F(2) + F(3) + F(4) + "ff" + F(5) + F(6) + F(7));
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_41, big, big.size()), -1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(log->logs.back(), "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 1038 - 30");
}

TEST_F(AcParse, SwitchSection)
{
    const Bytes good = Hex("00 02 aa bb");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, good, 4), 4);
    EXPECT_EQ(dev->tele.user_p43[0], 0xaa);
    EXPECT_EQ(dev->tele.user_p43[1], 0xbb);

    const Bytes three = Hex("00 03 01 02 03");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, three, 5), 5);
    EXPECT_EQ(dev->tele.p43_count, 3);
    EXPECT_EQ(dev->tele.user_p43[0], 0xaa);
    EXPECT_EQ(log->logs.back(), "PMBusPowerAC:ProcotolError P7 read 40_43 p is 3 not 2");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, Hex("00 09 01 02"), 4), -1);

    const Bytes airlock = Hex("01 55 02 aa bb");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_43, airlock, 5), -1);
    EXPECT_EQ(dev->tele.airlock_count, 1);
    EXPECT_EQ(log->logs.back(), "ProcotolError 7 read 40_43 m is 1 max 0");
    ExpectPrefixesRefused(&VX42BAC::parse40_43, good, "40_43", 0);
}

TEST_F(AcParse, AlarmSection)
{
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(Feed(*dev, &VX42BAC::parse40_41, Hex(Section41(2)), 47), 47);
    // The leading count (09) is ignored; the 40/41 count rules.
    const Bytes s = Hex("09  01 02 03 01 00 04 05 05 05 e1  03 02 01 00 00 04 00 00 00 00  01 02 03");
    ASSERT_EQ(s.size(), 24u);
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_44, s, s.size()), 24);
    const auto& c0 = dev->channels[0];
    EXPECT_EQ(c0.a_alert, 1);
    EXPECT_EQ(c0.f_alert, 1);
    EXPECT_EQ(c0.alert_p44[3], 0xe1);
    EXPECT_EQ(dev->channels[1].c_alert, 1);
    EXPECT_EQ(dev->tele.ic_alert, 3);
    EXPECT_TRUE(log->logs.empty());

    // Further status bytes are skipped; a wrong user count keeps the old bytes.
    const Bytes odd = Hex("02  00 00 00 00 02 aa bb 03 09 09 09  00 00 00 00 00 04 01 01 01 01  00 00 00");
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_44, odd, odd.size()), 25);
    EXPECT_EQ(c0.p44_count, 3);
    EXPECT_EQ(c0.alert_p44[0], 5);
    EXPECT_EQ(dev->channels[1].alert_p44[0], 1);
    EXPECT_TRUE(log->Logged("PMBusPowerAC:ProcotolError 7 read 40_44 m is 2"));
    EXPECT_TRUE(log->Logged("PMBusPowerAC:ProcotolError 7 read 40_44 p is 3 not 4"));
    ExpectPrefixesRefused(&VX42BAC::parse40_44, s, "40_44", 2);
    ::testing::internal::GetCapturedStdout();
}

TEST_F(AcParse, AlarmSectionBeforeAnyAnalogSection)
{
    EXPECT_EQ(Feed(*dev, &VX42BAC::parse40_44, Hex("02 01 02 03 ff"), 5), 4);
    EXPECT_EQ(dev->tele.ia_alert, 1);
    EXPECT_EQ(dev->tele.ic_alert, 3);
    EXPECT_TRUE(dev->channels.empty());
}

// A product with two user-defined floats per channel.
struct WideAC : PMBusPowerAC<tele_c_pmbuspower_ac<0, 2>, tele_c_pmbuspower_ac_channel<2, 4>, 1> {
    void DoImpCheckAlert() override {}
};

TEST(AcParseWide, UserFloatsDecodeWithTheirMarker)
{
    auto d = std::make_shared<WideAC>();
    const Bytes s = Hex("01" + F(1) + F(2) + F(3) + F(4) + "02 20202020" + F(9.5f) + F(5) + F(6) + F(7));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(d->parse40_41(s.data(), static_cast<int>(s.size())), static_cast<int>(s.size()));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(Bits(d->channels[0].user_p41[0]), 0xBDCCCCCDu);
    EXPECT_EQ(Val(d->channels[0].user_p41[1]), 9.5f);
}

}  // namespace
