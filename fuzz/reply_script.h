#pragma once
// Polling rounds driven by a fuzz input: the main device sends its commands
// over an in-memory port through the host's runner, and each command is
// answered by the next reply the input describes. Replies are framed here,
// so that mutated contents get past the checksums and reach the parsers and
// count checks in the states real rounds produce.
//
// The input after its first byte (which picks the configuration) is a
// sequence of replies:
//
//   control  1 byte   bits 0-1: 0 a frame answering the command,
//                               1 silence until the reply time-out passes,
//                               2 a frame under another part's CID1,
//                               3 the bytes go on the line as they are
//                     bit 2:    RTN 0x06 instead of 0
//   length   2 bytes  little-endian; cut to what is left, and to 2047 for a frame
//   bytes             the reply's INFO, or the raw line bytes
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "VX42B.h"
#include "line_runner.h"
#include "memory_port.h"
#include "yd1363.h"

namespace fuzzing {

struct Reply {
    enum Mode { Framed = 0, Silence = 1, OtherPart = 2, Raw = 3 };
    Mode mode = Framed;
    bool badRtn = false;
    std::vector<unsigned char> bytes;
};

class ReplyScript {
public:
    ReplyScript(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Next(Reply& out)
    {
        if (at_ >= size_) return false;
        const uint8_t control = data_[at_++];
        out.mode = static_cast<Reply::Mode>(control & 3);
        out.badRtn = (control & 4) != 0;
        size_t length = 0;
        if (at_ < size_) length = data_[at_++];
        if (at_ < size_) length |= static_cast<size_t>(data_[at_++]) << 8;
        if (out.mode != Reply::Raw && length > static_cast<size_t>(yd1363::kMaxInfoBytes))
            length = yd1363::kMaxInfoBytes;
        if (length > size_ - at_) length = size_ - at_;
        out.bytes.assign(data_ + at_, data_ + at_ + length);
        at_ += length;
        return true;
    }
    size_t Position() const { return at_; }

    // The encoding of one reply, for corpus makers.
    static std::string Record(Reply::Mode mode, bool badRtn, const std::vector<unsigned char>& bytes)
    {
        std::string out;
        out += static_cast<char>(static_cast<unsigned>(mode) | (badRtn ? 4u : 0u));
        out += static_cast<char>(bytes.size() & 0xFF);
        out += static_cast<char>((bytes.size() >> 8) & 0xFF);
        out.append(bytes.begin(), bytes.end());
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The configurations a first input byte picks from: the counts and the
// protocol version change which steps a round takes.
inline Json::Value ScriptConfig(uint8_t selector, unsigned char& version)
{
    Json::Value c;
    version = 0x20;
    switch (selector % 4) {
    case 0:
        c["acSetting"][0]["data_id"] = 11;
        c["acSetting"][1]["data_id"] = 12;
        c["dcSetting"][0]["data_id"] = 21;
        break;
    case 1: c["dcSetting"][0]["data_id"] = 21; break;
    case 2: c["acSetting"][0]["data_id"] = 11; break;
    default:
        c["acSetting"][0]["data_id"] = 11;
        c["dcSetting"][0]["data_id"] = 21;
        c["dcSetting"][1]["data_id"] = 22;
        version = 0x21;
        break;
    }
    c["rcSetting"] = Json::Value(Json::objectValue);
    return c;
}

// A main device on an in-memory port with a clock that moves only when a
// reply time-out is to pass.
struct ScriptedLine {
    std::shared_ptr<VX42B> device = std::make_shared<VX42B>();
    std::shared_ptr<MemoryPort> port = std::make_shared<MemoryPort>();
    LineRunner runner{device};
    SMDSPDevice::Clock::time_point now{};

    bool Init(const std::shared_ptr<SMDController>& controller, uint8_t selector)
    {
        unsigned char version = 0x20;
        if (!device->Init(controller, 1, ScriptConfig(selector, version))) return false;
        device->SetVersion(version);
        device->AttachPort(port);
        device->OpenPort();
        runner.SetClock([this] { return now; });
        runner.SkipRoundPause(true);
        // Replies are handed over directly; nothing is waited for.
        runner.SetWait([](SerialPort&, std::chrono::milliseconds) { return false; });
        return true;
    }

    // Answers commands from the script until it runs out.
    void Run(ReplyScript& script)
    {
        std::string command;
        Reply reply;
        for (int turn = 0; turn < 4096; ++turn) {
            runner.RunOnce();
            const std::string written = port->TakeWritten();
            // Only the latest command is answered, as on the line.
            if (!written.empty()) command = written.substr(written.rfind(yd1363::kSoi));
            if (command.empty()) {
                now += device->ReplyTimeout();
                continue;
            }
            if (!script.Next(reply)) return;
            if (reply.mode == Reply::Silence) {
                now += device->ReplyTimeout() + std::chrono::milliseconds(1);
                continue;
            }
            unsigned char cid1 = CommandCid1(command);
            command.clear();
            if (reply.mode == Reply::Raw) {
                runner.Deliver(reply.bytes.data(), reply.bytes.size());
                continue;
            }
            if (reply.mode == Reply::OtherPart) cid1 = cid1 == 0x42 ? 0x40 : static_cast<unsigned char>(cid1 + 1);
            const std::string frame =
                yd1363::Encode(device->Version(), device->Address(), cid1, reply.badRtn ? 0x06 : 0x00,
                               reply.bytes.data(), reply.bytes.size());
            runner.Deliver(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
        }
    }

    // CID1 of a command frame ("~" VER ADR CID1 ...), or 0x40.
    static unsigned char CommandCid1(const std::string& frame)
    {
        auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
        if (frame.size() < 7 || nibble(frame[5]) < 0 || nibble(frame[6]) < 0) return 0x40;
        return static_cast<unsigned char>(nibble(frame[5]) * 16 + nibble(frame[6]));
    }
};

}  // namespace fuzzing
