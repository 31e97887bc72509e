// What systemd hears from vx42b-poll: the pacing of pings and status on a
// moved clock, then the real poller on a simulated line sending to a real
// AF_UNIX datagram socket given as NOTIFY_SOCKET.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "json_line.h"
#include "service_notify.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using vxpoll::LineStats;
using vxpoll::ServiceNotify;

struct Recorder {
    std::vector<std::string> messages;
    ServiceNotify::Send Sender()
    {
        return [this](const std::string& m) { messages.push_back(m); };
    }
    size_t Count(const std::string& message) const
    {
        return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
    }
};

// A two-second watchdog pinged every half second while the loop gets on, and
// not at all once it has gone the stall limit without progress.
TEST(ServiceNotify, PingsOnlyWhileTheLoopGetsOn)
{
    Recorder sent;
    ServiceNotify notify(sent.Sender(), 2s);
    notify.SetStallLimit(3000ms);
    const auto t0 = ServiceNotify::Clock::now();
    const auto none = [] { return std::string("s"); };
    notify.Tick(t0, none);
    EXPECT_EQ(sent.Count("WATCHDOG=1"), 0u) << "no progress yet";

    struct Step {
        std::chrono::milliseconds at;
        bool progress;
        bool ping;
    };
    const Step steps[] = {
        {100ms, true, true},  // the first progress pings at once
        {400ms, true, false},   {600ms, true, true},    {1000ms, false, false},
        {1100ms, false, true},  {3500ms, false, true},   // 2.9 s after the last progress: still within the limit
        {4200ms, false, false}, {4600ms, false, false},  // past it: the loop counts as hung
        {5000ms, true, true},                            // it gets on again
    };
    for (const Step& step : steps) {
        const size_t before = sent.Count("WATCHDOG=1");
        if (step.progress) notify.Progress(t0 + step.at);
        notify.Tick(t0 + step.at, none);
        EXPECT_EQ(sent.Count("WATCHDOG=1") - before, step.ping ? 1u : 0u) << "at " << step.at.count() << " ms";
    }
}

TEST(ServiceNotify, StatusAtMostOnceASecondAndOnlyWhenChanged)
{
    Recorder sent;
    ServiceNotify notify(sent.Sender(), 0us);
    const auto t0 = ServiceNotify::Clock::now();
    int asked = 0;
    std::string text = "a";
    const auto status = [&] {
        ++asked;
        return text;
    };
    notify.Progress(t0);
    notify.Tick(t0, status);
    text = "b";
    notify.Tick(t0 + 500ms, status);  // too soon: not even asked
    notify.Tick(t0 + 1000ms, status);
    notify.Tick(t0 + 2000ms, status);  // unchanged: not sent
    notify.Ready();
    notify.Ready();
    notify.Stopping();
    notify.Tick(t0 + 5000ms, status);  // nothing after stopping
    EXPECT_EQ(asked, 3);
    const std::vector<std::string> expected{"STATUS=a", "STATUS=b", "READY=1", "STOPPING=1\nSTATUS=stopping"};
    EXPECT_EQ(sent.messages, expected) << "no pings with the watchdog off";
}

TEST(ServiceNotify, StatusLineNamesTheLineState)
{
    const auto now = std::chrono::system_clock::now();
    const auto at = [&](std::chrono::milliseconds back) {
        return std::chrono::time_point_cast<LineStats::WallClock::duration>(now - back);
    };
    LineStats up;
    up.port = "/dev/ttyUSB0";
    up.up = true;
    up.roundsComplete = 1234;
    up.lastComplete = at(1200ms);
    LineStats starting;
    starting.port = "/dev/ttyS1";
    LineStats silent = up;
    silent.up = false;
    silent.reason = "time-outs";
    silent.since = at(25000ms);
    silent.lastReply = silent.since;
    silent.roundsAbandoned = 2;
    silent.timeouts = 9;
    LineStats closed = silent;
    closed.reason = "port closed";
    closed.roundsAbandoned = 0;
    closed.timeouts = 1;
    const std::string since = vxpoll::LocalTimeText(silent.since).substr(11, 8);
    const struct {
        const LineStats& stats;
        std::string text;
    } cases[] = {
        {up, "/dev/ttyUSB0: line up, 1234 rounds complete, the last 1.2 s ago"},
        {starting, "/dev/ttyS1: starting, no complete round yet"},
        {silent, "/dev/ttyUSB0: line down, no reply since " + since + " (25 s); 2 abandoned, 9 time-outs"},
        {closed, "/dev/ttyUSB0: line down, no reply since " + since + " (25 s), port closed; 1 time-out"},
    };
    for (const auto& c : cases) EXPECT_EQ(vxpoll::ServiceStatusText(c.stats, now), c.text);
}

#if defined(VX42B_POLL_WITH_SYSTEMD) && defined(VX42B_SIM_EXE)

using namespace vxpoll::e2e;
using Clock = std::chrono::steady_clock;

