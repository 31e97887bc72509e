#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "PMBusProtocol.h"
#include "line_runner.h"
#include "memory_port.h"
#include "yd1363.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

// Accepts every reply and queues a work item for each.
class CountingDevice : public PMBusProtocol {
public:
    int process_payload() override
    {
        if (auto c = Controller()) c->OnWork([this] { ++workRun; });
        return 1;
    }
    int workRun = 0;
};

class FailingPort : public MemoryPort {
public:
    long Read(unsigned char*, size_t) override { return -1; }
};

std::string Reply(unsigned char cid1 = 0x40)
{
    const unsigned char info[] = {1, 2, 3};
    return yd1363::Encode(0x20, 1, cid1, 0, info, sizeof info);
}

struct Rig {
    std::shared_ptr<SMDController> controller = std::make_shared<SMDController>();
    std::shared_ptr<CountingDevice> device = std::make_shared<CountingDevice>();
    LineRunner runner{device};
    bool waited = false;

    explicit Rig(std::shared_ptr<MemoryPort> port, bool waitSays = true)
    {
        device->SetController(controller);
        device->AttachPort(port);
        device->OpenPort();
        runner.SetWait([this, waitSays](SerialPort&, std::chrono::milliseconds) {
            waited = true;
            return waitSays;
        });
    }
};

TEST(LineRunner, OneTurnReadsWhatWaitsAndRunsTheQueuedWork)
{
    struct Case {
        const char* name;
        bool failing;
        bool open;
        bool waitSays;
        bool readAllowed;
        long read;
        int accepted;
    };
    const long frame = static_cast<long>(Reply().size());
    const Case cases[] = {
        {"input waiting", false, true, true, true, frame, 1},
        {"nothing comes", false, true, false, true, 0, 0},
        {"the host skips the read", false, true, true, false, 0, 0},
        {"the port is closed", false, false, true, true, 0, 0},
        {"the port failed", true, true, true, true, -1, 0},
    };
    for (const Case& c : cases) {
        auto port = c.failing ? std::make_shared<FailingPort>() : std::make_shared<MemoryPort>();
        Rig rig(port, c.waitSays);
        port->Inject(Reply());
        if (!c.open) port->Close();
        bool asked = false;
        const LineRunner::Turn turn = rig.runner.RunOnce([&] {
            asked = true;
            return c.readAllowed;
        });
        EXPECT_TRUE(asked) << c.name;
        EXPECT_EQ(turn.allowed, c.open) << c.name;
        EXPECT_EQ(turn.read, c.read) << c.name;
        EXPECT_EQ(turn.accepted, c.accepted) << c.name;
        // The work a reply queued has run by the end of the turn.
        EXPECT_EQ(rig.device->workRun, c.accepted) << c.name;
        EXPECT_EQ(rig.controller->PendingWorkCount(), 0u) << c.name;
    }
}

TEST(LineRunner, DeliversBytesOfAnyLengthInReadSizedPieces)
{
    Rig rig(std::make_shared<MemoryPort>());
    std::string line;
    for (int k = 0; k < 200; ++k) line += Reply(0x40 + k % 3);  // far more than one read
    ASSERT_GT(line.size(), 2 * LineRunner::kReadChunk);
    const int accepted = rig.runner.Deliver(reinterpret_cast<const unsigned char*>(line.data()), line.size());
    EXPECT_EQ(accepted, 200);
    EXPECT_EQ(rig.device->workRun, 200);
}

TEST(LineRunner, SkippingTheRoundPauseMovesOnlyARecentStamp)
{
    const ptime now = second_clock::local_time();
    struct Case {
        const char* name;
        ptime stamp;
        bool moved;
    };
    const Case cases[] = {
        {"just now", now, true},
        {"a second ago", now - seconds(1), true},
        {"long ago", now - seconds(30), false},
        {"in the future (clock set back)", now + seconds(3600), false},
        {"never", ptime(), false},
    };
    for (const Case& c : cases) {
        Rig rig(std::make_shared<MemoryPort>(), false);
        rig.runner.SkipRoundPause(true);
        rig.device->SetLastUpdate(c.stamp);
        rig.runner.RunOnce();
        const ptime after = rig.device->LastUpdate();
        if (c.moved) {
            EXPECT_LE(after, second_clock::local_time() - seconds(2)) << c.name;
            EXPECT_GE(after, now - seconds(3)) << c.name;
        } else {
            EXPECT_EQ(after, c.stamp) << c.name;
        }
    }
}

TEST(LineRunner, TheDeviceReadsTheRunnersClock)
{
    Rig rig(std::make_shared<MemoryPort>(), false);
    SMDSPDevice::Clock::time_point now{};
    rig.runner.SetClock([&now] { return now; });
    rig.device->write_pmbus_cmd(0x40, 0x41);
    EXPECT_FALSE(rig.runner.RunOnce().allowed);  // the reply is awaited
    now += rig.device->ReplyTimeout();
    EXPECT_TRUE(rig.runner.RunOnce().allowed);
}

}  // namespace
