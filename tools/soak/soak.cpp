#include "soak.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "SMDSPDevice.h"
#include "line_runner.h"
#include "plugin_loader.h"
#include "responder.h"
#include "scenario.h"
#include "sim_wire.h"
#include "wall_clock.h"

#if defined(__SANITIZE_ADDRESS__)
#define VX42B_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX42B_SOAK_ASAN 1
#endif
#endif
#ifdef VX42B_SOAK_ASAN
// The sanitizer runtime's count of bytes in use (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#ifndef VX42B_PLUGIN_BUILT
#define VX42B_PLUGIN_BUILT ""
#endif

namespace vxsoak {

// ---- the host's side ----

void SoakController::OnLog(const std::string& text)
{
    ++logKinds_[KindOf(text)];
    recent_.push_back(text);
    if (recent_.size() > 20) recent_.pop_front();
}

void SoakController::OnPublish(SMDVDevice&, int, const unsigned char*, unsigned int, bool) { ++publishes_; }

void SoakController::OnHistory(SMDVDevice&, const unsigned char*, unsigned int) { ++histories_; }

bool SoakController::OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules)
{
    const bool any = SMDController::OnAlarmBatch(device, rules);
    for (const rule_value& rule : rules) {
        if (rule.value == 0) continue;
        present_[AlarmId{device.DataId(), device.DeviceType(), rule.key, rule.text}] = completeRounds_;
    }
    return any;
}

void SoakController::OnAlarm(SMDVDevice& device, const rule_value& rule, bool raised)
{
    if (raised) {
        ++raised_;
    } else {
        ++cleared_;
        present_.erase(AlarmId{device.DataId(), device.DeviceType(), rule.key, rule.text});
    }
}

void SoakController::OnRoundEnd(SMDVDevice&, bool complete)
{
    roundEnds_.push_back(complete);
    if (complete) ++completeRounds_;
}

std::vector<bool> SoakController::TakeRoundEnds()
{
    std::vector<bool> out;
    out.swap(roundEnds_);
    return out;
}

std::vector<std::string> SoakController::StaleAlarms(unsigned long rounds) const
{
    std::vector<std::string> out;
    for (const auto& [id, stated] : present_) {
        if (completeRounds_ - stated <= rounds) continue;
        out.push_back(std::to_string(std::get<0>(id)) + " " + std::get<1>(id) + " " + std::get<2>(id) + " " +
                      std::get<3>(id));
    }
    return out;
}

std::string SoakController::KindOf(const std::string& line)
{
    // "Class:Kind" may hold a template's name with spaces before its colon.
    const size_t colon = line.find(':');
    const size_t end = line.find(' ', colon == std::string::npos ? 0 : colon);
    return line.substr(0, end);
}

bool StallWatch::Round(bool complete, bool quiet)
{
    if (complete) {
        run_ = 0;
        quietRun_ = 0;
        return true;
    }
    ++run_;
    longest_ = std::max(longest_, run_);
    quietRun_ = quiet ? quietRun_ + 1 : 0;
    return quietRun_ <= quietLimit_ && run_ <= anyLimit_;
}

Resources Resources::Measure()
{
    Resources r;
#ifdef VX42B_SOAK_ASAN
    r.heap = __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    // Large blocks are mapped on their own and counted apart.
    r.heap = m.uordblks + m.hblkhd;
#endif
    std::ifstream statm("/proc/self/statm");
    size_t size = 0, resident = 0;
    if (statm >> size >> resident) r.rss = resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++r.fds;
    // The listing's own descriptor.
    if (r.fds > 0) --r.fds;
    return r;
}

// ---- the run ----

