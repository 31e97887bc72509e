#pragma once
#include <string>

#include "serial_port.h"

// A serial device server (RS-485-to-Ethernet converter) reached over TCP.
class TcpPort : public SerialPort {
public:
    // "HOST:PORT"
    explicit TcpPort(std::string endpoint);
    ~TcpPort() override;
    bool Open() override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    long Read(unsigned char* buffer, size_t size) override;
    bool Write(const unsigned char* data, size_t size) override;
    int Fd() const override { return fd_; }
    std::string Name() const override { return "tcp:" + endpoint_; }
    std::string LastError() const override { return error_; }
    bool LastErrorPermanent() const override { return permanent_; }

private:
    std::string endpoint_;
    int fd_ = -1;
    std::string error_;
    bool permanent_ = false;
    // Whether this connection has passed a byte yet.
    bool received_ = false;
};

// Splits "HOST:PORT" ("[v6 address]:PORT" too); false with the reason when a
// part is missing or PORT is not a number from 1 to 65535.
bool ParseTcpEndpoint(const std::string& endpoint, std::string& host, std::string& port, std::string& error);
