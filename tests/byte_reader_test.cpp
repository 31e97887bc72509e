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

}  // namespace
