#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SMDVDevice.h"
#include "serial_port.h"

// A device on a serial line: port, line speed and reply timing.
class SMDSPDevice : public SMDVDevice {
public:
    using Clock = std::chrono::steady_clock;

    SMDSPDevice();
    ~SMDSPDevice() override;

    bool LoadFromCache(const unsigned char* data, int size) override;
    void Reset() override;
    bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId, const Json::Value& config) override;
    // True when a command may be sent now: the port is open and no reply is
    // still awaited within the reply time-out.
    bool RefreshStatus() override;
    int process(unsigned char* bytes, unsigned int size) override;
    bool IsProcessing() override;
    // Polling is under way, the device sent nothing when it was last allowed
    // to, and its last command is several reply time-outs old: nothing
    // will repeat it.
    bool IsStalled() override;
    int SendData(const unsigned char* data, unsigned int size) override;
    int SendParityData(const unsigned char* data, unsigned int size, EnumParity parity) override;
    bool OpenPort() override;
    void ClosePort() override;

    // Host-side set-up.
    void AttachPort(std::shared_ptr<SerialPort> port);
    SerialPort* Port() const { return port_.get(); }
    const std::string& PortPath() const { return portPath_; }
    int BaudRate() const { return baudRate_; }
    void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }
    std::chrono::milliseconds ReplyTimeout() const { return replyTimeout_; }
    void SetReplyTimeout(std::chrono::milliseconds t) { replyTimeout_ = t; }
    // The longest a reply may keep arriving, counted from the command: the
    // reply time-out plus twice the largest frame's time on the line.
    std::chrono::milliseconds ReplyCeiling() const;
    // Reply time-outs in a row, whatever the step; an accepted reply or a
    // reopened port zeroes it.
    int SilentTimeouts() const { return silentTimeouts_; }
    int Pacing() const { return pacing_; }
    void SetPacing(int pacing) { pacing_ = pacing; }
    const std::vector<unsigned char>& LastSent() const { return lastSent_; }

protected:
    Clock::time_point Now() const { return clock_ ? clock_() : Clock::now(); }
    // How long the line must have been quiet before a command may go out
    // while stale bytes are arriving.
    std::chrono::milliseconds QuietGap() const;
    // The protocol layer calls this for every reply it accepts.
    void NoteReplyAccepted();
    // ... and this for every chunk of bytes that arrives.
    void NoteBytesReceived();
    // True when bytes that arrived after a command was given up must be
    // dropped: they answer a command that is no longer awaited.
    bool DiscardingInput() const { return discardInput_; }

    int baudRate_ = 9600;
    // Bit 0: half-duplex line (RS-485), an exact echo of our command is dropped.
    uint8_t lineOption_ = 0;
    // Consecutive reply time-outs; zeroed by an accepted reply.
    int pacing_ = 0;
    std::string portPath_;
    std::shared_ptr<SerialPort> port_;
    std::chrono::milliseconds replyTimeout_{1000};
    int stallAfterTimeouts_ = 3;
    bool awaitingReply_ = false;
    bool inRound_ = false;  // commands sent since the last Reset()
    unsigned long txCount_ = 0;
    unsigned long txCountAtAllow_ = 0;
    bool allowed_ = false;
    Clock::time_point lastTx_{};
    // The last byte sent or received: the reply time-out measures silence.
    Clock::time_point lastActivity_{};
    Clock::time_point lastRx_{};
    bool rxSeen_ = false;
    // A frame has started arriving and not yet ended (set by the protocol layer).
    bool midFrame_ = false;
    bool discardInput_ = false;
    Clock::time_point gaveUpAt_{};
    int silentTimeouts_ = 0;
    // The largest frame the protocol may receive, in characters.
    size_t maxFrameChars_ = 4112;
    std::vector<unsigned char> lastSent_;
    std::function<Clock::time_point()> clock_;
};
