#pragma once
#include <cstddef>
#include <string>

// A byte stream to the power system: a serial line, a TCP serial server or
// an in-memory pair in tests. Reads never block.
class SerialPort {
public:
    virtual ~SerialPort() = default;
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Bytes read (0 when nothing is waiting), or -1 when the port failed.
    virtual long Read(unsigned char* buffer, size_t size) = 0;
    // Writes the whole buffer; false when the port failed.
    virtual bool Write(const unsigned char* data, size_t size) = 0;
    // A descriptor to wait on for input, or -1.
    virtual int Fd() const { return -1; }
    virtual std::string Name() const = 0;
    virtual std::string LastError() const { return {}; }
    // The last Open failed in a way no retry can mend (not a serial device,
    // a malformed address).
    virtual bool LastErrorPermanent() const { return false; }
    // The last Open failed because another program holds the port.
    virtual bool LastErrorInUse() const { return false; }
};
