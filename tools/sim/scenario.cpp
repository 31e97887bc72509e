#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <sstream>

#include "option_file.h"
#include "yd1363.h"

namespace vx42b_sim {

namespace {

const char* const kFaultNames[kFaultKinds] = {"none",        "no_reply",   "bad_checksum", "bad_rtn",
                                              "wrong_count", "wrong_cid1", "cut_frame",    "short_info"};

const char* const kScenarioKeys[] = {"schedule", "drift", "faults", "line", "seed"};

// jsoncpp's own default nesting limit, named here because exceeding it throws.
constexpr int kDepthLimit = 1000;

bool Fail(std::string& error, const std::string& path, const std::string& what)
{
    error = path + ": " + what;
    return false;
}

bool CheckKeys(const Json::Value& v, const std::string& path, std::initializer_list<const char*> keys,
               std::string& error)
{
    if (!v.isObject()) return Fail(error, path, "expected an object");
    for (const std::string& name : v.getMemberNames()) {
        bool known = false;
        for (const char* k : keys) known = known || name == k;
        if (!known) return Fail(error, path + "." + name, "unknown key");
    }
    return true;
}

bool Number(const Json::Value& v, const std::string& path, double& out, std::string& error)
{
    if (!v.isNumeric() || v.isBool() || !std::isfinite(v.asDouble())) return Fail(error, path, "expected a number");
    out = v.asDouble();
    return true;
}

bool Whole(const Json::Value& v, const std::string& path, long long lo, long long hi, long long& out,
           std::string& error)
{
    const std::string range = "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    if (!v.isNumeric() || v.isBool()) return Fail(error, path, range);
    const double d = v.asDouble();
    if (!std::isfinite(d) || std::floor(d) != d || d < static_cast<double>(lo) || d > static_cast<double>(hi))
        return Fail(error, path, range);
    out = static_cast<long long>(d);
    return true;
}

bool ReadSchedule(const Json::Value& json, const PowerSystem& initial, std::vector<ScheduledChange>& out,
                  std::string& error)
{
    if (!json.isArray()) return Fail(error, "schedule", "expected an array");
    PowerSystem scratch = initial;
    out.clear();
    for (Json::ArrayIndex k = 0; k < json.size(); ++k) {
        const std::string path = "schedule[" + std::to_string(k) + "]";
        const Json::Value& e = json[k];
        if (!CheckKeys(e, path, {"at", "round", "every", "set"}, error)) return false;
        ScheduledChange change;
        if (e.isMember("at") == e.isMember("round"))
            return Fail(error, path, "needs exactly one of \"at\" and \"round\"");
        if (e.isMember("at")) {
            double at;
            if (!Number(e["at"], path + ".at", at, error)) return false;
            if (at < 0) return Fail(error, path + ".at", "expected seconds, 0 or more");
            change.at = at;
            if (e.isMember("every")) {
                if (!Number(e["every"], path + ".every", change.every, error)) return false;
                if (change.every < 0.1) return Fail(error, path + ".every", "expected seconds, at least 0.1");
            }
        } else {
            long long round;
            if (!Whole(e["round"], path + ".round", 1, 1000000000, round, error)) return false;
            change.round = static_cast<long>(round);
            if (e.isMember("every")) {
                long long every;
                if (!Whole(e["every"], path + ".every", 1, 1000000000, every, error)) return false;
                change.every = static_cast<double>(every);
            }
        }
        const Json::Value& set = e["set"];
        if (!set.isObject() || set.empty())
            return Fail(error, path + ".set", "expected an object of value paths and values");
        for (const std::string& name : set.getMemberNames()) {
            std::string why;
            // Each change must make sense on the system as the earlier ones leave it.
            if (!SetValue(scratch, name, set[name], why)) {
                error = path + ".set." + why;  // `why` starts with the value's path
                return false;
            }
            change.set.emplace_back(name, set[name]);
        }
        out.push_back(std::move(change));
    }
    return true;
}

bool ReadDrift(const Json::Value& json, const PowerSystem& initial, std::vector<Drift>& out, std::string& error)
{
    if (!json.isArray()) return Fail(error, "drift", "expected an array");
    out.clear();
    for (Json::ArrayIndex k = 0; k < json.size(); ++k) {
        const std::string path = "drift[" + std::to_string(k) + "]";
        const Json::Value& e = json[k];
        if (!CheckKeys(e, path, {"path", "kind", "base", "amplitude", "period", "phase", "rate"}, error)) return false;
        Drift d;
        if (!e["path"].isString()) return Fail(error, path + ".path", "expected a value path such as \"dc[0].v\"");
        d.path = e["path"].asString();
        PowerSystem scratch = initial;
        std::string why;
        if (!SetValue(scratch, d.path, Json::Value(0.5), why))
            return Fail(error, path + ".path", "\"" + d.path + "\" is not a float value (" + why + ")");
        const std::string kind = e["kind"].isString() ? e["kind"].asString() : "";
        if (kind == "sine")
            d.kind = Drift::Kind::Sine;
        else if (kind == "ramp")
            d.kind = Drift::Kind::Ramp;
        else
            return Fail(error, path + ".kind", "expected \"sine\" or \"ramp\"");
        if (e.isMember("base")) {
            double base;
            if (!Number(e["base"], path + ".base", base, error)) return false;
            d.base = base;
        }
        if (e.isMember("phase") && !Number(e["phase"], path + ".phase", d.phase, error)) return false;
        if (e.isMember("period") && !Number(e["period"], path + ".period", d.period, error)) return false;
        if (d.kind == Drift::Kind::Sine) {
            if (e.isMember("rate")) return Fail(error, path + ".rate", "not used by a sine drift");
            if (!Number(e["amplitude"], path + ".amplitude", d.amplitude, error)) return false;
            if (d.period <= 0) return Fail(error, path + ".period", "expected seconds above 0");
        } else {
            if (e.isMember("amplitude") || e.isMember("phase"))
                return Fail(error, path + (e.isMember("amplitude") ? ".amplitude" : ".phase"),
                            "not used by a ramp drift");
            if (!Number(e["rate"], path + ".rate", d.rate, error)) return false;
            if (d.period < 0) return Fail(error, path + ".period", "expected seconds, 0 or more");
        }
        out.push_back(std::move(d));
    }
    return true;
}

bool ReadFaults(const Json::Value& json, FaultRates& rates, std::string& error)
{
    if (!json.isObject()) return Fail(error, "faults", "expected an object of fault names and rates");
    rates.fill(0.0);
    double sum = 0;
    for (const std::string& name : json.getMemberNames()) {
        Fault f;
        if (!FaultFromName(name, f) || f == Fault::None) return Fail(error, "faults." + name, "unknown fault");
        double rate;
        if (!Number(json[name], "faults." + name, rate, error)) return false;
        if (rate < 0 || rate > 1) return Fail(error, "faults." + name, "expected a probability from 0 to 1");
        rates[static_cast<size_t>(f)] = rate;
        sum += rate;
    }
    if (sum > 1.0 + 1e-9) return Fail(error, "faults", "the rates add up to more than 1");
    return true;
}

bool ReadLine(const Json::Value& json, LineSettings& line, std::string& error)
{
    if (!CheckKeys(json, "line", {"baud", "turnaround_ms"}, error)) return false;
    long long v;
    if (json.isMember("baud")) {
        if (!Whole(json["baud"], "line.baud", 0, 4000000, v, error)) return false;
        if (v != 0 && v < 50)
            return Fail(error, "line.baud", "expected 0 (unpaced) or a line speed from 50 to 4000000");
        line.baud = static_cast<int>(v);
    }
    if (json.isMember("turnaround_ms")) {
        if (!Whole(json["turnaround_ms"], "line.turnaround_ms", 0, 60000, v, error)) return false;
        line.turnaroundMs = static_cast<int>(v);
    }
    return true;
}

Json::Value ChangeJson(const ScheduledChange& c)
{
    Json::Value out(Json::objectValue);
    if (c.at) out["at"] = *c.at;
    if (c.round) out["round"] = Json::Int64(*c.round);
    if (c.every > 0) {
        if (c.round)
            out["every"] = Json::Int64(static_cast<long long>(c.every));
        else
            out["every"] = c.every;
    }
    Json::Value set(Json::objectValue);
    for (const auto& [path, value] : c.set) set[path] = value;
    out["set"] = set;
    return out;
}

Json::Value DriftJson(const Drift& d)
{
    Json::Value out(Json::objectValue);
    out["path"] = d.path;
    out["kind"] = d.kind == Drift::Kind::Sine ? "sine" : "ramp";
    if (d.base) out["base"] = *d.base;
    if (d.kind == Drift::Kind::Sine) {
        out["amplitude"] = d.amplitude;
        out["period"] = d.period;
        if (d.phase != 0) out["phase"] = d.phase;
    } else {
        out["rate"] = d.rate;
        if (d.period > 0) out["period"] = d.period;
    }
    return out;
}

}  // namespace

const char* FaultName(Fault fault)
{
    const size_t k = static_cast<size_t>(fault);
    return k < kFaultKinds ? kFaultNames[k] : "none";
}

bool FaultFromName(const std::string& name, Fault& fault)
{
    for (size_t k = 0; k < kFaultKinds; ++k) {
        if (name == kFaultNames[k]) {
            fault = static_cast<Fault>(k);
            return true;
        }
    }
    return false;
}

size_t LargestInfo(const PowerSystem& s)
{
    const size_t sizes[] = {
        DeviceInfo(s).size(),          2 + AcAnalogSections(s).size(), 2 + AcSwitchSections(s).size(),
        2 + AcAlarmSections(s).size(), 1 + RcAnalog(s).size(),         1 + RcSwitch(s).size(),
        1 + RcAlarm(s).size(),         2 + DcAnalogBlocks(s).size(),   2 + DcAlarmBlocks(s).size(),
        AcParameters(s).size(),        DcParameters(s).size(),
    };
    return *std::max_element(std::begin(sizes), std::end(sizes));
}

bool ScenarioFromJson(const Json::Value& json, Scenario& scenario, std::string& error)
{
    if (!json.isObject()) return Fail(error, "(top level)", "expected an object");
    Json::Value systemJson(Json::objectValue);
    for (const std::string& name : json.getMemberNames()) {
        if (IsSystemKey(name)) {
            systemJson[name] = json[name];
            continue;
        }
        bool known = false;
        for (const char* k : kScenarioKeys) known = known || name == k;
        if (!known) return Fail(error, name, "unknown key");
    }
    Scenario next;
    if (!SystemFromJson(systemJson, next.system, error)) return false;
    const size_t largest = LargestInfo(next.system);
    if (largest > static_cast<size_t>(yd1363::kMaxInfoBytes))
        return Fail(error, "(top level)",
                    "the largest reply would carry " + std::to_string(largest) + " INFO bytes, a frame holds 2047");
    if (json.isMember("schedule") && !ReadSchedule(json["schedule"], next.system, next.schedule, error)) return false;
    if (json.isMember("drift") && !ReadDrift(json["drift"], next.system, next.drift, error)) return false;
    if (json.isMember("faults") && !ReadFaults(json["faults"], next.faults, error)) return false;
    if (json.isMember("line") && !ReadLine(json["line"], next.line, error)) return false;
    if (json.isMember("seed")) {
        long long seed;
        if (!Whole(json["seed"], "seed", 0, 0xFFFFFFFFLL, seed, error)) return false;
        next.seed = static_cast<uint32_t>(seed);
    }
    scenario = std::move(next);
    return true;
}

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error)
{
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["allowComments"] = true;
    builder["stackLimit"] = kDepthLimit;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value json;
    std::string why;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &json, &why);
    } catch (const Json::Exception&) {
        // jsoncpp throws rather than report nesting beyond its stack limit.
        why = "nested too deeply (more than " + std::to_string(kDepthLimit) + " levels)";
    }
    if (!parsed) {
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        error = "not valid JSON: " + why;
        return false;
    }
    return ScenarioFromJson(json, scenario, error);
}

bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error)
{
    std::string text;
    if (!option_file::Read("--scenario", path, option_file::kScenarioMax, text, error)) return false;
    std::string why;
    if (!ParseScenario(text, scenario, why)) {
        error = "--scenario: " + path + ": " + why;
        return false;
    }
    return true;
}

Json::Value ScenarioToJson(const Scenario& scenario)
{
    Json::Value out = SystemToJson(scenario.system);
    Json::Value schedule(Json::arrayValue);
    for (const ScheduledChange& c : scenario.schedule) schedule.append(ChangeJson(c));
    out["schedule"] = schedule;
    Json::Value drift(Json::arrayValue);
    for (const Drift& d : scenario.drift) drift.append(DriftJson(d));
    out["drift"] = drift;
    Json::Value faults(Json::objectValue);
    for (size_t k = 1; k < kFaultKinds; ++k) faults[kFaultNames[k]] = scenario.faults[k];
    out["faults"] = faults;
    Json::Value line(Json::objectValue);
    line["baud"] = scenario.line.baud;
    line["turnaround_ms"] = scenario.line.turnaroundMs;
    out["line"] = line;
    if (scenario.seed) out["seed"] = Json::UInt(*scenario.seed);
    return out;
}

namespace {

// Keys in the order a reader expects them; others follow alphabetically.
const char* const kKeyOrder[] = {"model",
                                 "address",
                                 "version",
                                 "ac",
                                 "ac_user",
                                 "rc",
                                 "dc",
                                 "dc_user",
                                 "params",
                                 "schedule",
                                 "drift",
                                 "faults",
                                 "line",
                                 "seed",
                                 "channels",
                                 "group_value",
                                 "modules",
                                 "value",
                                 "v",
                                 "i",
                                 "battery_i",
                                 "branch_i",
                                 "a",
                                 "b",
                                 "c",
                                 "f",
                                 "ia",
                                 "ib",
                                 "ic",
                                 "user",
                                 "airlock",
                                 "switch",
                                 "user_switch",
                                 "fault",
                                 "a_state",
                                 "b_state",
                                 "c_state",
                                 "f_state",
                                 "ia_state",
                                 "ib_state",
                                 "ic_state",
                                 "v_state",
                                 "fuse_state",
                                 "extra_states",
                                 "user_states",
                                 "at",
                                 "round",
                                 "every",
                                 "set",
                                 "path",
                                 "kind",
                                 "base",
                                 "amplitude",
                                 "period",
                                 "phase",
                                 "rate",
                                 "no_reply",
                                 "bad_checksum",
                                 "bad_rtn",
                                 "wrong_count",
                                 "wrong_cid1",
                                 "cut_frame",
                                 "short_info",
                                 "baud",
                                 "turnaround_ms"};

size_t KeyRank(const std::string& key)
{
    for (size_t k = 0; k < std::size(kKeyOrder); ++k)
        if (key == kKeyOrder[k]) return k;
    return std::size(kKeyOrder);
}

std::string Scalar(const Json::Value& v)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 15;
    return Json::writeString(builder, v);
}

