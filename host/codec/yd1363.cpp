#include "yd1363.h"

#include <cstring>

namespace yd1363 {
namespace {

const char kHex[] = "0123456789ABCDEF";

constexpr unsigned char kNotHex = 0x10;

// Each character's hex value, kNotHex for any other character: one lookup a
// character keeps the decoding of a long reply cheap.
struct NibbleTable {
    unsigned char value[256];
    constexpr NibbleTable() : value()
    {
        for (int c = 0; c < 256; ++c) value[c] = kNotHex;
        for (int d = 0; d < 10; ++d) value['0' + d] = static_cast<unsigned char>(d);
        for (int d = 0; d < 6; ++d) {
            value['A' + d] = static_cast<unsigned char>(10 + d);
            value['a' + d] = static_cast<unsigned char>(10 + d);
        }
    }
};
constexpr NibbleTable kNibbles;

inline unsigned Nibble(char c) { return kNibbles.value[static_cast<unsigned char>(c)]; }

void PutHex8(std::string& out, unsigned v)
{
    out.push_back(kHex[(v >> 4) & 0xF]);
    out.push_back(kHex[v & 0xF]);
}

void PutHex16(std::string& out, unsigned v)
{
    PutHex8(out, (v >> 8) & 0xFF);
    PutHex8(out, v & 0xFF);
}

// Two hex digits at p, already known to be digits.
inline unsigned Hex8(const char* p) { return (Nibble(p[0]) << 4) | Nibble(p[1]); }

}  // namespace

uint16_t LengthField(uint16_t lenId)
{
    lenId &= kMaxLenId;
    unsigned sum = (lenId & 0xF) + ((lenId >> 4) & 0xF) + ((lenId >> 8) & 0xF);
    unsigned lchk = (~sum + 1) & 0xF;
    return static_cast<uint16_t>((lchk << 12) | lenId);
}

uint16_t Checksum(const char* chars, size_t n)
{
    unsigned sum = 0;
    for (size_t k = 0; k < n; ++k) sum += static_cast<unsigned char>(chars[k]);
    return static_cast<uint16_t>((~sum + 1) & 0xFFFF);
}

std::string Encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const unsigned char* info, size_t infoLen)
{
    std::string out;
    EncodeInto(out, ver, adr, cid1, cid2, info, infoLen);
    return out;
}

void EncodeInto(std::string& out, uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const unsigned char* info,
                size_t infoLen)
{
    out.clear();
    if (infoLen > static_cast<size_t>(kMaxInfoBytes) || (infoLen > 0 && info == nullptr)) return;
    out.reserve(1 + kHeaderChars + 2 * infoLen + kChecksumChars + 1);
    out.push_back(kSoi);
    PutHex8(out, ver);
    PutHex8(out, adr);
    PutHex8(out, cid1);
    PutHex8(out, cid2);
    PutHex16(out, LengthField(static_cast<uint16_t>(2 * infoLen)));
    for (size_t k = 0; k < infoLen; ++k) PutHex8(out, info[k]);
    PutHex16(out, Checksum(out.data() + 1, out.size() - 1));
    out.push_back(kEoi);
}

const char* Describe(Error e)
{
    switch (e) {
    case Error::None: return "no error";
    case Error::TooShort: return "frame too short";
    case Error::BadHex: return "invalid hex digit";
    case Error::BadLengthChecksum: return "LCHKSUM mismatch";
    case Error::LengthMismatch: return "LENID mismatch";
    case Error::OddLength: return "odd LENID";
    case Error::BadChecksum: return "CHKSUM mismatch";
    case Error::TooLong: return "frame too long";
    case Error::Interrupted: return "frame cut off by SOI";
    case Error::Unfinished: return "frame cut off by silence";
    case Error::WrongAddress: return "wrong address";
    case Error::BadReturnCode: return "RTN not 0";
    }
    return "unknown error";
}

