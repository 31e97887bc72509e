#include "port_factory.h"

#include "tcp_port.h"
#include "termios_port.h"

std::shared_ptr<SerialPort> MakePort(const std::string& path, int baud)
{
    if (path.compare(0, 4, "tcp:") == 0) return std::make_shared<TcpPort>(path.substr(4));
    return std::make_shared<TermiosPort>(path, baud);
}
