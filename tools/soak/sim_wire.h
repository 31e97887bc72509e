#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "responder.h"
#include "serial_port.h"

// A half-duplex serial line to the simulated power system, timed on a clock
// the harness moves: a command reaches the simulator once its last byte is
// out, the reply starts after the turn-around and arrives byte by byte at the
// line speed (10 bits a byte). Nothing waits in real time.
class SimWire : public SerialPort {
public:
    using Clock = std::chrono::steady_clock;

    SimWire(vx42b_sim::Responder& sim, int baud, std::chrono::milliseconds turnaround);

    bool Open() override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    // Bytes that have arrived by now; -1 while the line is down.
    long Read(unsigned char* buffer, size_t size) override;
    // A command sent while reply bytes are still on the line collides with
    // them: both are lost (the device does not listen while it sends).
    bool Write(const unsigned char* data, size_t size) override;
    std::string Name() const override { return "simulated line"; }
    std::string LastError() const override { return down_ ? "line down" : ""; }

    Clock::time_point Now() const { return now_; }
    void Advance(std::chrono::microseconds d) { now_ += d; }
    // The host's wait: moves the clock on by at most `limit`, less when the
    // next reply byte is due sooner. True when bytes are there to read, or
    // the line has failed.
    bool WaitForInput(std::chrono::milliseconds limit);

    // The line fails (reads and writes fail, bytes in flight are lost) and
    // cannot be reopened for `down`.
    void Drop(std::chrono::milliseconds down);
    void SetBaud(int baud) { baud_ = baud; }
    int Baud() const { return baud_; }
    // Bytes still due to arrive.
    size_t InFlight() const { return pending_.size(); }

    struct Counters {
        uint64_t commands = 0;
        uint64_t collisions = 0;  // commands sent while a reply was arriving
        uint64_t drops = 0;
        uint64_t failedOpens = 0;
    };
    const Counters& GetCounters() const { return counters_; }

private:
    std::chrono::microseconds ByteTime() const;

    vx42b_sim::Responder& sim_;
    int baud_;
    std::chrono::milliseconds turnaround_;
    Clock::time_point start_;
    Clock::time_point now_;
    Clock::time_point downUntil_{};
    bool open_ = false;
    bool down_ = false;
    struct Due {
        Clock::time_point at;
        unsigned char byte;
    };
    std::deque<Due> pending_;
    Counters counters_;
};
