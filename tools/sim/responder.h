#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "scenario.h"
#include "yd1363.h"

// Answers command frames the way the power system does. Not thread-safe: the
// server serialises access.
namespace vx42b_sim {

// YD/T 1363.3 return codes.
constexpr uint8_t kRtnOk = 0x00;
constexpr uint8_t kRtnChecksum = 0x02;
constexpr uint8_t kRtnLengthChecksum = 0x03;
constexpr uint8_t kRtnCid2 = 0x04;
constexpr uint8_t kRtnFormat = 0x05;

// DATAFLAG bits.
constexpr uint8_t kSwitchChanged = 0x10;
constexpr uint8_t kAlarmChanged = 0x01;

struct Counters {
    uint64_t commands = 0;  // frames received, whatever they were
    uint64_t replies = 0;   // replies given (faulty ones included)
    uint64_t faults = 0;    // faults applied
    uint64_t rounds = 0;    // round-opening commands answered
    std::array<uint64_t, kFaultKinds> byFault{};
};

class Responder {
public:
    explicit Responder(Scenario scenario);

    // The whole reply frame (SOI..EOI) to a whole command frame, or "" for
    // no reply (another address, a frame without a readable address, or an
    // injected silence). Text around the frame is ignored.
    std::string Respond(const std::string& commandFrame);
    // The same for a frame body (the characters between SOI and EOI).
    std::string RespondBody(const std::string& body);

    // The next reply to this command gets the fault (first in, first out).
    void InjectOnce(uint8_t cid1, uint8_t cid2, Fault fault);
    size_t PendingFaults() const { return queued_.size(); }
    // Changes the fault rates from the next reply on.
    void SetFaultRates(const FaultRates& rates) { scenario_.faults = rates; }

    // Moves the clock to `seconds` since start: applies the changes due by
    // then and the drift. The clock never goes back.
    void SetTime(double seconds);
    double Time() const { return now_; }

    PowerSystem& System() { return scenario_.system; }
    const PowerSystem& System() const { return scenario_.system; }
    const Scenario& GetScenario() const { return scenario_; }
    const Counters& GetCounters() const { return counters_; }
    long Round() const { return round_; }

    // The DATAFLAG the next analog reply of this part (CID1) would carry.
    uint8_t DataFlag(uint8_t cid1) const;

private:
    enum Part { kAc, kRc, kDc, kParts };
    struct Reply {
        uint8_t cid1 = 0;
        uint8_t rtn = kRtnOk;
        Bytes info;
        int countAt = -1;  // the count byte WrongCount changes
        // Status replies remember what was read, so that later changes show
        // in DATAFLAG.
        int part = -1;
        bool switchRead = false;
        bool alarmRead = false;
    };

    Reply Build(uint8_t cid1, uint8_t cid2, const unsigned char* info, size_t infoLen);
    Bytes SwitchContent(int part) const;
    Bytes AlarmContent(int part) const;
    uint8_t Flags(int part) const;
    Fault PickFault(uint8_t cid1, uint8_t cid2);
    std::string Finish(Reply reply, Fault fault);
    void ApplyDueChanges(bool byRound);
    void ApplyDrift();

    Scenario scenario_;
    std::vector<double> driftBase_;
    std::vector<FloatPath> driftPaths_;  // parsed once: drift runs on every reply
    std::vector<std::vector<FloatPath>> schedulePaths_;
    std::string ignoredError_;
    std::mt19937 random_;
    double now_ = 0;
    long round_ = 0;
    std::vector<double> lastApplied_;  // per schedule entry: last occurrence applied, -1 none
    std::array<std::optional<Bytes>, kParts> switchRead_;
    std::array<std::optional<Bytes>, kParts> alarmRead_;
    struct Queued {
        uint8_t cid1, cid2;
        Fault fault;
    };
    std::deque<Queued> queued_;
    Counters counters_;
    std::vector<unsigned char> record_ = std::vector<unsigned char>(yd1363::kRecordSize);
};

// Frame helpers for tests and tools.
std::string CommandFrame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const Bytes& info = {});
struct ParsedFrame {
    bool complete = false;  // SOI first and EOI last
    yd1363::Error error = yd1363::Error::TooShort;
    uint8_t ver = 0, adr = 0, cid1 = 0, cid2 = 0;  // cid2 holds RTN in a reply
    Bytes info;
};
ParsedFrame ParseFrame(const std::string& frame);

}  // namespace vx42b_sim
