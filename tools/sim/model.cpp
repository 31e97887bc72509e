#include "model.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

namespace vx42b_sim {

float FloatFromBits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t BitsOfFloat(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

namespace {

// Counts on the wire are one byte; sizes are checked when a system is loaded.
uint8_t Count(size_t n) { return static_cast<uint8_t>(n); }

void PutFloat(Bytes& out, float value)
{
    const uint32_t bits = BitsOfFloat(value);
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(bits >> (8 * k)));
}

void PutFloats(Bytes& out, const std::vector<float>& values)
{
    out.push_back(Count(values.size()));
    for (float v : values) PutFloat(out, v);
}

void PutBytes(Bytes& out, const Bytes& values)
{
    out.push_back(Count(values.size()));
    out.insert(out.end(), values.begin(), values.end());
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// jsoncpp reads any bytes but writes what it cannot decode as U+FFFD, so
// anything else would change (and grow) when a scenario is written back.
bool IsUtf8(const std::string& text)
{
    size_t k = 0;
    while (k < text.size()) {
        const auto b = static_cast<unsigned char>(text[k]);
        size_t more;
        uint32_t cp;
        if (b < 0x80) {
            ++k;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            more = 1;
            cp = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2;
            cp = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3;
            cp = b & 0x07u;
        } else {
            return false;
        }
        if (text.size() - k <= more) return false;
        for (size_t j = 1; j <= more; ++j) {
            const auto c = static_cast<unsigned char>(text[k + j]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        k += more + 1;
    }
    return true;
}

}  // namespace

Bytes DeviceInfo(const PowerSystem& s)
{
    Bytes out(kModelBytes, ' ');
    for (size_t k = 0; k < s.model.size() && k < kModelBytes; ++k) out[k] = static_cast<uint8_t>(s.model[k]);
    return out;
}

Bytes AcAnalogSections(const PowerSystem& s)
{
    Bytes out;
    for (const AcUnit& unit : s.ac) {
        out.push_back(Count(unit.channels.size()));
        for (const AcChannel& ch : unit.channels) {
            for (float v : {ch.a, ch.b, ch.c, ch.f}) PutFloat(out, v);
            PutFloats(out, ch.user);
        }
        for (float v : {unit.ia, unit.ib, unit.ic}) PutFloat(out, v);
    }
    return out;
}

Bytes AcSwitchSections(const PowerSystem& s)
{
    Bytes out;
    for (const AcUnit& unit : s.ac) {
        PutBytes(out, unit.airlock);
        PutBytes(out, unit.userSwitch);
    }
    return out;
}

Bytes AcAlarmSections(const PowerSystem& s)
{
    Bytes out;
    for (const AcUnit& unit : s.ac) {
        out.push_back(Count(unit.channels.size()));
        for (const AcChannel& ch : unit.channels) {
            out.insert(out.end(), {ch.aState, ch.bState, ch.cState, ch.fState});
            PutBytes(out, ch.extraStates);
            PutBytes(out, ch.userStates);
        }
        out.insert(out.end(), {unit.iaState, unit.ibState, unit.icState});
    }
    return out;
}

Bytes RcAnalog(const PowerSystem& s)
{
    Bytes out;
    PutFloat(out, s.rc.groupValue);
    out.push_back(Count(s.rc.modules.size()));
    for (const RcModule& m : s.rc.modules) {
        PutFloat(out, m.value);
        PutFloats(out, m.user);
    }
    return out;
}

Bytes RcSwitch(const PowerSystem& s)
{
    Bytes out;
    out.push_back(Count(s.rc.modules.size()));
    for (const RcModule& m : s.rc.modules) {
        out.insert(out.end(), m.switchState.begin(), m.switchState.end());
        PutBytes(out, m.userSwitch);
    }
    return out;
}

Bytes RcAlarm(const PowerSystem& s)
{
    Bytes out;
    out.push_back(Count(s.rc.modules.size()));
    for (const RcModule& m : s.rc.modules) {
        out.push_back(m.fault);
        PutBytes(out, m.userStates);
    }
    return out;
}

Bytes DcAnalogBlocks(const PowerSystem& s)
{
    Bytes out;
    for (const DcUnit& unit : s.dc) {
        PutFloat(out, unit.v);
        PutFloat(out, unit.i);
        PutFloats(out, unit.batteryI);
        PutFloats(out, unit.branchI);
        PutFloats(out, unit.user);
    }
    return out;
}

Bytes DcAlarmBlocks(const PowerSystem& s)
{
    Bytes out;
    for (const DcUnit& unit : s.dc) {
        out.push_back(unit.vState);
        PutBytes(out, unit.fuseState);
        PutBytes(out, unit.userStates);
    }
    return out;
}

Bytes AcParameters(const PowerSystem& s)
{
    Bytes out;
    for (float v : s.params.ac) PutFloat(out, v);
    PutFloats(out, s.params.acUser);
    return out;
}

Bytes DcParameters(const PowerSystem& s)
{
    Bytes out;
    for (float v : s.params.dc) PutFloat(out, v);
    PutFloats(out, s.params.dcUser);
    return out;
}

// ---- JSON form -------------------------------------------------------------

namespace {

constexpr size_t kMaxCount = 255;

bool IsMarker(uint32_t bits)
{
    const uint32_t b = bits & 0xFF;
    return b != 0 && bits == (b | (b << 8) | (b << 16) | (b << 24));
}

Json::Value FloatJson(float value)
{
    const uint32_t bits = BitsOfFloat(value);
    if (std::isfinite(value) && !IsMarker(bits)) {
        // The shortest decimal that reads back as the same float, so that
        // 220.1f is written as 220.1 and not 220.100006103515625.
        char text[32];
        for (int digits = 6; digits <= 9; ++digits) {
            std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
            if (std::strtof(text, nullptr) == value) break;
        }
        return Json::Value(std::strtod(text, nullptr));
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(bits));
    return Json::Value(text);
}

Json::Value FloatsJson(const float* values, size_t n)
{
    Json::Value out(Json::arrayValue);
    for (size_t k = 0; k < n; ++k) out.append(FloatJson(values[k]));
    return out;
}

Json::Value FloatsJson(const std::vector<float>& values) { return FloatsJson(values.data(), values.size()); }

Json::Value BytesJson(const uint8_t* values, size_t n)
{
    Json::Value out(Json::arrayValue);
    for (size_t k = 0; k < n; ++k) out.append(Json::UInt(values[k]));
    return out;
}

Json::Value BytesJson(const Bytes& values) { return BytesJson(values.data(), values.size()); }

// Reads JSON into the model, remembering the first problem with its path.
class Reader {
public:
    explicit Reader(std::string& error) : error_(error) {}
    bool Ok() const { return ok_; }

    bool Fail(const std::string& path, const std::string& what)
    {
        if (ok_) error_ = path + ": " + what;
        ok_ = false;
        return false;
    }

    static std::string Key(const std::string& path, const char* key) { return path.empty() ? key : path + "." + key; }
    static std::string Index(const std::string& path, size_t k) { return path + "[" + std::to_string(k) + "]"; }

    bool Object(const Json::Value& v, const std::string& path, std::initializer_list<const char*> keys)
    {
        if (!v.isObject()) return Fail(path.empty() ? "(top level)" : path, "expected an object");
        for (const std::string& name : v.getMemberNames()) {
            bool known = false;
            for (const char* key : keys) known = known || name == key;
            if (!known) return Fail(Key(path, name.c_str()), "unknown key");
        }
        return true;
    }

    void Float(const Json::Value& obj, const std::string& path, const char* key, float& out)
    {
        if (obj.isMember(key)) FloatValue(obj[key], Key(path, key), out);
    }

    void FloatValue(const Json::Value& v, const std::string& path, float& out)
    {
        if (v.isNumeric() && !v.isBool()) {
            if (std::fabs(v.asDouble()) > static_cast<double>(std::numeric_limits<float>::max())) {
                Fail(path, "beyond the range of a float");
                return;
            }
            out = static_cast<float>(v.asDouble());
            return;
        }
        uint32_t bits;
        if (v.isString() && HexText(v.asString(), 8, bits)) {
            out = FloatFromBits(bits);
            return;
        }
        Fail(path, "expected a number or \"0x\" followed by 8 hex digits");
    }

    void Byte(const Json::Value& obj, const std::string& path, const char* key, uint8_t& out)
    {
        if (obj.isMember(key)) ByteValue(obj[key], Key(path, key), out);
    }

    void ByteValue(const Json::Value& v, const std::string& path, uint8_t& out)
    {
        uint32_t bits;
        // isUInt holds for whole reals too; asLargestInt would throw past the int64 range.
        if (!v.isBool() && v.isUInt() && v.asUInt() <= 255) {
            out = static_cast<uint8_t>(v.asUInt());
        } else if (v.isString() && HexText(v.asString(), 2, bits)) {
            out = static_cast<uint8_t>(bits);
        } else {
            Fail(path, "expected a whole number from 0 to 255");
        }
    }

    void Floats(const Json::Value& obj, const std::string& path, const char* key, std::vector<float>& out)
    {
        if (!obj.isMember(key)) return;
        const std::string p = Key(path, key);
        const Json::Value& v = obj[key];
        if (!Array(v, p)) return;
        out.assign(v.size(), 0.0f);
        for (Json::ArrayIndex k = 0; k < v.size() && ok_; ++k) FloatValue(v[k], Index(p, k), out[k]);
    }

    template <size_t N>
    void FixedFloats(const Json::Value& obj, const std::string& path, const char* key, std::array<float, N>& out)
    {
        if (!obj.isMember(key)) return;
        const std::string p = Key(path, key);
        const Json::Value& v = obj[key];
        if (!v.isArray() || v.size() != N) {
            Fail(p, "expected an array of " + std::to_string(N) + " numbers");
            return;
        }
        for (Json::ArrayIndex k = 0; k < N && ok_; ++k) FloatValue(v[k], Index(p, k), out[k]);
    }

    void ByteList(const Json::Value& obj, const std::string& path, const char* key, Bytes& out)
    {
        if (!obj.isMember(key)) return;
        const std::string p = Key(path, key);
        const Json::Value& v = obj[key];
        if (!Array(v, p)) return;
        out.assign(v.size(), 0);
        for (Json::ArrayIndex k = 0; k < v.size() && ok_; ++k) ByteValue(v[k], Index(p, k), out[k]);
    }

    template <size_t N>
    void FixedBytes(const Json::Value& obj, const std::string& path, const char* key, std::array<uint8_t, N>& out)
    {
        if (!obj.isMember(key)) return;
        const std::string p = Key(path, key);
        const Json::Value& v = obj[key];
        if (!v.isArray() || v.size() != N) {
            Fail(p, "expected an array of " + std::to_string(N) + " bytes");
            return;
        }
        for (Json::ArrayIndex k = 0; k < N && ok_; ++k) ByteValue(v[k], Index(p, k), out[k]);
    }

    // An array of objects read with `read`; existing elements are the base
    // for the ones at the same index.
    template <class T, class F>
    void List(const Json::Value& obj, const std::string& path, const char* key, std::vector<T>& out, F read)
    {
        if (!obj.isMember(key)) return;
        const std::string p = Key(path, key);
        const Json::Value& v = obj[key];
        if (!Array(v, p)) return;
        out.resize(v.size());
        for (Json::ArrayIndex k = 0; k < v.size() && ok_; ++k) read(v[k], Index(p, k), out[k]);
    }

    bool Array(const Json::Value& v, const std::string& path)
    {
        if (!v.isArray()) return Fail(path, "expected an array");
        if (v.size() > kMaxCount) return Fail(path, "more than 255 elements (counts are one byte)");
        return true;
    }

private:
    static bool HexText(const std::string& text, size_t digits, uint32_t& out)
    {
        if (text.size() != digits + 2 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
        out = 0;
        for (size_t k = 2; k < text.size(); ++k) {
            const char c = text[k];
            uint32_t d;
            if (c >= '0' && c <= '9')
                d = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
            out = (out << 4) | d;
        }
        return true;
    }

    std::string& error_;
    bool ok_ = true;
};

void ReadChannel(Reader& r, const Json::Value& v, const std::string& p, AcChannel& ch)
{
    if (!r.Object(
            v, p,
            {"a", "b", "c", "f", "user", "a_state", "b_state", "c_state", "f_state", "extra_states", "user_states"}))
        return;
    r.Float(v, p, "a", ch.a);
    r.Float(v, p, "b", ch.b);
    r.Float(v, p, "c", ch.c);
    r.Float(v, p, "f", ch.f);
    r.Floats(v, p, "user", ch.user);
    r.Byte(v, p, "a_state", ch.aState);
    r.Byte(v, p, "b_state", ch.bState);
    r.Byte(v, p, "c_state", ch.cState);
    r.Byte(v, p, "f_state", ch.fState);
    r.ByteList(v, p, "extra_states", ch.extraStates);
    r.ByteList(v, p, "user_states", ch.userStates);
}

void ReadAcUnit(Reader& r, const Json::Value& v, const std::string& p, AcUnit& unit)
{
    if (!r.Object(v, p, {"channels", "ia", "ib", "ic", "airlock", "user_switch", "ia_state", "ib_state", "ic_state"}))
        return;
    r.List(v, p, "channels", unit.channels,
           [&r](const Json::Value& e, const std::string& ep, AcChannel& ch) { ReadChannel(r, e, ep, ch); });
    r.Float(v, p, "ia", unit.ia);
    r.Float(v, p, "ib", unit.ib);
    r.Float(v, p, "ic", unit.ic);
    r.ByteList(v, p, "airlock", unit.airlock);
    r.ByteList(v, p, "user_switch", unit.userSwitch);
    r.Byte(v, p, "ia_state", unit.iaState);
    r.Byte(v, p, "ib_state", unit.ibState);
    r.Byte(v, p, "ic_state", unit.icState);
}

void ReadModule(Reader& r, const Json::Value& v, const std::string& p, RcModule& m)
{
    if (!r.Object(v, p, {"value", "user", "switch", "user_switch", "fault", "user_states"})) return;
    r.Float(v, p, "value", m.value);
    r.Floats(v, p, "user", m.user);
    r.FixedBytes(v, p, "switch", m.switchState);
    r.ByteList(v, p, "user_switch", m.userSwitch);
    r.Byte(v, p, "fault", m.fault);
    r.ByteList(v, p, "user_states", m.userStates);
}

void ReadDcUnit(Reader& r, const Json::Value& v, const std::string& p, DcUnit& unit)
{
    if (!r.Object(v, p, {"v", "i", "battery_i", "branch_i", "user", "v_state", "fuse_state", "user_states"})) return;
    r.Float(v, p, "v", unit.v);
    r.Float(v, p, "i", unit.i);
    r.Floats(v, p, "battery_i", unit.batteryI);
    r.Floats(v, p, "branch_i", unit.branchI);
    r.Floats(v, p, "user", unit.user);
    r.Byte(v, p, "v_state", unit.vState);
    r.ByteList(v, p, "fuse_state", unit.fuseState);
    r.ByteList(v, p, "user_states", unit.userStates);
}

const char* const kSystemKeys[] = {"model", "address", "version", "ac", "rc", "dc", "params"};

}  // namespace

bool IsSystemKey(const std::string& key)
{
    for (const char* k : kSystemKeys)
        if (key == k) return true;
    return false;
}

Json::Value SystemToJson(const PowerSystem& s)
{
    Json::Value out(Json::objectValue);
    out["model"] = s.model;
    out["address"] = Json::UInt(s.address);
    char ver[8];
    std::snprintf(ver, sizeof ver, "0x%02X", static_cast<unsigned>(s.version));
    out["version"] = ver;

    Json::Value ac(Json::arrayValue);
    for (const AcUnit& unit : s.ac) {
        Json::Value u(Json::objectValue);
        Json::Value channels(Json::arrayValue);
        for (const AcChannel& ch : unit.channels) {
            Json::Value c(Json::objectValue);
            c["a"] = FloatJson(ch.a);
            c["b"] = FloatJson(ch.b);
            c["c"] = FloatJson(ch.c);
            c["f"] = FloatJson(ch.f);
            c["user"] = FloatsJson(ch.user);
            c["a_state"] = Json::UInt(ch.aState);
            c["b_state"] = Json::UInt(ch.bState);
            c["c_state"] = Json::UInt(ch.cState);
            c["f_state"] = Json::UInt(ch.fState);
            c["extra_states"] = BytesJson(ch.extraStates);
            c["user_states"] = BytesJson(ch.userStates);
            channels.append(c);
        }
        u["channels"] = channels;
        u["ia"] = FloatJson(unit.ia);
        u["ib"] = FloatJson(unit.ib);
        u["ic"] = FloatJson(unit.ic);
        u["airlock"] = BytesJson(unit.airlock);
        u["user_switch"] = BytesJson(unit.userSwitch);
        u["ia_state"] = Json::UInt(unit.iaState);
        u["ib_state"] = Json::UInt(unit.ibState);
        u["ic_state"] = Json::UInt(unit.icState);
        ac.append(u);
    }
    out["ac"] = ac;

    Json::Value rc(Json::objectValue);
    rc["group_value"] = FloatJson(s.rc.groupValue);
    Json::Value modules(Json::arrayValue);
    for (const RcModule& m : s.rc.modules) {
        Json::Value j(Json::objectValue);
        j["value"] = FloatJson(m.value);
        j["user"] = FloatsJson(m.user);
        j["switch"] = BytesJson(m.switchState.data(), m.switchState.size());
        j["user_switch"] = BytesJson(m.userSwitch);
        j["fault"] = Json::UInt(m.fault);
        j["user_states"] = BytesJson(m.userStates);
        modules.append(j);
    }
    rc["modules"] = modules;
    out["rc"] = rc;

    Json::Value dc(Json::arrayValue);
    for (const DcUnit& unit : s.dc) {
        Json::Value u(Json::objectValue);
        u["v"] = FloatJson(unit.v);
        u["i"] = FloatJson(unit.i);
        u["battery_i"] = FloatsJson(unit.batteryI);
        u["branch_i"] = FloatsJson(unit.branchI);
        u["user"] = FloatsJson(unit.user);
        u["v_state"] = Json::UInt(unit.vState);
        u["fuse_state"] = BytesJson(unit.fuseState);
        u["user_states"] = BytesJson(unit.userStates);
        dc.append(u);
    }
    out["dc"] = dc;

    Json::Value params(Json::objectValue);
    params["ac"] = FloatsJson(s.params.ac.data(), s.params.ac.size());
    params["ac_user"] = FloatsJson(s.params.acUser);
    params["dc"] = FloatsJson(s.params.dc.data(), s.params.dc.size());
    params["dc_user"] = FloatsJson(s.params.dcUser);
    out["params"] = params;
    return out;
}

bool SystemFromJson(const Json::Value& json, PowerSystem& s, std::string& error)
{
    if (!json.isObject()) {
        error = "(top level): expected an object";
        return false;
    }
    Reader r(error);
    PowerSystem next = s;
    for (const std::string& name : json.getMemberNames())
        if (!IsSystemKey(name)) return r.Fail(name, "unknown key");

    if (json.isMember("model")) {
        const Json::Value& m = json["model"];
        if (!m.isString()) return r.Fail("model", "expected a text");
        std::string model = m.asString();
        if (model.size() > kModelBytes) return r.Fail("model", "longer than 20 bytes");
        if (!IsUtf8(model)) return r.Fail("model", "not UTF-8 text; write other characters as \\u escapes");
        next.model = std::move(model);
    }
    r.Byte(json, "", "address", next.address);
    r.Byte(json, "", "version", next.version);
    r.List(json, "", "ac", next.ac,
           [&r](const Json::Value& e, const std::string& p, AcUnit& unit) { ReadAcUnit(r, e, p, unit); });
    if (json.isMember("rc") && r.Object(json["rc"], "rc", {"group_value", "modules"})) {
        r.Float(json["rc"], "rc", "group_value", next.rc.groupValue);
        r.List(json["rc"], "rc", "modules", next.rc.modules,
               [&r](const Json::Value& e, const std::string& p, RcModule& m) { ReadModule(r, e, p, m); });
    }
    r.List(json, "", "dc", next.dc,
           [&r](const Json::Value& e, const std::string& p, DcUnit& unit) { ReadDcUnit(r, e, p, unit); });
    if (json.isMember("params") && r.Object(json["params"], "params", {"ac", "ac_user", "dc", "dc_user"})) {
        const Json::Value& p = json["params"];
        r.FixedFloats(p, "params", "ac", next.params.ac);
        r.Floats(p, "params", "ac_user", next.params.acUser);
        r.FixedFloats(p, "params", "dc", next.params.dc);
        r.Floats(p, "params", "dc_user", next.params.dcUser);
    }
    if (!r.Ok()) return false;
    s = std::move(next);
    return true;
}

namespace {

using Step = FloatPath::Step;

bool ParsePath(const std::string& path, std::vector<Step>& steps, std::string& error)
{
    size_t k = 0;
    const size_t n = path.size();
    auto bad = [&](const char* what) {
        error = path + ": " + what;
        return false;
    };
    if (n == 0) return bad("empty path");
    while (k < n) {
        size_t start = k;
        while (k < n && (std::islower(static_cast<unsigned char>(path[k])) || path[k] == '_')) ++k;
        if (k == start) return bad("expected a key name");
        steps.push_back({path.substr(start, k - start), 0});
        while (k < n && path[k] == '[') {
            ++k;
            size_t digits = 0;
            size_t index = 0;
            while (k < n && std::isdigit(static_cast<unsigned char>(path[k])) && digits < 6) {
                index = index * 10 + static_cast<size_t>(path[k] - '0');
                ++k;
                ++digits;
            }
            if (digits == 0 || k >= n || path[k] != ']') return bad("expected an index like [0]");
            ++k;
            steps.push_back({"", index});
        }
        if (k < n) {
            if (path[k] != '.' || k + 1 == n) return bad("expected '.' between keys");
            ++k;
        }
    }
    if (!IsSystemKey(steps.front().key)) return bad("no such value");
    return true;
}

// The node at `path`, or nullptr with `error` set.
Json::Value* Find(Json::Value& root, const std::string& path, std::string& error)
{
    std::vector<Step> steps;
    if (!ParsePath(path, steps, error)) return nullptr;
    Json::Value* node = &root;
    for (const Step& step : steps) {
        if (!step.key.empty()) {
            if (!node->isObject() || !node->isMember(step.key)) {
                error = path + ": no such value";
                return nullptr;
            }
            node = &(*node)[step.key];
        } else {
            if (!node->isArray() || step.index >= node->size()) {
                error = path + ": no such element";
                return nullptr;
            }
            node = &(*node)[static_cast<Json::ArrayIndex>(step.index)];
        }
    }
    return node;
}

}  // namespace

bool ParseFloatPath(const std::string& path, FloatPath& out, std::string& error)
{
    std::vector<Step> steps;
    if (!ParsePath(path, steps, error)) return false;
    out.steps = std::move(steps);
    return true;
}

namespace {

// The float or byte a path names: a key names the field, an index the element.
struct Scalar {
    float* f = nullptr;
    uint8_t* b = nullptr;
};

class ScalarWalk {
public:
    explicit ScalarWalk(const std::vector<Step>& steps) : steps_(steps) {}

    Scalar System(PowerSystem& s)
    {
        if (Key("address")) return Byte(&s.address);
        if (Key("version")) return Byte(&s.version);
        if (Key("ac")) return Index(s.ac, [this](AcUnit& u) { return Ac(u); });
        if (Key("rc")) {
            if (Key("group_value")) return Float(&s.rc.groupValue);
            if (Key("modules")) return Index(s.rc.modules, [this](RcModule& m) { return Module(m); });
            return {};
        }
        if (Key("dc")) return Index(s.dc, [this](DcUnit& u) { return Dc(u); });
        if (Key("params")) {
            if (Key("ac")) return Floats(s.params.ac.data(), s.params.ac.size());
            if (Key("ac_user")) return Floats(s.params.acUser.data(), s.params.acUser.size());
            if (Key("dc")) return Floats(s.params.dc.data(), s.params.dc.size());
            if (Key("dc_user")) return Floats(s.params.dcUser.data(), s.params.dcUser.size());
        }
        return {};
    }

private:
    Scalar Ac(AcUnit& u)
    {
        if (Key("channels")) return Index(u.channels, [this](AcChannel& c) { return Channel(c); });
        if (Key("ia")) return Float(&u.ia);
        if (Key("ib")) return Float(&u.ib);
        if (Key("ic")) return Float(&u.ic);
        if (Key("airlock")) return Bytes(u.airlock.data(), u.airlock.size());
        if (Key("user_switch")) return Bytes(u.userSwitch.data(), u.userSwitch.size());
        if (Key("ia_state")) return Byte(&u.iaState);
        if (Key("ib_state")) return Byte(&u.ibState);
        if (Key("ic_state")) return Byte(&u.icState);
        return {};
    }
    Scalar Channel(AcChannel& c)
    {
        if (Key("a")) return Float(&c.a);
        if (Key("b")) return Float(&c.b);
        if (Key("c")) return Float(&c.c);
        if (Key("f")) return Float(&c.f);
        if (Key("user")) return Floats(c.user.data(), c.user.size());
        if (Key("a_state")) return Byte(&c.aState);
        if (Key("b_state")) return Byte(&c.bState);
        if (Key("c_state")) return Byte(&c.cState);
        if (Key("f_state")) return Byte(&c.fState);
        if (Key("extra_states")) return Bytes(c.extraStates.data(), c.extraStates.size());
        if (Key("user_states")) return Bytes(c.userStates.data(), c.userStates.size());
        return {};
    }
    Scalar Module(RcModule& m)
    {
        if (Key("value")) return Float(&m.value);
        if (Key("user")) return Floats(m.user.data(), m.user.size());
        if (Key("switch")) return Bytes(m.switchState.data(), m.switchState.size());
        if (Key("user_switch")) return Bytes(m.userSwitch.data(), m.userSwitch.size());
        if (Key("fault")) return Byte(&m.fault);
        if (Key("user_states")) return Bytes(m.userStates.data(), m.userStates.size());
        return {};
    }
    Scalar Dc(DcUnit& u)
    {
        if (Key("v")) return Float(&u.v);
        if (Key("i")) return Float(&u.i);
        if (Key("battery_i")) return Floats(u.batteryI.data(), u.batteryI.size());
        if (Key("branch_i")) return Floats(u.branchI.data(), u.branchI.size());
        if (Key("user")) return Floats(u.user.data(), u.user.size());
        if (Key("v_state")) return Byte(&u.vState);
        if (Key("fuse_state")) return Bytes(u.fuseState.data(), u.fuseState.size());
        if (Key("user_states")) return Bytes(u.userStates.data(), u.userStates.size());
        return {};
    }

    bool Key(const char* name)
    {
        if (at_ >= steps_.size() || steps_[at_].key.empty() || steps_[at_].key != name) return false;
        ++at_;
        return true;
    }
    bool IndexStep(size_t size, size_t& index)
    {
        if (at_ >= steps_.size() || !steps_[at_].key.empty() || steps_[at_].index >= size) return false;
        index = steps_[at_++].index;
        return true;
    }
    template <class T, class F>
    Scalar Index(std::vector<T>& items, F next)
    {
        size_t k;
        return IndexStep(items.size(), k) ? next(items[k]) : Scalar{};
    }
    Scalar Floats(float* values, size_t size)
    {
        size_t k;
        return IndexStep(size, k) ? Float(values + k) : Scalar{};
    }
    Scalar Bytes(uint8_t* values, size_t size)
    {
        size_t k;
        return IndexStep(size, k) ? Byte(values + k) : Scalar{};
    }
    // The path must end here.
    Scalar Float(float* value) const { return at_ == steps_.size() ? Scalar{value, nullptr} : Scalar{}; }
    Scalar Byte(uint8_t* value) const { return at_ == steps_.size() ? Scalar{nullptr, value} : Scalar{}; }

    const std::vector<Step>& steps_;
    size_t at_ = 0;
};

}  // namespace

float* FindFloat(PowerSystem& s, const FloatPath& path) { return ScalarWalk(path.steps).System(s).f; }

bool SetScalars(PowerSystem& s, const std::vector<FloatPath>& paths,
                const std::vector<std::pair<std::string, Json::Value>>& values)
{
    if (paths.size() != values.size()) return false;
    // Everything is converted first: either every value is set or none.
    std::string ignored;
    Reader r(ignored);
    std::vector<std::pair<Scalar, std::pair<float, uint8_t>>> ready;
    ready.reserve(paths.size());
    for (size_t k = 0; k < paths.size(); ++k) {
        const Scalar target = ScalarWalk(paths[k].steps).System(s);
        float f = 0;
        uint8_t b = 0;
        if (target.f != nullptr)
            r.FloatValue(values[k].second, values[k].first, f);
        else if (target.b != nullptr)
            r.ByteValue(values[k].second, values[k].first, b);
        else
            return false;
        if (!r.Ok()) return false;
        ready.push_back({target, {f, b}});
    }
    for (const auto& [target, value] : ready) {
        if (target.f != nullptr) *target.f = value.first;
        if (target.b != nullptr) *target.b = value.second;
    }
    return true;
}

bool GetValue(const PowerSystem& s, const std::string& path, Json::Value& value, std::string& error)
{
    Json::Value json = SystemToJson(s);
    const Json::Value* node = Find(json, path, error);
    if (node == nullptr) return false;
    value = *node;
    return true;
}

bool SetValues(PowerSystem& s, const std::vector<std::pair<std::string, Json::Value>>& values, std::string& error)
{
    Json::Value json = SystemToJson(s);
    for (const auto& [path, value] : values) {
        Json::Value* node = Find(json, path, error);
        if (node == nullptr) return false;
        *node = value;
    }
    return SystemFromJson(json, s, error);
}

bool SetValue(PowerSystem& s, const std::string& path, const Json::Value& value, std::string& error)
{
    return SetValues(s, {{path, value}}, error);
}

}  // namespace vx42b_sim
