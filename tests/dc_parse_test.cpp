#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BDC.h"
#include "hex.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;

// v 1.0, i 2.5, m 2 (3.0, -1.0), n 0, p 8: marker, 0.0, 41 41 41 42, then 1.0 .. 5.0.
const std::string kAnalog = "0000803f 00002040 02 00004040 000080bf 00 08 20202020 00000000 41414142"
                            "0000803f 00000040 00004040 00008040 0000a040";
// Voltage state 2, ten fuses (the fourth faulty), 26 user-defined states.
const std::string kAlarm = "02 0a 00000003000000000000 1a 03020000 0203e4e4 e2e1f0f0 f0e5e6e9 e9e9 e9e9e9e9e9e9e9e9";

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

struct Fixture : ::testing::Test {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BDC> dc = Make();

    std::shared_ptr<VX42BDC> Make()
    {
        auto d = std::make_shared<VX42BDC>("VX42B");
        d->SetController(controller);
        d->InitV(nullptr, 7, Json::Value(Json::objectValue));
        return d;
    }
    static Bytes Image(const VX42BDC& d)
    {
        Bytes b(sizeof d.tele);
        std::memcpy(b.data(), &d.tele, b.size());
        return b;
    }
    // An exactly sized heap copy, so that any read past len trips the sanitizer.
    static int Parse(VX42BDC& d, int (VX42BDC::*parse)(const unsigned char*, int), const Bytes& block, size_t len)
    {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[len]);
        if (len) std::memcpy(copy.get(), block.data(), len);
        return (d.*parse)(copy.get(), static_cast<int>(len));
    }
    static std::string Trace(VX42BDC& d, const Bytes& block, size_t len, int& result)
    {
        ::testing::internal::CaptureStdout();
        result = Parse(d, &VX42BDC::parse42_41, block, len);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(Fixture, AnalogBlockFillsEveryField)
{
    const Bytes block = Hex(kAnalog);
    ASSERT_EQ(block.size(), 51u);
    int result = 0;
    EXPECT_EQ(Trace(*dc, block, block.size(), result), "parse 42 41: 0 0 80 3f\n");
    EXPECT_EQ(result, 51);
    const Bytes image = Image(*dc);
    EXPECT_EQ(Slice(image, 0, 4), Hex("07000000"));
    EXPECT_EQ(Slice(image, 4, 23), Slice(block, 0, 19));
    EXPECT_EQ(Slice(image, 23, 55),
              Hex("cdccccbd 00000000 41414142 0000803f 00000040 00004040 00008040 0000a040"));
    EXPECT_TRUE(controller->logs.empty());

    // Values outside user_p keep even a four-equal-bytes pattern as received.
    Bytes voltageMarker = block;
    std::memset(voltageMarker.data(), 0x20, 4);
    std::memset(voltageMarker.data() + 13, 0x20, 4);
    EXPECT_EQ(Parse(*dc, &VX42BDC::parse42_41, voltageMarker, 51), 51);
    EXPECT_EQ(Slice(Image(*dc), 4, 23), Slice(voltageMarker, 0, 19));
}

TEST_F(Fixture, TruncatedBlocksAreRefusedWithoutTouchingTheRecord)
{
    for (const std::string& hex : {kAnalog, kAlarm}) {
        const Bytes block = Hex(hex);
        const bool analog = hex == kAnalog;
        for (size_t len = 0; len < block.size(); ++len) {
            SCOPED_TRACE(testing::Message() << (analog ? "42/41 " : "42/44 ") << len << " bytes");
            const Bytes before = Image(*dc);
            controller->logs.clear();
            int result = 0;
            if (analog) {
                const std::string trace = Trace(*dc, block, len, result);
                std::string expected = "parse 42 41:";
                for (size_t k = 0; k < len && k < 4; ++k) expected += k < 2 ? " 0" : (k == 2 ? " 80" : " 3f");
                EXPECT_EQ(trace, expected + "\n");
            } else {
                result = Parse(*dc, &VX42BDC::parse42_44, block, len);
            }
            EXPECT_EQ(result, -1);
            EXPECT_EQ(Image(*dc), before);
            ASSERT_EQ(controller->logs.size(), 1u);
            const std::string prefix = std::string("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read ") +
                                       (analog ? "42_41" : "42_44") + " read overflow ";
            ASSERT_EQ(controller->logs[0].rfind(prefix, 0), 0u) << controller->logs[0];
            const std::string tail = controller->logs[0].substr(prefix.size());
            const int taken = std::stoi(tail);
            EXPECT_GT(taken, static_cast<int>(len));
            EXPECT_LE(taken, static_cast<int>(block.size()));
            EXPECT_EQ(tail, std::to_string(taken) + " - " + std::to_string(len));
        }
    }
    EXPECT_EQ(dc->parse42_41(nullptr, 51), -1);
    EXPECT_EQ(dc->parse42_44(Hex(kAlarm).data(), -3), -1);
    EXPECT_TRUE(controller->Logged("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read 42_44 read overflow 1 - -3"));
}

TEST_F(Fixture, OversizedAnalogCounts)
{
    ASSERT_EQ(Parse(*dc, &VX42BDC::parse42_41, Hex(kAnalog), 51), 51);
    const Bytes good = Image(*dc);
    struct Case {
        std::string block;
        int len, result;
        std::string log;
        size_t at;  // the bytes of the image from 4 on that change: v, i, dc_m, then from `at`
        std::string patch;
    } cases[] = {
        {"00000041 00000042 03 111111112222222233333333 00 00", 23, 23,
         "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read dc_m is 3, MAX_M is 2", 21, "00 00"},
        // Also: p = 2 replaces two values (the second a marker) and keeps the other six.
        {"00000041 00000042 00 01 44444444 02 00004141 20202020", 23, 23,
         "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read dc_n is 1, MAX_N is 0", 21, "01 02 00004141 cdccccbd"},
        // The rest of the field counts as taken, however long the block really is.
        {"00000041 00000042 00 00 09 11111111", 40, 40,
         "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read p_count is 9, support user_p max is 8", 21, "00 09"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        ASSERT_TRUE(dc->LoadFromCache(good.data(), 101));
        controller->logs.clear();
        Bytes block = Hex(c.block);
        block.resize(static_cast<size_t>(c.len));
        EXPECT_EQ(Parse(*dc, &VX42BDC::parse42_41, block, block.size()), c.result);
        EXPECT_EQ(controller->logs, std::vector<std::string>{c.log});
        Bytes expected = good;
        const Bytes head = Slice(block, 0, 9), patch = Hex(c.patch);
        std::copy(head.begin(), head.end(), expected.begin() + 4);
        std::copy(patch.begin(), patch.end(), expected.begin() + static_cast<long>(c.at));
        EXPECT_EQ(Image(*dc), expected);
    }
}

TEST_F(Fixture, AlarmBlocks)
{
    ASSERT_EQ(Parse(*dc, &VX42BDC::parse42_44, Hex(kAlarm), 39), 39);
    const Bytes good = Image(*dc);
    EXPECT_EQ(Slice(good, 55, 94), Hex(kAlarm));

    // Twelve fuses and 30 states: cut to the slots, all bytes stepped over.
    const Bytes big = Hex("01 0c 030303030303030303030909 1e") + Bytes(26, 0xe9) + Bytes(4, 0x77);
    EXPECT_EQ(Parse(*dc, &VX42BDC::parse42_44, big, big.size()), 1 + 1 + 12 + 1 + 30);
    EXPECT_EQ(controller->logs, std::vector<std::string>{
                                    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read 42_44 p is 30,  alert_p is 26"});
    EXPECT_EQ(Slice(Image(*dc), 55, 94), Hex("01 0c 03030303030303030303 1e") + Bytes(26, 0xe9));

    // Fewer states than slots leave the rest as they were.
    EXPECT_EQ(Parse(*dc, &VX42BDC::parse42_44, Hex("00 01 00 02 0000"), 6), 6);
    EXPECT_EQ(Slice(Image(*dc), 55, 94), Hex("00 01 00 030303030303030303 02 0000") + Bytes(24, 0xe9));
}

TEST_F(Fixture, UnitsBackToBack)
{
    auto second = Make();
    const Bytes analog = Hex(kAnalog) + Hex("00004040 00000000 01 00008040 00 01 00000041");
    ASSERT_EQ(Parse(*dc, &VX42BDC::parse42_41, analog, analog.size()), 51);
    EXPECT_EQ(Parse(*second, &VX42BDC::parse42_41, Slice(analog, 51, analog.size()), 19), 19);
    EXPECT_EQ(second->tele.v, 3.0f);
    EXPECT_EQ(second->tele.dc_m, 1);
    EXPECT_EQ(second->tele.p_count, 1);
    EXPECT_EQ(dc->tele.v, 1.0f);

    const Bytes alarm = Hex(kAlarm) + Hex("01 00 00");
    ASSERT_EQ(Parse(*dc, &VX42BDC::parse42_44, alarm, alarm.size()), 39);
    EXPECT_EQ(Parse(*second, &VX42BDC::parse42_44, Slice(alarm, 39, 42), 3), 3);
    EXPECT_EQ(second->tele.dc_v_state, 1);
    EXPECT_EQ(dc->tele.dc_v_state, 2);
}

}  // namespace
