// The reader's float reads against the byte images a reply may carry.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_reader.h"
#include "hex.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes BytesOfFloat(float v)
{
    Bytes out(4);
    std::memcpy(out.data(), &v, 4);
    return out;
}

TEST(ByteReader, FloatReadsCopyBytesOrStoreTheMissingValue)
{
    struct Case {
        const char* what;
        const char* input;
        bool orMissing;  // ReadFloatOr(-0.1) rather than ReadFloat
        bool ok;
        Bytes stored;  // the field's bytes afterwards; it starts as aa aa aa aa
    };
    const Bytes untouched = Hex("aa aa aa aa");
    const Case cases[] = {
        {"a value", "00 00 48 41", false, true, BytesOfFloat(12.5f)},
        {"a signalling NaN, bit for bit", "01 00 80 7f", false, true, Hex("01 00 80 7f")},
        {"the marker when no marker is known", "20 20 20 20", false, true, Hex("20 20 20 20")},
        {"the marker", "20 20 20 20", true, true, BytesOfFloat(-0.1f)},
        {"another marker", "ff ff ff ff", true, true, BytesOfFloat(-0.1f)},
        {"four zero bytes are 0.0", "00 00 00 00", true, true, Hex("00 00 00 00")},
        {"one byte differs", "20 20 20 21", true, true, Hex("20 20 20 21")},
        {"three bytes left", "00 00 48", false, false, untouched},
        {"three marker bytes left", "20 20 20", true, false, untouched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes input = Hex(c.input);
        ByteReader r(input.data(), static_cast<int>(input.size()));
        Bytes field = untouched;
        const bool ok = c.orMissing ? r.ReadFloatOr(field.data(), -0.1f) : r.ReadFloat(field.data());
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(field, c.stored);
        EXPECT_EQ(r.Position(), c.ok ? 4 : 0);
        EXPECT_EQ(r.Reached(), 4);
        EXPECT_EQ(r.Failed(), !c.ok);
    }
}

// Reads one after another over five bytes: each compares the count first, a
// failed read takes nothing, and once one fails every later one fails, even
// one that would fit, so a parser cannot go on past a gap.
TEST(ByteReader, ReadsInARowStopAtTheFirstThatDoesNotFit)
{
    struct Case {
        const char* what;
        std::vector<int> sizes;  // -1: Skip(-1)
        std::vector<bool> ok;
        int position, reached;
    };
    const Case cases[] = {
        {"all fit", {1, 4}, {true, true}, 5, 5},
        {"one byte short", {2, 4}, {true, false}, 2, 6},
        {"a smaller read after a failed one", {4, 2, 1}, {true, false, false}, 4, 6},
        {"nothing at all after a failure", {6, 0}, {false, false}, 0, 6},
        {"a negative count", {1, -1, 1}, {true, false, false}, 1, 1},
        {"zero bytes at the end", {5, 0}, {true, true}, 5, 5},
    };
    const Bytes input = Hex("01 02 03 04 05");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ByteReader r(input.data(), static_cast<int>(input.size()));
        std::vector<bool> ok;
        for (int n : c.sizes) {
            unsigned char out[8] = {};
            ok.push_back(n < 0 ? r.Skip(n) : r.Read(out, n));
        }
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(r.Position(), c.position);
        EXPECT_EQ(r.Reached(), c.reached);
        EXPECT_EQ(r.Remaining(), 5 - c.position);
    }
    // No data, or a negative length, is an empty section.
    for (int len : {-3, 0}) {
        ByteReader r(input.data(), len);
        unsigned char b = 0;
        EXPECT_FALSE(r.ReadU8(b));
        EXPECT_EQ(r.Length(), 0);
    }
    ByteReader none(nullptr, 5);
    EXPECT_EQ(none.Length(), 0);
    EXPECT_EQ(none.Peek(1), nullptr);
}

}  // namespace
