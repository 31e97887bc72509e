// A steady polling round allocates nothing: neither the plug-in nor the host
// code it calls (rule bookkeeping, work items, framing). Every operator new
// of this binary is counted while the device is being called; the harness
// and the simulator around it are not.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "VX42B.h"
#include "json_text.h"
#include "responder.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<unsigned long> g_allocations{0};

void* Allocate(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// The reply handler's pause between commands is for a real power system.
extern "C" int usleep(useconds_t) { return 0; }

namespace {

// Takes each command the device writes; the test answers it.
class LoopPort : public SerialPort {
public:
    bool Open() override { return open_ = true; }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    long Read(unsigned char*, size_t) override { return 0; }
    bool Write(const unsigned char* data, size_t size) override
    {
        command_.assign(reinterpret_cast<const char*>(data), size);
        pending_ = true;
        return true;
    }
    std::string Name() const override { return "loop"; }
    bool TakeCommand(std::string& out)
    {
        if (!pending_) return false;
        pending_ = false;
        out.swap(command_);
        return true;
    }

private:
    bool open_ = false;
    bool pending_ = false;
    std::string command_;
};

class QuietController : public SMDController {
public:
    unsigned long logs = 0;
    unsigned long complete = 0;
    unsigned long alarms = 0;
    void OnLog(const std::string&) override { ++logs; }
    void OnAlarm(SMDVDevice&, const rule_value&, bool) override { ++alarms; }
    void OnRoundEnd(SMDVDevice&, bool done) override { complete += done ? 1 : 0; }
};

class Counted {
public:
    Counted() { g_counting = true; }
    ~Counted() { g_counting = false; }
};

struct Result {
    int completeRounds = 0;
    unsigned long lateAllocations = 0;
    unsigned long logs = 0;
};

// Runs `rounds` rounds; allocations are summed from round `settle` on.
Result RunRounds(vx42b_sim::Scenario scenario, int rounds, int settle)
{
    scenario.schedule.clear();
    scenario.drift.clear();
    scenario.faults.fill(0.0);
    vx42b_sim::Responder sim(std::move(scenario));
    auto controller = std::make_shared<QuietController>();
    auto device = std::make_shared<VX42B>();
    auto port = std::make_shared<LoopPort>();
    EXPECT_TRUE(device->Init(controller, 1, ParseJson(R"({"acSetting": [{"data_id": 11}, {"data_id": 12}],
                                                         "dcSetting": [{"data_id": 21}], "rcSetting": {}})")));
    device->AttachPort(port);
    device->OpenPort();
    controller->FoldRepeatedLines(true);

    Result result;
    std::string command;
    std::string reply;
    for (int round = 0; round < rounds; ++round) {
        const unsigned long before = controller->complete;
        const unsigned long counted = g_allocations;
        for (int guard = 0; guard < 50 && controller->complete == before; ++guard) {
            device->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3));
            {
                Counted c;
                device->RefreshStatus();
            }
            while (port->TakeCommand(command)) {
                reply = sim.Respond(command);
                Counted c;
                device->process(reinterpret_cast<unsigned char*>(&reply[0]), static_cast<unsigned>(reply.size()));
            }
        }
        if (controller->complete > before) ++result.completeRounds;
        if (round >= settle) result.lateAllocations += g_allocations - counted;
    }
    result.logs = controller->logs;
    device->ClosePort();
    return result;
}

TEST(SteadyRound, AllocatesNothingOnceSettled)
{
    const struct {
        const char* name;
        size_t modules;  // 0: as the default system has
    } cases[] = {{"default system", 0}, {"40 rectifier modules", 40}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vx42b_sim::Scenario s = vx42b_sim::DefaultScenario();
        if (c.modules != 0) s.system.rc.modules.resize(c.modules, s.system.rc.modules.front());
        const Result r = RunRounds(s, 100, 3);
        EXPECT_EQ(r.completeRounds, 100);
        EXPECT_EQ(r.logs, 0u);
        EXPECT_EQ(r.lateAllocations, 0u) << "in rounds 4 to 100";
    }
}

// The counting itself: the rounds before settling allocate (sub-devices
// learn their counts), so a silent counter would be caught here.
TEST(SteadyRound, FirstRoundAllocates)
{
    const unsigned long before = g_allocations;
    const Result r = RunRounds(vx42b_sim::DefaultScenario(), 1, 1);
    EXPECT_EQ(r.completeRounds, 1);
    EXPECT_GT(g_allocations - before, 0u);
}

}  // namespace
