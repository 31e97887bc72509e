// vx42b-poll keeps polling through faulty replies and a lost connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "scenario.h"
#include "sim_server.h"

namespace {

using namespace vxpoll::e2e;

// The simulator runs in this process so that each fault lands on a chosen
// reply of a chosen round; the poller is the real program.
TEST(PollFaultsEndToEnd, PollingGoesOnThroughFaultyAndMissingReplies)
{
    using vx42b_sim::Fault;
    TempDir dir;
    vx42b_sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(vx42b_sim::ParseScenario(StillScenario(), scenario, error)) << error;
    SimServer sim(scenario);
    const std::string path = sim.OpenPty(error);
    ASSERT_FALSE(path.empty()) << error;
    sim.Start();

    Child poll({PollExe(), "--json", "--plugin", PluginPath(), "--port", path, "--config",
                dir.Write("config.json", TestConfig(250)), "--rounds", "5", "--query", "21:v"});
    std::vector<Json::Value> lines;
    std::vector<bool> rounds;
    std::string line;
    while (rounds.size() < 5 && poll.ReadLine(line, std::chrono::seconds(15))) {
        lines.push_back(JsonLines(line).at(0));
        if (lines.back()["event"].asString() != "round") continue;
        rounds.push_back(lines.back()["complete"].asBool());
        if (rounds.size() == 1) {
            // Round 2: a lost and a corrupt reply, both asked again, then a
            // parameter reply cut short, which is not: the round is abandoned.
            sim.InjectOnce(0x41, 0x41, Fault::NoReply);
            sim.InjectOnce(0x42, 0x41, Fault::BadChecksum);
            sim.InjectOnce(0x42, 0x46, Fault::CutFrame);
        } else if (rounds.size() == 2) {
            // Round 3: a first reply from the wrong part abandons it at once.
            sim.InjectOnce(0x40, 0x41, Fault::WrongCid1);
        }
    }
    ASSERT_EQ(poll.Collect(std::chrono::seconds(15)), 0) << poll.Err();
    for (const Json::Value& v : JsonLines(poll.Unread())) lines.push_back(v);
    EXPECT_EQ(rounds, (std::vector<bool>{true, false, false, true, true}));

    // The lost, the corrupt and the cut reply each went unanswered for a time-out.
    EXPECT_GE(LogsStartingWith(lines, "SMDSPDevice:Timeout 1 no reply within 250 ms"), 3u);
    EXPECT_EQ(LogsStartingWith(lines, "PMBusProtocol:FrameError 1 CHKSUM mismatch"), 1u);
    EXPECT_EQ(LogsStartingWith(lines, "PMBusProtocol:FrameError 1 frame cut off"), 1u);
    EXPECT_EQ(LogsStartingWith(lines, "SMDSPDevice:Stalled 1"), 1u);
    // Complete rounds published everything and the value kept answering.
    EXPECT_EQ(Events(lines, "publish").size(), 4u * 3);
    // Queries follow abandoned rounds too; the data stayed fresh throughout.
    const auto values = Events(lines, "value");
    ASSERT_EQ(values.size(), 5u);
    for (const Json::Value& v : values) EXPECT_FLOAT_EQ(v["value"].asFloat(), 53.5f);
    sim.Stop();
}

// A serial device server between the poller and the simulator that drops the
// connection once, after a given number of reply frames.
class Relay {
public:
    Relay(const std::string& ptyPath, int dropAfterFrames) : dropAfter_(dropAfterFrames)
    {
        pty_ = ::open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (pty_ >= 0 && ::tcgetattr(pty_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(pty_, TCSANOW, &tio);
        }
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        if (::pipe2(wake_, O_CLOEXEC) != 0) return;
        thread_ = std::thread([this] { Serve(); });
    }
    ~Relay()
    {
        if (thread_.joinable()) {
            // One byte into a fresh pipe cannot fail; fortified builds insist the result is taken.
            [[maybe_unused]] ssize_t woken = ::write(wake_[1], "x", 1);
            thread_.join();
        }
        for (int fd : {pty_, listener_, wake_[0], wake_[1]})
            if (fd >= 0) ::close(fd);
    }
    int Port() const { return port_; }
    bool Ready() const { return pty_ >= 0 && port_ > 0 && thread_.joinable(); }
    int Connections() const { return connections_; }

private:
    // Waits for input on fd or the wake-up pipe; false when woken.
    bool WaitFor(std::initializer_list<int> fds, std::vector<short>& ready)
    {
        std::vector<pollfd> p;
        for (int fd : fds) p.push_back(pollfd{fd, POLLIN, 0});
        p.push_back(pollfd{wake_[0], POLLIN, 0});
        if (::poll(p.data(), p.size(), -1) < 0) return errno == EINTR;
        if (p.back().revents != 0) return false;
        ready.clear();
        for (size_t k = 0; k + 1 < p.size(); ++k) ready.push_back(p[k].revents);
        return true;
    }

    void Serve()
    {
        std::vector<short> ready;
        for (;;) {
            if (!WaitFor({listener_}, ready)) return;
            const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            ++connections_;
            char buf[4096];
            for (bool open = true; open;) {
                if (!WaitFor({conn, pty_}, ready)) {
                    ::close(conn);
                    return;
                }
                if (ready[0] != 0) {
                    const ssize_t n = ::read(conn, buf, sizeof buf);
                    if (n <= 0) break;
                    if (::write(pty_, buf, static_cast<size_t>(n)) != n) break;
                }
                if (ready[1] != 0) {
                    const ssize_t n = ::read(pty_, buf, sizeof buf);
                    for (ssize_t k = 0; k < n && open; ++k) {
                        if (::write(conn, buf + k, 1) != 1) open = false;
                        if (buf[k] == '\r' && ++frames_ == dropAfter_) open = false;
                    }
                }
            }
            ::close(conn);
        }
    }

    int dropAfter_;
    int pty_ = -1;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    int frames_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

TEST(PollFaultsEndToEnd, LostConnectionIsReopenedAndPollingResumes)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    // Device information and a first round take 11 replies; drop in the second.
    Relay relay(sim.Path(), 14);
    ASSERT_TRUE(relay.Ready());
    const std::string port = "tcp:127.0.0.1:" + std::to_string(relay.Port());
    const PollRun run = PollJson(port, dir.Write("config.json", TestConfig(250)), {"--rounds", "4"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto& lines = run.lines;

    EXPECT_EQ(LogsStartingWith(lines, "port " + port + " failed: connection closed; reopening in 1 s"), 1u);
    EXPECT_EQ(LogsStartingWith(lines, "port " + port + " open"), 2u);
    EXPECT_EQ(relay.Connections(), 2);
    const auto rounds = Events(lines, "round");
    ASSERT_EQ(rounds.size(), 4u);
    EXPECT_TRUE(rounds[2]["complete"].asBool());
    EXPECT_TRUE(rounds[3]["complete"].asBool());
}

}  // namespace
