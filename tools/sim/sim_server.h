#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "responder.h"
#include "scenario.h"
#include "yd1363.h"

// Serves one simulated power system on a pseudo-terminal or a serial device:
// reassembles commands, answers after the turn-around delay, and writes the
// reply at the pace of the line (10 bits per byte).
namespace vx42b_sim {

class SimServer {
public:
    explicit SimServer(Scenario scenario);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Opens a pseudo-terminal in raw mode and returns the path a client
    // opens (e.g. /dev/pts/3), or "" with `error` set. The server holds the
    // client side open too, so the line survives clients coming and going.
    std::string OpenPty(std::string& error);
    // Serves a real serial device, raw 8N1 at `baud`; replies are paced at
    // that speed.
    bool OpenDevice(const std::string& path, int baud, std::string& error);

    // Serves on a background thread until Stop(); does nothing without an
    // open line or when already serving.
    void Start();
    // Stops serving (at once, also in the middle of a reply); idempotent.
    void Stop();

    // Serves on the calling thread what arrives within `waitMs` (-1: until
    // something arrives), replies included; for single-threaded users. Not
    // while Start()ed. False once the server is stopped or has no line.
    bool ServeOnce(int waitMs);

    Counters GetCounters() const;
    // The next reply to CID1/CID2 gets the fault.
    void InjectOnce(uint8_t cid1, uint8_t cid2, Fault fault);
    // Runs `change` on the system under the server's lock.
    void Modify(const std::function<void(PowerSystem&)>& change);
    // Called on the serving thread for every command frame body and the reply
    // given ("" for none); set before Start().
    void SetTrace(std::function<void(const std::string& command, const std::string& reply)> trace);

private:
    void Handle(const std::string& body);
    // Waits up to `ms` or until Stop(); false when stopped.
    bool Wait(int ms);
    bool WritePaced(const std::string& data);
    void CloseLine();

    mutable std::mutex mutex_;
    Responder responder_;
    int baud_;
    int turnaroundMs_;
    int fd_ = -1;          // the line we read commands from and write replies to
    int keepOpenFd_ = -1;  // our own handle on the client side of a pseudo-terminal
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    yd1363::Reassembler reassembler_;
    std::thread thread_;
    std::chrono::steady_clock::time_point started_;
    std::function<void(const std::string&, const std::string&)> trace_;
};

}  // namespace vx42b_sim

using vx42b_sim::SimServer;
