#include "responder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace vx42b_sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The byte written as two hex digits at `at`, or -1.
int HexByte(const std::string& s, size_t at)
{
    if (at + 2 > s.size()) return -1;
    const int hi = HexDigit(s[at]);
    const int lo = HexDigit(s[at + 1]);
    return hi < 0 || lo < 0 ? -1 : (hi << 4) | lo;
}

uint8_t OtherCid1(uint8_t cid1)
{
    switch (cid1) {
    case 0x40: return 0x41;
    case 0x41: return 0x42;
    case 0x42: return 0x40;
    default: return static_cast<uint8_t>(cid1 ^ 0x01);
    }
}

}  // namespace

Responder::Responder(Scenario scenario)
    : scenario_(std::move(scenario)), random_(scenario_.seed ? *scenario_.seed : std::random_device{}()),
      lastApplied_(scenario_.schedule.size(), -1.0)
{
    for (const Drift& d : scenario_.drift) {
        double base = 0;
        Json::Value v;
        std::string ignored;
        if (d.base)
            base = *d.base;
        else if (GetValue(scenario_.system, d.path, v, ignored) && v.isNumeric())
            base = v.asDouble();
        driftBase_.push_back(base);
        FloatPath path;
        ParseFloatPath(d.path, path, ignored);  // checked when the scenario was read
        driftPaths_.push_back(std::move(path));
    }
    for (const ScheduledChange& change : scenario_.schedule) {
        std::vector<FloatPath> paths(change.set.size());
        for (size_t k = 0; k < paths.size(); ++k) ParseFloatPath(change.set[k].first, paths[k], ignoredError_);
        schedulePaths_.push_back(std::move(paths));
    }
    ApplyDueChanges(false);
    ApplyDrift();
}

std::string Responder::Respond(const std::string& commandFrame)
{
    yd1363::Reassembler reassembler;
    yd1363::Reassembler::Event event{};
    for (char c : commandFrame) {
        if (reassembler.Feed(static_cast<unsigned char>(c), event) && event.kind == yd1363::Reassembler::Event::Frame)
            return RespondBody(reassembler.Body());
    }
    return {};
}

std::string Responder::RespondBody(const std::string& body)
{
    ++counters_.commands;
    const PowerSystem& s = scenario_.system;
    // Without a readable address nobody on the bus knows it is asked.
    if (HexByte(body, 2) != s.address) return {};

    const yd1363::Error error = yd1363::Decode(body.data(), body.size(), record_.data());
    if (error != yd1363::Error::None) {
        Reply r;
        r.cid1 = static_cast<uint8_t>(std::max(HexByte(body, 4), 0));
        r.rtn = error == yd1363::Error::BadChecksum         ? kRtnChecksum
                : error == yd1363::Error::BadLengthChecksum ? kRtnLengthChecksum
                                                            : kRtnFormat;
        return Finish(std::move(r), Fault::None);
    }
    const uint8_t cid1 = record_[2];
    const uint8_t cid2 = record_[3];
    const size_t infoLen = static_cast<size_t>(record_[4] | (record_[5] << 8)) / 2;

    const unsigned char* info = record_.data() + yd1363::kRecordHeader;
    const bool asksAll = infoLen == 0 || (infoLen == 1 && info[0] == 0xFF);
    const bool opensRound = asksAll && cid2 == 0x41 && (cid1 == 0x40 || (cid1 == 0x41 && s.ac.empty()));
    if (opensRound) {
        ++round_;
        ++counters_.rounds;
        ApplyDueChanges(true);
    }
    Reply reply = Build(cid1, cid2, info, infoLen);
    const Fault fault = reply.rtn == kRtnOk ? PickFault(cid1, cid2) : Fault::None;
    return Finish(std::move(reply), fault);
}