namespace {

using namespace std::chrono_literals;

constexpr unsigned kCycle = 100;      // the disturbances repeat every so many rounds
constexpr unsigned kQuietFrom = 86;   // faults stop from this round of a cycle to its end
constexpr unsigned kQuietGrace = 2;   // rounds the line gets to settle before stalls count
constexpr unsigned kQuietLimit = 3;   // rounds in a row without a complete one once faults stop
constexpr unsigned kAnyLimit = 30;    // ... while faults and disturbances go on
constexpr unsigned kStaleRounds = 3;  // a present alarm not stated for longer is stale
constexpr auto kStuckAfter = 120s;    // line time without any round end
constexpr auto kDropFor = 5s;
constexpr unsigned kLongModules = 40;  // a rectifier reply longer than the reply time-out at 9600 baud
constexpr unsigned long kReplyTimeoutMs = 1000;

const char kConfig[] = R"({"acSetting": [{"data_id": 11}, {"data_id": 12}], "dcSetting": [{"data_id": 21}],
                           "rcSetting": {}, "baud": 9600, "reply_timeout_ms": 1000})";

std::string Percent(double part, double whole)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f %%", whole > 0 ? 100.0 * part / whole : 0.0);
    return buf;
}

class Soak {
public:
    Soak(const Options& options, std::ostream& report)
        : options_(options), out_(report), sim_(MakeScenario(options)),
          wire_(std::make_shared<SimWire>(sim_, 9600, 20ms)), stalls_(kQuietLimit, kAnyLimit)
    {}

    int Run();

private:
    static vx42b_sim::Scenario MakeScenario(const Options& options);
    bool Start(std::string& error);
    // The plan for round `r` (from 1), applied before it starts.
    void Disturb(unsigned long r);
    unsigned Phase(unsigned long r) const { return static_cast<unsigned>((r - 1) % kCycle) + 1; }
    bool FaultsOff(unsigned long r) const { return Phase(r) >= kQuietFrom || r + 15 > options_.rounds; }
    bool QuietRound(unsigned long r) const
    {
        return (Phase(r) >= kQuietFrom + kQuietGrace) || r + 15 - kQuietGrace > options_.rounds;
    }
    void SetFaults(bool on);
    bool Enabled(const char* what) const { return options_.disturbances.count(what) > 0; }
    void RoundEnded(bool complete);
    void CheckValues();
    void Fail(const std::string& why);
    void Report();

    const Options& options_;
    std::ostream& out_;
    vx42b_sim::Responder sim_;
    std::shared_ptr<SimWire> wire_;
    std::shared_ptr<SoakController> controller_ = std::make_shared<SoakController>();
    vxpoll::Plugin plugin_;
    std::shared_ptr<SMDSPDevice> device_;
    std::unique_ptr<LineRunner> runner_;
    StallWatch stalls_;
    vx42b_sim::FaultRates rates_{};
    bool faultsOn_ = false;

    unsigned long ended_ = 0;
    unsigned long complete_ = 0;
    unsigned long abandoned_ = 0;
    SimWire::Clock::time_point lastRoundEnd_{};
    SimWire::Clock::time_point nextOpen_{};
    unsigned long reopenAttempts_ = 0;
    unsigned long pluginThrew_ = 0;
    unsigned long valueQueries_ = 0;
    unsigned long valueRefused_ = 0;
    std::string firstValueRefusal_;
    std::map<std::string, unsigned long> disturbances_;
    size_t bookkeepingMost_ = 0;
    size_t bookkeepingWarm_ = 0;
    std::vector<std::string> failures_;
    Resources start_, warm_, end_;
    unsigned long warmRound_ = 0;
    std::chrono::steady_clock::time_point realStart_;
};

vx42b_sim::Scenario Soak::MakeScenario(const Options& options)
{
    vx42b_sim::Scenario s = vx42b_sim::DefaultScenario();
    s.seed = options.seed;
    s.line.baud = 9600;
    return s;
}

