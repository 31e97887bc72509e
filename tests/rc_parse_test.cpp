#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VX42BRC.h"
#include "hex.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Parser = int (VX42BRC::*)(const unsigned char*, int);
const std::string kErr = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 ";

const std::string kUsers = "01 02 03 04 20 20 20 20 00 00 00 00 11 22 33 44";
// Group value of four equal bytes, module 1's value too: both kept verbatim.
const std::string kAnalog = "00 55 55 55 55 02  20 20 20 20 04 " + kUsers + "  00 00 4a 42 04 " + kUsers;
const std::string kSwitch = "00 02  01 02 03 05 a1 a2 a3 a4 a5  04 05 06 05 b1 b2 b3 b4 b5";
const std::string kAlarm = "00 02  00 06 01 00 00 00 00 e2  01 06 00 01 01 01 01 01";
const std::string kAcParam = "00 00 5c 43 00 00 48 43 00 00 70 43 00 00 60 43 00 00 20 41 00";
const std::string kDcParam = "00 00 58 42 00 00 40 42 05 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14";

class RcParse : public ::testing::Test {
protected:
    std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BRC> rc = std::make_shared<VX42BRC>();

    void SetUp() override
    {
        rc->SetController(ctl);
        rc->InitV(nullptr, 7, Json::Value());
    }
    // An exactly-sized heap copy, so that any read past n is caught.
    int Parse(Parser parser, const Bytes& reply, size_t n)
    {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
        if (n > 0) std::memcpy(copy.get(), reply.data(), n);
        return ((*rc).*parser)(copy.get(), static_cast<int>(n));
    }
    int Parse(Parser parser, const std::string& hex)
    {
        const Bytes reply = Hex(hex);
        return Parse(parser, reply, reply.size());
    }
    // Every cut-short reply on a fresh device: expected(n) is the one log line
    // (result -1), or empty when the prefix is a complete reply of n bytes.
    void ExpectPrefixes(Parser parser, const std::string& hex, bool knowModules,
                        const std::function<std::string(int)>& expected)
    {
        const Bytes reply = Hex(hex);
        for (size_t n = 0; n < reply.size(); ++n) {
            SCOPED_TRACE(n);
            rc = std::make_shared<VX42BRC>();
            SetUp();
            if (knowModules) {
                ASSERT_EQ(Parse(&VX42BRC::parse41_41, kAnalog), 48);
            }
            ctl->logs.clear();
            const std::string line = expected(static_cast<int>(n));
            EXPECT_EQ(Parse(parser, reply, n), line.empty() ? static_cast<int>(n) : -1);
            EXPECT_EQ(ctl->logs, line.empty() ? std::vector<std::string>{} : std::vector<std::string>{kErr + line});
        }
    }
};

Bytes Copy(const void* field, size_t size)
{
    Bytes out(size);
    std::memcpy(out.data(), field, size);
    return out;
}
// The bytes of a packed field, never bound to a reference of its own type.
#define BYTES_OF(field) Copy(&(field), sizeof(field))

TEST_F(RcParse, AnalogReplyLearnsModulesAndZeroesEqualUserValues)
{
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, kAnalog), 48);
    EXPECT_EQ(rc->tele.channel_count, 2);
    ASSERT_EQ(rc->channels.size(), 2u);
    EXPECT_EQ(BYTES_OF(rc->tele.group_value), Hex("55 55 55 55"));
    EXPECT_EQ(BYTES_OF(rc->channels[0].module_value), Hex("20 20 20 20"));
    EXPECT_EQ(BYTES_OF(rc->channels[1].module_value), Hex("00 00 4a 42"));
    for (const auto& module : rc->channels) {
        EXPECT_EQ(module.p41_count, 4);
        EXPECT_EQ(BYTES_OF(module.user_p41), Hex("01 02 03 04 00 00 00 00 00 00 00 00 11 22 33 44"));
    }
    EXPECT_TRUE(ctl->logs.empty());

    // Wrong count: new fixed fields and count, old user values, 8 bytes skipped.
    const std::string shortModule = "00 00 80 3f 02 09 09 09 08 07 07 07 06";
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, "00 01 00 00 00 02 " + shortModule + " 00 00 4b 42 04 " + kUsers), 40);
    EXPECT_EQ(ctl->logs, std::vector<std::string>{kErr + "read 41_41 p is 2 not 4"});
    EXPECT_EQ(BYTES_OF(rc->channels[0].module_value), Hex("00 00 80 3f"));
    EXPECT_EQ(rc->channels[0].p41_count, 2);
    EXPECT_EQ(BYTES_OF(rc->channels[0].user_p41), Hex("01 02 03 04 00 00 00 00 00 00 00 00 11 22 33 44"));
    EXPECT_EQ(BYTES_OF(rc->channels[1].module_value), Hex("00 00 4b 42"));

    // A changed module count is refused silently; the group value is taken.
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, "00 02 00 00 00 01 00 00 00 00 04 " + kUsers), -1);
    EXPECT_EQ(ctl->logs.size(), 1u);
    EXPECT_EQ(BYTES_OF(rc->tele.group_value), Hex("02 00 00 00"));
    EXPECT_EQ(rc->tele.channel_count, 2);
    EXPECT_EQ(rc->channels.size(), 2u);
}

