#include "http_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "history_digest.h"
#include "json_line.h"
#include "option_file.h"
#include "state_view.h"
#include "web_page.h"

namespace vxpoll {

namespace {

// At most `threads` requests are served at once and `queued` wait; the
// acceptor blocks when that is full, so further connections wait in the
// kernel's backlog instead of in memory.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(int threads, int queued) : queued_(static_cast<size_t>(queued))
    {
        for (int k = 0; k < threads; ++k) workers_.emplace_back([this] { Work(); });
    }
    ~BoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < queued_ || stopping_; });
        jobs_.push_back(std::move(fn));
        work_.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        room_.notify_all();
        for (std::thread& t : workers_)
            if (t.joinable()) t.join();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                // Accepted connections are still served on the way out, so that none leaks.
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            job();
        }
    }

    size_t queued_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable room_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

// Bounded: the option files are checked before the start, but one swapped
// for a device since must still end. Chart.js is the largest, ~200 KiB.
constexpr size_t kReadMax = size_t{4} << 20;

bool ReadFile(const std::string& path, std::string& text)
{
    std::string error;
    errno = 0;
    if (option_file::Read("file", path, kReadMax, text, error)) return true;
    if (errno == 0) errno = EINVAL;
    return false;
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

constexpr size_t kVerifiedMax = 64;

}  // namespace

// ---- addresses ----

namespace {

// The bind would fail with nothing better than errno 0 for these.
bool CheckListenHost(const std::string& host, std::string& error)
{
    in_addr v4{};
    in6_addr v6{};
    if (host.find(':') != std::string::npos) {
        if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) return true;
        error = "\"" + host + "\" is not an IPv6 address";
        return false;
    }
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return true;
        error = "\"" + host + "\" is not an IPv4 address (four numbers from 0 to 255, as 192.0.2.7)";
        return false;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found != nullptr) ::freeaddrinfo(found);
    if (rc == 0) return true;
    error = "cannot find the address of \"" + host + "\": " + ::gai_strerror(rc) +
            "; give an address of this machine (0.0.0.0 for all)";
    return false;
}

}  // namespace

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
    return CheckListenHost(host, error);
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
        // A hash this libcrypt cannot check would lock the user out silently.
        if (hash.empty() || hash[0] != '$' || Crypt("", hash).empty()) {
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

bool BasicAuth::Check(const std::string& authorization)
{
    static const std::string scheme = "Basic ";
    if (authorization.size() <= scheme.size() || authorization.compare(0, scheme.size(), scheme) != 0) return false;
    const std::string digest = Sha256(authorization);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& known : verified_)
            if (SameBytes(known, digest)) return true;
    }
    std::string decoded;
    if (!Base64Decode(authorization.substr(scheme.size()), decoded)) return false;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    const auto user = users_.find(decoded.substr(0, colon));
    if (user == users_.end()) return false;
    const std::string hashed = Crypt(decoded.substr(colon + 1), user->second);
    if (hashed.empty() || !SameBytes(hashed, user->second)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (verified_.size() >= kVerifiedMax) verified_.erase(verified_.begin());
    verified_.push_back(digest);
    return true;
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
    const int threads = options_.threads;
    const int queued = options_.queued;
    server_->new_task_queue = [threads, queued] { return new BoundedPool(threads, queued); };
    server_->set_payload_max_length(1024);
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    server_->set_keep_alive_timeout(5);
    server_->set_keep_alive_max_count(100);
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
    if (!IsLoopback(options_.host)) {
        if (!auth_ && options_.certFile.empty())
            warn("http: " + Url() +
                 " is open to the network without authentication or TLS: anyone who reaches it "
                 "can read the power system's state (see --http-auth, --http-cert)");
        else if (options_.certFile.empty())
            warn("http: " + Url() + " takes passwords without TLS: they cross the network readable (see --http-cert)");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    if (digest_) warm_ = std::thread([this] { digest_->Warm(UnixSeconds(std::chrono::system_clock::now())); });
    return true;
}

void HttpServer::Stop()
{
    if (!server_) return;
    if (digest_) digest_->Cancel();
    server_->stop();
    if (thread_.joinable()) thread_.join();
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
        if (auth_ && !auth_->Check(req.get_header_value("Authorization"))) {
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
