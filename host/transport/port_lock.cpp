#include "port_lock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

// The PID as ten ASCII digits and a newline (older files hold a binary int,
// which nothing on Linux writes any more).
pid_t UucpLockHolder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return 0;
    for (const char* dir : {"/run/lock/", "/var/lock/"}) {
        char head[32] = {};
        std::ifstream(std::string(dir) + "LCK.." + name, std::ios::binary).read(head, sizeof head - 1);
        std::istringstream text(head);
        long pid = 0;
        if (text >> pid && pid > 0 && pid != ::getpid() && Alive(static_cast<pid_t>(pid)))
            return static_cast<pid_t>(pid);
    }
    return 0;
}

pid_t LockHolderIn(const std::string& locks, dev_t dev, ino_t ino)
{
    std::istringstream lines(locks);
    for (std::string line; std::getline(lines, line);) {
        // "1: FLOCK  ADVISORY  WRITE 812 00:05:91 0 EOF"; waiters show "->" after the number.
        std::istringstream fields(line);
        std::string number, type, mode, access, where;
        long pid = 0;
        if (!(fields >> number >> type)) continue;
        if (type == "->" && !(fields >> type)) continue;
        if (!(fields >> mode >> access >> pid >> where)) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        if (major == ::major(dev) && minor == ::minor(dev) && inode == ino && pid > 0) return static_cast<pid_t>(pid);
    }
    return 0;
}

pid_t PortHolder(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        const pid_t pid = LockHolderIn(ReadAll("/proc/locks"), st.st_dev, st.st_ino);
        if (pid > 0) return pid;
    }
    return UucpLockHolder(path);
}

std::string InUseText(pid_t holder)
{
    if (holder <= 0) return "is in use by another program";
    std::string name = ReadAll("/proc/" + std::to_string(holder) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    return "is in use (by PID " + std::to_string(holder) + (name.empty() ? "" : ": " + name) + ")";
}
