#pragma once
#include <deque>
#include <string>
#include <vector>

#include "serial_port.h"

// An in-memory port: captures what is written and serves injected input.
class MemoryPort : public SerialPort {
public:
    bool Open() override
    {
        open_ = !failOpen_;
        return open_;
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    long Read(unsigned char* buffer, size_t size) override;
    bool Write(const unsigned char* data, size_t size) override;
    std::string Name() const override { return "memory"; }

    void Inject(const std::string& bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }
    // Every write, in order, one string per call.
    std::vector<std::string>& Written() { return written_; }
    std::string TakeWritten();
    void SetFailOpen(bool fail) { failOpen_ = fail; }

private:
    bool open_ = false;
    bool failOpen_ = false;
    std::deque<unsigned char> input_;
    std::vector<std::string> written_;
};