bool Soak::Start(std::string& error)
{
    std::string path = options_.plugin.empty() ? VX42B_PLUGIN_BUILT : options_.plugin;
    if (path.empty()) {
        error = "no plug-in: name one with --plugin";
        return false;
    }
    if (!plugin_.Load(path, error)) return false;
    device_ = plugin_.CreateMainDevice(error);
    if (!device_) return false;
    Json::Value config;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(kConfig, kConfig + sizeof kConfig - 1, &config, &error);
    if (!device_->Init(controller_, 1, config)) {
        error = "the plug-in refused the configuration";
        for (const std::string& line : controller_->RecentLogs()) error += "\n  " + line;
        return false;
    }
    device_->AttachPort(wire_);
    runner_ = std::make_unique<LineRunner>(device_);
    auto wire = wire_;
    runner_->SetClock([wire] { return wire->Now(); });
    runner_->SetWait([wire](SerialPort&, std::chrono::milliseconds limit) { return wire->WaitForInput(limit); });
    runner_->SkipRoundPause(true);
    if (!device_->OpenPort()) {
        error = "the simulated line does not open";
        return false;
    }
    const double each = options_.faultRate / static_cast<double>(vx42b_sim::kFaultKinds - 1);
    for (size_t k = 1; k < vx42b_sim::kFaultKinds; ++k) rates_[k] = each;
    return true;
}

void Soak::SetFaults(bool on)
{
    if (on == faultsOn_) return;
    faultsOn_ = on;
    sim_.SetFaultRates(on ? rates_ : vx42b_sim::FaultRates{});
}

void Soak::Disturb(unsigned long r)
{
    vx42b_sim::PowerSystem& s = sim_.System();
    auto note = [this](const char* what) { ++disturbances_[what]; };
    SetFaults(Enabled("faults") && !FaultsOff(r));
    const unsigned phase = Phase(r);
    const bool swap = Enabled("swap") && (phase == 5 || phase == 10 || phase == 20 || phase == 60 || phase == 70);
    const bool clock = Enabled("clock") && (phase == 30 || phase == 40);
    const bool drop = Enabled("drop") && phase == 45;
    const bool longReply = Enabled("long") && (phase == 50 || phase == 55);
    if (!swap && !clock && !drop && !longReply) return;
    switch (phase) {
    case 5:
        // An alarm on the channel that is about to go.
        if (s.ac[0].channels.size() > 1) s.ac[0].channels[1].aState = 2;
        break;
    case 10: {
        vx42b_sim::RcModule added = s.rc.modules.back();
        added.value = 18.5f;
        added.fault = 1;
        s.rc.modules.push_back(added);
        note("rectifier module plugged in");
        break;
    }
    case 20:
        s.ac[0].channels.resize(1);
        note("AC channel lost");
        break;
    case 30:
        SetWallClockOffset(-1h);
        note("clock set back an hour");
        break;
    case 40:
        SetWallClockOffset(0s);
        note("clock set forward an hour");
        break;
    case 45:
        wire_->Drop(kDropFor);
        note("line dropped");
        break;
    case 50:
        s.rc.modules.resize(kLongModules, s.rc.modules.front());
        note("rectifier reply longer than the reply time-out");
        break;
    case 55: s.rc.modules.resize(Enabled("swap") ? 3 : 2); break;
    case 60:
        s.rc.modules.resize(2);
        note("rectifier module unplugged");
        break;
    case 70: {
        vx42b_sim::AcChannel back = s.ac[0].channels[0];
        back.aState = 0;
        s.ac[0].channels.push_back(back);
        note("AC channel back");
        break;
    }
    default: break;
    }
}

void Soak::CheckValues()
{
    static const std::pair<unsigned, const char*> kQueries[] = {{11, "ia"}, {11, "channel_0_a"}, {21, "v"}};
    for (const auto& [id, key] : kQueries) {
        ++valueQueries_;
        try {
            std::shared_ptr<SMDVDevice> d = device_->GetChildVDevice(id);
            if (!d) throw std::out_of_range("no such device");
            d->Get_Value(0, key);
        } catch (const std::exception& e) {
            if (valueRefused_++ == 0)
                firstValueRefusal_ =
                    std::to_string(id) + ":" + key + " after round " + std::to_string(ended_) + ": " + e.what();
        }
    }
}

