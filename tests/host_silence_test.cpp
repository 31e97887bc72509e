// The reply time-out measures silence: a reply that keeps arriving is never
// cut off, and bytes that answer a command given up on never answer the next.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "PMBusProtocol.h"
#include "memory_port.h"
#include "recording_controller.h"

namespace {

using namespace std::chrono_literals;

// Sends 41/41 whenever allowed; every reply ends its round.
class Talker : public PMBusProtocol {
public:
    int replies = 0;
    bool hold = false;
    bool RefreshStatus() override
    {
        if (!SMDSPDevice::RefreshStatus()) return false;
        if (!hold) write_pmbus_cmd(0x41, 0x41);
        return true;
    }
    int process_payload() override
    {
        ++replies;
        return 0;
    }
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

struct Line : ::testing::Test {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Talker> device = std::make_shared<Talker>();
    std::shared_ptr<MemoryPort> port = std::make_shared<MemoryPort>();
    SMDSPDevice::Clock::time_point t0{std::chrono::hours(1)};
    SMDSPDevice::Clock::time_point now = t0;

    void SetUp() override
    {
        ASSERT_TRUE(device->Init(controller, 7, Json::Value()));
        device->AttachPort(port);
        ASSERT_TRUE(device->OpenPort());
        device->SetClock([this] { return now; });
    }
    void At(std::chrono::milliseconds t) { now = t0 + t; }
    void Feed(const std::string& bytes)
    {
        std::string copy = bytes;
        device->process(reinterpret_cast<unsigned char*>(&copy[0]), static_cast<unsigned>(copy.size()));
    }
    size_t Sent() const { return port->Written().size(); }
    size_t Logged(const std::string& prefix) const
    {
        size_t n = 0;
        for (const std::string& l : controller->logs) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

const std::string kReply = [] {
    const unsigned char info[] = {0x00, 0x11, 0x22, 0x33};
    return yd1363::Encode(0x20, 1, 0x41, 0x00, info, sizeof info);
}();

TEST_F(Line, ReplyThatKeepsArrivingIsNeverCutOff)
{
    ASSERT_TRUE(device->RefreshStatus());
    // Each chunk comes 900 ms after the last: silence never lasts the 1000 ms
    // time-out, though the whole reply takes 4.5 s.
    const size_t chunk = (kReply.size() + 4) / 5;
    for (size_t k = 0; k < 5; ++k) {
        At(std::chrono::milliseconds(900 * (k + 1)));
        EXPECT_FALSE(device->RefreshStatus()) << k;
        Feed(kReply.substr(k * chunk, chunk));
    }
    EXPECT_EQ(device->replies, 1);
    EXPECT_EQ(Sent(), 1u);
    EXPECT_EQ(Logged("SMDSPDevice:Timeout"), 0u);
}

TEST_F(Line, EndlessTrickleMeetsTheCeiling)
{
    ASSERT_TRUE(device->RefreshStatus());
    const auto ceiling = device->ReplyCeiling();
    // 4113 characters at 9600 baud take 4285 ms; the ceiling allows twice that past the time-out.
    EXPECT_EQ(ceiling, 1000ms + 2 * 4285ms);
    Feed("~2001");
    std::chrono::milliseconds t{0};
    while (t + 500ms < ceiling) {
        t += 500ms;
        At(t);
        ASSERT_FALSE(device->RefreshStatus()) << t.count();
        Feed("0");
    }
    At(ceiling);
    // Given up, but the line is still busy: the next command waits for a gap.
    EXPECT_FALSE(device->RefreshStatus());
    EXPECT_EQ(Logged("SMDSPDevice:Timeout"), 1u);
    EXPECT_EQ(Logged("PMBusProtocol:FrameError"), 0u);
    At(ceiling + 100ms);
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(Sent(), 2u);
}

TEST_F(Line, LateReplyIsDroppedAndNeverTalkedOver)
{
    ASSERT_TRUE(device->RefreshStatus());
    device->hold = true;
    At(1000ms);
    EXPECT_TRUE(device->RefreshStatus());  // given up; nothing sent this time
    EXPECT_EQ(Logged("SMDSPDevice:Timeout"), 1u);
    device->hold = false;

    // The late reply starts arriving: it is dropped, and nothing is sent over it.
    At(1050ms);
    Feed(kReply.substr(0, 10));
    At(1100ms);
    EXPECT_FALSE(device->RefreshStatus());
    Feed(kReply.substr(10));
    EXPECT_EQ(device->replies, 0) << "a reply given up on is not a reply";
    // Another late copy waits in the port when the line has gone quiet.
    port->Inject(kReply);
    At(1300ms);
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(Sent(), 2u);
    unsigned char scrap[8];
    EXPECT_EQ(port->Read(scrap, sizeof scrap), 0) << "dropped before the command went out";
    Feed(kReply);
    EXPECT_EQ(device->replies, 1);
}

TEST_F(Line, ReplyCutOffBySilenceIsReported)
{
    ASSERT_TRUE(device->RefreshStatus());
    Feed(kReply.substr(0, 12));
    At(1500ms);
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(Logged("PMBusProtocol:FrameError 7 frame cut off by silence"), 1u);
    Feed(kReply);
    EXPECT_EQ(device->replies, 1);
}

}  // namespace
