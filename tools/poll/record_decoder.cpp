#include "record_decoder.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "byte_reader.h"
#include "json_line.h"
#include "vx42b_record_fields.h"

namespace vxpoll {

namespace {

using T = FieldType;

std::vector<FieldSpec> Fields(const FieldSpec* fields, int count)
{
    if (fields == nullptr) return {};
    return std::vector<FieldSpec>(fields, fields + count);
}

std::vector<RecordLayout> MakeLayouts()
{
    std::vector<RecordLayout> layouts;
    for (const RecordSpec& r : vx42b_fields::kRecords)
        layouts.push_back(RecordLayout{r.recordType, r.deviceType, r.headSize, Fields(r.head, r.headFields), r.itemSize,
                                       r.countOffset, r.itemsName, Fields(r.items, r.itemFields)});
    return layouts;
}

const char* DeviceClass(const char* unit)
{
    if (std::strcmp(unit, "V") == 0) return "voltage";
    if (std::strcmp(unit, "A") == 0) return "current";
    if (std::strcmp(unit, "Hz") == 0) return "frequency";
    return "";
}

// The fields that have a short label.
std::vector<FieldLabel> MakeLabels()
{
    std::vector<FieldLabel> labels;
    for (const RecordSpec& r : vx42b_fields::kRecords)
        for (const auto& block : {std::make_pair(r.head, r.headFields), std::make_pair(r.items, r.itemFields)})
            for (int k = 0; k < block.second; ++k) {
                const FieldSpec& f = block.first[k];
                if (*f.abbrev != '\0')
                    labels.push_back({r.recordType, f.name, f.abbrev, f.label, f.unit, DeviceClass(f.unit)});
            }
    return labels;
}

// The host's 7-byte stamp: year (big-endian), month, day, hour, minute, second.
Json::Value TimeJson(const unsigned char* b)
{
    bool zero = true;
    for (int k = 0; k < 7; ++k) zero = zero && b[k] == 0;
    if (zero) return Json::Value();
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", (unsigned{b[0]} << 8) | b[1], unsigned{b[2]},
                  unsigned{b[3]}, unsigned{b[4]}, unsigned{b[5]}, unsigned{b[6]});
    return Json::Value(text);
}

bool ReadElement(ByteReader& reader, FieldType type, Json::Value& out)
{
    switch (type) {
    case T::U8: {
        unsigned char v = 0;
        if (!reader.ReadU8(v)) return false;
        out = Json::Value(static_cast<Json::UInt>(v));
        return true;
    }
    case T::U32: {
        unsigned char b[4];
        if (!reader.Read(b, 4)) return false;
        const uint32_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
        out = Json::Value(static_cast<Json::UInt>(v));
        return true;
    }
    case T::F32: {
        unsigned char b[4];
        if (!reader.Read(b, 4)) return false;
        static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "IEEE-754 single precision");
        float v;
        std::memcpy(&v, b, 4);
        out = FloatJson(v);
        return true;
    }
    case T::Time: {
        unsigned char b[7];
        if (!reader.Read(b, 7)) return false;
        out = TimeJson(b);
        return true;
    }
    }
    return false;
}

// Field names are literals of the records' descriptions: the decoded trees
// point to them (StaticString) rather than copying a name per field and round.
bool ReadBlock(ByteReader& reader, int blockStart, const std::vector<FieldSpec>& fields, Json::Value& out)
{
    out = Json::Value(Json::objectValue);
    for (const FieldSpec& field : fields) {
        const int gap = blockStart + field.offset - reader.Position();
        if (gap < 0 || !reader.Skip(gap)) return false;
        if (field.count == 1) {
            if (!ReadElement(reader, field.type, out[Json::StaticString(field.name)])) return false;
            continue;
        }
        Json::Value list(Json::arrayValue);
        for (int k = 0; k < field.count; ++k) {
            Json::Value element;
            if (!ReadElement(reader, field.type, element)) return false;
            list.append(std::move(element));
        }
        out[Json::StaticString(field.name)] = std::move(list);
    }
    return true;
}

}  // namespace

const std::vector<RecordLayout>& RecordLayouts()
{
    static const std::vector<RecordLayout> layouts = MakeLayouts();
    return layouts;
}

const std::vector<FieldLabel>& FieldLabels()
{
    static const std::vector<FieldLabel> labels = MakeLabels();
    return labels;
}

const FieldLabel* FindFieldLabel(int recordType, const std::string& field)
{
    for (const FieldLabel& label : FieldLabels())
        if (label.recordType == recordType && field == label.field) return &label;
    return nullptr;
}

const RecordLayout* FindLayout(int recordType)
{
    for (const RecordLayout& layout : RecordLayouts())
        if (layout.recordType == recordType) return &layout;
    return nullptr;
}

int RecordTypeOf(const std::string& deviceType)
{
    for (const RecordLayout& layout : RecordLayouts())
        if (deviceType == layout.deviceType) return layout.recordType;
    return 0;
}

bool DecodeRecord(int recordType, const unsigned char* data, size_t size, Json::Value& fields, std::string& error)
{
    const RecordLayout* layout = FindLayout(recordType);
    if (layout == nullptr) {
        error = "unknown record type " + std::to_string(recordType);
        return false;
    }
    if (data == nullptr || size < static_cast<size_t>(layout->headSize)) {
        error = "image of " + std::to_string(size) + " bytes is shorter than the " + std::to_string(layout->headSize) +
                "-byte record";
        return false;
    }
    size_t items = 0;
    if (layout->itemSize > 0) items = data[layout->countOffset];
    const size_t expected = static_cast<size_t>(layout->headSize) + items * static_cast<size_t>(layout->itemSize);
    if (size != expected) {
        error = "image of " + std::to_string(size) + " bytes, expected " + std::to_string(expected);
        if (layout->itemSize > 0) error += " for " + std::to_string(items) + " " + layout->itemsName;
        return false;
    }
    ByteReader reader(data, static_cast<int>(size));
    Json::Value out;
    if (!ReadBlock(reader, 0, layout->head, out)) {
        error = "record cut short";
        return false;
    }
    if (layout->itemSize > 0) {
        Json::Value list(Json::arrayValue);
        for (size_t k = 0; k < items; ++k) {
            Json::Value item;
            if (!ReadBlock(reader, layout->headSize + static_cast<int>(k) * layout->itemSize, layout->items, item)) {
                error = "record cut short";
                return false;
            }
            list.append(std::move(item));
        }
        out[Json::StaticString(layout->itemsName)] = std::move(list);
    }
    fields.swap(out);
    return true;
}

}  // namespace vxpoll
