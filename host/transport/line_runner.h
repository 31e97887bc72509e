#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "SMDSPDevice.h"

// What a host does, turn after turn, to drive one device over its port: let
// the device send, wait briefly for input, hand whatever arrived to the
// device, then run the work the device queued. The poller, the soak harness,
// the tests and the fuzz targets all drive devices through this one loop
// body; only the clock, the way of waiting and the port differ.
class LineRunner {
public:
    using Clock = SMDSPDevice::Clock;
    // Waits at most `limit` for input on `port`; false when none can be there.
    using Wait = std::function<bool(SerialPort& port, std::chrono::milliseconds limit)>;

    struct Turn {
        bool allowed = false;  // RefreshStatus let the device send
        long read = 0;         // bytes read; -1 when the port failed
        int accepted = 0;      // replies the device accepted
    };

    explicit LineRunner(std::shared_ptr<SMDSPDevice> device);

    // The clock of the device's reply time-outs (default: the steady clock).
    void SetClock(std::function<Clock::time_point()> clock);
    // How a turn waits for input (default: PollForInput).
    void SetWait(Wait wait) { wait_ = std::move(wait); }
    void SetInputWait(std::chrono::milliseconds limit) { inputWait_ = limit; }
    // Before each refresh, dates the device's last update back far enough
    // that the pause between rounds is over: a host that wants rounds back
    // to back, as fast as the line answers.
    void SkipRoundPause(bool skip) { skipRoundPause_ = skip; }

    // One turn. `beforeRead` runs after the refresh; false skips the read.
    Turn RunOnce(const std::function<bool()>& beforeRead = {});
    // Waits for input, reads what is there and delivers it. Bytes read, or
    // -1 when the port failed; `accepted` counts the replies taken.
    long ReadAvailable(int* accepted = nullptr);
    // Bytes as they came off the line: to the device, then its queued work.
    int Deliver(const unsigned char* data, size_t size);
    void RunPendingWork();

    SMDSPDevice& Device() const { return *device_; }

    // poll() on the port's descriptor; a port without one sleeps `limit`.
    static bool PollForInput(SerialPort& port, std::chrono::milliseconds limit);

    static constexpr size_t kReadChunk = 1024;

private:
    std::shared_ptr<SMDSPDevice> device_;
    Wait wait_ = &LineRunner::PollForInput;
    std::chrono::milliseconds inputWait_{50};
    bool skipRoundPause_ = false;
};
