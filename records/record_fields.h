#pragma once
#include <cstddef>

// Field-by-field descriptions of the packed records, for readers outside the
// plug-in: the poller's decoder, its screens and exports, and the layout
// tables in docs/host-integration.md (checked against these by a test). Offsets and widths
// come from the structs through VX42B_RECORD_FIELD, and a description must
// tile its struct (FieldsTile), so it cannot drift from the record: a member
// added, removed, resized or moved without its description fails to compile.
// Header-only constexpr data; the plug-in does not include it.

enum class FieldType { U8, U32, F32, Time };

constexpr int ElementWidth(FieldType type) { return type == FieldType::U8 ? 1 : type == FieldType::Time ? 7 : 4; }

struct FieldSpec {
    const char* name;  // the member's name; the key in decoded output
    int offset;
    FieldType type;
    int count;           // elements: 1 is a scalar, more an array
    bool brief;          // shown in one-line listings
    const char* label;   // for people, e.g. "phase A input current"
    const char* abbrev;  // for a narrow screen beside its unit's heading, e.g. "Ia"; "": none
    const char* unit;    // "V", "A", "Hz", or "" where the value has none or it is not known
};

// The byte image of one record type: a head record, then itemCount items of
// one kind (AC channels, rectifier modules) whose number is the head byte at
// countOffset.
struct RecordSpec {
    int recordType;
    const char* deviceType;
    const char* headStruct;
    int headSize;
    const FieldSpec* head;
    int headFields;
    const char* itemStruct;  // nullptr: no items
    int itemSize;
    int countOffset;
    const char* itemsName;  // key of the item list in decoded output
    const FieldSpec* items;
    int itemFields;
};

namespace record_fields_detail {

template <std::size_t Bytes, FieldType Type>
constexpr FieldSpec Describe(const char* name, std::size_t offset, bool brief, const char* label, const char* abbrev,
                             const char* unit)
{
    static_assert(Bytes > 0 && Bytes % ElementWidth(Type) == 0, "member size is not a whole number of elements");
    return FieldSpec{
        name, static_cast<int>(offset), Type, static_cast<int>(Bytes / ElementWidth(Type)), brief, label, abbrev, unit};
}

}  // namespace record_fields_detail

// FieldSpec of Record::member read as elements of TYPE (a FieldType enumerator).
#define VX42B_RECORD_FIELD(Record, member, TYPE, brief, label, abbrev, unit)                                          \
    record_fields_detail::Describe<sizeof(Record::member), FieldType::TYPE>(#member, offsetof(Record, member), brief, \
                                                                            label, abbrev, unit)

// True when the fields, in order, cover bytes 0 to size - 1 once each.
template <std::size_t N>
constexpr bool FieldsTile(const FieldSpec (&fields)[N], std::size_t size)
{
    std::size_t next = 0;
    for (const FieldSpec& field : fields) {
        if (field.offset < 0 || static_cast<std::size_t>(field.offset) != next) return false;
        next += static_cast<std::size_t>(ElementWidth(field.type) * field.count);
    }
    return next == size;
}

constexpr int FieldWidth(const FieldSpec& field) { return ElementWidth(field.type) * field.count; }
