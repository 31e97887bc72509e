#include "sim_server.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "termios_port.h"
#include "yd1363.h"

namespace vx42b_sim {

namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

SimServer::SimServer(Scenario scenario)
    : responder_(std::move(scenario)), baud_(responder_.GetScenario().line.baud),
      turnaroundMs_(responder_.GetScenario().line.turnaroundMs)
{
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

SimServer::~SimServer()
{
    Stop();
    CloseLine();
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void SimServer::CloseLine()
{
    if (fd_ >= 0) ::close(fd_);
    if (keepOpenFd_ >= 0) ::close(keepOpenFd_);
    fd_ = keepOpenFd_ = -1;
}

std::string SimServer::OpenPty(std::string& error)
{
    if (thread_.joinable()) {
        error = "the server is running";
        return {};
    }
    CloseLine();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = Errno("posix_openpt");
        return {};
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        error = Errno("cannot set up the pseudo-terminal");
        ::close(master);
        return {};
    }
    // Holding the client side open keeps the master from reading EIO (and
    // from losing its settings) whenever no client is attached.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = Errno(name);
        ::close(master);
        return {};
    }
    if (!MakeRawLine(slave, 0, error) || ::fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
        if (error.empty()) error = Errno("fcntl");
        ::close(slave);
        ::close(master);
        return {};
    }
    fd_ = master;
    keepOpenFd_ = slave;
    return name;
}

bool SimServer::OpenDevice(const std::string& path, int baud, std::string& error)
{
    if (thread_.joinable()) {
        error = "the server is running";
        return false;
    }
    const speed_t speed = SpeedConstant(baud);
    if (speed == 0) {
        error = "unsupported line speed " + std::to_string(baud) +
                " (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400)";
        return false;
    }
    CloseLine();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = Errno(path.c_str());
        return false;
    }
    if (!MakeRawLine(fd, speed, error)) {
        error = path + ": " + error;
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    baud_ = baud;
    return true;
}

void SimServer::Start()
{
    if (fd_ < 0 || thread_.joinable()) return;
    char drain[16];
    while (wake_[0] >= 0 && ::read(wake_[0], drain, sizeof drain) > 0) {
    }
    stopping_ = false;
    thread_ = std::thread([this] {
        while (ServeOnce(-1)) {
        }
    });
}

void SimServer::Stop()
{
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char c = 'x';
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
}

Counters SimServer::GetCounters() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return responder_.GetCounters();
}

void SimServer::InjectOnce(uint8_t cid1, uint8_t cid2, Fault fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_.InjectOnce(cid1, cid2, fault);
}

void SimServer::Modify(const std::function<void(PowerSystem&)>& change)
{
    std::lock_guard<std::mutex> lock(mutex_);
    change(responder_.System());
}

void SimServer::SetTrace(std::function<void(const std::string&, const std::string&)> trace)
{
    trace_ = std::move(trace);
}

bool SimServer::Wait(int ms)
{
    if (stopping_) return false;
    if (ms <= 0) return true;
    pollfd p{wake_[0], POLLIN, 0};
    ::poll(&p, wake_[0] >= 0 ? 1 : 0, ms);
    return !stopping_;
}

bool SimServer::ServeOnce(int waitMs)
{
    if (fd_ < 0 || stopping_) return false;
    // The scenario's clock starts when serving does.
    if (started_ == std::chrono::steady_clock::time_point{}) started_ = std::chrono::steady_clock::now();
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const nfds_t n = wake_[0] >= 0 ? 2 : 1;
    // Without the wake-up pipe a Stop() is only seen on the next time-out.
    const int ready = ::poll(fds, n, n == 1 && (waitMs < 0 || waitMs > 200) ? 200 : waitMs);
    if (ready < 0) return errno == EINTR;
    if (stopping_) return false;
    if (ready == 0) return true;
    if (fds[0].revents & POLLIN) {
        unsigned char buffer[512];
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        yd1363::Reassembler::Event event{};
        for (ssize_t k = 0; k < got && !stopping_; ++k) {
            if (reassembler_.Feed(buffer[k], event) && event.kind == yd1363::Reassembler::Event::Frame)
                Handle(reassembler_.Body());
        }
        if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR))) return !stopping_;
    }
    // End of file, a hang-up or an error: the line may come back; don't spin.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return Wait(100);
    return true;
}

void SimServer::Handle(const std::string& body)
{
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
        responder_.SetTime(elapsed.count());
        reply = responder_.RespondBody(body);
    }
    if (trace_) trace_(body, reply);
    if (reply.empty() || !Wait(turnaroundMs_)) return;
    WritePaced(reply);
}

bool SimServer::WritePaced(const std::string& data)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastProgress = start;
    size_t sent = 0;
    while (sent < data.size()) {
        if (stopping_) return false;
        size_t chunk = data.size() - sent;
        if (baud_ > 0) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const double secondsPerByte = 10.0 / baud_;
            const size_t due = 1 + static_cast<size_t>(elapsed / secondsPerByte);
            if (due <= sent) {
                const double wait = static_cast<double>(sent) * secondsPerByte - elapsed;
                if (!Wait(std::max(1, static_cast<int>(std::ceil(wait * 1000))))) return false;
                continue;
            }
            chunk = std::min(chunk, due - sent);
        }
        const ssize_t n = ::write(fd_, data.data() + sent, chunk);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // Nobody reads the line: give the reply up rather than hang.
        if (Clock::now() - lastProgress > std::chrono::seconds(2)) return false;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        ::poll(fds, wake_[0] >= 0 ? 2 : 1, 50);
    }
    return true;
}

}  // namespace vx42b_sim
