#include "tcp_port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kConnectTimeoutMs = 5000;
// Many device servers take one connection at a time and refuse, or accept
// and drop at once, any other.
constexpr const char* kOneAtATime =
    " (is the device server up? if it takes one connection at a time, another program may have it)";
}  // namespace

bool ParseTcpEndpoint(const std::string& endpoint, std::string& host, std::string& port, std::string& error)
{
    const char* expected = "; expected tcp:HOST:PORT with PORT from 1 to 65535";
    const size_t colon = endpoint.rfind(':');
    // A bare IPv6 address has colons but no port after a closing bracket.
    const bool bracketed = !endpoint.empty() && endpoint.front() == '[';
    if (colon == std::string::npos || (bracketed && endpoint.find(']') > colon)) {
        error = std::string("has no port number") + expected;
        return false;
    }
    std::string h = endpoint.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if (h.empty()) {
        error = std::string("has no host") + expected;
        return false;
    }
    const std::string p = endpoint.substr(colon + 1);
    if (p.empty()) {
        error = std::string("has no port number") + expected;
        return false;
    }
    unsigned long value = 0;
    for (char c : p) {
        if (c < '0' || c > '9') {
            error = "has port \"" + p + "\", not a number" + expected;
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) break;
    }
    if (value == 0 || value > 65535) {
        error = "has port " + p + ", out of range" + expected;
        return false;
    }
    host = h;
    port = p;
    return true;
}

TcpPort::TcpPort(std::string endpoint) : endpoint_(std::move(endpoint)) {}

TcpPort::~TcpPort() { Close(); }

bool TcpPort::Open()
{
    if (fd_ >= 0) return true;
    permanent_ = false;
    std::string host, service;
    if (!ParseTcpEndpoint(endpoint_, host, service, error_)) {
        // No retry makes a malformed address work.
        permanent_ = true;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        error_ = ::gai_strerror(rc);
        return false;
    }
    error_ = "no address";
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error_ = std::strerror(errno);
            continue;
        }
        // Connect without blocking, so an unreachable server costs at most
        // the connect time-out, not the system's minutes.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            int err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                const int ready = ::poll(&p, 1, kConnectTimeoutMs);
                socklen_t len = sizeof err;
                if (ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                    err = 0;
                } else if (ready == 0) {
                    err = ETIMEDOUT;
                } else if (ready < 0) {
                    err = errno;
                }
            }
            if (err != 0) {
                error_ = err == ECONNREFUSED ? std::string(std::strerror(err)) + kOneAtATime : std::strerror(err);
                ::close(fd);
                continue;
            }
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
        received_ = false;
        error_.clear();
        break;
    }
    ::freeaddrinfo(list);
    return fd_ >= 0;
}

void TcpPort::Close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

long TcpPort::Read(unsigned char* buffer, size_t size)
{
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, size, 0);
        if (n > 0) {
            received_ = true;
            return static_cast<long>(n);
        }
        if (n == 0) {
            error_ = received_ ? "connection closed"
                               : std::string("connection closed by the device server before any reply") + kOneAtATime;
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        error_ = std::strerror(errno);
        return -1;
    }
}

bool TcpPort::Write(const unsigned char* data, size_t size)
{
    if (fd_ < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL);
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
        error_ = n < 0 ? std::strerror(errno) : "send returned 0";
        return false;
    }
    return true;
}
