// One program per line: a serial device is held exclusively while open, a
// second opener is told who has it, and a device server that takes one
// connection at a time is named as the likely cause.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "port_lock.h"
#include "tcp_port.h"
#include "pty.h"
#include "termios_port.h"

namespace {

TEST(PortLock, SecondOpenerIsToldWhoHasTheLine)
{
    Pty pty(true);
    ASSERT_FALSE(pty.Path().empty());
    TermiosPort first(pty.Path(), 9600);
    ASSERT_TRUE(first.Open()) << first.LastError();
    const bool told = pty.Exclusive() >= 0;
    if (told) {
        EXPECT_EQ(pty.Exclusive(), 1);
    }
    EXPECT_EQ(PortHolder(pty.Path()), ::getpid());

    // A second description conflicts even in this process (and as root, past TIOCEXCL).
    TermiosPort second(pty.Path(), 9600);
    EXPECT_FALSE(second.Open());
    EXPECT_TRUE(second.LastErrorInUse());
    EXPECT_FALSE(second.LastErrorPermanent());
    EXPECT_EQ(second.LastError().rfind("is in use (by PID " + std::to_string(::getpid()), 0), 0u) << second.LastError();

    // Closing gives the line back, exclusive mode included, and it reopens.
    first.Close();
    if (told) {
        EXPECT_EQ(pty.Exclusive(), 0);
    }
    EXPECT_EQ(PortHolder(pty.Path()), 0);
    ASSERT_TRUE(second.Open()) << second.LastError();
    EXPECT_FALSE(second.LastErrorInUse());
    EXPECT_TRUE(first.Open() == false && first.LastErrorInUse());
}

TEST(PortLock, ReadsTheHolderFromTheLockTable)
{
    const dev_t dev = ::makedev(0x0, 0x1a);
    const struct {
        const char* locks;
        pid_t holder;
    } cases[] = {
        {"1: FLOCK  ADVISORY  WRITE 812 00:1a:3 0 EOF\n", 812},
        {"1: POSIX  ADVISORY  WRITE 77 00:1a:3 0 EOF\n", 77},
        {"1: FLOCK  ADVISORY  WRITE 812 00:1a:4 0 EOF\n", 0},  // another inode
        {"1: FLOCK  ADVISORY  WRITE 812 08:1a:3 0 EOF\n", 0},  // another file system
        {"1: FLOCK  ADVISORY  WRITE 5 00:1a:3 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 6 00:1a:3 0 EOF\n", 5},
        {"1: -> FLOCK  ADVISORY  WRITE 6 00:1a:3 0 EOF\n", 6},
        {"garbage\n\n1: FLOCK\n1: FLOCK ADVISORY WRITE x 00:1a:3 0 EOF\n", 0},
        {"1: FLOCK  ADVISORY  WRITE 0 00:1a:3 0 EOF\n", 0},  // a holder outside this PID namespace
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(LockHolderIn(c.locks, dev, 3), c.holder) << c.locks;
}

TEST(PortLock, HonoursALiveUucpLockFile)
{
    const std::string name = "vx42b-lock-test-" + std::to_string(::getpid());
    const std::string file = "/run/lock/LCK.." + name;
    if (!(std::ofstream(file) << "      " << ::getppid() << '\n')) GTEST_SKIP() << "cannot write " << file;
    EXPECT_EQ(UucpLockHolder("/dev/" + name), ::getppid());
    EXPECT_EQ(PortHolder("/dev/" + name), ::getppid());

    // A process that has ended leaves a stale file behind: ignored.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    std::ofstream(file) << child << '\n';
    EXPECT_EQ(UucpLockHolder("/dev/" + name), 0);
    std::ofstream(file) << ::getpid() << '\n';
    EXPECT_EQ(UucpLockHolder("/dev/" + name), 0);  // this process's own
    std::ofstream(file) << "not a pid\n";
    EXPECT_EQ(UucpLockHolder("/dev/" + name), 0);
    ::unlink(file.c_str());
}

TEST(PortLock, InUseTextNamesTheProgram)
{
    EXPECT_EQ(InUseText(0), "is in use by another program");
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    EXPECT_EQ(InUseText(::getpid()), "is in use (by PID " + std::to_string(::getpid()) + ": " + comm + ")");
}

// A listening socket on a free loopback port.
int Listener(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

TEST(PortLock, DeviceServerThatTakesOneConnectionIsNamed)
{
    int port = 0;
    const int server = Listener(port);
    ASSERT_GE(server, 0);
    // Accepts and drops at once, as a busy device server does.
    std::thread drop([server] {
        const int c = ::accept(server, nullptr, nullptr);
        if (c >= 0) ::close(c);
    });
    TcpPort busy("127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(busy.Open()) << busy.LastError();
    drop.join();
    unsigned char buffer[16];
    pollfd p{busy.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(busy.Read(buffer, sizeof buffer), -1);
    EXPECT_NE(busy.LastError().find("before any reply"), std::string::npos) << busy.LastError();
    EXPECT_NE(busy.LastError().find("one connection at a time"), std::string::npos);
    ::close(server);

    // Nothing listens any more: refused, with the same hint.
    TcpPort refused("127.0.0.1:" + std::to_string(port));
    EXPECT_FALSE(refused.Open());
    EXPECT_NE(refused.LastError().find("Connection refused"), std::string::npos) << refused.LastError();
    EXPECT_NE(refused.LastError().find("one connection at a time"), std::string::npos);
}

}  // namespace
