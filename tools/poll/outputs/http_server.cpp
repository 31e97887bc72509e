#include "http_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "history_digest.h"
#include "json_line.h"
#include "state_view.h"
#include "web_page.h"

namespace vxpoll {

namespace {

bool ReadFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return !in.bad();
}

bool Base64Decode(const std::string& in, std::string& out)
{
    if (in.empty() || in.size() % 4 != 0 || in.size() > 4096) return false;
    std::string buffer(in.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&buffer[0]),
                                  reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    if (n < 0) return false;
    // The block decoder counts padding as zero bytes.
    const size_t padding = (in[in.size() - 1] == '=') + (in[in.size() - 2] == '=');
    buffer.resize(static_cast<size_t>(n) - padding);
    out = buffer;
    return true;
}

std::string Sha256(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
    return std::string(reinterpret_cast<char*>(digest), size);
}

bool SameBytes(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// crypt(3) of a phrase with a stored hash as its setting; empty on failure.
std::string Crypt(const std::string& phrase, const std::string& setting)
{
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* out = crypt_r(phrase.c_str(), setting.c_str(), data.get());
    if (out == nullptr || out[0] == '*') return {};
    return out;
}

// The hash kinds the docs name; older ones libcrypt still checks are refused.
const char* RefusedKind(const std::string& hash)
{
    static const std::pair<const char*, const char*> kinds[] = {
        {"$1$", "md5crypt ($1$)"},
        {"$apr1$", "Apache MD5 ($apr1$)"},
        {"$md5", "Sun MD5 ($md5)"},
        {"$sha1$", "sha1crypt ($sha1$)"},
        {"$3$", "NT ($3$)"},
        {"$2a$", "bcrypt $2a$ (a buggy variant)"},
        {"$2x$", "bcrypt $2x$ (a buggy variant)"},
        {"_", "BSDi DES"},
    };
    for (const auto& kind : kinds)
        if (hash.compare(0, std::strlen(kind.first), kind.first) == 0) return kind.second;
    if (hash.size() == 13 && hash[0] != '$') return "DES";
    return nullptr;
}

bool AcceptedKind(const std::string& hash)
{
    for (const char* prefix : {"$2b$", "$2y$", "$5$", "$6$", "$y$"})
        if (hash.compare(0, std::strlen(prefix), prefix) == 0) return true;
    return false;
}

constexpr size_t kVerifiedMax = 64;

// Reaches what httplib::Server leaves to its subclasses: the bound socket,
// and parsing and routing one request read from a stream.
struct ServerAccess : httplib::Server {
    static int Listener(httplib::Server& server) { return (server.*(&ServerAccess::svr_sock_)).load(); }
    static void CloseListener(httplib::Server& server)
    {
        const int fd = (server.*(&ServerAccess::svr_sock_)).exchange(INVALID_SOCKET);
        if (fd != INVALID_SOCKET) ::close(fd);
    }
    static bool Serve(httplib::Server& server, httplib::Stream& stream, bool last, bool& closed,
                      const std::function<void(httplib::Request&)>& setup)
    {
        return (server.*(&ServerAccess::process_request))(stream, last, closed, setup);
    }
};

using Clock = std::chrono::steady_clock;

constexpr size_t kHeadMax = 16 * 1024;            // request line and headers
constexpr unsigned kRequestsPerConnection = 100;  // then the connection is closed
constexpr auto kStall = std::chrono::seconds(5);  // no progress reading a body or writing an answer
constexpr auto kAnswerDeadline = std::chrono::seconds(30);

// Where the request's line and headers end; npos while they have not.
size_t HeadEnd(const std::string& in)
{
    const size_t crlf = in.find("\r\n\r\n");
    const size_t lf = in.find("\n\n");
    return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
}

bool HeadComplete(const std::string& in) { return HeadEnd(in) != std::string::npos; }

struct Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    bool secure = false;         // the TLS handshake is done
    bool wantWrite = false;      // the TLS handshake waits to write
    bool started = false;        // a byte of the next request has come
    std::string in;              // read and not yet given to httplib
    Clock::time_point since;     // accepted, or back from its last answer
    Clock::time_point deadline;  // for the handshake, the next request's first byte, or its head
    std::string ip;
    int port = 0;
    unsigned served = 0;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        if (ssl != nullptr) {
            if (secure) SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        if (fd >= 0) ::close(fd);
    }
};

// Waits for `events` on the connection, at most `stall` and never past
// `deadline`; false when the time is up or the server stops.
bool WaitFor(const Connection& c, short events, Clock::time_point deadline, int stopFd)
{
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) return false;
        const auto left = std::min<Clock::duration>(deadline - now, kStall);
        pollfd fds[2] = {{c.fd, events, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || fds[1].revents != 0) return false;
        return true;
    }
}

