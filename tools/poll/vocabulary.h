#pragma once
#include <string>
#include <vector>

#include "rule_value.h"

// What people read: one vocabulary for the screen, the plain view, the page,
// the metrics and Home Assistant. Field labels and units come from the
// records' own descriptions; this adds what each field is for people (a
// measurement, a state, a setting, or a count that only sizes the record),
// where it sits (channel, module, battery, ...), its metric, and the alarm
// names. Nothing here changes what the plug-in hands to its host.
namespace vxpoll {

enum class Lang { En, Zh };
// "en" or "zh"; false for anything else.
bool ParseLang(const std::string& text, Lang& lang);

enum class FieldKind {
    Measurement,  // a measured value
    State,        // a state code; its meaning goes with the metric's help
    Setting,      // a parameter of the system, shown apart from measurements
    Count,        // how many elements the system announced: sizes the record, never shown
    Meta,         // data id, time stamp
};
const char* KindName(FieldKind kind);  // "measurement", "state", "setting", "count", "meta"

// One field of one record type, for people.
struct FieldWords {
    int recordType = 0;
    const char* field = "";
    FieldKind kind = FieldKind::Meta;
    const char* label = "";   // "output voltage" (from the record description)
    const char* abbrev = "";  // "Ia", for a narrow screen; may be empty
    const char* unit = "";    // "V", "A", "Hz" or ""
    int decimals = 0;         // the precision the value deserves
    // Each array element is one of these, numbered from 1: "phase", "battery",
    // "fuse", "index"; "" for a scalar.
    const char* element = "";
    // 'a', 'b', 'c' for a field of one phase (Ia, voltage AB/A, ...); 0 otherwise.
    char phase = 0;
    // The count field that says how many elements hold data; "" when all do.
    const char* countedBy = "";
    // Prometheus: the metric's name (base unit in it) and its help; "" for
    // fields that are not exported (counts, meta).
    const char* metric = "";
    const char* help = "";
    // Home Assistant: device class ("voltage", "current", "frequency", "") and
    // whether the entity is diagnostic (settings).
    const char* deviceClass = "";
};

// Every described field of every record type, in record order.
const std::vector<FieldWords>& AllFieldWords();
// The words for a field, or null; item fields (channel, module) go by their own name.
const FieldWords* FindFieldWords(int recordType, const std::string& field);
// What an item of a record type is called: "channel" (AC), "module" (rectifiers), "" (none).
const char* ItemName(int recordType);
// A unit of the cabinet for people: "AC 11", "DC 21", "rectifiers", "system".
std::string UnitTitle(const std::string& deviceType, unsigned dataId);
// A label value for Prometheus: lower case, '_' for anything but letters and digits.
std::string SnakeCase(const std::string& text);
// "53.50 V": the precision the field deserves, with its unit; "-" for no number.
std::string FormatValue(const FieldWords& words, double value);

// ---- alarms ----

// Where an alarm is: each fuse, module and channel phase is its own item.
enum class ItemKind { None, Channel, ChannelPhase, Phase, Fuse, Module };

// One row of the alarm name table: the rule as the plug-in states it (key,
// code, and its own name for reference) and its English name.
struct AlarmName {
    const char* key;
    const char* code;
    const char* deviceName;  // the plug-in's name of the rule, for reference and the coverage test
    const char* english;
    ItemKind item;
    bool numberInName;  // the item's number is in the rule's name, not its text
    char phase;         // 'A', 'B', 'C' for a phase rule; 0 otherwise
};
const std::vector<AlarmName>& AlarmNames();
const AlarmName* FindAlarmName(const std::string& key, const std::string& code);

struct AlarmWords {
    std::string title;    // in the chosen language: the English name, or the device's text
    std::string item;     // "fuse 4", "channel 1 phase B", "module 2"; "" for the whole unit
    std::string itemId;   // "fuse_4", "channel_1_phase_b", "module_2"; ""
    std::string english;  // the English name, always
};
AlarmWords DescribeAlarm(const rule_value& rule, Lang lang);
AlarmWords DescribeAlarm(const std::string& key, const std::string& code, const std::string& name,
                         const std::string& text, Lang lang);
// One line: "Battery fuse fault, fuse 4" or, in Chinese, the device's text (and name).
std::string AlarmLine(const AlarmWords& words);

}  // namespace vxpoll