void Soak::RoundEnded(bool complete)
{
    ++ended_;
    const unsigned long r = ended_;
    (complete ? complete_ : abandoned_)++;
    lastRoundEnd_ = wire_->Now();
    if (complete) CheckValues();
    if (!stalls_.Round(complete, QuietRound(r)))
        Fail("stall: " + std::to_string(stalls_.Current()) + " rounds in a row without a complete one, up to round " +
             std::to_string(r));
    bookkeepingMost_ = std::max(bookkeepingMost_, controller_->ActiveAlarmCount());
    if (Phase(r) == kCycle || r == options_.rounds) {
        const std::vector<std::string> stale = controller_->StaleAlarms(kStaleRounds);
        if (!stale.empty()) {
            std::string list;
            for (const std::string& s : stale) list += "\n    " + s;
            Fail("alarms nobody states any more stay raised after round " + std::to_string(r) + ":" + list);
        }
    }
    if (r == warmRound_) {
        warm_ = Resources::Measure();
        bookkeepingWarm_ = controller_->ActiveAlarmCount();
    }
    if (options_.progress && r % 500 == 0)
        out_ << "round " << r << ": " << complete_ << " complete, " << abandoned_ << " abandoned" << std::endl;
    if (r < options_.rounds) Disturb(r + 1);
}

void Soak::Fail(const std::string& why)
{
    // One line per kind of failure; the first occurrence tells most.
    const std::string kind = why.substr(0, why.find(':'));
    for (const std::string& f : failures_)
        if (f.rfind(kind + ":", 0) == 0) return;
    failures_.push_back(why);
}

int Soak::Run()
{
    realStart_ = std::chrono::steady_clock::now();
    start_ = Resources::Measure();
    std::string error;
    if (!Start(error)) {
        out_ << "vx42b-soak: " << error << '\n';
        return 2;
    }
    // Growth is judged from the end of the first cycle (the state is the same
    // at every cycle's end), or from half-way in a short run.
    warmRound_ = options_.rounds >= 2 * kCycle ? kCycle : std::max<unsigned long>(1, options_.rounds / 2);
    out_ << "vx42b-soak: " << options_.rounds << " rounds, seed " << options_.seed << ", plug-in " << plugin_.Path()
         << std::endl;
    Disturb(1);
    lastRoundEnd_ = wire_->Now();
    bool stuck = false;
    while (ended_ < options_.rounds && !stuck) {
        if (!wire_->IsOpen()) {
            if (wire_->Now() >= nextOpen_) {
                ++reopenAttempts_;
                if (!device_->OpenPort()) nextOpen_ = wire_->Now() + 1s;
            }
            if (!wire_->IsOpen()) wire_->Advance(50ms);
        } else {
            try {
                const LineRunner::Turn turn = runner_->RunOnce();
                // A failed line is closed and reopened a second later, as a host would.
                if (turn.read < 0) {
                    device_->ClosePort();
                    nextOpen_ = wire_->Now() + 1s;
                }
            } catch (const std::exception& e) {
                ++pluginThrew_;
                Fail(std::string("plug-in exception: ") + e.what());
            }
        }
        for (bool complete : controller_->TakeRoundEnds()) RoundEnded(complete);
        if (wire_->Now() - lastRoundEnd_ > kStuckAfter) {
            Fail("stuck: no round ended in " + std::to_string(kStuckAfter.count()) + " s of line time after round " +
                 std::to_string(ended_));
            stuck = true;
        }
    }
    end_ = Resources::Measure();
    if (stuck) {
        std::string recent;
        for (const std::string& line : controller_->RecentLogs()) recent += "\n    " + line;
        if (!recent.empty()) failures_.back() += "; last log lines:" + recent;
    } else {
        const size_t slack = std::max<size_t>(64 * 1024, warm_.heap / 50);
        if (end_.heap > warm_.heap + slack)
            Fail("growth: heap in use went from " + std::to_string(warm_.heap) + " to " + std::to_string(end_.heap) +
                 " bytes");
        if (end_.fds > warm_.fds)
            Fail("growth: open descriptors went from " + std::to_string(warm_.fds) + " to " + std::to_string(end_.fds));
    }
    if (valueRefused_ > 0)
        Fail("values: " + std::to_string(valueRefused_) + " value queries refused after complete rounds, first " +
             firstValueRefusal_);
    if (wire_->GetCounters().collisions > 0)
        Fail("line: " + std::to_string(wire_->GetCounters().collisions) +
             " commands sent while a reply was still arriving");
    Report();
    return failures_.empty() ? 0 : 1;
}