TEST_F(RcParse, AnalogReplyWithoutModulesLeavesTheCountOpen)
{
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, "00 00 00 00 00 00"), 6);
    EXPECT_TRUE(rc->channels.empty());
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, kAnalog), 48);
    EXPECT_EQ(rc->channels.size(), 2u);
}

TEST_F(RcParse, SwitchAndAlarmReplies)
{
    ASSERT_EQ(Parse(&VX42BRC::parse41_41, kAnalog), 48);
    EXPECT_EQ(Parse(&VX42BRC::parse41_43, kSwitch), 20);
    EXPECT_EQ(BYTES_OF(rc->channels[1].switch_state), Hex("04 05 06"));
    EXPECT_EQ(BYTES_OF(rc->channels[1].user_p43), Hex("b1 b2 b3 b4 b5"));
    EXPECT_EQ(Parse(&VX42BRC::parse41_44, kAlarm), 18);
    EXPECT_EQ(rc->channels[1].fault_state, 1);
    EXPECT_EQ(BYTES_OF(rc->channels[0].alert_p44), Hex("01 00 00 00 00 e2"));
    EXPECT_TRUE(ctl->logs.empty());

    // Module 1 announces a wrong count: fixed bytes and count taken, user bytes kept.
    EXPECT_EQ(Parse(&VX42BRC::parse41_43, "00 01 07 08 09 04 c1 c2 c3 c4"), 10);
    EXPECT_EQ(BYTES_OF(rc->channels[0].switch_state), Hex("07 08 09"));
    EXPECT_EQ(rc->channels[0].p43_count, 4);
    EXPECT_EQ(BYTES_OF(rc->channels[0].user_p43), Hex("a1 a2 a3 a4 a5"));
    EXPECT_EQ(Parse(&VX42BRC::parse41_44, "00 01 00 07 09 09 09 09 09 09 09"), 11);
    EXPECT_EQ(rc->channels[0].p44_count, 7);
    EXPECT_EQ(BYTES_OF(rc->channels[0].alert_p44), Hex("01 00 00 00 00 e2"));
    EXPECT_EQ(ctl->logs, (std::vector<std::string>{kErr + "read 41_43 p is 4, not 5", kErr + "read 41_44 p is 7, not 6"}));

    // More modules than known: the switch reply is refused silently, the alarm reply with 0.
    ctl->logs.clear();
    EXPECT_EQ(Parse(&VX42BRC::parse41_43, "00 03"), -1);
    EXPECT_EQ(Parse(&VX42BRC::parse41_43, "00 00"), 2);
    EXPECT_EQ(Parse(&VX42BRC::parse41_44, "00 03"), 0);
    EXPECT_EQ(ctl->logs, std::vector<std::string>{kErr + "parse p41_44 channel_count not equal 3 != 2 "});
    EXPECT_EQ(BYTES_OF(rc->channels[0].switch_state), Hex("07 08 09"));
}

