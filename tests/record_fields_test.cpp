// The records' field descriptions against what people read: the host guide's
// layout tables and the labels and units consumers show.
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vx42b_record_fields.h"

namespace {

std::vector<std::string> GuideLines()
{
    std::ifstream in(VX42B_LAYOUTS);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(' ');
    const size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> Cells(const std::string& row)
{
    std::vector<std::string> cells;
    std::stringstream in(row.substr(1));
    for (std::string cell; std::getline(in, cell, '|');) cells.push_back(Trim(cell));
    return cells;
}

// How the guide writes a field's type: "u8", "f32", "5 × f32", "ttime".
std::string TypeText(const FieldSpec& f)
{
    const char* element = f.type == FieldType::U8    ? "u8"
                          : f.type == FieldType::U32 ? "u32"
                          : f.type == FieldType::F32 ? "f32"
                                                     : "ttime";
    return f.count == 1 ? element : std::to_string(f.count) + " × " + element;
}

// The table under the heading that names the struct and its size; every row
// is offset, width, type, field, meaning.
void ExpectTable(const std::vector<std::string>& guide, const char* structName, int size, const FieldSpec* fields,
                 int count)
{
    SCOPED_TRACE(structName);
    const std::string heading = std::string("`") + structName + "` (" + std::to_string(size) + " bytes)";
    size_t at = 0;
    while (at < guide.size() && !(guide[at].rfind("####", 0) == 0 && guide[at].find(heading) != std::string::npos))
        ++at;
    ASSERT_LT(at, guide.size()) << "no heading with " << heading;
    while (at < guide.size() && guide[at].rfind("|", 0) != 0) ++at;
    at += 2;  // header and rule
    int row = 0;
    for (; at < guide.size() && guide[at].rfind("|", 0) == 0; ++at, ++row) {
        const std::vector<std::string> cells = Cells(guide[at]);
        ASSERT_GE(cells.size(), 5u) << guide[at];
        ASSERT_LT(row, count) << "extra row " << guide[at];
        const FieldSpec& f = fields[row];
        EXPECT_EQ(cells[0], std::to_string(f.offset)) << f.name;
        EXPECT_EQ(cells[1], std::to_string(FieldWidth(f))) << f.name;
        EXPECT_EQ(cells[2], TypeText(f)) << f.name;
        EXPECT_EQ(cells[3], std::string("`") + f.name + "`");
    }
    EXPECT_EQ(row, count);
}

bool GuideHas(const std::vector<std::string>& guide, const std::string& text)
{
    for (const std::string& line : guide)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(RecordFields, LayoutTablesFollowTheStructs)
{
    const std::vector<std::string> guide = GuideLines();
    ASSERT_FALSE(guide.empty()) << VX42B_LAYOUTS;
    for (const RecordSpec& r : vx42b_fields::kRecords) {
        SCOPED_TRACE(r.recordType);
        EXPECT_TRUE(GuideHas(guide, "record type " + std::to_string(r.recordType)));
        ExpectTable(guide, r.headStruct, r.headSize, r.head, r.headFields);
        if (r.itemStruct == nullptr) continue;
        ExpectTable(guide, r.itemStruct, r.itemSize, r.items, r.itemFields);
        EXPECT_TRUE(
            GuideHas(guide, "length = " + std::to_string(r.headSize) + " + " + std::to_string(r.itemSize) + " × N"));
        EXPECT_TRUE(GuideHas(guide, "(byte " + std::to_string(r.countOffset) + ")"));
    }
}

TEST(RecordFields, EveryFieldIsNamedForPeople)
{
    const std::set<std::string> units = {"", "V", "A", "Hz"};
    for (const RecordSpec& r : vx42b_fields::kRecords) {
        for (const auto& block : {std::make_pair(r.head, r.headFields), std::make_pair(r.items, r.itemFields)}) {
            std::set<std::string> names;
            for (int k = 0; k < block.second; ++k) {
                const FieldSpec& f = block.first[k];
                SCOPED_TRACE(f.name);
                EXPECT_TRUE(names.insert(f.name).second) << "name used twice";
                EXPECT_GT(std::strlen(f.label), 0u);
                EXPECT_EQ(units.count(f.unit), 1u) << f.unit;
                // Only measured floats carry a unit.
                EXPECT_TRUE(*f.unit == '\0' || f.type == FieldType::F32);
            }
        }
    }
}

}  // namespace