void Soak::Report()
{
    const double realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart_).count();
    const vx42b_sim::Counters& c = sim_.GetCounters();
    const SimWire::Counters& w = wire_->GetCounters();
    std::ostringstream o;
    o << "rounds: " << ended_ << " ended, " << complete_ << " complete, " << abandoned_ << " abandoned\n";
    o << "longest run of rounds without a complete one: " << stalls_.Longest() << '\n';
    o << "commands: " << c.commands << ", spoilt replies " << c.faults << " ("
      << Percent(static_cast<double>(c.faults), static_cast<double>(c.commands)) << "; "
      << (Enabled("faults") ? Percent(options_.faultRate, 1) : std::string("none")) << " outside the quiet rounds)";
    for (size_t k = 1; k < vx42b_sim::kFaultKinds; ++k)
        o << (k == 1 ? ": " : ", ") << vx42b_sim::FaultName(static_cast<vx42b_sim::Fault>(k)) << ' ' << c.byFault[k];
    o << '\n';
    o << "line: " << w.drops << " drops, " << reopenAttempts_ << " reopen attempts (" << w.failedOpens << " refused), "
      << w.collisions << " commands sent into a reply\n";
    o << "disturbances:";
    for (const auto& [what, n] : disturbances_) o << "\n  " << n << " x " << what;
    o << '\n';
    o << "values: " << valueQueries_ << " queries after complete rounds, " << valueRefused_ << " refused\n";
    o << "alarms: " << controller_->Raised() << " raised, " << controller_->Cleared() << " cleared; bookkeeping "
      << bookkeepingWarm_ << " after round " << warmRound_ << ", " << controller_->ActiveAlarmCount()
      << " at the end, at most " << bookkeepingMost_ << '\n';
    o << "publications " << controller_->Publishes() << ", history records " << controller_->Histories()
      << ", plug-in exceptions " << pluginThrew_ << '\n';
    o << "log lines by kind:\n";
    std::vector<std::pair<unsigned long, std::string>> kinds;
    for (const auto& [kind, n] : controller_->LogKinds()) kinds.emplace_back(n, kind);
    std::sort(kinds.rbegin(), kinds.rend());
    for (const auto& [n, kind] : kinds) o << "  " << n << ' ' << kind << '\n';
    const bool warm = ended_ >= warmRound_;
    auto row = [&o, warm](const char* name, size_t a, size_t b, size_t c) {
        char buf[128];
        const std::string mid = warm ? std::to_string(b) : "-";
        std::snprintf(buf, sizeof buf, "  %-24s %12zu %12s %12zu\n", name, a, mid.c_str(), c);
        o << buf;
    };
    {
        char head[128];
        const std::string warmName = "round " + std::to_string(warmRound_);
        std::snprintf(head, sizeof head, "%-26s %12s %12s %12s\n", "resources:", "start", warmName.c_str(), "end");
        o << head;
    }
#ifdef VX42B_SOAK_ASAN
    row("heap in use (ASan)", start_.heap, warm_.heap, end_.heap);
#else
    row("heap in use (mallinfo2)", start_.heap, warm_.heap, end_.heap);
#endif
    row("resident set (KiB)", start_.rss / 1024, warm_.rss / 1024, end_.rss / 1024);
    row("open descriptors", start_.fds, warm_.fds, end_.fds);
    const double lineSeconds =
        std::chrono::duration<double>(wire_->Now() - (SimWire::Clock::time_point{} + std::chrono::hours(1))).count();
    char buf[160];
    std::snprintf(buf, sizeof buf, "time: %.0f s (%.0f rounds a minute); line time %.0f s\n", realSeconds,
                  realSeconds > 0 ? 60.0 * static_cast<double>(ended_) / realSeconds : 0.0, lineSeconds);
    o << buf;
    if (failures_.empty()) {
        o << "result: passed\n";
    } else {
        o << "result: FAILED\n";
        for (const std::string& f : failures_) o << "  " << f << '\n';
    }
    out_ << o.str() << std::flush;
}

}  // namespace

int RunSoak(const Options& options, std::ostream& report)
{
    Soak soak(options, report);
    return soak.Run();
}

}  // namespace vxsoak
