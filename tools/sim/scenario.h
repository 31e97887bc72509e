#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "model.h"

// A scenario: the power system, what changes in it and when, how values
// drift, how often replies go wrong, and how the line behaves.
namespace vx42b_sim {

enum class Fault {
    None,
    NoReply,      // the command goes unanswered
    BadChecksum,  // CHKSUM of the reply is off
    BadRtn,       // RTN 0x06 and no INFO
    WrongCount,   // unit/module/parameter count byte one too high
    WrongCid1,    // the reply names another part (0x40 -> 0x41 -> 0x42 -> 0x40)
    CutFrame,     // the frame stops halfway, without EOI
    ShortInfo,    // INFO one byte short, in an otherwise correct frame
};
constexpr size_t kFaultKinds = 8;
constexpr uint8_t kFaultRtn = 0x06;

const char* FaultName(Fault fault);  // "no_reply", ... ("none" for None)
bool FaultFromName(const std::string& name, Fault& fault);

// Probability per reply of each fault; index by static_cast<size_t>(Fault).
using FaultRates = std::array<double, kFaultKinds>;

// "set these values at a time (seconds since start) or at a round", possibly
// again every `every` seconds or rounds.
struct ScheduledChange {
    std::optional<double> at;
    std::optional<long> round;
    double every = 0;  // 0: once
    std::vector<std::pair<std::string, Json::Value>> set;
};

// A float that moves with time t (seconds since start):
//   sine: base + amplitude * sin(2 pi t / period + phase degrees)
//   ramp: base + rate * t, or base + rate * (t mod period) when period > 0
struct Drift {
    enum class Kind { Sine, Ramp };
    std::string path;
    Kind kind = Kind::Sine;
    std::optional<double> base;  // the system's value at start when absent
    double amplitude = 0;
    double period = 0;
    double phase = 0;
    double rate = 0;
};

struct LineSettings {
    int baud = 9600;        // pacing of replies, 10 bits per byte; 0: unpaced
    int turnaroundMs = 20;  // from the end of a command to the first reply byte
};

struct Scenario {
    PowerSystem system;
    std::vector<ScheduledChange> schedule;
    std::vector<Drift> drift;
    FaultRates faults{};
    LineSettings line;
    std::optional<uint32_t> seed;  // for the fault rates; random when absent
};

// Two AC units (2 and 1 channels), two rectifier modules, one DC unit;
// voltages and currents drift, a DC fuse fault comes and goes (fuse 4 from
// 6 s to 16 s, every 30 s), and an AC over-voltage state blips (9 s to 12 s,
// every 30 s).
Scenario DefaultScenario();

// Reads the scenario file given with --scenario. On failure `error` names
// the option, the file and the key.
bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error);
// The same from JSON text; `error` names the key.
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error);
bool ScenarioFromJson(const Json::Value& json, Scenario& scenario, std::string& error);

Json::Value ScenarioToJson(const Scenario& scenario);
// Indented JSON text that ParseScenario reads back.
std::string ScenarioText(const Scenario& scenario);

// The INFO bytes of the largest reply; a system must stay within one frame.
size_t LargestInfo(const PowerSystem& system);

}  // namespace vx42b_sim

using vx42b_sim::DefaultScenario;
using vx42b_sim::LoadScenario;
using vx42b_sim::Scenario;
