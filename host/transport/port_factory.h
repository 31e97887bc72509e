#pragma once
#include <memory>
#include <string>

#include "serial_port.h"

// "tcp:HOST:PORT" reaches a serial device server; anything else is a serial device path.
std::shared_ptr<SerialPort> MakePort(const std::string& path, int baud);
