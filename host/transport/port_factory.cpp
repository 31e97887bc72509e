#include "port_factory.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "host_setting.h"
#include "tcp_port.h"
#include "termios_port.h"

std::shared_ptr<SerialPort> MakePort(const std::string& path, int baud)
{
    if (path.compare(0, 4, "tcp:") == 0) return std::make_shared<TcpPort>(path.substr(4));
    return std::make_shared<TermiosPort>(path, baud);
}

PortCheck CheckPortName(const std::string& path, std::string& why)
{
    why.clear();
    if (!CheckPortText(path, why)) return PortCheck::Permanent;
    if (path.compare(0, 4, "tcp:") == 0) return PortCheck::Usable;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return PortCheck::Passing;
    }
    const std::string what = NotACharacterDevice(st.st_mode);
    if (what.empty()) return PortCheck::Usable;
    why = "is " + what + ", not a serial device";
    return PortCheck::Permanent;
}
