#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// YD/T 1363.3 framing. A frame on the line:
//
//   offset  0    1-2  3-4  5-6   7-8      9-12    13..13+LENID-1  +4      +1
//          SOI  VER  ADR  CID1  CID2/RTN LENGTH  INFO            CHKSUM  EOI
//          '~'  hex  hex  hex   hex      hex     hex             hex     CR
//
// LENGTH = LCHKSUM (4 bits) + LENID (12 bits, INFO's hex characters).
// LCHKSUM: two's complement (mod 16) of the sum of LENID's three nibbles.
// CHKSUM: two's complement (mod 65536) of the sum of the ASCII characters
// from VER to the end of INFO.
namespace yd1363 {

constexpr char kSoi = '~';
constexpr char kEoi = '\r';
constexpr int kHeaderChars = 12;  // VER ADR CID1 CID2 LENGTH
constexpr int kChecksumChars = 4;
constexpr int kMaxLenId = 0x0FFF;
constexpr int kMaxInfoBytes = kMaxLenId / 2;  // 2047
constexpr int kMaxBodyChars = kHeaderChars + kMaxLenId + kChecksumChars;
constexpr int kMaxFrameChars = kMaxBodyChars + 2;  // with SOI and EOI

// Decoded reply record: 0 VER, 1 ADR, 2 CID1, 3 RTN, 4-5 LENID (little-endian,
// without LCHKSUM), INFO from 6.
constexpr int kRecordHeader = 6;
constexpr int kRecordSize = kRecordHeader + kMaxInfoBytes + 1;

uint16_t LengthField(uint16_t lenId);
uint16_t Checksum(const char* chars, size_t n);

// The whole frame, SOI to EOI. Returns an empty string when INFO is too long.
std::string Encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const unsigned char* info, size_t infoLen);
// The same into `out`, whose capacity is kept.
void EncodeInto(std::string& out, uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const unsigned char* info,
                size_t infoLen);

enum class Error {
    None,
    TooShort,           // fewer characters than header and checksum
    BadHex,             // a character that is not a hexadecimal digit
    BadLengthChecksum,  // LCHKSUM does not match LENID
    LengthMismatch,     // LENID disagrees with the characters received
    OddLength,          // LENID is not a whole number of bytes
    BadChecksum,
    TooLong,        // no EOI within the longest possible frame
    Interrupted,    // a new SOI arrived before EOI
    WrongAddress,   // a reply from another address than the polled one
    BadReturnCode,  // RTN is not 0
    Unfinished,     // the line went quiet before EOI
};
const char* Describe(Error e);

// Checks and decodes a frame body (the characters between SOI and EOI) into
// a reply record of kRecordSize bytes.
Error Decode(const char* body, size_t n, unsigned char* record);

// Reassembles frames from arbitrary chunks: hunt for SOI, collect the body,
// complete on EOI. Noise outside a frame is skipped.
class Reassembler {
public:
    struct Event {
        enum Kind { Frame, Fault } kind;
        Error error;  // Fault only
    };
    // Feeds one byte; true when a frame completed or a fault was found.
    bool Feed(unsigned char byte, Event& event);
    // Feeds bytes up to and including the first that completes a frame or
    // finds a fault (then `done` is set); returns how many it took.
    size_t Feed(const unsigned char* bytes, size_t size, Event& event, bool& done);
    // The body of the frame just completed.
    const std::string& Body() const { return body_; }
    void Clear();
    bool InFrame() const { return state_ == State::Body; }

private:
    enum class State { Hunt, Body };
    State state_ = State::Hunt;
    std::string body_;
};

}  // namespace yd1363
