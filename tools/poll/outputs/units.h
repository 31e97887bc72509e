#pragma once
#include <string>

// What a decoded field measures, for the page, the metrics and Home
// Assistant, from the record decoder's label table (FieldLabels(), built from
// the records' field descriptions). Empty unit: a state, a count or a value of
// unknown meaning.
namespace vxpoll {

struct FieldUnit {
    const char* unit;         // "V", "A", "Hz" or ""
    const char* deviceClass;  // Home Assistant's "voltage", "current", "frequency" or ""
    const char* label;        // a short human name
};

// field is the decoded name ("v", "battery_i", "a"); item fields go by their
// own name, as in the channel or module objects.
FieldUnit UnitOf(const std::string& deviceType, const std::string& field);

}  // namespace vxpoll
