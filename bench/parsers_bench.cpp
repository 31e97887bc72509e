// Cost of decoding reply sections and of a sub-device's round end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "VX42B.h"
#include "alloc_counter.h"

namespace {

class CountingController : public SMDController {
public:
    size_t lastBatch = 0;
    void OnLog(const std::string&) override {}
    void OnWork(std::function<void()> work) override { work(); }
    bool OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules) override
    {
        lastBatch = rules.size();
        return SMDController::OnAlarmBatch(device, rules);
    }
};

// The parsers' trace lines go to standard output; keep them off the terminal.
class QuietStdout {
public:
    QuietStdout() : saved_(dup(1))
    {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout()
    {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

// Heap allocations per iteration of the loop in its scope, as the "allocs" counter.
class AllocsPerIteration {
public:
    explicit AllocsPerIteration(benchmark::State& state) : state_(state), before_(AllocationCount()) {}
    ~AllocsPerIteration()
    {
        state_.counters["allocs"] =
            static_cast<double>(AllocationCount() - before_) / static_cast<double>(state_.iterations());
    }

private:
    benchmark::State& state_;
    size_t before_;
};

std::vector<unsigned char> Floats(int n, unsigned char fill)
{
    return std::vector<unsigned char>(static_cast<size_t>(4 * n), fill);
}

void Append(std::vector<unsigned char>& out, const std::vector<unsigned char>& more)
{
    out.insert(out.end(), more.begin(), more.end());
}

// Two channels without user-defined values, then the phase currents: 47 bytes.
std::vector<unsigned char> AcAnalog()
{
    std::vector<unsigned char> s{2};
    for (int ch = 0; ch < 2; ++ch) {
        Append(s, Floats(4, 0x43));
        s.push_back(0);
    }
    Append(s, Floats(3, 0x41));
    return s;
}

// v, i, two battery currents, no branches, eight user values: 51 bytes.
std::vector<unsigned char> DcAnalog()
{
    std::vector<unsigned char> s = Floats(2, 0x42);
    s.push_back(2);
    Append(s, Floats(2, 0x40));
    s.push_back(0);
    s.push_back(8);
    Append(s, Floats(8, 0x20));
    return s;
}

// DATAFLAG, group value, three modules with four user values: 69 bytes.
std::vector<unsigned char> RcAnalog()
{
    std::vector<unsigned char> s{0};
    Append(s, Floats(1, 0x42));
    s.push_back(3);
    for (int m = 0; m < 3; ++m) {
        Append(s, Floats(1, 0x41));
        s.push_back(4);
        Append(s, Floats(4, 0x11));
    }
    return s;
}

// Alarm sections that make every rule run: user-defined counts as expected.
std::vector<unsigned char> AcAlarm()
{
    std::vector<unsigned char> s{2};
    for (int ch = 0; ch < 2; ++ch) {
        s.insert(s.end(), {0, 0, 0, 0, 0, 4, 0, 0, 0, 0});
    }
    s.insert(s.end(), {0, 0, 0});
    return s;
}

std::vector<unsigned char> DcAlarm()
{
    std::vector<unsigned char> s{0, 10};
    s.insert(s.end(), 10, 0);
    s.push_back(26);
    s.insert(s.end(), 26, 0);
    return s;
}

std::vector<unsigned char> RcAlarm()
{
    std::vector<unsigned char> s{0, 3};
    for (int m = 0; m < 3; ++m) s.insert(s.end(), {0, 6, 0, 0, 0, 0, 0, 0});
    return s;
}

void BM_ParseAc40_41(benchmark::State& state)
{
    auto ac = std::make_shared<VX42BAC>();
    const auto s = AcAnalog();
    QuietStdout quiet;
    AllocsPerIteration allocs(state);
    for (auto _ : state) benchmark::DoNotOptimize(ac->parse40_41(s.data(), static_cast<int>(s.size())));
}
BENCHMARK(BM_ParseAc40_41);

void BM_ParseDc42_41(benchmark::State& state)
{
    auto dc = std::make_shared<VX42BDC>();
    const auto s = DcAnalog();
    QuietStdout quiet;
    AllocsPerIteration allocs(state);
    for (auto _ : state) benchmark::DoNotOptimize(dc->parse42_41(s.data(), static_cast<int>(s.size())));
}
BENCHMARK(BM_ParseDc42_41);

void BM_ParseRc41_41(benchmark::State& state)
{
    auto rc = std::make_shared<VX42BRC>();
    const auto s = RcAnalog();
    AllocsPerIteration allocs(state);
    for (auto _ : state) benchmark::DoNotOptimize(rc->parse41_41(s.data(), static_cast<int>(s.size())));
}
BENCHMARK(BM_ParseRc41_41);

// Round end: snapshot, publication, every rule, the work item and history.
template <class Device>
void RoundEnd(benchmark::State& state, Device& device, size_t rules)
{
    auto controller = std::make_shared<CountingController>();
    device->SetController(controller);
    {
        AllocsPerIteration allocs(state);
        for (auto _ : state) device->RoundDone();
    }
    state.counters["rules"] = static_cast<double>(controller->lastBatch);
    if (controller->lastBatch != rules) state.SkipWithError("unexpected rule count");
}

void BM_RoundDoneAcTwoChannels(benchmark::State& state)
{
    auto ac = std::make_shared<VX42BAC>();
    const auto s = AcAnalog();
    {
        QuietStdout quiet;
        ac->parse40_41(s.data(), static_cast<int>(s.size()));
    }
    const auto alarms = AcAlarm();
    ac->parse40_44(alarms.data(), static_cast<int>(alarms.size()));
    RoundEnd(state, ac, 39);
}
BENCHMARK(BM_RoundDoneAcTwoChannels);

void BM_RoundDoneDc(benchmark::State& state)
{
    auto dc = std::make_shared<VX42BDC>();
    const auto alarms = DcAlarm();
    dc->parse42_44(alarms.data(), static_cast<int>(alarms.size()));
    RoundEnd(state, dc, 28);
}
BENCHMARK(BM_RoundDoneDc);

void BM_RoundDoneRcThreeModules(benchmark::State& state)
{
    auto rc = std::make_shared<VX42BRC>();
    const auto s = RcAnalog();
    rc->parse41_41(s.data(), static_cast<int>(s.size()));
    const auto alarms = RcAlarm();
    rc->parse41_44(alarms.data(), static_cast<int>(alarms.size()));
    RoundEnd(state, rc, 21);
}
BENCHMARK(BM_RoundDoneRcThreeModules);

// A query by channel key: the key search and the freshness test.
void BM_AcGetValueChannelKey(benchmark::State& state)
{
    auto ac = std::make_shared<VX42BAC>();
    const auto s = AcAnalog();
    {
        QuietStdout quiet;
        ac->parse40_41(s.data(), static_cast<int>(s.size()));
    }
    ac->SetController(std::make_shared<CountingController>());
    ac->RoundDone();
    const std::string key = "channel_1_c";
    for (auto _ : state) benchmark::DoNotOptimize(ac->Get_Value(0, key));
}
BENCHMARK(BM_AcGetValueChannelKey);

}  // namespace
