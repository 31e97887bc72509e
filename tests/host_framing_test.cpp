#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "yd1363.h"

namespace {

using yd1363::Error;

// Frames worked out by hand: sum the ASCII codes from VER to the end of
// INFO, negate mod 65536.
TEST(Yd1363Encode, MatchesHandComputedFrames)
{
    const unsigned char group = 0xFF;
    const unsigned char zero = 0x00;
    EXPECT_EQ(yd1363::Encode(0x20, 0x01, 0x40, 0x51, nullptr, 0), "~200140510000FDB3\r");
    EXPECT_EQ(yd1363::Encode(0x20, 0x01, 0x40, 0x43, &zero, 1), "~20014043E00200FD3B\r");
    EXPECT_EQ(yd1363::Encode(0x20, 0x01, 0x40, 0x41, &group, 1), "~20014041E002FFFD11\r");
}

TEST(Yd1363Encode, LengthChecksumCoversTheThreeNibbles)
{
    EXPECT_EQ(yd1363::LengthField(0x000), 0x0000);
    EXPECT_EQ(yd1363::LengthField(0x002), 0xE002);
    EXPECT_EQ(yd1363::LengthField(0x012), 0xD012);
    EXPECT_EQ(yd1363::LengthField(0xFFF), 0x3FFF);
}

TEST(Yd1363Encode, RefusesInfoBeyondTwelveBitLength)
{
    std::vector<unsigned char> info(yd1363::kMaxInfoBytes + 1);
    EXPECT_EQ(yd1363::Encode(0x20, 1, 0x40, 0x41, info.data(), info.size()), "");
    EXPECT_FALSE(yd1363::Encode(0x20, 1, 0x40, 0x41, info.data(), yd1363::kMaxInfoBytes).empty());
}

std::string BodyOf(const std::string& frame) { return frame.substr(1, frame.size() - 2); }

TEST(Yd1363Decode, DecodesReplyIntoRecord)
{
    // VER 21, ADR 03, CID1 42, RTN 00, LENID 4, INFO 11 A0, checked by hand: sum 0x336 -> FCCA.
    const std::string body = "21034200C00411A0FCCA";
    unsigned char record[yd1363::kRecordSize] = {};
    ASSERT_EQ(yd1363::Decode(body.data(), body.size(), record), Error::None);
    const unsigned char expect[] = {0x21, 0x03, 0x42, 0x00, 0x04, 0x00, 0x11, 0xA0};
    EXPECT_EQ(std::memcmp(record, expect, sizeof expect), 0);
}

TEST(Yd1363Decode, RefusesDamagedFrames)
{
    struct Case {
        const char* body;
        Error error;
    } cases[] = {
        {"21034200C00411A0FCCA", Error::None},           {"21034200C00411A0FCCB", Error::BadChecksum},
        {"21034200C00411B0FCCA", Error::BadChecksum},    {"21034200F00411A0FCAC", Error::BadLengthChecksum},
        {"21034200A00611A0FCCA", Error::LengthMismatch}, {"21034200C00411G0FCCA", Error::BadHex},
        {"2103420~C00411A0FCCA", Error::BadHex},         {"2103420", Error::TooShort},
        {"21034200D0031ABFCE9", Error::OddLength},
    };
    for (const Case& c : cases) {
        unsigned char record[yd1363::kRecordSize] = {};
        EXPECT_EQ(yd1363::Decode(c.body, std::strlen(c.body), record), c.error) << c.body;
    }
}

TEST(Yd1363Decode, AcceptsLowerCaseHexWithItsOwnChecksum)
{
    // Same frame with lower-case digits: the checksum covers the characters as sent.
    std::string body = "21034200c00411a0";
    unsigned sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    char chk[5];
    std::snprintf(chk, sizeof chk, "%04X", (~sum + 1) & 0xFFFF);
    body += chk;
    unsigned char record[yd1363::kRecordSize] = {};
    EXPECT_EQ(yd1363::Decode(body.data(), body.size(), record), Error::None);
    EXPECT_EQ(record[7], 0xA0);
}

TEST(Yd1363Decode, LargestInfoFillsRecordExactly)
{
    std::vector<unsigned char> info(yd1363::kMaxInfoBytes, 0x5A);
    const std::string frame = yd1363::Encode(0x20, 1, 0x41, 0x00, info.data(), info.size());
    const std::string body = BodyOf(frame);
    std::vector<unsigned char> record(yd1363::kRecordSize);
    ASSERT_EQ(yd1363::Decode(body.data(), body.size(), record.data()), Error::None);
    EXPECT_EQ(record[yd1363::kRecordHeader + yd1363::kMaxInfoBytes - 1], 0x5A);
}

struct Fed {
    std::vector<std::string> frames;
    std::vector<Error> faults;
};

Fed Feed(yd1363::Reassembler& r, const std::string& bytes)
{
    Fed out;
    yd1363::Reassembler::Event e{};
    for (unsigned char b : bytes) {
        if (!r.Feed(b, e)) continue;
        if (e.kind == yd1363::Reassembler::Event::Frame)
            out.frames.push_back(r.Body());
        else
            out.faults.push_back(e.error);
    }
    return out;
}

TEST(Yd1363Reassembler, SplitsAndJoinsChunks)
{
    const std::string a = "~200140510000FDB3\r";
    const std::string b = "~20014043E00200FD3B\r";
    yd1363::Reassembler r;
    // One byte at a time.
    std::vector<std::string> got;
    for (char c : a + b) {
        auto f = Feed(r, std::string(1, c));
        got.insert(got.end(), f.frames.begin(), f.frames.end());
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], BodyOf(a));
    EXPECT_EQ(got[1], BodyOf(b));
    // Noise before SOI, two frames in one chunk.
    auto f = Feed(r, "\x00\xff garbage\r" + a + b);
    EXPECT_EQ(f.frames, (std::vector<std::string>{BodyOf(a), BodyOf(b)}));
    EXPECT_TRUE(f.faults.empty());
}

