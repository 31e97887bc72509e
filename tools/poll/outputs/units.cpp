#include "units.h"

namespace vxpoll {

namespace {

struct Entry {
    const char* deviceType;
    const char* field;
    FieldUnit unit;
};

// The rectifier analog reply leads with the output voltage and gives one
// output current per module, as every YD/T 1363.3 rectifier group does.
const Entry kUnits[] = {
    {"vx42b-ac", "ia", {"A", "current", "phase A current"}},
    {"vx42b-ac", "ib", {"A", "current", "phase B current"}},
    {"vx42b-ac", "ic", {"A", "current", "phase C current"}},
    {"vx42b-ac", "a", {"V", "voltage", "voltage A/AB"}},
    {"vx42b-ac", "b", {"V", "voltage", "voltage B/BC"}},
    {"vx42b-ac", "c", {"V", "voltage", "voltage C/CA"}},
    {"vx42b-ac", "f", {"Hz", "frequency", "frequency"}},
    {"vx42b-dc", "v", {"V", "voltage", "output voltage"}},
    {"vx42b-dc", "i", {"A", "current", "output current"}},
    {"vx42b-dc", "battery_i", {"A", "current", "battery current"}},
    {"vx42b-rc", "group_value", {"V", "voltage", "output voltage"}},
    {"vx42b-rc", "module_value", {"A", "current", "module current"}},
};

}  // namespace

FieldUnit UnitOf(const std::string& deviceType, const std::string& field)
{
    for (const Entry& e : kUnits)
        if (deviceType == e.deviceType && field == e.field) return e.unit;
    return FieldUnit{"", "", ""};
}

}  // namespace vxpoll