bool IsFlat(const Json::Value& v)
{
    if (!v.isArray() && !v.isObject()) return true;
    if (v.isObject()) return false;
    for (const Json::Value& e : v)
        if (e.isArray() || e.isObject()) return false;
    return true;
}

// Indented JSON with arrays of plain values on one line.
void Pretty(const Json::Value& v, const std::string& indent, std::string& out)
{
    if (v.isArray() && IsFlat(v)) {
        out += "[";
        for (Json::ArrayIndex k = 0; k < v.size(); ++k) out += (k ? ", " : "") + Scalar(v[k]);
        out += "]";
    } else if (v.isArray()) {
        out += "[\n";
        for (Json::ArrayIndex k = 0; k < v.size(); ++k) {
            out += indent + "  ";
            Pretty(v[k], indent + "  ", out);
            out += k + 1 < v.size() ? ",\n" : "\n";
        }
        out += indent + "]";
    } else if (v.isObject()) {
        std::vector<std::string> keys = v.getMemberNames();
        std::stable_sort(keys.begin(), keys.end(),
                         [](const std::string& x, const std::string& y) { return KeyRank(x) < KeyRank(y); });
        if (keys.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        for (size_t k = 0; k < keys.size(); ++k) {
            out += indent + "  " + Scalar(Json::Value(keys[k])) + ": ";
            Pretty(v[keys[k]], indent + "  ", out);
            out += k + 1 < keys.size() ? ",\n" : "\n";
        }
        out += indent + "}";
    } else {
        out += Scalar(v);
    }
}

}  // namespace

