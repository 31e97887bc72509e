#pragma once
#include <memory>
#include <string>

#include "serial_port.h"

// "tcp:HOST:PORT" reaches a serial device server; anything else is a serial device path.
std::shared_ptr<SerialPort> MakePort(const std::string& path, int baud);

enum class PortCheck {
    Usable,     // as far as can be told before opening
    Passing,    // not there now; it may come (an unplugged adapter)
    Permanent,  // can never work: a malformed address, a path that is not a device
};

// Looks at a port name without opening it; `why` says what is wrong.
PortCheck CheckPortName(const std::string& path, std::string& why);