TEST(Yd1363Reassembler, NewSoiCutsOffFrameInProgress)
{
    yd1363::Reassembler r;
    auto f = Feed(r, "~2001405~200140510000FDB3\r");
    EXPECT_EQ(f.faults, (std::vector<Error>{Error::Interrupted}));
    EXPECT_EQ(f.frames, (std::vector<std::string>{"200140510000FDB3"}));
}

// Chunks are taken a run at a time: the same frames and faults, in the same
// order, as byte by byte, wherever the chunks are cut.
TEST(Yd1363Reassembler, RunsGiveWhatSingleBytesGive)
{
    const std::string frame = "~200140510000FDB3\r";
    const std::string streams[] = {
        "\x00\xff noise\r" + frame + frame,
        "~2001405~" + frame.substr(1) + "~20\r\r",
        "~" + std::string(yd1363::kMaxBodyChars, '0') + "1\r" + frame,
        "~" + std::string(yd1363::kMaxBodyChars, '0') + "~" + frame.substr(1),
        "~" + std::string(yd1363::kMaxBodyChars, '0') + "\r",
    };
    for (const std::string& stream : streams) {
        yd1363::Reassembler single;
        const Fed want = Feed(single, stream);
        for (size_t cut : {size_t{1}, size_t{3}, size_t{17}, stream.size()}) {
            SCOPED_TRACE(cut);
            yd1363::Reassembler r;
            Fed got;
            const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
            for (size_t at = 0; at < stream.size(); at += cut) {
                const size_t end = std::min(stream.size(), at + cut);
                for (size_t k = at; k < end;) {
                    yd1363::Reassembler::Event e{};
                    bool done = false;
                    k += r.Feed(bytes + k, end - k, e, done);
                    if (!done) continue;
                    if (e.kind == yd1363::Reassembler::Event::Frame)
                        got.frames.push_back(r.Body());
                    else
                        got.faults.push_back(e.error);
                }
            }
            EXPECT_EQ(got.frames, want.frames);
            EXPECT_EQ(got.faults, want.faults);
            EXPECT_EQ(r.InFrame(), single.InFrame());
        }
    }
}

TEST(Yd1363Reassembler, OverlongFrameIsDroppedAndHuntResumes)
{
    yd1363::Reassembler r;
    auto f = Feed(r, "~" + std::string(yd1363::kMaxBodyChars + 5, '0') + "\r~200140510000FDB3\r");
    EXPECT_EQ(f.faults, (std::vector<Error>{Error::TooLong}));
    EXPECT_EQ(f.frames, (std::vector<std::string>{"200140510000FDB3"}));
}

}  // namespace
