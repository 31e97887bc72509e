#include "units.h"

#include <cstring>

#include "vx42b_record_fields.h"

namespace vxpoll {

namespace {

const char* DeviceClass(const char* unit)
{
    if (std::strcmp(unit, "V") == 0) return "voltage";
    if (std::strcmp(unit, "A") == 0) return "current";
    if (std::strcmp(unit, "Hz") == 0) return "frequency";
    return "";
}

}  // namespace

FieldUnit UnitOf(const std::string& deviceType, const std::string& field)
{
    for (const RecordSpec& r : vx42b_fields::kRecords) {
        if (deviceType != r.deviceType) continue;
        for (const auto& block : {std::make_pair(r.head, r.headFields), std::make_pair(r.items, r.itemFields)})
            for (int k = 0; k < block.second; ++k)
                if (field == block.first[k].name)
                    return FieldUnit{block.first[k].unit, DeviceClass(block.first[k].unit), block.first[k].label};
    }
    return FieldUnit{"", "", ""};
}

}  // namespace vxpoll