// One request's stream for httplib: the head the gate has read, then the
// socket, each read and write bounded in time.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(Connection& c, Clock::time_point readDeadline, int stopFd)
        : c_(c), readDeadline_(readDeadline), writeDeadline_(Clock::now() + kAnswerDeadline), stopFd_(stopFd)
    {}
    ~ConnectionStream() override { c_.in.erase(0, offset_); }

    bool is_readable() const override { return true; }
    bool is_writable() const override { return !failed_; }

    ssize_t read(char* ptr, size_t size) override
    {
        if (offset_ < c_.in.size()) {
            const size_t n = std::min(size, c_.in.size() - offset_);
            std::memcpy(ptr, c_.in.data() + offset_, n);
            offset_ += n;
            return static_cast<ssize_t>(n);
        }
        const auto deadline = std::min(readDeadline_, Clock::now() + kStall);
        for (;;) {
            if (c_.ssl != nullptr) {
                ERR_clear_error();
                const int n = SSL_read(c_.ssl, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
                if (n > 0) return n;
                const int why = SSL_get_error(c_.ssl, n);
                if (why == SSL_ERROR_ZERO_RETURN) return 0;
                if ((why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) ||
                    !WaitFor(c_, why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, stopFd_))
                    return Fail();
                continue;
            }
            const ssize_t n = ::recv(c_.fd, ptr, size, 0);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(c_, POLLIN, deadline, stopFd_)) return Fail();
        }
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        if (size == 0) return 0;
        for (;;) {
            const auto deadline = std::min(writeDeadline_, Clock::now() + kStall);
            if (c_.ssl != nullptr) {
                ERR_clear_error();
                const int n = SSL_write(c_.ssl, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
                if (n > 0) return n;
                const int why = SSL_get_error(c_.ssl, n);
                if ((why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) ||
                    !WaitFor(c_, why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, stopFd_))
                    return Fail();
                continue;
            }
            const ssize_t n = ::send(c_.fd, ptr, size, MSG_NOSIGNAL);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(c_, POLLOUT, deadline, stopFd_)) return Fail();
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = c_.ip;
        port = c_.port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return c_.fd; }
    bool Failed() const { return failed_; }

private:
    ssize_t Fail()
    {
        failed_ = true;
        return -1;
    }

    Connection& c_;
    size_t offset_ = 0;
    Clock::time_point readDeadline_;
    Clock::time_point writeDeadline_;
    int stopFd_;
    bool failed_ = false;
};

void Address(const sockaddr_storage& addr, std::string& ip, int& port)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}

}  // namespace

