// Four equal bytes mean "no value" in the fields that know the marker; one
// differing byte, wherever it sits, makes an ordinary value.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BAC.h"
#include "VX42BDC.h"
#include "VX42BRC.h"
#include "hex.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The four bytes of a packed float member: by address, since a reference to
// an unaligned member is undefined.
Bytes BytesOf(const void* field)
{
    Bytes out(4);
    std::memcpy(out.data(), field, 4);
    return out;
}

struct Field {
    const char* name;
    // Parses a section with `value` in the field and returns the stored bytes.
    Bytes (*parse)(const Bytes& value);
    const char* marker;  // what the field stores for the marker
    bool zeroIsMarker;   // four zero bytes count as equal bytes too
};

template <class D>
std::shared_ptr<D> Make()
{
    auto d = std::make_shared<D>();
    d->SetController(std::make_shared<RecordingController>());
    d->InitV(nullptr, 1, Json::Value());
    return d;
}

template <class D, class Parser>
int Parse(D& d, Parser parser, const Bytes& section)
{
    ::testing::internal::CaptureStdout();
    const int r = (d.*parser)(section.data(), static_cast<int>(section.size()));
    ::testing::internal::GetCapturedStdout();
    return r;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One channel, no user-defined floats: a b c f, P, ia ib ic.
Bytes AcSection(const Bytes& a, const Bytes& ia)
{
    return Hex("01") + a + Hex("00004843 00004843 00004842 00") + ia + Hex("0000803f 0000803f");
}

const Field kFields[] = {
    {"AC channel voltage",
     [](const Bytes& v) {
         auto d = Make<VX42BAC>();
         const Bytes s = AcSection(v, Hex("0000803f"));
         EXPECT_EQ(Parse(*d, &VX42BAC::parse40_41, s), static_cast<int>(s.size()));
         return BytesOf(&d->channels.at(0).a);
     },
     "00000000", false},
    {"AC phase current",
     [](const Bytes& v) {
         auto d = Make<VX42BAC>();
         const Bytes s = AcSection(Hex("00005c43"), v);
         EXPECT_EQ(Parse(*d, &VX42BAC::parse40_41, s), static_cast<int>(s.size()));
         return BytesOf(&d->tele.ia);
     },
     "cdccccbd", false},
    {"DC user-defined value",
     [](const Bytes& v) {
         auto d = Make<VX42BDC>();
         const Bytes s = Hex("00005842 00002041 00 00 01") + v;
         EXPECT_EQ(Parse(*d, &VX42BDC::parse42_41, s), static_cast<int>(s.size()));
         return BytesOf(&d->tele.user_p[0]);
     },
     "cdccccbd", false},
    {"rectifier user-defined value",
     [](const Bytes& v) {
         auto d = Make<VX42BRC>();
         const Bytes s = Hex("00 0000c842 01 00002041 04") + Hex("0000803f") + v + Hex("00000040 00004040");
         EXPECT_EQ(Parse(*d, &VX42BRC::parse41_41, s), static_cast<int>(s.size()));
         return BytesOf(&d->channels.at(0).user_p41[1]);
     },
     "00000000", true},
};

TEST(NoValueMarker, EveryByteTakesPart)
{
    const struct {
        const char* value;
        bool equal;  // four equal bytes
    } values[] = {
        {"20202020", true},  {"ffffffff", true},  {"01010101", true},  {"21202020", false},
        {"20212020", false}, {"20202120", false}, {"20202021", false}, {"00000000", true},
        {"00000020", false}, {"20000000", false}, {"0000803f", false},
    };
    for (const Field& f : kFields) {
        for (const auto& v : values) {
            SCOPED_TRACE(std::string(f.name) + " " + v.value);
            const bool zero = std::string(v.value) == "00000000";
            const bool marker = v.equal && (!zero || f.zeroIsMarker);
            EXPECT_EQ(f.parse(Hex(v.value)), Hex(marker ? f.marker : v.value));
        }
    }
}

}  // namespace
