// The server on its own thread, as the program and the poller run it.
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim_server.h"

using namespace vx42b_sim;

namespace {

// Sends a command and reads up to the end of the next frame, waiting at most
// a few seconds in all (a safety net; replies come in milliseconds).
std::string Ask(int fd, const std::string& command)
{
    if (::write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return "write failed";
    std::string in;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (in.empty() || in.back() != '\r') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) in.append(buffer, static_cast<size_t>(n));
    }
    return in;
}

}  // namespace

TEST(SimThread, ServesOnItsOwnThreadUntilStopped)
{
    Scenario sc = DefaultScenario();
    sc.line.baud = 115200;
    sc.line.turnaroundMs = 1;
    SimServer server(sc);
    std::string error;
    const std::string path = server.OpenPty(error);
    ASSERT_FALSE(path.empty()) << error;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);

    server.Start();
    EXPECT_EQ(ParseFrame(Ask(fd, CommandFrame(0x20, 1, 0x42, 0x41))).error, yd1363::Error::None);
    server.Stop();
    server.Stop();
    EXPECT_FALSE(server.ServeOnce(0));
    EXPECT_EQ(server.GetCounters().replies, 1u);
    // Served again after a restart.
    server.Start();
    EXPECT_EQ(ParseFrame(Ask(fd, CommandFrame(0x20, 1, 0x42, 0x46))).cid1, 0x42);
    ::close(fd);
}