// httplib reads a request with a time limit per read only, on a worker it
// holds from accept to close: a client sending a byte every few seconds, or
// a hundred connecting and saying nothing, held every worker. So connections
// wait here instead, on one thread that polls them all: the TLS handshake
// and the request's line and headers are read here, against a deadline from
// the first byte (the handshake's from the accept), and an idle connection
// is closed after the idle time. Only a complete head goes to a worker,
// which hands httplib a stream that starts with it; a connection kept alive
// comes back here. At most `connections` are held: a new one closes the one
// that has waited longest, so that the listen backlog (as deep as the cap)
// never fills with clients no one reads.
class Gate {
public:
    Gate(httplib::Server& server, SSL_CTX* tls, const HttpOptions& options)
        : server_(server), listener_(ServerAccess::Listener(server)), tls_(tls),
          cap_(static_cast<size_t>(std::max(options.connections, 1))), requestDeadline_(options.requestDeadline),
          idleTimeout_(options.idleTimeout)
    {
        ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
        ::listen(listener_, static_cast<int>(cap_));
        wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (::pipe2(stop_, O_NONBLOCK | O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
        gate_ = std::thread([this] { Run(); });
        for (int k = 0; k < std::max(options.threads, 1); ++k) workers_.emplace_back([this] { Work(); });
    }

    ~Gate()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        if (stop_[1] >= 0) {
            const char byte = 0;
            (void)!::write(stop_[1], &byte, 1);
        }
        work_.notify_all();
        if (gate_.joinable()) gate_.join();
        for (std::thread& t : workers_) t.join();
        ready_.clear();
        back_.clear();
        for (int fd : {wake_, stop_[0], stop_[1]})
            if (fd >= 0) ::close(fd);
    }

    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

private:
    using Held = std::unique_ptr<Connection>;

    void Run()
    {
        std::vector<pollfd> fds;
        auto acceptFrom = Clock::now();
        for (;;) {
            std::vector<Held> back;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) break;
                back.swap(back_);
            }
            auto now = Clock::now();
            for (Held& c : back) {
                c->since = now;
                c->started = false;
                c->deadline = now + idleTimeout_;
                Take(std::move(c), now);
            }
            Expire(now);

            fds.clear();
            fds.push_back({stop_[0], POLLIN, 0});
            fds.push_back({wake_, POLLIN, 0});
            fds.push_back({now >= acceptFrom ? listener_ : -1, POLLIN, 0});
            auto next = now + std::chrono::seconds(60);
            for (const Held& c : waiting_) {
                fds.push_back({c->fd, static_cast<short>(c->wantWrite ? POLLOUT : POLLIN), 0});
                next = std::min(next, c->deadline);
            }
            if (now < acceptFrom) next = std::min(next, acceptFrom);
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
            if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait, 0))) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents != 0) break;
            if (fds[1].revents != 0) {
                uint64_t count = 0;
                (void)!::read(wake_, &count, sizeof count);
            }
            now = Clock::now();
            // Before new ones are taken, so that the indices still match.
            for (size_t k = 0; k < waiting_.size(); ++k) {
                if (fds[k + 3].revents == 0) continue;
                Held c = std::move(waiting_[k]);
                Take(std::move(c), now);
            }
            waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), nullptr), waiting_.end());
            if (fds[2].revents != 0 && !Accept()) acceptFrom = now + std::chrono::milliseconds(100);
        }
        waiting_.clear();
    }

    // Reads what has come; a complete head goes to a worker, the rest waits.
    void Take(Held c, Clock::time_point now)
    {
        if (!Read(*c, now)) return;
        const size_t end = HeadEnd(c->in);
        if (c->in.size() > kHeadMax && (end == std::string::npos || end > kHeadMax)) {
            Answer(*c, "431 Request Header Fields Too Large");
            return;
        }
        if (end != std::string::npos) {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(std::move(c));
            ++busy_;
            work_.notify_one();
            return;
        }
        for (Held& slot : waiting_) {
            if (!slot) {
                slot = std::move(c);
                return;
            }
        }
        waiting_.push_back(std::move(c));
    }

    // False when the connection is done with.
    bool Read(Connection& c, Clock::time_point now)
    {
        if (c.ssl != nullptr && !c.secure) {
            ERR_clear_error();
            const int done = SSL_accept(c.ssl);
            if (done != 1) {
                const int why = SSL_get_error(c.ssl, done);
                c.wantWrite = why == SSL_ERROR_WANT_WRITE;
                return why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE;
            }
            c.secure = true;
            c.wantWrite = false;
            c.deadline = now + idleTimeout_;
        }
        char buffer[4096];
        while (!HeadComplete(c.in) && c.in.size() <= kHeadMax) {
            ssize_t n = 0;
            if (c.ssl != nullptr) {
                ERR_clear_error();
                const int got = SSL_read(c.ssl, buffer, sizeof buffer);
                if (got <= 0) {
                    const int why = SSL_get_error(c.ssl, got);
                    c.wantWrite = why == SSL_ERROR_WANT_WRITE;
                    return why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE;
                }
                n = got;
            } else {
                n = ::recv(c.fd, buffer, sizeof buffer, 0);
                if (n == 0) return false;
                if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
            if (!c.started) {
                c.started = true;
                c.deadline = now + requestDeadline_;
            }
            c.in.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    void Expire(Clock::time_point now)
    {
        for (Held& c : waiting_) {
            if (c->deadline > now) continue;
            if (c->started) Answer(*c, "408 Request Timeout");
            c.reset();
        }
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), nullptr), waiting_.end());
    }

    // A short answer before closing, if the socket takes it at once.
    static void Answer(Connection& c, const std::string& status)
    {
        if (c.ssl != nullptr && !c.secure) return;
        const std::string text = "HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        if (c.ssl != nullptr) {
            SSL_write(c.ssl, text.data(), static_cast<int>(text.size()));
            return;
        }
        (void)::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL);
        // Closed with unread input the socket would reset, and the client might lose the answer.
        char drain[4096];
        for (int k = 0; k < 16 && ::recv(c.fd, drain, sizeof drain, 0) > 0; ++k) {
        }
    }

    // False when accept fails for want of descriptors: then the listener
    // rests a moment instead of waking the loop at once.
    bool Accept()
    {
        for (;;) {
            sockaddr_storage addr{};
            socklen_t size = sizeof addr;
            const int fd =
                ::accept4(listener_, reinterpret_cast<sockaddr*>(&addr), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            const auto now = Clock::now();
            auto c = std::make_unique<Connection>();
            c->fd = fd;
            Address(addr, c->ip, c->port);
            c->since = now;
            if (tls_ != nullptr) {
                c->ssl = SSL_new(tls_);
                if (c->ssl == nullptr || SSL_set_fd(c->ssl, fd) != 1) continue;
                SSL_set_mode(c->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
                c->deadline = now + requestDeadline_;
            } else {
                c->deadline = now + idleTimeout_;
            }
            size_t busy = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                busy = busy_;
            }
            if (waiting_.size() + busy >= cap_) {
                if (waiting_.empty()) continue;  // every one held is being answered: this one closes
                const auto oldest = std::min_element(waiting_.begin(), waiting_.end(),
                                                     [](const Held& a, const Held& b) { return a->since < b->since; });
                waiting_.erase(oldest);
            }
            Take(std::move(c), now);
        }
    }

    void Work()
    {
        for (;;) {
            Held c;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
                if (stopping_) return;
                c = std::move(ready_.front());
                ready_.pop_front();
            }
            const bool keep = Serve(*c);
            std::lock_guard<std::mutex> lock(mutex_);
            --busy_;
            if (keep && !stopping_) {
                back_.push_back(std::move(c));
                const uint64_t one = 1;
                (void)!::write(wake_, &one, sizeof one);
            }
        }
    }

    // True when the connection stays open for another request.
    bool Serve(Connection& c)
    {
        bool closed = false;
        bool readOnly = true;
        ++c.served;
        ConnectionStream stream(c, c.deadline, stop_[0]);
        const bool ok = ServerAccess::Serve(server_, stream, c.served >= kRequestsPerConnection, closed,
                                            [&readOnly](httplib::Request& req) {
                                                // A body it did not read would be taken for the next request.
                                                readOnly = req.method == "GET" || req.method == "HEAD";
                                            });
        return ok && !closed && readOnly && !stream.Failed() && c.served < kRequestsPerConnection;
    }

    httplib::Server& server_;
    const int listener_;
    SSL_CTX* const tls_;
    const size_t cap_;
    const std::chrono::milliseconds requestDeadline_;
    const std::chrono::milliseconds idleTimeout_;
    int wake_ = -1;              // a connection is back from a worker
    int stop_[2] = {-1, -1};     // readable once the server stops; every wait watches it
    std::vector<Held> waiting_;  // the gate thread's own
    std::mutex mutex_;
    std::condition_variable work_;
    std::deque<Held> ready_;  // complete heads, for the workers
    std::vector<Held> back_;  // kept alive, back from the workers
    size_t busy_ = 0;         // in ready_ or being answered
    bool stopping_ = false;
    std::thread gate_;
    std::vector<std::thread> workers_;
};

