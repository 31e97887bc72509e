#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PMBusProtocol.h"
#include "json_text.h"
#include "memory_port.h"
#include "recording_controller.h"

namespace {

using namespace std::chrono_literals;

class Probe : public PMBusProtocol {
public:
    Probe() { lineOption_ = 1; }
    std::vector<std::vector<unsigned char>> replies;
    int errors = 0;
    int process_payload() override
    {
        const int info = (reply_[4] | (reply_[5] << 8)) / 2;
        replies.emplace_back(reply_, reply_ + 6 + info);
        return 1;
    }
    int process_error() override { return ++errors; }
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

struct Fixture : ::testing::Test {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Probe> device = std::make_shared<Probe>();
    std::shared_ptr<MemoryPort> port = std::make_shared<MemoryPort>();
    SMDSPDevice::Clock::time_point now{};

    void SetUp() override
    {
        ASSERT_TRUE(device->Init(controller, 7, Json::Value()));
        device->AttachPort(port);
        ASSERT_TRUE(device->OpenPort());
        device->SetClock([this] { return now; });
    }
    void Feed(const std::string& bytes)
    {
        std::string copy = bytes;
        device->process(reinterpret_cast<unsigned char*>(&copy[0]), static_cast<unsigned>(copy.size()));
    }
};

std::string Reply(unsigned char adr, unsigned char rtn, const std::vector<unsigned char>& info)
{
    return yd1363::Encode(0x20, adr, 0x40, rtn, info.data(), info.size());
}

TEST_F(Fixture, AcceptedReplyReachesPayloadHandler)
{
    Feed(Reply(1, 0, {0x10, 0x02, 0xAB}));
    ASSERT_EQ(device->replies.size(), 1u);
    EXPECT_EQ(device->replies[0], (std::vector<unsigned char>{0x20, 0x01, 0x40, 0x00, 0x06, 0x00, 0x10, 0x02, 0xAB}));
    EXPECT_EQ(device->errors, 0);
}

TEST_F(Fixture, RefusedRepliesNeverReachPayloadHandler)
{
    std::string badSum = Reply(1, 0, {0x01});
    badSum[badSum.size() - 2] ^= 0x01;
    const struct {
        std::string bytes;
        std::string log;
    } cases[] = {
        {Reply(2, 0, {0x01}), "PMBusProtocol:FrameError 7 wrong address: ADR 0x02, polled 0x01"},
        {Reply(1, 4, {0x01}), "PMBusProtocol:FrameError 7 RTN not 0: RTN 0x04"},
        {badSum, "PMBusProtocol:FrameError 7 CHKSUM mismatch"},
        {"~20014000C004010000\r", "PMBusProtocol:FrameError 7 LENID mismatch"},
        {"~2001~", "PMBusProtocol:FrameError 7 frame cut off by SOI"},
    };
    for (const auto& c : cases) {
        controller->logs.clear();
        Feed(c.bytes);
        EXPECT_TRUE(controller->Logged(c.log)) << c.bytes;
    }
    EXPECT_TRUE(device->replies.empty());
    EXPECT_EQ(device->errors, 5);
}

TEST_F(Fixture, EveryTruncatedPrefixDeliversNothing)
{
    const std::string frame = Reply(1, 0, {0x01, 0x02, 0x03});
    for (size_t n = 0; n + 1 < frame.size(); ++n) {
        Probe fresh;
        std::string prefix = frame.substr(0, n);
        fresh.process(reinterpret_cast<unsigned char*>(&prefix[0]), static_cast<unsigned>(prefix.size()));
        EXPECT_TRUE(fresh.replies.empty()) << n;
    }
}

TEST_F(Fixture, HalfDuplexEchoOfCommandIsDroppedSilently)
{
    device->write_pmbus_cmd(0x40, 0x51);
    ASSERT_EQ(port->Written().size(), 1u);
    Feed(port->Written()[0]);
    EXPECT_TRUE(controller->logs.empty());
    EXPECT_EQ(device->errors, 0);
    EXPECT_TRUE(device->replies.empty());
}

TEST_F(Fixture, RefreshWaitsForReplyUntilTimeout)
{
    device->SetReplyTimeout(1000ms);
    EXPECT_TRUE(device->RefreshStatus());
    device->write_pmbus_cmd(0x40, 0x51);
    now += 999ms;
    EXPECT_FALSE(device->RefreshStatus());
    now += 1ms;
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_TRUE(controller->Logged("SMDSPDevice:Timeout 7 no reply within 1000 ms"));
    device->write_pmbus_cmd(0x40, 0x51);
    Feed(Reply(1, 0, {}));
    EXPECT_TRUE(device->RefreshStatus());
}

TEST_F(Fixture, UnrepeatedCommandStallRestartsPollingAtStepZero)
{
    device->SetStep(3);
    device->write_pmbus_cmd(0x40, 0x46);
    const auto stamped = device->LastUpdate() - boost::posix_time::hours(1);
    device->SetLastUpdate(stamped);
    now += 2999ms;
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(device->Step(), 3);
    now += 1ms;
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(device->Step(), 0);
    EXPECT_GT(device->LastUpdate(), stamped);
    EXPECT_TRUE(controller->Logged("SMDSPDevice:Stalled 7 no reply for 3 time-outs, polling restarts"));
}

TEST_F(Fixture, HostSettingsAreCheckedByName)
{
    const struct {
        const char* json;
        bool ok;
        const char* log;
    } cases[] = {
        {R"({"address": 5, "reply_timeout_ms": 300, "baud": 19200})", true, ""},
        {R"({"address": 256})", false, "PMBusProtocol:ConfigError 7 \"address\" must be a number from 0 to 255"},
        {R"({"address": "1"})", false, "PMBusProtocol:ConfigError 7 \"address\" must be a number from 0 to 255"},
        {R"({"port": 5})", false, "PMBusProtocol:ConfigError 7 \"port\" must be a device path or tcp:HOST:PORT"},
        {R"({"port": "tcp:gw"})", false,
         "PMBusProtocol:ConfigError 7 \"port\" tcp:gw has no port number; expected tcp:HOST:PORT with PORT from 1 to "
         "65535"},
        {R"({"port": ""})", false,
         "PMBusProtocol:ConfigError 7 \"port\" is empty; expected a serial device path or tcp:HOST:PORT"},
        {R"({"reply_timeout_ms": [1]})", false,
         "PMBusProtocol:ConfigError 7 \"reply_timeout_ms\" must be a number from 10 to 600000"},
        {R"({"baud": -9600})", false,
         "PMBusProtocol:ConfigError 7 \"baud\" must be one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
         "230400"},
        {R"({"baud": 14400})", false,
         "PMBusProtocol:ConfigError 7 \"baud\" must be one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
         "230400"},
    };
    for (const auto& c : cases) {
        const Json::Value config = ParseJson(c.json);
        controller->logs.clear();
        EXPECT_EQ(device->PMBusProtocol::InitSetting(config), c.ok) << c.json;
        if (!c.ok) {
            EXPECT_TRUE(controller->Logged(c.log)) << c.json;
        }
    }
    EXPECT_EQ(device->Address(), 5);
    EXPECT_EQ(device->ReplyTimeout(), 300ms);
}

}  // namespace
