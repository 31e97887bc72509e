#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include <json/value.h>

#include "record_fields.h"

// Field-by-field reading of the images the sub-devices publish (record types
// 5085 AC, 5087 DC, 5086 rectifier). The tables are built from the records'
// own descriptions (vx42b_record_fields.h), so they follow the structs.
namespace vxpoll {

using ::FieldSpec;
using ::FieldType;
using ::FieldWidth;

struct RecordLayout {
    int recordType;
    const char* deviceType;
    int headSize;
    std::vector<FieldSpec> head;
    // Repeated blocks (AC channels, rectifier modules) after the head; their
    // number is the head byte at countOffset. itemSize 0: none.
    int itemSize;
    int countOffset;
    const char* itemsName;
    std::vector<FieldSpec> items;
};

const std::vector<RecordLayout>& RecordLayouts();
const RecordLayout* FindLayout(int recordType);
// The record type a device type publishes, or 0.
int RecordTypeOf(const std::string& deviceType);

// How a person reads a field: a short label (the live screen), a longer one
// (the page, the metrics), its unit and Home Assistant's device class ("" for
// states, counts and user-defined values), for the fields whose description
// has a short label. One table for every record type and every output, built
// from the records' field descriptions; item fields (AC channels, rectifier
// modules) are named as in their block.
struct FieldLabel {
    int recordType;
    const char* field;
    const char* shortLabel;
    const char* label;
    const char* unit;         // "V", "A", "Hz" or ""
    const char* deviceClass;  // "voltage", "current", "frequency" or ""
};
const std::vector<FieldLabel>& FieldLabels();
// The label of a field, or null.
const FieldLabel* FindFieldLabel(int recordType, const std::string& field);

// Decodes an image into {field: value, ..., itemsName: [{...}, ...]}.
// False (with the reason) for an unknown record type or a size that does not
// fit the layout; nothing is read past size.
bool DecodeRecord(int recordType, const unsigned char* data, size_t size, Json::Value& fields, std::string& error);

}  // namespace vxpoll
