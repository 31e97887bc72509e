#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

// The simulated power system: plain values, laid out as the replies carry
// them. Every count on the wire is the size of the vector that follows it, so
// a test sends a wrong count by resizing that vector. The defaults are the
// counts a VX42B reports.
namespace vx42b_sim {

using Bytes = std::vector<uint8_t>;

struct AcChannel {
    float a = 0, b = 0, c = 0, f = 0;
    std::vector<float> user;  // user-defined analog floats (P)
    uint8_t aState = 0, bState = 0, cState = 0, fState = 0;
    Bytes extraStates;               // further status bytes (m)
    Bytes userStates = Bytes(4, 0);  // user-defined alarm bytes (P)
};

struct AcUnit {
    std::vector<AcChannel> channels;
    float ia = 0, ib = 0, ic = 0;
    Bytes airlock;                   // switch status bytes (m)
    Bytes userSwitch = Bytes(2, 0);  // user-defined switch bytes (P)
    uint8_t iaState = 0, ibState = 0, icState = 0;
};

struct RcModule {
    float value = 0;
    std::vector<float> user = std::vector<float>(4, 0.0f);
    std::array<uint8_t, 3> switchState{};
    Bytes userSwitch = Bytes(5, 0);
    uint8_t fault = 0;
    Bytes userStates = Bytes(6, 0);
};

struct Rectifiers {
    float groupValue = 0;
    std::vector<RcModule> modules;
};

struct DcUnit {
    float v = 0, i = 0;
    std::vector<float> batteryI = std::vector<float>(2, 0.0f);
    std::vector<float> branchI;
    std::vector<float> user = std::vector<float>(8, 0.0f);
    uint8_t vState = 0;
    Bytes fuseState = Bytes(10, 0);
    Bytes userStates = Bytes(26, 0);
};

struct Parameters {
    std::array<float, 5> ac{};
    std::vector<float> acUser;
    std::array<float, 2> dc{};
    std::vector<float> dcUser = std::vector<float>(5, 0.0f);
};

struct PowerSystem {
    std::string model = "VX42B";  // at most 20 bytes, space-padded on the wire
    uint8_t address = 1;
    uint8_t version = 0x20;
    std::vector<AcUnit> ac;
    Rectifiers rc;
    std::vector<DcUnit> dc;
    Parameters params;
};

constexpr size_t kModelBytes = 20;

// A float given by its bit pattern, e.g. the no-value marker 0x20202020.
float FloatFromBits(uint32_t bits);
uint32_t BitsOfFloat(float value);

// INFO pieces of each reply, without the DATAFLAG byte and the unit count
// that the responder puts in front where the reply has them.
Bytes DeviceInfo(const PowerSystem& s);        // 0x40/0x51
Bytes AcAnalogSections(const PowerSystem& s);  // 0x40/0x41, one section per unit
Bytes AcSwitchSections(const PowerSystem& s);  // 0x40/0x43
Bytes AcAlarmSections(const PowerSystem& s);   // 0x40/0x44
Bytes RcAnalog(const PowerSystem& s);          // 0x41/0x41: group value, N, modules
Bytes RcSwitch(const PowerSystem& s);          // 0x41/0x43: M, modules
Bytes RcAlarm(const PowerSystem& s);           // 0x41/0x44: M, modules
Bytes DcAnalogBlocks(const PowerSystem& s);    // 0x42/0x41
Bytes DcAlarmBlocks(const PowerSystem& s);     // 0x42/0x44
Bytes AcParameters(const PowerSystem& s);      // 0x40/0x46
Bytes DcParameters(const PowerSystem& s);      // 0x42/0x46

// JSON form of the system (the top-level keys of a scenario file). Floats are
// numbers, or "0x" and 8 hex digits for a bit pattern (so markers and NaNs
// survive); bytes are numbers 0..255 or "0xHH".
Json::Value SystemToJson(const PowerSystem& s);
// Fills `s` from `json`; keys missing from an object keep the values already
// in `s` (where a new array element is made, its defaults). An unknown key or
// a wrong type fails with an error naming its path.
bool SystemFromJson(const Json::Value& json, PowerSystem& s, std::string& error);
// True for a key that belongs to the system rather than to the scenario.
bool IsSystemKey(const std::string& key);

// Sets the value at `path` (e.g. "dc[0].fuse_state[3]", "ac[1].channels[0].a")
// in the system. The path must name something the system already has.
bool SetValue(PowerSystem& s, const std::string& path, const Json::Value& value, std::string& error);
// The value at `path`, in its JSON form.
bool GetValue(const PowerSystem& s, const std::string& path, Json::Value& value, std::string& error);
// A value path read once, for a value set often (drift): the steps to one
// float of the system.
struct FloatPath {
    struct Step {
        std::string key;  // empty for an index step
        size_t index = 0;
    };
    std::vector<Step> steps;
};
// False, with `error` naming the path, when it is not the form of a float's path.
bool ParseFloatPath(const std::string& path, FloatPath& out, std::string& error);
// The float the path names in `s`, or nullptr when `s` has no such float.
float* FindFloat(PowerSystem& s, const FloatPath& path);
// Sets values whose paths (parsed from values[k].first) name a float or a
// byte, converted as SetValues converts them; false, with nothing changed,
// when any path names something else or any value does not fit.
bool SetScalars(PowerSystem& s, const std::vector<FloatPath>& paths,
                const std::vector<std::pair<std::string, Json::Value>>& values);

// Sets several paths with one conversion; stops at the first failure.
bool SetValues(PowerSystem& s, const std::vector<std::pair<std::string, Json::Value>>& values, std::string& error);

}  // namespace vx42b_sim
