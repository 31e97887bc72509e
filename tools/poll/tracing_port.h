#pragma once
#include <functional>
#include <memory>
#include <string>

#include "serial_port.h"

namespace vxpoll {

// Wraps the real port: reports every frame sent and received, and remembers
// that the port failed so that the poller can close and reopen it.
class TracingPort : public SerialPort {
public:
    // tx: true for a frame sent. Received bytes are cut into frames at the
    // end-of-frame byte (CR).
    using FrameSink = std::function<void(bool tx, const std::string& frame)>;

    TracingPort(std::shared_ptr<SerialPort> inner, FrameSink sink);

    bool Open() override;
    void Close() override;
    bool IsOpen() const override { return inner_->IsOpen(); }
    long Read(unsigned char* buffer, size_t size) override;
    bool Write(const unsigned char* data, size_t size) override;
    int Fd() const override { return inner_->Fd(); }
    std::string Name() const override { return inner_->Name(); }
    std::string LastError() const override { return inner_->LastError(); }
    bool LastErrorPermanent() const override { return inner_->LastErrorPermanent(); }
    bool LastErrorInUse() const override { return inner_->LastErrorInUse(); }

    bool Failed() const { return failed_; }
    // Received bytes that did not end a frame yet are reported as they are.
    void FlushPartial();

private:
    std::shared_ptr<SerialPort> inner_;
    FrameSink sink_;
    std::string partial_;
    bool failed_ = false;
};

}  // namespace vxpoll
