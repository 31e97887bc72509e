#pragma once
#include <cstddef>
#include <string>

#include "serial_port.h"

// A serial device in raw 8N1 mode at a fixed line speed. It is held
// exclusively while open (flock and TIOCEXCL). A read returns at once when
// nothing is there; when it gets the start of a frame, it waits for the rest
// (up to the gap a line that stops mid-frame takes), so that the reader wakes
// a few times per frame rather than once per byte.
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
    long ReadNow(unsigned char* buffer, size_t size);
    // Follows the frames in what was read.
    void Track(const unsigned char* data, size_t size);
    // Bytes still due of the frame under way (at least 1 while in one).
    size_t Missing() const;
    // VMIN: poll() reports input once that many bytes are there.
    void SetMinimum(size_t bytes);

    std::string path_;
    int baud_;
    int fd_ = -1;
    size_t inFrame_ = 0;           // bytes of the frame under way since its SOI; 0 between frames
    unsigned char head_[13] = {};  // SOI to LENGTH: gives the frame's length
    size_t minimum_ = 0;           // the line's VMIN
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