// ---- addresses ----

bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error)
{
    std::string portText = text;
    host = "127.0.0.1";
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "expected [ADDRESS]:PORT, got \"" + text + "\"";
            return false;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon) {
            error = "write an IPv6 address in brackets, as [::1]:8080";
            return false;
        }
        if (colon > 0) host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(portText) > 65535) {
        error = "expected a port number from 0 to 65535 in \"" + text + "\"";
        return false;
    }
    port = std::stoi(portText);
    if (host.empty()) {
        error = "no address in \"" + text + "\"";
        return false;
    }
    return true;
}

bool IsLoopback(const std::string& host)
{
    if (host == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

// ---- basic authentication ----

bool BasicAuth::Load(const std::string& path, std::string& error)
{
    std::string text;
    if (!ReadFile(path, text)) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return Parse(text, path, error);
}

bool BasicAuth::Parse(const std::string& text, const std::string& origin, std::string& error)
{
    users_.clear();
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string where = origin + ":" + std::to_string(number) + ": ";
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            error = where + "expected USER:HASH";
            return false;
        }
        const std::string user = line.substr(0, colon);
        const std::string hash = line.substr(colon + 1);
        if (const char* weak = RefusedKind(hash)) {
            error = where + "the password of \"" + user + "\" is a " + weak +
                    " hash, which is too quick to guess to be accepted: make a bcrypt, sha-crypt or yescrypt one "
                    "(htpasswd -nB USER or mkpasswd -m sha-512)";
            return false;
        }
        // A hash this libcrypt cannot check would lock the user out silently.
        if (!AcceptedKind(hash) || Crypt("", hash).empty()) {
            error = where + "the password of \"" + user +
                    "\" is not a crypt(3) hash this system checks (bcrypt, sha-crypt or yescrypt; make one with "
                    "htpasswd -nB USER or mkpasswd -m sha-512)";
            return false;
        }
        users_[user] = hash;
    }
    if (users_.empty()) {
        error = origin + ": no users";
        return false;
    }
    return true;
}

