#pragma once

// The polling cycle of one power system, as data: which command each step
// sends, and which step follows an accepted reply.
namespace polling {

// The values `step_` takes. 10 to 13 do not exist.
enum Step : int {
    kAcAnalog = 0,     // 40/41
    kAcSwitch = 1,     // 40/43
    kAcAlarm = 2,      // 40/44
    kAcParam = 3,      // 40/46, never repeated
    kRcAnalog = 4,     // 41/41
    kRcSwitch = 5,     // 41/43
    kRcAlarm = 6,      // 41/44
    kDcAnalog = 7,     // 42/41
    kDcAlarm = 8,      // 42/44
    kDcParam = 9,      // 42/46, never repeated
    kDeviceInfo = 14,  // 40/51, once per device object
};

// What NextStep returns when the reply ends the round.
constexpr int kRoundEnd = -1;

enum class Info : unsigned char {
    None,      // no INFO
    Group,     // the command-group byte 0xFF
    GroupV21,  // the command-group byte only when VER is 0x21
};

struct Command {
    int step;
    unsigned char cid1;
    unsigned char cid2;
    Info info;
    bool repeated;  // sent again by RefreshStatus when unanswered
};

constexpr Command kCommands[] = {
    {kAcAnalog, 0x40, 0x41, Info::Group, true},   {kAcSwitch, 0x40, 0x43, Info::Group, true},
    {kAcAlarm, 0x40, 0x44, Info::Group, true},    {kAcParam, 0x40, 0x46, Info::None, false},
    {kRcAnalog, 0x41, 0x41, Info::None, true},    {kRcSwitch, 0x41, 0x43, Info::None, true},
    {kRcAlarm, 0x41, 0x44, Info::None, true},     {kDcAnalog, 0x42, 0x41, Info::GroupV21, true},
    {kDcAlarm, 0x42, 0x44, Info::GroupV21, true}, {kDcParam, 0x42, 0x46, Info::None, false},
    {kDeviceInfo, 0x40, 0x51, Info::None, true},
};

// The command of a step, or nullptr for a value outside the table.
constexpr const Command* CommandOf(int step)
{
    for (const Command& c : kCommands)
        if (c.step == step) return &c;
    return nullptr;
}

// What the choice of the next step depends on.
struct Inputs {
    bool ready = false;        // the main device's data-ready flag
    bool hasAc = false;        // AC sub-devices configured
    bool hasDc = false;        // DC sub-devices configured
    unsigned char acFlag = 0;  // DATAFLAG of the last AC analog reply
    unsigned char rcFlag = 0;  // DATAFLAG of the last rectifier analog reply
    unsigned char dcFlag = 0;  // DATAFLAG of this DC analog reply
};

constexpr unsigned char kFlagSwitch = 0x10;  // the switch status changed
constexpr unsigned char kFlagAlarm = 0x01;   // the alarm status changed

constexpr int FirstStep(bool hasAc) { return hasAc ? kAcAnalog : kRcAnalog; }

// The step after an accepted reply at `step`, or kRoundEnd.
constexpr int NextStep(int step, const Inputs& in)
{
    const bool wantAcSwitch = !in.ready || (in.acFlag & kFlagSwitch);
    const bool wantAcAlarm = !in.ready || (in.acFlag & kFlagAlarm);
    const bool wantRcSwitch = !in.ready || (in.rcFlag & kFlagSwitch);
    const bool wantRcAlarm = !in.ready || (in.rcFlag & kFlagAlarm);
    const bool wantDcAlarm = !in.ready || (in.dcFlag & (kFlagSwitch | kFlagAlarm));
    const int afterRc = in.hasDc ? kDcAnalog : kRoundEnd;
    const int afterDc = in.hasAc ? kAcParam : kDcParam;
    switch (step) {
    case kDeviceInfo: return FirstStep(in.hasAc);
    case kAcAnalog: return wantAcSwitch ? kAcSwitch : wantAcAlarm ? kAcAlarm : kRcAnalog;
    case kAcSwitch: return wantAcAlarm ? kAcAlarm : kRcAnalog;
    case kAcAlarm: return kRcAnalog;
    case kRcAnalog: return wantRcSwitch ? kRcSwitch : wantRcAlarm ? kRcAlarm : afterRc;
    case kRcSwitch: return wantRcAlarm ? kRcAlarm : afterRc;
    case kRcAlarm: return afterRc;
    case kDcAnalog: return wantDcAlarm ? kDcAlarm : afterDc;
    case kDcAlarm: return afterDc;
    case kAcParam: return kDcParam;
    case kDcParam: return kRoundEnd;
    default: return step;
    }
}

}  // namespace polling