std::string ScenarioText(const Scenario& scenario)
{
    std::string out;
    Pretty(ScenarioToJson(scenario), "", out);
    return out + "\n";
}

Scenario DefaultScenario()
{
    Scenario sc;
    PowerSystem& s = sc.system;
    s.model = "VX42B";
    s.address = 1;
    s.version = 0x20;

    auto channel = [](float a, float b, float c) {
        AcChannel ch;
        ch.a = a;
        ch.b = b;
        ch.c = c;
        ch.f = 50.0f;
        return ch;
    };
    AcUnit ac1;
    ac1.channels = {channel(220.0f, 221.0f, 219.0f), channel(230.0f, 229.5f, 230.5f)};
    ac1.ia = 12.5f;
    ac1.ib = 11.8f;
    ac1.ic = 12.1f;
    AcUnit ac2;
    ac2.channels = {channel(380.0f, 381.0f, 379.0f)};
    ac2.ia = 5.2f;
    ac2.ib = 5.0f;
    ac2.ic = 5.1f;
    s.ac = {ac1, ac2};

    s.rc.groupValue = 53.5f;
    RcModule m1;
    m1.value = 20.4f;
    m1.user = {35.0f, 0.0f, 0.0f, 0.0f};
    RcModule m2;
    m2.value = 19.8f;
    m2.user = {36.5f, 0.0f, 0.0f, 0.0f};
    s.rc.modules = {m1, m2};

    DcUnit dc;
    dc.v = 53.5f;
    dc.i = 40.2f;
    dc.batteryI = {5.1f, 4.9f};
    dc.user = {25.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    s.dc = {dc};

    s.params.ac = {280.0f, 180.0f, 100.0f, 55.0f, 45.0f};
    s.params.dc = {57.6f, 45.0f};
    s.params.dcUser = {43.2f, 56.4f, 53.5f, 0.1f, 25.0f};

    auto change = [](double at, double every, const char* path, unsigned value) {
        ScheduledChange c;
        c.at = at;
        c.every = every;
        c.set.emplace_back(path, Json::Value(value));
        return c;
    };
    sc.schedule = {
        change(6, 30, "dc[0].fuse_state[3]", 3),       change(16, 30, "dc[0].fuse_state[3]", 0),
        change(9, 30, "ac[0].channels[0].a_state", 2), change(12, 30, "ac[0].channels[0].a_state", 0),
        change(21, 60, "rc.modules[1].fault", 1),      change(26, 60, "rc.modules[1].fault", 0),
    };

    auto sine = [](const char* path, double amplitude, double period, double phase) {
        Drift d;
        d.path = path;
        d.kind = Drift::Kind::Sine;
        d.amplitude = amplitude;
        d.period = period;
        d.phase = phase;
        return d;
    };
    sc.drift = {
        sine("ac[0].channels[0].a", 2.0, 45, 0),
        sine("ac[0].channels[0].b", 2.0, 45, 120),
        sine("ac[0].channels[0].c", 2.0, 45, 240),
        sine("ac[0].channels[0].f", 0.05, 20, 0),
        sine("ac[0].ia", 1.5, 35, 0),
        sine("ac[1].channels[0].a", 3.0, 50, 60),
        sine("rc.group_value", 0.3, 60, 0),
        sine("rc.modules[0].value", 0.8, 50, 0),
        sine("rc.modules[1].value", 0.8, 50, 90),
        sine("dc[0].v", 0.3, 60, 0),
        sine("dc[0].i", 2.0, 30, 0),
        sine("dc[0].battery_i[0]", 0.5, 40, 0),
    };
    sc.line.baud = 9600;
    sc.line.turnaroundMs = 20;
    return sc;
}

}  // namespace vx42b_sim
