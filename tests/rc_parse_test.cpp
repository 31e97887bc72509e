#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VX42BRC.h"
#include "hex.h"
#include "recording_controller.h"

// Any user-defined size may be zero.
template class PMBusPowerRC<tele_c_pmbuspower_rc<0, 0>, tele_c_pmbuspower_rc_channel<0, 0, 0>, 1>;

namespace {

using Bytes = std::vector<unsigned char>;
using Logs = std::vector<std::string>;
using Parser = int (VX42BRC::*)(const unsigned char*, int);
const std::string kErr = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 ";

const std::string kUsers = "01 02 03 04 20 20 20 20 00 00 00 00 11 22 33 44";
const std::string kUsersStored = "01 02 03 04 00 00 00 00 00 00 00 00 11 22 33 44";
// Group value and module 1's value of four equal bytes: both kept verbatim.
const std::string kAnalog = "00 55 55 55 55 02  20 20 20 20 04 " + kUsers + "  00 00 4a 42 04 " + kUsers;
const std::string kSwitch = "00 02  01 02 03 05 a1 a2 a3 a4 a5  04 05 06 05 b1 b2 b3 b4 b5";
const std::string kAlarm = "00 02  00 06 01 00 00 00 00 e2  01 06 00 01 01 01 01 01";
const std::string kAcParam = "00 00 5c 43 00 00 48 43 00 00 70 43 00 00 60 43 00 00 20 41 00";
const std::string kDcParam = "00 00 58 42 00 00 40 42 05 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14";

Bytes Copy(const void* field, size_t size)
{
    Bytes out(size);
    std::memcpy(out.data(), field, size);
    return out;
}
// The bytes of a packed field, never bound to a reference of its own type.
#define BYTES_OF(field) Copy(&(field), sizeof(field))

class RcParse : public ::testing::Test {
protected:
    std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
    std::shared_ptr<VX42BRC> rc;

    void SetUp() override
    {
        rc = std::make_shared<VX42BRC>();
        rc->SetController(ctl);
        rc->InitV(nullptr, 7, Json::Value());
        ctl->logs.clear();
    }
    // On an exactly-sized heap copy, so that any read past n is caught.
    int Parse(Parser parser, const Bytes& reply, size_t n)
    {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
        if (n > 0) std::memcpy(copy.get(), reply.data(), n);
        return ((*rc).*parser)(copy.get(), static_cast<int>(n));
    }
    int Parse(Parser parser, const std::string& hex) { return Parse(parser, Hex(hex), Hex(hex).size()); }
    // Every prefix on a fresh device: want(n) is the one log line (result -1),
    // or empty when n bytes are a whole reply.
    void ExpectPrefixes(Parser parser, const std::string& hex, bool known, const std::function<std::string(int)>& want)
    {
        const Bytes reply = Hex(hex);
        for (int n = 0; n < static_cast<int>(reply.size()); ++n) {
            SCOPED_TRACE(n);
            SetUp();
            if (known) Parse(&VX42BRC::parse41_41, kAnalog);
            ctl->logs.clear();
            const std::string line = want(n);
            EXPECT_EQ(Parse(parser, reply, n), line.empty() ? n : -1);
            EXPECT_EQ(ctl->logs, line.empty() ? Logs{} : Logs{kErr + line});
        }
    }
};

TEST_F(RcParse, AnalogReply)
{
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, kAnalog), 48);
    ASSERT_EQ(rc->channels.size(), 2u);
    EXPECT_EQ(rc->tele.channel_count, 2);
    EXPECT_EQ(BYTES_OF(rc->tele.group_value), Hex("55 55 55 55"));
    EXPECT_EQ(BYTES_OF(rc->channels[0].module_value), Hex("20 20 20 20"));
    EXPECT_EQ(BYTES_OF(rc->channels[1].user_p41), Hex(kUsersStored));
    EXPECT_TRUE(ctl->logs.empty());

    // Wrong count: new fixed fields and count, old user values, 8 bytes skipped.
    EXPECT_EQ(Parse(&VX42BRC::parse41_41,
                    "00 01 00 00 00 02  00 00 80 3f 02 09 09 09 08 07 07 07 06  00 00 4b 42 04 " + kUsers),
              40);
    EXPECT_EQ(ctl->logs, Logs{kErr + "read 41_41 p is 2 not 4"});
    EXPECT_EQ(BYTES_OF(rc->channels[0].module_value), Hex("00 00 80 3f"));
    EXPECT_EQ(rc->channels[0].p41_count, 2);
    EXPECT_EQ(BYTES_OF(rc->channels[0].user_p41), Hex(kUsersStored));
    EXPECT_EQ(BYTES_OF(rc->channels[1].module_value), Hex("00 00 4b 42"));

    // A changed module count is refused silently; the group value is taken.
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, "00 02 00 00 00 01 00 00 00 00 04 " + kUsers), -1);
    EXPECT_EQ(ctl->logs.size(), 1u);
    EXPECT_EQ(BYTES_OF(rc->tele.group_value), Hex("02 00 00 00"));
    EXPECT_EQ(rc->channels.size(), 2u);

    // No modules leaves the count open.
    SetUp();
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, "00 00 00 00 00 00"), 6);
    EXPECT_EQ(Parse(&VX42BRC::parse41_41, kAnalog), 48);
}

TEST_F(RcParse, SwitchAndAlarmReplies)
{
    Parse(&VX42BRC::parse41_41, kAnalog);
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
    EXPECT_EQ(ctl->logs, (Logs{kErr + "read 41_43 p is 4, not 5", kErr + "read 41_44 p is 7, not 6"}));

    // More modules than known: refused silently, or with 0 and a message.
    ctl->logs.clear();
    EXPECT_EQ(Parse(&VX42BRC::parse41_43, "00 03"), -1);
    EXPECT_EQ(Parse(&VX42BRC::parse41_43, "00 00"), 2);
    EXPECT_EQ(Parse(&VX42BRC::parse41_44, "00 03"), 0);
    EXPECT_EQ(ctl->logs, Logs{kErr + "parse p41_44 channel_count not equal 3 != 2 "});
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
    EXPECT_EQ(ctl->logs, Logs{kErr + "read 42_46 p is 4, not 5"});
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
        const int start = 6 + 21 * ((n - 6) / 21);
        if (n < 6 || n < start + 5) return Overflow("41_41", n < 6 ? 6 : start + 5, n);
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
    // Past its fixed fields a DC parameter reply may stop anywhere.
    ExpectPrefixes(&VX42BRC::parse42_46, kDcParam, false,
                   [](int n) { return n < 9 ? Overflow("42_46", 9, n) : std::string(); });
}

}  // namespace
