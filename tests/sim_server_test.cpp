// The server on a pseudo-terminal, driven as a client would.
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim_server.h"

using namespace vx42b_sim;

namespace {

// A client on the other side of the pseudo-terminal. With `server` given,
// the server is driven from this thread while the client waits.
class Client {
public:
    explicit Client(const std::string& path, SimServer* server = nullptr)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)), server_(server)
    {
        termios tio{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Client()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }

    // Sends a command and reads up to the end of the next frame, waiting at
    // most a few seconds in all (a safety net; replies come in milliseconds).
    std::string Ask(const std::string& command)
    {
        if (::write(fd_, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return "write failed";
        std::string in;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (in.empty() || in.back() != '\r') {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            if (server_ != nullptr && !server_->ServeOnce(10)) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, server_ != nullptr ? 0 : static_cast<int>(left.count())) < 0) break;
            char buffer[256];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) in.append(buffer, static_cast<size_t>(n));
        }
        return in;
    }

private:
    int fd_;
    SimServer* server_;
};

Scenario FastScenario()
{
    Scenario sc = DefaultScenario();
    sc.line.baud = 115200;
    sc.line.turnaroundMs = 1;
    sc.seed = 3;
    return sc;
}

}  // namespace

TEST(SimServer, AnswersOnAPseudoTerminal)
{
    SimServer server(FastScenario());
    std::string error;
    const std::string path = server.OpenPty(error);
    ASSERT_FALSE(path.empty()) << error;
    {
        Client client(path, &server);
        ASSERT_TRUE(client.Ok());
        const ParsedFrame info = ParseFrame(client.Ask(CommandFrame(0x20, 1, 0x40, 0x51)));
        ASSERT_EQ(info.error, yd1363::Error::None);
        EXPECT_EQ(std::string(info.info.begin(), info.info.end()), "VX42B               ");

        const ParsedFrame ac = ParseFrame(client.Ask(CommandFrame(0x20, 1, 0x40, 0x41, {0xFF})));
        ASSERT_EQ(ac.error, yd1363::Error::None);
        EXPECT_EQ(ac.info[1], 2);  // two AC units

        // A silenced command: the next reply on the line is the next command's.
        server.InjectOnce(0x42, 0x41, Fault::NoReply);
        const std::string twoCommands = CommandFrame(0x20, 1, 0x42, 0x41) + CommandFrame(0x20, 1, 0x42, 0x46);
        const ParsedFrame param = ParseFrame(client.Ask(twoCommands));
        EXPECT_EQ(param.cid1, 0x42);
        EXPECT_EQ(param.info.size(), 29u);
    }
    // The line outlives its clients.
    server.Modify([](PowerSystem& s) { s.model = "VX42"; });
    Client again(path, &server);
    const ParsedFrame info = ParseFrame(again.Ask(CommandFrame(0x20, 1, 0x40, 0x51)));
    EXPECT_EQ(std::string(info.info.begin(), info.info.begin() + 5), "VX42 ");

    const Counters c = server.GetCounters();
    EXPECT_EQ(c.commands, 5u);
    EXPECT_EQ(c.replies, 4u);
    EXPECT_EQ(c.faults, 1u);
}

TEST(SimServer, OpenErrorsAreReported)
{
    SimServer server(FastScenario());
    std::string error;
    EXPECT_FALSE(server.OpenDevice("/nonexistent/tty", 9600, error));
    EXPECT_NE(error.find("/nonexistent/tty"), std::string::npos) << error;
    EXPECT_FALSE(server.OpenDevice("/dev/null", 9600, error));
    EXPECT_NE(error.find("not a terminal"), std::string::npos) << error;
    EXPECT_FALSE(server.OpenDevice("/dev/null", 12345, error));
    EXPECT_NE(error.find("unsupported line speed 12345"), std::string::npos) << error;
    server.Start();  // nothing open: nothing to serve
    server.Stop();
}
