#include "termios_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "port_lock.h"

namespace {

// SOI, VER, ADR, CID1, CID2/RTN, LENGTH: then INFO (LENID characters),
// CHKSUM and EOI follow.
constexpr size_t kHeadSize = 13;
constexpr size_t kFrameOverhead = 18;
// Longer than any frame: what runs on this long without an end is not one.
constexpr size_t kLongestFrame = kFrameOverhead + 0xFFF;
// VMIN is one byte wide.
constexpr size_t kMinimumLimit = 255;
// How long a line may pause mid-frame beyond the bytes' own time (USB
// adapters hand bytes on in bursts), and the longest wait in one read.
constexpr int kGapMs = 50;
constexpr int kLongestWaitMs = 500;

int HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

unsigned SpeedConstant(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
    }
}

bool MakeRawLine(int fd, unsigned speed, std::string& error)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const int why = errno;
        error = std::string("not a terminal: ") + std::strerror(why);
        errno = why;  // the caller tells ENOTTY from the rest
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (speed != 0) {
        ::cfsetispeed(&tio, static_cast<speed_t>(speed));
        ::cfsetospeed(&tio, static_cast<speed_t>(speed));
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = std::string("cannot set the line mode: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::string NotACharacterDevice(unsigned mode)
{
    switch (mode & S_IFMT) {
    case S_IFCHR: return {};
    case S_IFDIR: return "a directory";
    case S_IFREG: return "a regular file";
    case S_IFIFO: return "a FIFO";
    case S_IFSOCK: return "a socket";
    case S_IFBLK: return "a block device";
    default: return "not a device";
    }
}

TermiosPort::TermiosPort(std::string path, int baud) : path_(std::move(path)), baud_(baud) {}

TermiosPort::~TermiosPort() { Close(); }

bool TermiosPort::Open()
{
    if (fd_ >= 0) return true;
    permanent_ = false;
    const speed_t speed = SpeedConstant(baud_);
    if (speed == 0) {
        error_ = "unsupported line speed " + std::to_string(baud_);
        permanent_ = true;
        return false;
    }
    inUse_ = false;
    int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        permanent_ = why == EISDIR;
        // EBUSY: another program opened it exclusively (TIOCEXCL).
        inUse_ = why == EBUSY;
        error_ = permanent_ ? "is a directory, not a serial device"
                 : inUse_   ? InUseText(PortHolder(path_))
                            : std::strerror(why);
        return false;
    }
    // Missing, busy or unplugged devices come back; anything that is not a
    // terminal never will.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISCHR(st.st_mode)) {
        error_ = "is " + NotACharacterDevice(st.st_mode) + ", not a serial device";
        permanent_ = true;
        ::close(fd);
        return false;
    }
    // Two programs on one line garble each other's frames. The lock is taken
    // before the line is touched, so that the holder's settings stay as they are;
    // flock holds against root too, where TIOCEXCL does not. The kernel drops
    // both when the process ends, so nothing goes stale.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        inUse_ = true;
        error_ = InUseText(PortHolder(path_));
        ::close(fd);
        return false;
    }
    if (const pid_t holder = UucpLockHolder(path_); holder > 0) {
        // A program that takes no flock but leaves a lock file.
        inUse_ = true;
        error_ = InUseText(holder);
        ::close(fd);
        return false;
    }
    if (!MakeRawLine(fd, speed, error_)) {
        permanent_ = errno == ENOTTY;
        if (permanent_) error_ = "is a character device but not a terminal, so not a serial device";
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    ::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    inFrame_ = 0;
    minimum_ = 0;
    error_.clear();
    return true;
}

void TermiosPort::Close()
{
    // The exclusive mode outlives this descriptor while another one is open
    // (a simulator holds its side of a pseudo-terminal): give it back.
    if (fd_ >= 0) ::ioctl(fd_, TIOCNXCL);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

long TermiosPort::ReadNow(unsigned char* buffer, size_t size)
{
    for (;;) {
        ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0) {
            // A pseudo-terminal whose other side has gone reads 0 with POLLHUP.
            if (n == 0) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                    (p.revents & POLLIN) == 0) {
                    error_ = "line hung up";
                    return -1;
                }
            }
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        error_ = std::strerror(errno);
        return -1;
    }
}

void TermiosPort::Track(const unsigned char* data, size_t size)
{
    for (size_t k = 0; k < size; ++k) {
        const unsigned char c = data[k];
        if (c == '~') {
            inFrame_ = 1;
            head_[0] = c;
        } else if (c == '\r' || inFrame_ == 0) {
            inFrame_ = 0;
        } else {
            if (inFrame_ < kHeadSize) head_[inFrame_] = c;
            inFrame_ = inFrame_ < kLongestFrame ? inFrame_ + 1 : 0;
        }
    }
}

size_t TermiosPort::Missing() const
{
    if (inFrame_ < kHeadSize) return kFrameOverhead - inFrame_;
    size_t lenid = 0;
    for (size_t k = 10; k < kHeadSize; ++k) {
        const int v = HexValue(head_[k]);
        // A length that does not read: byte by byte until the end.
        if (v < 0) return 1;
        lenid = lenid * 16 + static_cast<size_t>(v);
    }
    const size_t length = kFrameOverhead + lenid;
    return length > inFrame_ ? length - inFrame_ : 1;
}

void TermiosPort::SetMinimum(size_t bytes)
{
    if (bytes == minimum_) return;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return;
    tio.c_cc[VMIN] = static_cast<cc_t>(bytes);
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &tio) == 0) minimum_ = bytes;
}

long TermiosPort::Read(unsigned char* buffer, size_t size)
{
    if (fd_ < 0) return -1;
    long got = ReadNow(buffer, size);
    if (got <= 0) return got;
    Track(buffer, static_cast<size_t>(got));
    // The rest of a frame comes at line speed. poll() with VMIN at the bytes
    // still due wakes once they are all there, and at once when they are:
    // the end of a frame is never held back.
    while (inFrame_ > 0 && static_cast<size_t>(got) < size) {
        const size_t want = std::min({Missing(), size - static_cast<size_t>(got), kMinimumLimit});
        SetMinimum(want);
        const long lineMs = baud_ > 0 ? static_cast<long>(want) * 10000 / baud_ + 1 : 0;
        pollfd p{fd_, POLLIN, 0};
        // Silence mid-frame (or a signal): what came goes to the device,
        // whose reply time-out decides.
        if (::poll(&p, 1, static_cast<int>(std::min<long>(lineMs + kGapMs, kLongestWaitMs))) <= 0) break;
        const long more = ReadNow(buffer + got, size - static_cast<size_t>(got));
        if (more <= 0) break;
        Track(buffer + got, static_cast<size_t>(more));
        got += more;
    }
    // Between frames any byte is news.
    SetMinimum(0);
    return got;
}

bool TermiosPort::Write(const unsigned char* data, size_t size)
{
    if (fd_ < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd_, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0) continue;
            error_ = "write timed out";
            return false;
        }
        error_ = n < 0 ? std::strerror(errno) : "write returned 0";
        return false;
    }
    return true;
}