BasicAuth::Verdict BasicAuth::Check(const std::string& authorization, const std::string& address, Clock::time_point now)
{
    // The scheme's name is case-insensitive, followed by one or more spaces.
    if (authorization.size() < 6 || ::strncasecmp(authorization.c_str(), "basic ", 6) != 0) return {Result::Refused};
    const size_t start = authorization.find_first_not_of(' ', 6);
    if (start == std::string::npos) return {Result::Refused};
    const std::string credentials = authorization.substr(start);
    const std::string digest = Sha256(credentials);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A client already let in stays in while its address waits out others' failures.
        for (const std::string& known : verified_)
            if (SameBytes(known, digest)) return {Result::Accepted};
        const auto failures = failures_.find(address);
        if (failures != failures_.end() && failures->second.until > now)
            return {Result::Wait,
                    static_cast<int>(std::chrono::ceil<std::chrono::seconds>(failures->second.until - now).count())};
    }
    std::string decoded;
    const size_t colon = Base64Decode(credentials, decoded) ? decoded.find(':') : std::string::npos;
    // crypt(3) would see a password only up to a NUL byte.
    const auto user = colon == std::string::npos || decoded.find('\0') != std::string::npos
                          ? users_.end()
                          : users_.find(decoded.substr(0, colon));
    std::string hashed;
    if (user != users_.end()) {
        std::lock_guard<std::mutex> one(hashing_);
        hashed = Crypt(decoded.substr(colon + 1), user->second);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (user == users_.end() || hashed.empty() || !SameBytes(hashed, user->second)) {
        Failed(address, now);
        return {Result::Refused};
    }
    failures_.erase(address);
    if (verified_.size() >= kVerifiedMax) verified_.erase(verified_.begin());
    verified_.push_back(digest);
    return {Result::Accepted};
}

