#pragma once
#include <string>

#include "serial_port.h"

// A serial device in raw 8N1 mode at a fixed line speed; reads never block.
// It is held exclusively while open (flock and TIOCEXCL).
class TermiosPort : public SerialPort {
public:
    TermiosPort(std::string path, int baud);
    ~TermiosPort() override;
    bool Open() override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    long Read(unsigned char* buffer, size_t size) override;
    bool Write(const unsigned char* data, size_t size) override;
    int Fd() const override { return fd_; }
    std::string Name() const override { return path_; }
    std::string LastError() const override { return error_; }
    bool LastErrorPermanent() const override { return permanent_; }
    bool LastErrorInUse() const override { return inUse_; }

private:
    std::string path_;
    int baud_;
    int fd_ = -1;
    std::string error_;
    bool permanent_ = false;
    bool inUse_ = false;
};

// What a path is, when it is there but is not a character device: "a
// directory", "a regular file", "a FIFO", ...; empty for a character device.
std::string NotACharacterDevice(unsigned mode);

// The termios speed constant for a line speed, or 0 when there is none.
unsigned SpeedConstant(int baud);

// Puts a terminal in raw 8N1 mode, reads never blocking; speed 0 keeps the
// line speed. On failure `error` says why.
bool MakeRawLine(int fd, unsigned speed, std::string& error);
