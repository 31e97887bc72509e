#include "page_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "record_decoder.h"
#include "vocabulary.h"

namespace vxpoll {

namespace {

constexpr int kAc = 5085;

enum class Kind {
    Hidden,       // the data id, the stamp, counts that only size the record
    Measurement,  // a value with (or without known) unit
    State,        // an alarm or fault state in words, or status codes
    Setting,      // parameters the system is set to
    Other,        // user-defined values and bytes of no known meaning
};

bool EndsWith(const std::string& s, const char* tail)
{
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool StartsWith(const std::string& s, const char* head) { return s.rfind(head, 0) == 0; }

// The vocabulary's part for the field; values the system defines for itself
// are folded apart on the page.
Kind KindOf(int recordType, const FieldSpec& f)
{
    const FieldWords* w = FindFieldWords(recordType, f.name);
    if (w == nullptr) return Kind::Hidden;
    switch (w->kind) {
    case FieldKind::Meta:
    case FieldKind::Count: return Kind::Hidden;
    case FieldKind::Setting: return Kind::Setting;
    case FieldKind::State:
    case FieldKind::Measurement: break;
    }
    if (StartsWith(f.label, "user-defined")) return Kind::Other;
    return w->kind == FieldKind::State ? Kind::State : Kind::Measurement;
}

// The measurement a state field judges ("a_alert" judges "a"); empty for none.
std::string JudgedField(const std::string& name)
{
    if (name == "dc_v_state") return "v";
    if (EndsWith(name, "_alert")) return name.substr(0, name.size() - 6);
    return {};
}

std::string Capitalised(std::string text)
{
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

// The precision the vocabulary gives a value with a unit; those without one
// (settings, values the system defines) as they come, to two places.
int Decimals(int recordType, const char* field)
{
    const FieldWords* w = FindFieldWords(recordType, field);
    return w != nullptr && *w->unit != '\0' ? w->decimals : -1;
}

// The plug-in's mark for "no value" in float fields.
bool NoValue(const Json::Value& v) { return v.isDouble() && static_cast<float>(v.asDouble()) == -0.1f; }

std::string ValueText(const Json::Value& v, int recordType, const FieldSpec& f)
{
    const char* unit = f.unit;
    if (!v.isNumeric()) return "–";
    if (NoValue(v)) return "no value";
    std::string text = FormatNumber(v.asDouble(), Decimals(recordType, f.name));
    if (*unit != '\0') text += std::string(" ") + unit;
    return text;
}

struct Judgement {
    std::string word;
    bool alert = false;
};

Judgement Judge(int recordType, const std::string& field, const Json::Value& v)
{
    if (!v.isNumeric()) return {"–", false};
    const unsigned code = v.asUInt();
    if (field == "fault_state")
        return code == 0   ? Judgement{"ok", false}
               : code == 1 ? Judgement{"fault", true}
                           : Judgement{"code " + std::to_string(code), true};
    if (field == "fuse_state") return code == 3 ? Judgement{"fault", true} : Judgement{"ok", false};
    // Any other output-voltage state raises nothing.
    if (field == "dc_v_state" && code != 1 && code != 2) return {"normal", false};
    switch (code) {
    case 0: return {"normal", false};
    case 1: return {"low", true};
    case 2: return {"high", true};
    case 3: return {recordType == kAc ? "lost" : "fault", true};
    }
    return {"code " + std::to_string(code), true};
}

const FieldSpec* Find(const std::vector<FieldSpec>& fields, const std::string& name)
{
    for (const FieldSpec& f : fields)
        if (name == f.name) return &f;
    return nullptr;
}

// Elements worth showing: an array is cut to the count the system announced for it.
Json::ArrayIndex Shown(int recordType, const FieldSpec& f, const Json::Value& object)
{
    const Json::Value& v = object[f.name];
    Json::ArrayIndex n = v.isArray() ? v.size() : 0;
    const FieldWords* w = FindFieldWords(recordType, f.name);
    if (w != nullptr && *w->countedBy != '\0') {
        const Json::Value& count = object[w->countedBy];
        n = std::min<Json::ArrayIndex>(n, count.isUInt() ? count.asUInt() : 0);
    }
    return n;
}

std::string Codes(const Json::Value& v, Json::ArrayIndex n, int recordType, const FieldSpec& f, const char* unit)
{
    std::string text;
    for (Json::ArrayIndex k = 0; k < n; ++k) {
        if (!text.empty()) text += ", ";
        text +=
            v[k].isNumeric() ? FormatNumber(v[k].asDouble(), *unit != '\0' ? Decimals(recordType, f.name) : -1) : "–";
    }
    if (text.empty()) return "none";
    if (*unit != '\0') text += std::string(" ") + unit;
    return text;
}

Json::Value Row(const std::string& field, const std::string& label, const std::string& text, bool alert)
{
    Json::Value row(Json::objectValue);
    row["field"] = field;
    row["label"] = label;
    row["text"] = text;
    row["alert"] = alert;
    return row;
}

// A state array in one line: "10, all ok" or "10, fault: 4".
std::string StateSummary(int recordType, const FieldSpec& f, const Json::Value& v, Json::ArrayIndex n, bool& alert)
{
    std::string faults;
    for (Json::ArrayIndex k = 0; k < n; ++k) {
        const Judgement j = Judge(recordType, f.name, v[k]);
        if (j.alert)
            faults += (faults.empty() ? "" : ", ") + std::to_string(k + 1) + (j.word == "fault" ? "" : " " + j.word);
    }
    alert = !faults.empty();
    if (n == 0) return "none reported";
    return std::to_string(n) + ", " + (faults.empty() ? "all ok" : "fault: " + faults);
}

// The rows of one block (the head, or one channel or module) into the sections.
// prefix names the item in rows that leave the item table ("Module 2 ").
void BlockRows(int recordType, const std::vector<FieldSpec>& fields, const Json::Value& object,
               const std::string& prefix, Json::Value& values, Json::Value& settings, Json::Value& other)
{
    for (const FieldSpec& f : fields) {
        const Kind kind = KindOf(recordType, f);
        if (kind == Kind::Hidden || !object.isMember(f.name)) continue;
        const Json::Value& v = object[f.name];
        const std::string label = prefix.empty() ? Capitalised(f.label) : prefix + f.label;
        if (kind == Kind::Setting || kind == Kind::Other) {
            const std::string text = f.count == 1 ? ValueText(v, recordType, f)
                                                  : Codes(v, Shown(recordType, f, object), recordType, f, f.unit);
            (kind == Kind::Setting ? settings : other).append(Row(f.name, label, text, false));
            continue;
        }
        if (kind == Kind::State) {
            const std::string judged = JudgedField(f.name);
            if (!judged.empty() && Find(fields, judged) != nullptr) continue;  // told with its measurement
            if (f.count > 1) {
                bool alert = false;
                const std::string text = EndsWith(f.label, "status")
                                             ? Codes(v, Shown(recordType, f, object), recordType, f, "")
                                             : StateSummary(recordType, f, v, Shown(recordType, f, object), alert);
                values.append(Row(f.name, label, text, alert));
            } else {
                const Judgement j = Judge(recordType, f.name, v);
                values.append(Row(f.name, label, j.word, j.alert));
            }
            continue;
        }
        // A measurement, with the state that judges it.
        Judgement state;
        for (const FieldSpec& g : fields)
            if (KindOf(recordType, g) == Kind::State && JudgedField(g.name) == f.name && f.count == 1)
                state = Judge(recordType, g.name, object[g.name]);
        if (f.count == 1) {
            std::string text = ValueText(v, recordType, f);
            if (state.alert) text += " (" + state.word + ")";
            values.append(Row(f.name, label, text, state.alert));
            continue;
        }
        const Json::ArrayIndex n = Shown(recordType, f, object);
        for (Json::ArrayIndex k = 0; k < n; ++k)
            values.append(Row(f.name, label + " " + std::to_string(k + 1), ValueText(v[k], recordType, f), false));
    }
}

}  // namespace

std::string FormatNumber(double v, int decimals)
{
    if (!std::isfinite(v)) return "–";
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals < 0 ? 2 : decimals, v);
    std::string out = text;
    if (decimals < 0 && out.find('.') != std::string::npos) {
        while (out.back() == '0') out.pop_back();
        if (out.back() == '.') out.pop_back();
    }
    if (out[0] == '-' && out.find_first_not_of("-0.") == std::string::npos) out.erase(0, 1);  // no "-0.00"
    return out;
}

std::string DeviceTitle(const std::string& deviceType, uint32_t dataId)
{
    return Capitalised(UnitTitle(deviceType, dataId));
}

Json::Value DeviceView(const DeviceState& device)
{
    Json::Value view(Json::objectValue);
    view["title"] = DeviceTitle(device.type, device.dataId);
    Json::Value values(Json::arrayValue), settings(Json::arrayValue), other(Json::arrayValue);
    const RecordLayout* layout = FindLayout(device.recordType);
    if (layout != nullptr && device.fields.isObject()) {
        BlockRows(layout->recordType, layout->head, device.fields, "", values, settings, other);
        const Json::Value& items =
            layout->itemsName != nullptr ? device.fields[layout->itemsName] : Json::Value::nullSingleton();
        if (items.isArray()) {
            std::string itemName = layout->itemsName;
            if (!itemName.empty() && itemName.back() == 's') itemName.pop_back();
            Json::Value table(Json::objectValue);
            table["title"] = Capitalised(layout->itemsName);
            table["item"] = Capitalised(itemName);
            Json::Value columns(Json::arrayValue);
            bool first = true;
            Json::Value rows(Json::arrayValue);
            for (Json::ArrayIndex k = 0; k < items.size(); ++k) {
                const std::string number = std::to_string(k + 1);
                Json::Value cells(Json::arrayValue);
                BlockRows(layout->recordType, layout->items, items[k], Capitalised(itemName) + " " + number + " ",
                          cells, settings, other);
                // Item rows carry the item's name; the table's columns do not.
                for (Json::Value& cell : cells) {
                    if (first) {
                        Json::Value column(Json::objectValue);
                        column["field"] = cell["field"];
                        const FieldSpec* described = Find(layout->items, cell["field"].asString());
                        column["label"] = described != nullptr ? Capitalised(described->label) : cell["field"];
                        columns.append(column);
                    }
                    cell.removeMember("label");
                }
                first = false;
                Json::Value row(Json::objectValue);
                row["label"] = number;
                row["cells"] = cells;
                rows.append(row);
            }
            table["columns"] = columns;
            table["rows"] = rows;
            view["items"] = table;
        }
    }
    view["values"] = values;
    view["settings"] = settings;
    view["other"] = other;
    return view;
}

void AddAlarmWords(Json::Value& alarm, const DeviceState& device, const PresentAlarm& a, Lang lang)
{
    alarm["source"] = DeviceTitle(device.type, device.dataId);
    const AlarmWords words = DescribeAlarm(a.key, a.code, a.name, a.text, lang);
    alarm["title"] = words.title;
}

}  // namespace vxpoll