// systemd's end of NOTIFY_SOCKET: every datagram with the time it came.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof addr.sun_path) return;
        std::copy(path.begin(), path.end(), addr.sun_path);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~NotifySocket()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Bound() const { return fd_ >= 0; }

    struct Message {
        Clock::time_point at;
        std::string text;
    };
    // Receives until `done` says so or `limit` passes; false on the limit.
    bool ReceiveUntil(const std::function<bool(const Message&)>& done, std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            messages.push_back(Message{Clock::now(), std::string(buf, static_cast<size_t>(n))});
            if (done(messages.back())) return true;
        }
    }
    // The longest time between pings from `from` on (the time itself counts as one).
    std::chrono::milliseconds LongestPingGap(Clock::time_point from, Clock::time_point to) const
    {
        Clock::time_point last = from;
        Clock::duration longest{};
        for (const Message& m : messages) {
            if (m.at < from || m.at > to || m.text != "WATCHDOG=1") continue;
            longest = std::max(longest, m.at - last);
            last = m.at;
        }
        longest = std::max(longest, to - last);
        return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
    }

    std::vector<Message> messages;

private:
    std::string path_;
    int fd_ = -1;
};

// The poller with its output to files (nothing to drain), in an environment
// that has systemd's two variables.
class ServicePoller {
public:
    ServicePoller(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& dir)
    {
        std::vector<std::string> argv = Emulator();
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envs = env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string var = *e;
            if (var.rfind("NOTIFY_SOCKET=", 0) != 0 && var.rfind("WATCHDOG_", 0) != 0) envs.push_back(var);
        }
        std::vector<char*> a, e;
        for (std::string& s : argv) a.push_back(s.data());
        for (std::string& s : envs) e.push_back(s.data());
        a.push_back(nullptr);
        e.push_back(nullptr);
        posix_spawn_file_actions_t files;
        ::posix_spawn_file_actions_init(&files);
        ::posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, (dir + "/poll.out").c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::posix_spawn_file_actions_addopen(&files, STDERR_FILENO, (dir + "/poll.err").c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::posix_spawnp(&pid_, a[0], &files, nullptr, a.data(), e.data()) != 0) pid_ = -1;
        ::posix_spawn_file_actions_destroy(&files);
    }
    ~ServicePoller()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    pid_t Pid() const { return pid_; }
    int Wait()
    {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Ready once polling is under way, pings at least every half period while
// the line answers and while it is silent, the line in the status, and
// stopping before a clean exit on SIGTERM.
TEST(PollNotifyEndToEnd, ReadyPingsStatusAndStoppingOnARealSocket)
{
    TempDir dir;
    NotifySocket socket(dir.Path() + "/notify");
    ASSERT_TRUE(socket.Bound()) << std::strerror(errno);
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const std::string config = dir.Write("config.json", TestConfig(300));
    constexpr std::chrono::milliseconds kWatchdog{2000};
    ServicePoller poll(
        {PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config", config, "--down-after", "1"},
        {"NOTIFY_SOCKET=" + dir.Path() + "/notify", "WATCHDOG_USEC=2000000"}, dir.Path());
    ASSERT_GT(poll.Pid(), 0);
    const auto diagnostics = [&] { return ReadFile(dir.Path() + "/poll.err"); };

    // Ready, then a complete round in the status.
    bool ready = false;
    ASSERT_TRUE(socket.ReceiveUntil(
        [&](const NotifySocket::Message& m) {
            ready = ready || m.text == "READY=1";
            return ready && Has(m.text, "STATUS=" + sim.Path() + ": line up, ");
        },
        20s))
        << diagnostics();
    for (const auto& m : socket.messages)
        if (m.text.rfind("STATUS=", 0) == 0) {
            EXPECT_EQ(m.text, "STATUS=" + sim.Path() + ": starting, no complete round yet") << "the first status";
            break;
        }
    const auto up = Clock::now();
    // A watchdog period of polling.
    socket.ReceiveUntil([](const NotifySocket::Message&) { return false; }, kWatchdog);
    const auto silent = Clock::now();
    EXPECT_LE(socket.LongestPingGap(up, silent), kWatchdog / 2);

    // A silent line is no hang: the loop handles time-outs and keeps pinging.
    sim.Signal(SIGSTOP);
    EXPECT_TRUE(socket.ReceiveUntil(
        [&](const NotifySocket::Message& m) {
            return Has(m.text, "line down, no reply since") && Has(m.text, "time-out");
        },
        10s));
    socket.ReceiveUntil([](const NotifySocket::Message&) { return false; }, kWatchdog);
    const auto stop = Clock::now();
    EXPECT_LE(socket.LongestPingGap(silent, stop), kWatchdog / 2);

    ::kill(poll.Pid(), SIGTERM);
    EXPECT_TRUE(socket.ReceiveUntil([](const NotifySocket::Message& m) { return Has(m.text, "STOPPING=1"); }, 10s));
    EXPECT_EQ(poll.Wait(), 0) << diagnostics();
    size_t readies = 0;
    for (const auto& m : socket.messages) readies += m.text == "READY=1" ? 1 : 0;
    EXPECT_EQ(readies, 1u);
}

#endif

}  // namespace