Responder::Reply Responder::Build(uint8_t cid1, uint8_t cid2, const unsigned char* info, size_t infoLen)
{
    const PowerSystem& s = scenario_.system;
    Reply r;
    r.cid1 = cid1;
    // Every command here asks for everything: no INFO, or the command group 0xFF.
    if (infoLen > 1 || (infoLen == 1 && info[0] != 0xFF)) {
        r.rtn = kRtnFormat;
        return r;
    }
    auto head = [&r](std::initializer_list<uint8_t> first, const Bytes& rest) {
        r.info.assign(first);
        r.info.insert(r.info.end(), rest.begin(), rest.end());
    };
    const uint8_t acCount = static_cast<uint8_t>(s.ac.size());
    const uint8_t dcCount = static_cast<uint8_t>(s.dc.size());
    switch ((cid1 << 8) | cid2) {
    case 0x4051: r.info = DeviceInfo(s); break;
    case 0x4041:
        head({Flags(kAc), acCount}, AcAnalogSections(s));
        r.countAt = 1;
        break;
    case 0x4043:
        head({static_cast<uint8_t>(Flags(kAc) & ~kSwitchChanged), acCount}, AcSwitchSections(s));
        r.countAt = 1;
        r.part = kAc;
        r.switchRead = true;
        break;
    case 0x4044:
        head({static_cast<uint8_t>(Flags(kAc) & ~kAlarmChanged), acCount}, AcAlarmSections(s));
        r.countAt = 1;
        r.part = kAc;
        r.alarmRead = true;
        break;
    case 0x4046:
        r.info = AcParameters(s);
        r.countAt = 20;
        break;
    case 0x4141:
        head({Flags(kRc)}, RcAnalog(s));
        r.countAt = 5;
        break;
    case 0x4143:
        head({static_cast<uint8_t>(Flags(kRc) & ~kSwitchChanged)}, RcSwitch(s));
        r.countAt = 1;
        r.part = kRc;
        r.switchRead = true;
        break;
    case 0x4144:
        head({static_cast<uint8_t>(Flags(kRc) & ~kAlarmChanged)}, RcAlarm(s));
        r.countAt = 1;
        r.part = kRc;
        r.alarmRead = true;
        break;
    case 0x4241:
        head({Flags(kDc), dcCount}, DcAnalogBlocks(s));
        r.countAt = 1;
        break;
    case 0x4244:
        head({static_cast<uint8_t>(Flags(kDc) & ~kAlarmChanged), dcCount}, DcAlarmBlocks(s));
        r.countAt = 1;
        r.part = kDc;
        r.alarmRead = true;
        break;
    case 0x4246:
        r.info = DcParameters(s);
        r.countAt = 8;
        break;
    default: r.rtn = kRtnCid2; break;
    }
    return r;
}

Bytes Responder::SwitchContent(int part) const
{
    const PowerSystem& s = scenario_.system;
    if (part == kAc) return AcSwitchSections(s);
    if (part == kRc) return RcSwitch(s);
    return {};
}

Bytes Responder::AlarmContent(int part) const
{
    const PowerSystem& s = scenario_.system;
    if (part == kAc) return AcAlarmSections(s);
    if (part == kRc) return RcAlarm(s);
    return DcAlarmBlocks(s);
}

uint8_t Responder::Flags(int part) const
{
    uint8_t flags = 0;
    // The DC distribution has no switch status to announce.
    if (part != kDc && switchRead_[part] != SwitchContent(part)) flags |= kSwitchChanged;
    if (alarmRead_[part] != AlarmContent(part)) flags |= kAlarmChanged;
    return flags;
}

uint8_t Responder::DataFlag(uint8_t cid1) const
{
    switch (cid1) {
    case 0x40: return Flags(kAc);
    case 0x41: return Flags(kRc);
    case 0x42: return Flags(kDc);
    default: return 0;
    }
}

void Responder::InjectOnce(uint8_t cid1, uint8_t cid2, Fault fault) { queued_.push_back({cid1, cid2, fault}); }

Fault Responder::PickFault(uint8_t cid1, uint8_t cid2)
{
    for (auto it = queued_.begin(); it != queued_.end(); ++it) {
        if (it->cid1 == cid1 && it->cid2 == cid2) {
            const Fault f = it->fault;
            queued_.erase(it);
            return f;
        }
    }
    const FaultRates& rates = scenario_.faults;
    if (std::all_of(rates.begin(), rates.end(), [](double r) { return r <= 0; })) return Fault::None;
    const double draw = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
    double sum = 0;
    for (size_t k = 1; k < kFaultKinds; ++k) {
        sum += rates[k];
        if (draw < sum) return static_cast<Fault>(k);
    }
    return Fault::None;
}

