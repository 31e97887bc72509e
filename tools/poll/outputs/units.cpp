#include "units.h"

#include "record_decoder.h"

namespace vxpoll {

FieldUnit UnitOf(const std::string& deviceType, const std::string& field)
{
    const FieldLabel* label = FindFieldLabel(RecordTypeOf(deviceType), field);
    if (label == nullptr) return FieldUnit{"", "", ""};
    return FieldUnit{label->unit, label->deviceClass, label->label};
}

}  // namespace vxpoll
