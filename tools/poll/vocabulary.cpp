#include "vocabulary.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "vx42b_record_fields.h"

namespace vxpoll {

namespace {

using K = FieldKind;

// What the record descriptions do not say: the field's part for people and
// its metric. Labels and units come from the descriptions.
struct FieldRole {
    int recordType;
    const char* field;
    FieldKind kind;
    int decimals;
    const char* element;
    const char* countedBy;
    const char* metric;
    const char* help;
};

constexpr int kAc = kRecordTypeAc;
constexpr int kDc = kRecordTypeDc;
constexpr int kRc = kRecordTypeRectifier;

const FieldRole kRoles[] = {
    // AC distribution unit
    {kAc, "data_id", K::Meta, 0, "", "", "", ""},
    {kAc, "ia", K::Measurement, 1, "", "", "vx42b_ac_input_current_amperes", "AC input current of a phase."},
    {kAc, "ib", K::Measurement, 1, "", "", "vx42b_ac_input_current_amperes", "AC input current of a phase."},
    {kAc, "ic", K::Measurement, 1, "", "", "vx42b_ac_input_current_amperes", "AC input current of a phase."},
    {kAc, "channel_count", K::Count, 0, "", "", "", ""},
    {kAc, "airlock_count", K::Count, 0, "", "", "", ""},
    {kAc, "p43_count", K::Count, 0, "", "", "", ""},
    {kAc, "user_p43", K::State, 0, "index", "p43_count", "vx42b_ac_user_switch_state",
     "User-defined switch status byte of an AC unit, as the system reports it."},
    {kAc, "ia_alert", K::State, 0, "", "", "vx42b_ac_input_current_alarm_state",
     "AC input current alarm state of a phase: 0 normal, 1 below the lower limit, 2 above the upper limit, 3 "
     "missing."},
    {kAc, "ib_alert", K::State, 0, "", "", "vx42b_ac_input_current_alarm_state",
     "AC input current alarm state of a phase: 0 normal, 1 below the lower limit, 2 above the upper limit, 3 "
     "missing."},
    {kAc, "ic_alert", K::State, 0, "", "", "vx42b_ac_input_current_alarm_state",
     "AC input current alarm state of a phase: 0 normal, 1 below the lower limit, 2 above the upper limit, 3 "
     "missing."},
    {kAc, "ttime", K::Meta, 0, "", "", "", ""},
    // AC input channel
    {kAc, "a", K::Measurement, 1, "", "", "vx42b_ac_phase_voltage_volts",
     "AC input line/phase voltage of a channel (phase a: AB/A, b: BC/B, c: CA/C)."},
    {kAc, "b", K::Measurement, 1, "", "", "vx42b_ac_phase_voltage_volts",
     "AC input line/phase voltage of a channel (phase a: AB/A, b: BC/B, c: CA/C)."},
    {kAc, "c", K::Measurement, 1, "", "", "vx42b_ac_phase_voltage_volts",
     "AC input line/phase voltage of a channel (phase a: AB/A, b: BC/B, c: CA/C)."},
    {kAc, "f", K::Measurement, 2, "", "", "vx42b_ac_frequency_hertz", "AC input frequency of a channel."},
    {kAc, "p41_count", K::Count, 0, "", "", "", ""},
    {kAc, "a_alert", K::State, 0, "", "", "vx42b_ac_voltage_alarm_state",
     "AC input voltage alarm state of a channel phase: 0 normal, 1 low, 2 high, 3 phase lost."},
    {kAc, "b_alert", K::State, 0, "", "", "vx42b_ac_voltage_alarm_state",
     "AC input voltage alarm state of a channel phase: 0 normal, 1 low, 2 high, 3 phase lost."},
    {kAc, "c_alert", K::State, 0, "", "", "vx42b_ac_voltage_alarm_state",
     "AC input voltage alarm state of a channel phase: 0 normal, 1 low, 2 high, 3 phase lost."},
    {kAc, "f_alert", K::State, 0, "", "", "vx42b_ac_frequency_alarm_state",
     "AC input frequency alarm state of a channel: 0 normal, 1 low, 2 high."},
    {kAc, "p44_count", K::Count, 0, "", "", "", ""},
    {kAc, "alert_p44", K::State, 0, "index", "p44_count", "vx42b_ac_user_alarm_state",
     "User-defined alarm state byte of an AC channel (1 breaker tripped at 5, 2 output breaker at 5, 3 surge "
     "protector at 5, 4 mains failure at 0xE1=225)."},
    // DC distribution unit
    {kDc, "data_id", K::Meta, 0, "", "", "", ""},
    {kDc, "v", K::Measurement, 2, "", "", "vx42b_dc_output_voltage_volts", "DC output voltage."},
    {kDc, "i", K::Measurement, 2, "", "", "vx42b_dc_load_current_amperes", "DC load current."},
    {kDc, "dc_m", K::Count, 0, "", "", "", ""},
    {kDc, "battery_i", K::Measurement, 2, "battery", "dc_m", "vx42b_battery_current_amperes",
     "Current of a battery group (positive: charging)."},
    {kDc, "dc_n", K::Count, 0, "", "", "", ""},
    {kDc, "p_count", K::Count, 0, "", "", "", ""},
    {kDc, "user_p", K::Measurement, 2, "index", "p_count", "vx42b_dc_user_value",
     "User-defined analog value of a DC unit, unit as the system defines it."},
    {kDc, "dc_v_state", K::State, 0, "", "", "vx42b_dc_output_voltage_state",
     "DC output voltage state: 0 normal, 1 low, 2 high."},
    {kDc, "fuse_count", K::Count, 0, "", "", "", ""},
    {kDc, "fuse_state", K::State, 0, "fuse", "fuse_count", "vx42b_battery_fuse_state",
     "Battery fuse state: 0 normal, 3 fault."},
    {kDc, "alert_p_count", K::Count, 0, "", "", "", ""},
    {kDc, "alert_p", K::State, 0, "index", "alert_p_count", "vx42b_dc_user_alarm_state",
     "User-defined alarm state byte of a DC unit, as the system reports it."},
    {kDc, "ttime", K::Meta, 0, "", "", "", ""},
    // Rectifier group
    {kRc, "data_id", K::Meta, 0, "", "", "", ""},
    {kRc, "ac_param", K::Setting, 2, "index", "", "vx42b_ac_distribution_parameter",
     "AC distribution parameter as the system reports it (a setting)."},
    {kRc, "dc_param", K::Setting, 2, "index", "", "vx42b_dc_distribution_parameter",
     "DC distribution parameter as the system reports it (a setting)."},
    {kRc, "dc_p_count", K::Count, 0, "", "", "", ""},
    {kRc, "dc_user_p", K::Setting, 2, "index", "dc_p_count", "vx42b_dc_user_parameter",
     "User-defined DC distribution parameter (a setting)."},
    {kRc, "group_value", K::Measurement, 2, "", "", "vx42b_rectifier_output_voltage_volts",
     "Output voltage of the rectifier group."},
    {kRc, "channel_count", K::Count, 0, "", "", "", ""},
    {kRc, "ttime", K::Meta, 0, "", "", "", ""},
    // Rectifier module
    {kRc, "module_value", K::Measurement, 2, "", "", "vx42b_rectifier_output_current_amperes",
     "Output current of a rectifier module."},
    {kRc, "p41_count", K::Count, 0, "", "", "", ""},
    {kRc, "user_p41", K::Measurement, 2, "index", "p41_count", "vx42b_rectifier_user_value",
     "User-defined analog value of a rectifier module, unit as the system defines it."},
    {kRc, "switch_state", K::State, 0, "index", "", "vx42b_rectifier_switch_state",
     "Switch status byte of a rectifier module, as the system reports it."},
    {kRc, "p43_count", K::Count, 0, "", "", "", ""},
    {kRc, "user_p43", K::State, 0, "index", "p43_count", "vx42b_rectifier_user_switch_state",
     "User-defined switch status byte of a rectifier module."},
    {kRc, "fault_state", K::State, 0, "", "", "vx42b_rectifier_fault_state",
     "Rectifier module fault state: 0 normal, 1 fault."},
    {kRc, "p44_count", K::Count, 0, "", "", "", ""},
    {kRc, "alert_p44", K::State, 0, "index", "p44_count", "vx42b_rectifier_user_alarm_state",
     "User-defined alarm state byte of a rectifier module (1 fault, 2 fan, 3 over-temperature, 4 power limited, 5 "
     "AC input failure, at 1; 6 communication lost at 0xE2=226)."},
};

const char* DeviceClassOf(const char* unit)
{
    if (std::strcmp(unit, "V") == 0) return "voltage";
    if (std::strcmp(unit, "A") == 0) return "current";
    if (std::strcmp(unit, "Hz") == 0) return "frequency";
    return "";
}

const FieldRole* FindRole(int recordType, const char* field)
{
    for (const FieldRole& role : kRoles)
        if (role.recordType == recordType && std::strcmp(role.field, field) == 0) return &role;
    return nullptr;
}

std::vector<FieldWords> MakeWords()
{
    std::vector<FieldWords> out;
    for (const RecordSpec& r : vx42b_fields::kRecords)
        for (const auto& block : {std::make_pair(r.head, r.headFields), std::make_pair(r.items, r.itemFields)})
            for (int k = 0; k < block.second; ++k) {
                const FieldSpec& f = block.first[k];
                FieldWords w;
                w.recordType = r.recordType;
                w.field = f.name;
                w.label = f.label;
                w.abbrev = f.abbrev;
                w.unit = f.unit;
                w.deviceClass = DeviceClassOf(f.unit);
                // A field without a role (a new member) is still shown, as a plain value.
                const FieldRole* role = FindRole(r.recordType, f.name);
                if (role == nullptr) {
                    w.kind = f.type == FieldType::Time ? FieldKind::Meta : FieldKind::Measurement;
                    w.decimals = f.type == FieldType::F32 ? 2 : 0;
                    w.element = f.count > 1 ? "index" : "";
                } else {
                    w.kind = role->kind;
                    w.decimals = role->decimals;
                    w.element = role->element;
                    w.countedBy = role->countedBy;
                    w.metric = role->metric;
                    w.help = role->help;
                }
                // Ia, Ib, Ic and their states; the channel voltages a, b, c and theirs.
                const std::string name = f.name;
                const std::string base = name.size() > 6 && name.compare(name.size() - 6, 6, "_alert") == 0
                                             ? name.substr(0, name.size() - 6)
                                             : name;
                if (r.recordType == kAc &&
                    (base == "a" || base == "b" || base == "c" || base == "ia" || base == "ib" || base == "ic"))
                    w.phase = base.back();
                out.push_back(w);
            }
    return out;
}

// ---- alarms ----

using I = ItemKind;

// Every rule the plug-in states, keyed by rule key and code, with the
// plug-in's own name beside the English one.
const AlarmName kAlarmNames[] = {
    // AC channels: the channel's number leads the rule's text ("交流屏1...").
    {"AC_0", "06015", "交流输入电压过低告警", "AC input voltage low", I::ChannelPhase, false, 'A'},
    {"AC_1", "06015", "交流输入电压过低告警", "AC input voltage low", I::ChannelPhase, false, 'B'},
    {"AC_2", "06015", "交流输入电压过低告警", "AC input voltage low", I::ChannelPhase, false, 'C'},
    {"AC_3", "06019", "交流输入频率过低告警", "AC input frequency low", I::Channel, false, 0},
    {"AC_4", "06014", "交流输入电压过高告警", "AC input voltage high", I::ChannelPhase, false, 'A'},
    {"AC_5", "06014", "交流输入电压过高告警", "AC input voltage high", I::ChannelPhase, false, 'B'},
    {"AC_6", "06014", "交流输入电压过高告警", "AC input voltage high", I::ChannelPhase, false, 'C'},
    {"AC_7", "06018", "交流输入频率过高告警", "AC input frequency high", I::Channel, false, 0},
    {"AC_8", "06017", "交流输入缺相告警", "AC input phase lost", I::ChannelPhase, false, 'A'},
    {"AC_9", "06017", "交流输入缺相告警", "AC input phase lost", I::ChannelPhase, false, 'B'},
    {"AC_10", "06017", "交流输入缺相告警", "AC input phase lost", I::ChannelPhase, false, 'C'},
    // AC unit: input currents by phase.
    {"AC_12", "06029", "A相输入电流低于下限", "AC input current below the lower limit", I::Phase, false, 'A'},
    {"AC_13", "06029", "B相输入电流低于下限", "AC input current below the lower limit", I::Phase, false, 'B'},
    {"AC_14", "06029", "C相输入电流低于下限", "AC input current below the lower limit", I::Phase, false, 'C'},
    {"AC_15", "06029", "A相输入电流高于上限", "AC input current above the upper limit", I::Phase, false, 'A'},
    {"AC_16", "06029", "B相输入电流高于上限", "AC input current above the upper limit", I::Phase, false, 'B'},
    {"AC_17", "06029", "C相输入电流高于上限", "AC input current above the upper limit", I::Phase, false, 'C'},
    {"AC_18", "06029", "A相输入电流缺项", "AC input current missing", I::Phase, false, 'A'},
    {"AC_19", "06029", "B相输入电流缺项", "AC input current missing", I::Phase, false, 'B'},
    {"AC_20", "06029", "C相输入电流缺项", "AC input current missing", I::Phase, false, 'C'},
    // AC channels, the model's own alarm bytes: the channel's number is in the name ("第1...").
    {"VX42B_AC_0", "06013", "输入告警", "AC input breaker tripped", I::Channel, true, 0},
    {"VX42B_AC_1", "06029", "其他告警", "AC output breaker alarm", I::Channel, true, 0},
    {"VX42B_AC_2", "06022", "输入告警", "Surge protector fault", I::Channel, true, 0},
    {"VX42B_AC_3", "06016", "输入告警", "AC input 1 mains failure", I::Channel, true, 0},
    // DC unit
    {"DC_0", "06008", "输出电压过低告警", "DC output voltage low", I::None, false, 0},
    {"DC_1", "06009", "输出电压过高告警", "DC output voltage high", I::None, false, 0},
    {"DC_3", "06001", "电池熔丝故障告警", "Battery fuse fault", I::Fuse, false, 0},
    {"VX42B_DC_0", "06007", "负载熔丝故障告警", "Load fuse 1 fault", I::None, false, 0},
    {"VX42B_DC_1", "06007", "负载熔丝故障告警", "Load fuse 2 fault", I::None, false, 0},
    {"VX42B_DC_2", "06007", "负载熔丝故障告警", "Load fuse 3 fault", I::None, false, 0},
    {"VX42B_DC_3", "06007", "负载熔丝故障告警", "Load fuse 4 fault", I::None, false, 0},
    {"VX42B_DC_4", "06002", "电池充电过流告警", "Battery 1 charge over-current", I::None, false, 0},
    {"VX42B_DC_5", "06002", "电池充电过流告警", "Battery 2 charge over-current", I::None, false, 0},
    {"VX42B_DC_6", "06029", "电池保护", "Battery protection", I::None, false, 0},
    {"VX42B_DC_7", "06029", "负载下电", "Load disconnected", I::None, false, 0},
    {"VX42B_DC_8", "06029", "电池房1温度告警状态", "Battery room 1 temperature alarm", I::None, false, 0},
    {"VX42B_DC_9", "06029", "电池房2温度告警状态", "Battery room 2 temperature alarm", I::None, false, 0},
    {"VX42B_DC_10", "06029", "环境1温度告警状态", "Ambient 1 temperature alarm", I::None, false, 0},
    {"VX42B_DC_11", "06029", "环境2温度告警状态", "Ambient 2 temperature alarm", I::None, false, 0},
    {"VX42B_DC_12", "06029", "DC/DC故障", "DC/DC converter fault", I::None, false, 0},
    {"VX42B_DC_13", "06005", "电池供电告警", "Running on battery", I::None, false, 0},
    {"VX42B_DC_14", "06004", "电池放电不平衡告警", "Battery discharge unbalanced", I::None, false, 0},
    {"VX42B_DC_17", "06029", "直流电压差别大", "DC voltage difference large", I::None, false, 0},
    // Rectifier modules: the module's number is in the rule's text ("模块2...", "第2模块...").
    {"RC_0", "06024", "整流模块故障告警", "Rectifier module fault", I::Module, false, 0},
    {"VX42B_RC_0", "06024", "整流模块故障告警", "Rectifier module fault state", I::Module, false, 0},
    {"VX42B_RC_1", "06025", "整流模块风扇告警", "Rectifier module fan alarm", I::Module, false, 0},
    {"VX42B_RC_2", "06027", "整流模块温度过高告警", "Rectifier module over-temperature", I::Module, false, 0},
    {"VX42B_RC_3", "06029", "整流模块模块限功率", "Rectifier module power limited", I::Module, false, 0},
    {"VX42B_RC_4", "06016", "交流输入停电告警", "Rectifier module AC input failure", I::Module, false, 0},
    {"VX42B_RC_5", "06028", "整流模块通信状态告警", "Rectifier module communication lost", I::Module, false, 0},
    // The main device
    {"device_model", "70319", "设备配置检测", "Unsupported power system model", I::None, false, 0},
};

// The first run of ASCII digits in text, or "".
std::string FirstNumber(const std::string& text)
{
    size_t at = 0;
    while (at < text.size() && !std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    size_t end = at;
    while (end < text.size() && end - at < 6 && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return text.substr(at, end - at);
}

}  // namespace

bool ParseLang(const std::string& text, Lang& lang)
{
    if (text == "en") {
        lang = Lang::En;
        return true;
    }
    if (text == "zh") {
        lang = Lang::Zh;
        return true;
    }
    return false;
}

const char* KindName(FieldKind kind)
{
    switch (kind) {
    case K::Measurement: return "measurement";
    case K::State: return "state";
    case K::Setting: return "setting";
    case K::Count: return "count";
    case K::Meta: return "meta";
    }
    return "meta";
}

const std::vector<FieldWords>& AllFieldWords()
{
    static const std::vector<FieldWords> words = MakeWords();
    return words;
}

const FieldWords* FindFieldWords(int recordType, const std::string& field)
{
    for (const FieldWords& w : AllFieldWords())
        if (w.recordType == recordType && field == w.field) return &w;
    return nullptr;
}

const char* ItemName(int recordType)
{
    if (recordType == kAc) return "channel";
    if (recordType == kRc) return "module";
    return "";
}

std::string UnitTitle(const std::string& deviceType, unsigned dataId)
{
    if (deviceType == "vx42b-ac") return "AC " + std::to_string(dataId);
    if (deviceType == "vx42b-dc") return "DC " + std::to_string(dataId);
    if (deviceType == "vx42b-rc") return "rectifiers";
    if (deviceType == "vx42b") return "system";
    return deviceType + " " + std::to_string(dataId);
}

std::string SnakeCase(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u))
            out.push_back(static_cast<char>(std::tolower(u)));
        else if (!out.empty() && out.back() != '_')
            out.push_back('_');
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

std::string FormatValue(const FieldWords& words, double value)
{
    if (!std::isfinite(value)) return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", words.decimals, value);
    std::string out = text;
    if (*words.unit != '\0') out += std::string(" ") + words.unit;
    return out;
}

const std::vector<AlarmName>& AlarmNames()
{
    static const std::vector<AlarmName> names(std::begin(kAlarmNames), std::end(kAlarmNames));
    return names;
}

const AlarmName* FindAlarmName(const std::string& key, const std::string& code)
{
    for (const AlarmName& a : kAlarmNames)
        if (key == a.key && code == a.code) return &a;
    return nullptr;
}

AlarmWords DescribeAlarm(const rule_value& rule, Lang lang)
{
    return DescribeAlarm(rule.key, rule.code, rule.name, rule.text, lang);
}

AlarmWords DescribeAlarm(const std::string& key, const std::string& code, const std::string& name,
                         const std::string& text, Lang lang)
{
    AlarmWords words;
    const AlarmName* known = FindAlarmName(key, code);
    // The device's words: its text, and its name where that says more.
    std::string own = text;
    if (!name.empty() && name != text) own = own.empty() ? name : name + " " + text;
    if (known == nullptr) {
        words.english = own;
        words.title = own;
        return words;
    }
    words.english = known->english;
    words.title = lang == Lang::En ? words.english : own;
    const std::string number = FirstNumber(known->numberInName ? name : text);
    std::string item, id;
    switch (known->item) {
    case I::None: break;
    case I::Channel:
    case I::ChannelPhase:
        if (!number.empty()) {
            item = "channel " + number;
            id = "channel_" + number;
        }
        if (known->item == I::ChannelPhase) {
            item += std::string(item.empty() ? "" : " ") + "phase " + known->phase;
            id += std::string(id.empty() ? "" : "_") + "phase_" +
                  static_cast<char>(std::tolower(static_cast<unsigned char>(known->phase)));
        }
        break;
    case I::Phase:
        item = std::string("phase ") + known->phase;
        id = std::string("phase_") + static_cast<char>(std::tolower(static_cast<unsigned char>(known->phase)));
        break;
    case I::Fuse:
    case I::Module: {
        const char* what = known->item == I::Fuse ? "fuse" : "module";
        if (!number.empty()) {
            item = std::string(what) + " " + number;
            id = std::string(what) + "_" + number;
        }
        break;
    }
    }
    words.item = item;
    words.itemId = id;
    return words;
}

std::string AlarmLine(const AlarmWords& words)
{
    // The device's own text already names the item.
    if (words.item.empty() || words.title != words.english) return words.title;
    return words.title + ", " + words.item;
}

}  // namespace vxpoll