std::string Responder::Finish(Reply r, Fault fault)
{
    if (fault == Fault::WrongCount && (r.countAt < 0 || static_cast<size_t>(r.countAt) >= r.info.size()))
        fault = Fault::None;
    if (fault == Fault::ShortInfo && r.info.empty()) fault = Fault::None;

    if (fault != Fault::None) {
        ++counters_.faults;
        ++counters_.byFault[static_cast<size_t>(fault)];
    } else if (r.part >= 0) {
        // Only a reply that arrives whole counts as read.
        if (r.switchRead) switchRead_[r.part] = SwitchContent(r.part);
        if (r.alarmRead) alarmRead_[r.part] = AlarmContent(r.part);
    }

    switch (fault) {
    case Fault::NoReply: return {};
    case Fault::BadRtn:
        r.rtn = kFaultRtn;
        r.info.clear();
        break;
    case Fault::WrongCount: ++r.info[static_cast<size_t>(r.countAt)]; break;
    case Fault::WrongCid1: r.cid1 = OtherCid1(r.cid1); break;
    case Fault::ShortInfo: r.info.pop_back(); break;
    default: break;
    }

    const PowerSystem& s = scenario_.system;
    std::string frame = yd1363::Encode(s.version, s.address, r.cid1, r.rtn, r.info.data(), r.info.size());
    if (frame.empty()) return {};  // cannot happen for a loaded scenario: sizes are checked
    if (fault == Fault::BadChecksum) {
        char& digit = frame[frame.size() - 2];
        digit = digit == '0' ? '1' : '0';
    } else if (fault == Fault::CutFrame) {
        frame.resize(frame.size() / 2);
    }
    ++counters_.replies;
    return frame;
}

void Responder::SetTime(double seconds)
{
    if (!(seconds > now_)) return;
    now_ = seconds;
    ApplyDueChanges(false);
    ApplyDrift();
}

void Responder::ApplyDueChanges(bool byRound)
{
    const double current = byRound ? static_cast<double>(round_) : now_;
    std::vector<std::pair<double, size_t>> due;
    for (size_t k = 0; k < scenario_.schedule.size(); ++k) {
        const ScheduledChange& c = scenario_.schedule[k];
        if (c.round.has_value() != byRound) continue;
        const double first = byRound ? static_cast<double>(*c.round) : *c.at;
        if (current < first) continue;
        double occurrence = first;
        if (c.every > 0) occurrence += std::floor((current - first) / c.every) * c.every;
        // Only the latest occurrence of each change matters, in time order.
        if (occurrence > lastApplied_[k]) due.emplace_back(occurrence, k);
    }
    std::sort(due.begin(), due.end());
    for (const auto& [occurrence, k] : due) {
        lastApplied_[k] = occurrence;
        // Each change was checked when the scenario was read. Values set one by
        // one skip the round trip through JSON; anything else takes it.
        const ScheduledChange& change = scenario_.schedule[k];
        if (!SetScalars(scenario_.system, schedulePaths_[k], change.set))
            SetValues(scenario_.system, change.set, ignoredError_);
    }
}

void Responder::ApplyDrift()
{
    for (size_t k = 0; k < scenario_.drift.size(); ++k) {
        const Drift& d = scenario_.drift[k];
        const double base = driftBase_[k];
        double value;
        if (d.kind == Drift::Kind::Sine) {
            value = base + d.amplitude * std::sin(2 * kPi * now_ / d.period + d.phase * kPi / 180);
        } else {
            const double t = d.period > 0 ? std::fmod(now_, d.period) : now_;
            value = base + d.rate * t;
        }
        // A scheduled change may have taken the value away; a float cannot hold every double.
        float* target = FindFloat(scenario_.system, driftPaths_[k]);
        if (target != nullptr && std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max()))
            *target = static_cast<float>(value);
    }
}

std::string CommandFrame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const Bytes& info)
{
    return yd1363::Encode(ver, adr, cid1, cid2, info.data(), info.size());
}

ParsedFrame ParseFrame(const std::string& frame)
{
    ParsedFrame out;
    out.complete = frame.size() >= 2 && frame.front() == yd1363::kSoi && frame.back() == yd1363::kEoi;
    if (!out.complete) return out;
    std::vector<unsigned char> record(yd1363::kRecordSize);
    out.error = yd1363::Decode(frame.data() + 1, frame.size() - 2, record.data());
    if (out.error != yd1363::Error::None) return out;
    out.ver = record[0];
    out.adr = record[1];
    out.cid1 = record[2];
    out.cid2 = record[3];
    const size_t n = static_cast<size_t>(record[4] | (record[5] << 8)) / 2;
    out.info.assign(record.begin() + yd1363::kRecordHeader,
                    record.begin() + yd1363::kRecordHeader + static_cast<long>(n));
    return out;
}

}  // namespace vx42b_sim