void BasicAuth::Failed(const std::string& address, Clock::time_point now)
{
    auto found = failures_.find(address);
    if (found == failures_.end()) {
        if (failures_.size() >= kAddressesMax) {
            // The address that failed longest ago makes room.
            failures_.erase(std::min_element(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
                return a.second.last < b.second.last;
            }));
        }
        found = failures_.emplace(address, Failures{}).first;
    }
    Failures& f = found->second;
    // A quiet quarter of an hour forgives.
    if (now - f.last > std::chrono::minutes(15)) f.count = 0;
    f.last = now;
    if (++f.count < kFreeFailures) return;
    const unsigned doublings = std::min(f.count - kFreeFailures, 6u);
    f.until = now + std::min<Clock::duration>(std::chrono::seconds(1u << doublings), std::chrono::seconds(60));
}

size_t BasicAuth::AddressesTracked()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_.size();
}

std::vector<std::string> ExposureWarnings(const std::string& url, bool loopback, bool auth, bool tls)
{
    if (loopback) return {};
    if (!auth && !tls)
        return {"http: " + url +
                " is open to the network without authentication or TLS: anyone who reaches it can read the power "
                "system's state (see --http-auth, --http-cert)"};
    if (!tls)
        return {"http: " + url + " takes passwords without TLS: they cross the network readable (see --http-cert)"};
    if (!auth)
        return {"http: " + url +
                " is open to the network without authentication: TLS hides the traffic, but anyone who reaches it "
                "can read the power system's state (see --http-auth)"};
    return {};
}

// ---- the server ----

HttpServer::HttpServer(const StateStore& store, HttpOptions options) : store_(store), options_(std::move(options)) {}

HttpServer::~HttpServer() { Stop(); }

std::string HttpServer::Url() const
{
    const bool v6 = options_.host.find(':') != std::string::npos;
    return std::string(options_.certFile.empty() ? "http" : "https") + "://" + (v6 ? "[" : "") + options_.host +
           (v6 ? "]" : "") + ":" + std::to_string(port_) + "/";
}

bool HttpServer::Start(std::string& error, const std::function<void(const std::string&)>& warn)
{
    if (options_.certFile.empty() != options_.keyFile.empty()) {
        error = "--http-cert and --http-key go together";
        return false;
    }
    if (!options_.authFile.empty()) {
        auth_ = std::make_unique<BasicAuth>();
        if (!auth_->Load(options_.authFile, error)) {
            error = "--http-auth: " + error;
            return false;
        }
    }
    if (!options_.certFile.empty()) {
        std::string probe;
        for (const std::string* path : {&options_.certFile, &options_.keyFile}) {
            if (!ReadFile(*path, probe)) {
                error = "cannot read " + *path + ": " + std::strerror(errno);
                return false;
            }
        }
        server_ = std::make_unique<httplib::SSLServer>(options_.certFile.c_str(), options_.keyFile.c_str());
        if (!server_->is_valid()) {
            error = "cannot use the certificate " + options_.certFile + " with the key " + options_.keyFile +
                    " (PEM files, the key matching the certificate)";
            return false;
        }
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!ReadFile(options_.chartJs, chartJs_)) {
        chartJs_.clear();
        warn("http: no chart library at " + options_.chartJs +
             " (Debian package libjs-chart.js); the page shows "
             "no plots");
    }
    if (!options_.historyPath.empty()) digest_ = std::make_unique<HistoryDigest>(options_.historyPath);
    server_->set_payload_max_length(1024);
    Routes();

    // httplib's default adds SO_REUSEPORT, with which a second server on the
    // same address starts too and the kernel splits the requests between them.
    server_->set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    errno = 0;
    if (options_.port == 0) {
        port_ = server_->bind_to_any_port(options_.host);
    } else {
        port_ = server_->bind_to_port(options_.host, options_.port) ? options_.port : -1;
    }
    if (port_ <= 0) {
        const int why = errno;
        const std::string address =
            (options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host) + ":" +
            std::to_string(options_.port);
        error = why == EADDRINUSE ? address + " is already in use; stop the program that serves it, or name another"
                                  : "cannot listen on " + address + ": " +
                                        (why != 0 ? std::strerror(why) : "the address cannot be bound");
        server_.reset();
        return false;
    }
    for (const std::string& text :
         ExposureWarnings(Url(), IsLoopback(options_.host), auth_ != nullptr, !options_.certFile.empty()))
        warn(text);
    SSL_CTX* tls = options_.certFile.empty() ? nullptr : static_cast<httplib::SSLServer&>(*server_).ssl_context();
    gate_ = std::make_unique<Gate>(*server_, tls, options_);
    if (digest_) warm_ = std::thread([this] { digest_->Warm(UnixSeconds(std::chrono::system_clock::now())); });
    return true;
}