Error Decode(const char* body, size_t n, unsigned char* record)
{
    if (n < static_cast<size_t>(kHeaderChars + kChecksumChars)) return Error::TooShort;
    if (n > static_cast<size_t>(kMaxBodyChars)) return Error::TooLong;
    // One pass checks every character and sums those the checksum covers.
    const size_t sumEnd = n - kChecksumChars;
    unsigned notHex = 0;
    unsigned sum = 0;
    for (size_t k = 0; k < sumEnd; ++k) {
        const unsigned char c = static_cast<unsigned char>(body[k]);
        notHex |= kNibbles.value[c];
        sum += c;
    }
    for (size_t k = sumEnd; k < n; ++k) notHex |= Nibble(body[k]);
    if ((notHex & kNotHex) != 0) return Error::BadHex;

    const unsigned length = (Hex8(body + 8) << 8) | Hex8(body + 10);
    const uint16_t lenId = length & kMaxLenId;
    if (LengthField(lenId) != length) return Error::BadLengthChecksum;
    // Compare before any arithmetic with the declared length.
    if (static_cast<size_t>(lenId) != n - kHeaderChars - kChecksumChars) return Error::LengthMismatch;
    if (lenId % 2 != 0) return Error::OddLength;

    const unsigned got = (Hex8(body + sumEnd) << 8) | Hex8(body + sumEnd + 2);
    if (static_cast<uint16_t>((~sum + 1) & 0xFFFF) != got) return Error::BadChecksum;

    for (int k = 0; k < 4; ++k) record[k] = static_cast<unsigned char>(Hex8(body + 2 * k));
    record[4] = static_cast<unsigned char>(lenId & 0xFF);
    record[5] = static_cast<unsigned char>(lenId >> 8);
    const size_t infoBytes = lenId / 2;
    const char* info = body + kHeaderChars;
    for (size_t k = 0; k < infoBytes; ++k) record[kRecordHeader + k] = static_cast<unsigned char>(Hex8(info + 2 * k));
    return Error::None;
}

bool Reassembler::Feed(unsigned char byte, Event& event)
{
    if (state_ == State::Hunt) {
        if (byte == static_cast<unsigned char>(kSoi)) {
            body_.clear();
            state_ = State::Body;
        }
        return false;
    }
    if (byte == static_cast<unsigned char>(kSoi)) {
        // The frame in progress is lost; the new SOI starts the next one.
        body_.clear();
        event = {Event::Fault, Error::Interrupted};
        return true;
    }
    if (byte == static_cast<unsigned char>(kEoi)) {
        state_ = State::Hunt;
        event = {Event::Frame, Error::None};
        return true;
    }
    if (body_.size() >= static_cast<size_t>(kMaxBodyChars)) {
        body_.clear();
        state_ = State::Hunt;
        event = {Event::Fault, Error::TooLong};
        return true;
    }
    body_.push_back(static_cast<char>(byte));
    return false;
}

size_t Reassembler::Feed(const unsigned char* bytes, size_t size, Event& event, bool& done)
{
    done = false;
    size_t k = 0;
    while (k < size) {
        if (state_ == State::Hunt) {
            const void* soi = std::memchr(bytes + k, kSoi, size - k);
            if (soi == nullptr) return size;
            k = static_cast<size_t>(static_cast<const unsigned char*>(soi) - bytes);
            done = Feed(bytes[k++], event);
            if (done) return k;
            continue;
        }
        // Inside a frame: the run up to the next SOI or EOI goes in at once.
        size_t end = k;
        const size_t room = static_cast<size_t>(kMaxBodyChars) - body_.size();
        const size_t limit = size - k < room ? size : k + room;
        while (end < limit && bytes[end] != static_cast<unsigned char>(kSoi) &&
               bytes[end] != static_cast<unsigned char>(kEoi))
            ++end;
        body_.append(reinterpret_cast<const char*>(bytes + k), end - k);
        k = end;
        if (k == size) return size;
        done = Feed(bytes[k++], event);
        if (done) return k;
    }
    return size;
}

void Reassembler::Clear()
{
    body_.clear();
    state_ = State::Hunt;
}

}  // namespace yd1363
