#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "state_store.h"
#include "vocabulary.h"

namespace httplib {
class Server;
}

// The embedded web server: the live page, /metrics and /api/state, all read
// from the state store's snapshots. Nothing here reaches the power system.
namespace vxpoll {

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0;          // 0: any free port (the log line names it)
    std::string authFile;  // user:crypt-hash lines; empty: no authentication
    std::string certFile;  // with keyFile: HTTPS
    std::string keyFile;
    std::string chartJs = "/usr/share/javascript/chart.js/chart.min.js";
    std::string historyPath;  // --history: the plots' 24 h and 7 day ranges
    Lang lang = Lang::En;     // --lang: the alarms' titles on the page
    int threads = 4;          // requests served at once
    int connections = 128;    // held open at once; the longest waiting one makes room for a new one
    std::chrono::milliseconds requestDeadline{10000};  // a request's line and headers, from its first byte
    std::chrono::milliseconds idleTimeout{5000};       // a connection without a request
};

// "ADDR:PORT", "[V6ADDR]:PORT", ":PORT" or "PORT" (loopback).
bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error);
bool IsLoopback(const std::string& host);
// What to warn about a server at `url` open to the network; empty on loopback.
std::vector<std::string> ExposureWarnings(const std::string& url, bool loopback, bool auth, bool tls);

// Basic authentication against "user:hash" lines, the hash as crypt(3)
// makes it (bcrypt "$2b$", "$2y$", sha-crypt "$5$", "$6$", yescrypt "$y$");
// blank lines and lines starting with '#' are skipped.
class HistoryDigest;

class BasicAuth {
public:
    using Clock = std::chrono::steady_clock;
    enum class Result { Accepted, Refused, Wait };
    struct Verdict {
        Result result;
        int retryAfter = 0;  // seconds, with Wait
    };
    // After this many failed logins an address waits 1 s, doubling with each
    // further failure up to a minute, and is not hashed for meanwhile.
    static constexpr unsigned kFreeFailures = 5;
    static constexpr size_t kAddressesMax = 1024;

    bool Load(const std::string& path, std::string& error);
    bool Parse(const std::string& text, const std::string& origin, std::string& error);
    // The Authorization header's value, from the client at `address`.
    Verdict Check(const std::string& authorization, const std::string& address = "",
                  Clock::time_point now = Clock::now());
    size_t Users() const { return users_.size(); }
    size_t AddressesTracked();

private:
    struct Failures {
        unsigned count = 0;
        Clock::time_point until;
        Clock::time_point last;
    };
    void Failed(const std::string& address, Clock::time_point now);

    std::map<std::string, std::string> users_;
    std::mutex mutex_;
    // Digests of headers already verified: a slow hash is paid once per client.
    std::vector<std::string> verified_;
    std::map<std::string, Failures> failures_;  // by client address, at most kAddressesMax
    // One hash at a time: a flood of logins holds one core at most.
    std::mutex hashing_;
};

class Gate;

class HttpServer {
public:
    HttpServer(const StateStore& store, HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving; false with a message a person can act on.
    // Warnings (open to the network, no chart library) go to `warn`.
    bool Start(std::string& error, const std::function<void(const std::string&)>& warn);
    void Stop();
    int Port() const { return port_; }
    std::string Url() const;

private:
    void Routes();

    const StateStore& store_;
    HttpOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<BasicAuth> auth_;
    std::unique_ptr<HistoryDigest> digest_;
    std::string chartJs_;
    std::unique_ptr<Gate> gate_;
    std::thread warm_;
    int port_ = 0;
};

}  // namespace vxpoll