void HttpServer::Stop()
{
    if (!server_) return;
    if (digest_) digest_->Cancel();
    gate_.reset();
    ServerAccess::CloseListener(*server_);
    if (warm_.joinable()) warm_.join();
    server_.reset();
}

void HttpServer::Routes()
{
    httplib::Server& s = *server_;
    s.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                           {"Cache-Control", "no-store"},
                           {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:"},
                           {"Referrer-Policy", "no-referrer"}});
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("read-only: only GET and HEAD\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        const BasicAuth::Verdict verdict = auth_ ? auth_->Check(req.get_header_value("Authorization"), req.remote_addr)
                                                 : BasicAuth::Verdict{BasicAuth::Result::Accepted};
        if (verdict.result == BasicAuth::Result::Wait) {
            res.status = 429;
            res.set_header("Retry-After", std::to_string(verdict.retryAfter));
            res.set_content(
                "too many failed logins from this address: try again in " + std::to_string(verdict.retryAfter) + " s\n",
                "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (verdict.result == BasicAuth::Result::Refused) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"vx42b-poll\", charset=\"UTF-8\"");
            res.set_content("authentication required\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content("internal error\n", "text/plain");
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(WebPageHtml(), "text/html; charset=utf-8");
    });
    s.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(WebPageScript(), "text/javascript; charset=utf-8");
    });
    s.Get("/style.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(WebPageStyle(), "text/css; charset=utf-8");
    });
    s.Get("/chart.js", [this](const httplib::Request&, httplib::Response& res) {
        if (chartJs_.empty()) {
            res.status = 404;
            return;
        }
        res.set_header("Cache-Control", "max-age=86400");
        res.set_content(chartJs_, "text/javascript; charset=utf-8");
    });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(MetricsText(*store_.Current()), "text/plain; version=0.0.4; charset=utf-8");
    });
    s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(
            ToJsonLine(StateJson(*store_.Current(), std::chrono::system_clock::now(), options_.lang)) + "\n",
            "application/json");
    });
    s.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string range = req.has_param("range") ? req.get_param_value("range") : "6h";
        const DigestRange* digest = FindDigestRange(range);
        if (range != "6h" && digest == nullptr) {
            res.status = 400;
            res.set_content("range: 6h, 24h or 7d\n", "text/plain");
            return;
        }
        if (digest != nullptr && digest_) {
            Json::Value out;
            std::string error;
            if (digest_->Json(*digest, UnixSeconds(std::chrono::system_clock::now()), out, error)) {
                res.set_content(ToJsonLine(out) + "\n", "application/json");
                return;
            }
            res.status = 503;
            res.set_content("cannot read the history file: " + error + "\n", "text/plain");
            return;
        }
        const std::shared_ptr<const Snapshot> snapshot = store_.Current();
        Json::Value out = PlotsJson(*snapshot->plots);
        out["range"] = "6h";
        if (digest != nullptr)
            out["note"] = std::string("Only the last 6 hours are kept in memory; the ") + digest->name +
                          " range needs the history file (--history FILE).";
        res.set_content(ToJsonLine(out) + "\n", "application/json");
    });
}

}  // namespace vxpoll