TEST_F(RcParse, ParameterReplies)
{
    EXPECT_EQ(Parse(&VX42BRC::parse40_46, kAcParam), 21);
    EXPECT_EQ(BYTES_OF(rc->tele.ac_param), Hex(kAcParam.substr(0, 60)));
    // User-defined AC parameters are skipped, whatever the length says.
    EXPECT_EQ(Parse(&VX42BRC::parse40_46, kAcParam.substr(0, 60) + "03"), 33);

    EXPECT_EQ(Parse(&VX42BRC::parse42_46, kDcParam), 29);
    EXPECT_EQ(BYTES_OF(rc->tele.dc_user_p), Hex(kDcParam.substr(27)));
    EXPECT_EQ(Parse(&VX42BRC::parse42_46, "00 00 00 00 00 00 00 00 05 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa"), 19);
    EXPECT_EQ(BYTES_OF(rc->tele.dc_user_p), Hex("f1 f2 f3 f4 f5 f6 f7 f8 f9 fa 0b 0c 0d 0e 0f 10 11 12 13 14"));
    EXPECT_TRUE(ctl->logs.empty());

    EXPECT_EQ(Parse(&VX42BRC::parse42_46, "00 00 a0 41 00 00 b0 41 04"), 25);
    EXPECT_EQ(ctl->logs, std::vector<std::string>{kErr + "read 42_46 p is 4, not 5"});
    EXPECT_EQ(BYTES_OF(rc->tele.dc_param), Hex("00 00 a0 41 00 00 b0 41"));
    EXPECT_EQ(rc->tele.dc_p_count, 4);
}

std::string Overflow(const char* reply, int need, int n)
{
    return std::string("read ") + reply + " read overflow " + std::to_string(need) + " - " + std::to_string(n);
}

TEST_F(RcParse, CutShortRepliesNeverReadPastTheirLength)
{
    ExpectPrefixes(&VX42BRC::parse41_41, kAnalog, false, [](int n) {
        if (n < 6) return Overflow("41_41", 6, n);
        const int start = 6 + 21 * ((n - 6) / 21);
        if (n < start + 5) return Overflow("41_41", start + 5, n);
        return "read 41_41 module overflow " + std::to_string(start + 21) + " - " + std::to_string(n);
    });
    ExpectPrefixes(&VX42BRC::parse41_43, kSwitch, true, [](int n) {
        const int start = 2 + 9 * ((n - 2) / 9);
        return Overflow("41_43", n < 2 ? 2 : n < start + 4 ? start + 4 : start + 9, n);
    });
    ExpectPrefixes(&VX42BRC::parse41_44, kAlarm, true, [](int n) {
        const int start = 2 + 8 * ((n - 2) / 8);
        return Overflow("41_44", n < 2 ? 2 : n < start + 2 ? start + 2 : start + 8, n);
    });
    ExpectPrefixes(&VX42BRC::parse40_46, kAcParam, false, [](int n) { return Overflow("40_46", 21, n); });
    EXPECT_EQ(BYTES_OF(rc->tele.ac_param), Bytes(20, 0));
    // Past the fixed fields a DC parameter reply may stop anywhere.
    ExpectPrefixes(&VX42BRC::parse42_46, kDcParam, false,
                   [](int n) { return n < 9 ? Overflow("42_46", 9, n) : std::string(); });
}

// Any user-defined size may be zero.
using Bare = PMBusPowerRC<tele_c_pmbuspower_rc<0, 0>, tele_c_pmbuspower_rc_channel<0, 0, 0>, 1>;

TEST(RcRecords, ZeroSizedUserFieldsStillParse)
{
    auto bare = std::make_shared<Bare>();
    const Bytes analog = Hex("00 01 02 03 04 01 05 06 07 08 00");
    EXPECT_EQ(bare->parse41_41(analog.data(), static_cast<int>(analog.size())), 11);
    const Bytes alarm = Hex("00 01 01 00");
    EXPECT_EQ(bare->parse41_44(alarm.data(), static_cast<int>(alarm.size())), 4);
    EXPECT_EQ(bare->channels.at(0).fault_state, 1);
    const Bytes dc = Hex("01 02 03 04 05 06 07 08 00");
    EXPECT_EQ(bare->parse42_46(dc.data(), static_cast<int>(dc.size())), 9);
}

}  // namespace
