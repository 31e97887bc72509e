#include "record_decoder.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "byte_reader.h"
#include "json_line.h"

namespace vxpoll {

namespace {

using T = FieldType;

std::vector<RecordLayout> MakeLayouts()
{
    std::vector<RecordLayout> layouts;
    layouts.push_back(RecordLayout{5085, "vx42b-ac", 31,
                                   {
                                       {"data_id", 0, T::U32, 1, false},
                                       {"ia", 4, T::F32, 1, true},
                                       {"ib", 8, T::F32, 1, true},
                                       {"ic", 12, T::F32, 1, true},
                                       {"channel_count", 16, T::U8, 1, false},
                                       {"airlock_count", 17, T::U8, 1, false},
                                       {"p43_count", 18, T::U8, 1, false},
                                       {"user_p43", 19, T::U8, 2, false},
                                       {"ia_alert", 21, T::U8, 1, true},
                                       {"ib_alert", 22, T::U8, 1, true},
                                       {"ic_alert", 23, T::U8, 1, true},
                                       {"ttime", 24, T::Time, 1, false},
                                   },
                                   26, 16, "channels",
                                   {
                                       {"a", 0, T::F32, 1, true},
                                       {"b", 4, T::F32, 1, true},
                                       {"c", 8, T::F32, 1, true},
                                       {"f", 12, T::F32, 1, true},
                                       {"p41_count", 16, T::U8, 1, false},
                                       {"a_alert", 17, T::U8, 1, true},
                                       {"b_alert", 18, T::U8, 1, true},
                                       {"c_alert", 19, T::U8, 1, true},
                                       {"f_alert", 20, T::U8, 1, true},
                                       {"p44_count", 21, T::U8, 1, false},
                                       {"alert_p44", 22, T::U8, 4, false},
                                   }});
    layouts.push_back(RecordLayout{5087, "vx42b-dc", 101,
                                   {
                                       {"data_id", 0, T::U32, 1, false},
                                       {"v", 4, T::F32, 1, true},
                                       {"i", 8, T::F32, 1, true},
                                       {"dc_m", 12, T::U8, 1, false},
                                       {"battery_i", 13, T::F32, 2, true},
                                       {"dc_n", 21, T::U8, 1, false},
                                       {"p_count", 22, T::U8, 1, false},
                                       {"user_p", 23, T::F32, 8, false},
                                       {"dc_v_state", 55, T::U8, 1, true},
                                       {"fuse_count", 56, T::U8, 1, false},
                                       {"fuse_state", 57, T::U8, 10, true},
                                       {"alert_p_count", 67, T::U8, 1, false},
                                       {"alert_p", 68, T::U8, 26, false},
                                       {"ttime", 94, T::Time, 1, false},
                                   },
                                   0, -1, nullptr, {}});
    layouts.push_back(RecordLayout{5086, "vx42b-rc", 65,
                                   {
                                       {"data_id", 0, T::U32, 1, false},
                                       {"ac_param", 4, T::F32, 5, false},
                                       {"dc_param", 24, T::F32, 2, false},
                                       {"dc_p_count", 32, T::U8, 1, false},
                                       {"dc_user_p", 33, T::F32, 5, false},
                                       {"group_value", 53, T::F32, 1, true},
                                       {"channel_count", 57, T::U8, 1, true},
                                       {"ttime", 58, T::Time, 1, false},
                                   },
                                   38, 57, "modules",
                                   {
                                       {"module_value", 0, T::F32, 1, true},
                                       {"p41_count", 4, T::U8, 1, false},
                                       {"user_p41", 5, T::F32, 4, true},
                                       {"switch_state", 21, T::U8, 3, true},
                                       {"p43_count", 24, T::U8, 1, false},
                                       {"user_p43", 25, T::U8, 5, false},
                                       {"fault_state", 30, T::U8, 1, true},
                                       {"p44_count", 31, T::U8, 1, false},
                                       {"alert_p44", 32, T::U8, 6, true},
                                   }});
    return layouts;
}

std::vector<FieldLabel> MakeLabels()
{
    return {
        {5085, "ia", "Ia", "A"},
        {5085, "ib", "Ib", "A"},
        {5085, "ic", "Ic", "A"},
        {5085, "a", "AB/A", "V"},
        {5085, "b", "BC/B", "V"},
        {5085, "c", "CA/C", "V"},
        {5085, "f", "f", "Hz"},
        {5087, "v", "output", "V"},
        {5087, "i", "load", "A"},
        {5087, "battery_i", "battery", "A"},
        {5087, "dc_v_state", "voltage state", ""},
        {5087, "fuse_state", "fuses", ""},
        {5086, "group_value", "output", "V"},
        {5086, "channel_count", "modules", ""},
        {5086, "module_value", "output", "A"},
        {5086, "user_p41", "user values", ""},
        {5086, "fault_state", "fault", ""},
    };
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

bool ReadBlock(ByteReader& reader, int blockStart, const std::vector<FieldSpec>& fields, Json::Value& out)
{
    out = Json::Value(Json::objectValue);
    for (const FieldSpec& field : fields) {
        const int gap = blockStart + field.offset - reader.Position();
        if (gap < 0 || !reader.Skip(gap)) return false;
        if (field.count == 1) {
            if (!ReadElement(reader, field.type, out[field.name])) return false;
            continue;
        }
        Json::Value list(Json::arrayValue);
        for (int k = 0; k < field.count; ++k) {
            Json::Value element;
            if (!ReadElement(reader, field.type, element)) return false;
            list.append(element);
        }
        out[field.name] = list;
    }
    return true;
}

}  // namespace

int FieldWidth(const FieldSpec& field)
{
    switch (field.type) {
    case T::U8: return field.count;
    case T::U32:
    case T::F32: return 4 * field.count;
    case T::Time: return 7;
    }
    return 0;
}

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
        error = "image of " + std::to_string(size) + " bytes is shorter than the " +
                std::to_string(layout->headSize) + "-byte record";
        return false;
    }
    size_t items = 0;
    if (layout->itemSize > 0) items = data[layout->countOffset];
    const size_t expected = static_cast<size_t>(layout->headSize) + items * static_cast<size_t>(layout->itemSize);
    if (size != expected) {
        error = "image of " + std::to_string(size) + " bytes, expected " + std::to_string(expected);
        if (layout->itemSize > 0)
            error += " for " + std::to_string(items) + " " + layout->itemsName;
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
            list.append(item);
        }
        out[layout->itemsName] = list;
    }
    fields.swap(out);
    return true;
}

}  // namespace vxpoll
