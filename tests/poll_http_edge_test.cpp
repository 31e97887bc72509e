// The web server at its edge: clients that send a request slowly or not at
// all beside one that must be answered, more connections than it holds,
// requests kept alive or pipelined, and a flood of wrong passwords.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "crypt_hash.h"
#include "e2e_support.h"

#ifdef VX42B_POLL_WITH_NET
#include <httplib.h>

#include "http_server.h"
#include "state_store.h"
#endif

namespace {

#ifdef VX42B_POLL_WITH_NET

using namespace vxpoll;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Reads until the server closes, at most `bound`; what came is in `answer`.
bool ClosedWithin(int fd, std::chrono::milliseconds bound, std::string* answer = nullptr)
{
    const auto end = Clock::now() + bound;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
        if (answer != nullptr) answer->append(buffer, static_cast<size_t>(n));
    }
}

bool StillOpen(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

struct Fds {
    std::vector<int> fds;
    ~Fds()
    {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
};

class EdgeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

    std::unique_ptr<HttpServer> Serve(HttpOptions options)
    {
        options.host = "127.0.0.1";
        options.port = 0;
        options.chartJs = dir_.Path() + "/none.js";
        auto server = std::make_unique<HttpServer>(store_, options);
        std::string error;
        if (!server->Start(error, [](const std::string&) {})) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        return server;
    }

    // A certificate for 127.0.0.1; false without the openssl program.
    bool Certificate()
    {
        cert_ = dir_.Path() + "/cert.pem";
        key_ = dir_.Path() + "/key.pem";
        const std::string make =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
            "subjectAltName=IP:127.0.0.1 -keyout " +
            key_ + " -out " + cert_ + " 2>/dev/null";
        return std::system(make.c_str()) == 0;
    }

    vxpoll::e2e::TempDir dir_;
    StateStore store_;
    std::string cert_, key_;
};

// Eight clients sending a header byte every 200 ms and a hundred saying
// nothing: the page is still answered while they are all open, and each slow
// one is closed once its request's deadline has passed although no single
// wait between its bytes came near the idle time.
TEST_F(EdgeTest, SlowAndIdleClientsLeaveThePageAnswering)
{
    const auto deadline = 3000ms;
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        HttpOptions options;
        options.requestDeadline = deadline;
        options.idleTimeout = 60s;
        if (tls) {
            ASSERT_TRUE(Certificate()) << "openssl could not make a test certificate";
            options.certFile = cert_;
            options.keyFile = key_;
        }
        auto server = Serve(options);
        ASSERT_TRUE(server);

        Fds idle;
        for (int k = 0; k < 100; ++k) idle.fds.push_back(Connect(server->Port()));

        struct Slow {
            std::thread thread;
            Clock::duration open{};
            size_t sent = 0;
            bool closed = false;
            std::string answer;
        };
        std::vector<Slow> slow(8);
        std::atomic<int> started{0};
        std::atomic<int> closed{0};
        // Over TLS: a handshake record that announces 512 bytes and never gets them.
        const std::string bytes = tls ? std::string("\x16\x03\x01\x02\x00", 5) + std::string(512, '\0')
                                      : "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(500, 'a');
        for (Slow& s : slow) {
            s.thread = std::thread([&s, &started, &closed, &bytes, &server] {
                // Before the connect: with TLS the deadline counts from the accept.
                const auto from = Clock::now();
                const int fd = Connect(server->Port());
                if (fd < 0) return;
                for (size_t at = 0; at < bytes.size() && Clock::now() - from < 20s; ++at) {
                    if (::send(fd, &bytes[at], 1, MSG_NOSIGNAL) != 1) break;
                    if (++s.sent == 1) ++started;
                    if (ClosedWithin(fd, 200ms, &s.answer)) {
                        s.closed = true;
                        break;
                    }
                }
                s.open = Clock::now() - from;
                ++closed;
                ::close(fd);
            });
        }
        while (started < 8 && closed == 0) std::this_thread::sleep_for(10ms);

        auto ask = [&](auto& client) {
            client.set_connection_timeout(5);
            client.set_read_timeout(5);
            for (const char* path : {"/metrics", "/api/state"}) {
                auto res = client.Get(path);
                ASSERT_TRUE(res) << path << ": " << httplib::to_string(res.error());
                EXPECT_EQ(res->status, 200) << path;
            }
        };
        if (tls) {
            httplib::SSLClient client("127.0.0.1", server->Port());
            client.enable_server_certificate_verification(false);
            ask(client);
        } else {
            httplib::Client client("127.0.0.1", server->Port());
            ask(client);
        }
        // Answered while every slow and idle connection was still open.
        EXPECT_EQ(closed.load(), 0);
        size_t open = 0;
        for (int fd : idle.fds) open += StillOpen(fd);
        EXPECT_EQ(open, 100u);

        for (Slow& s : slow) {
            s.thread.join();
            EXPECT_TRUE(s.closed);
            EXPECT_GE(s.open, deadline);
            EXPECT_LT(s.open, deadline + 10s);
            EXPECT_GE(s.sent, 5u);
            if (!tls) {
                EXPECT_EQ(s.answer.rfind("HTTP/1.1 408", 0), 0u) << s.answer;
            }
        }
        server.reset();
    }
}

// Beyond the cap a new connection closes the one that has waited longest.
TEST_F(EdgeTest, ConnectionsBeyondTheCapCloseTheLongestWaiting)
{
    HttpOptions options;
    options.connections = 16;
    options.idleTimeout = 60s;
    auto server = Serve(options);
    ASSERT_TRUE(server);
    Fds idle;
    for (int k = 0; k < 40; ++k) idle.fds.push_back(Connect(server->Port()));
    httplib::Client client("127.0.0.1", server->Port());
    client.set_read_timeout(5);
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    // 40 and the probe in 16 places: the 25 oldest made room.
    for (size_t k = 0; k < idle.fds.size(); ++k) {
        if (k < 25) {
            EXPECT_TRUE(ClosedWithin(idle.fds[k], 5000ms)) << k;
        } else {
            EXPECT_TRUE(StillOpen(idle.fds[k])) << k;
        }
    }
}

// Raw exchanges on one connection: what is answered and whether it stays open.
TEST_F(EdgeTest, KeptAlivePipelinedOversizedAndUnreadRequests)
{
    auto server = Serve(HttpOptions{});
    ASSERT_TRUE(server);
    struct Case {
        const char* name;
        std::string send;
        std::vector<std::string> statuses;  // in order
        bool closes;
    };
    const std::string get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::vector<Case> cases{
        {"kept alive", get, {"200"}, false},
        {"pipelined", get + get + "HEAD /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", {"200", "200", "200"}, false},
        {"closed on request", "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", {"200"}, true},
        {"a body it does not read", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nGET /", {"405"}, true},
        {"headers past the bound", "GET / HTTP/1.1\r\nX-Big: " + std::string(20000, 'b') + "\r\n\r\n", {"431"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = Connect(server->Port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, c.send.data(), c.send.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.send.size()));
        std::string answer;
        const bool closed = ClosedWithin(fd, c.closes ? 5000ms : 500ms, &answer);
        EXPECT_EQ(closed, c.closes) << answer;
        size_t at = 0;
        for (const std::string& status : c.statuses) {
            at = answer.find("HTTP/1.1 " + status, at);
            ASSERT_NE(at, std::string::npos) << answer.substr(0, 300);
            ++at;
        }
        EXPECT_EQ(answer.find("HTTP/1.1 ", at), std::string::npos);
        ::close(fd);
    }
}

// Wrong passwords from one address: after a few the address is told to wait
// (429, Retry-After) without a hash, the right password included.
TEST_F(EdgeTest, FailedLoginsAreAnsweredWithAWait)
{
    HttpOptions options;
    options.authFile = dir_.Write("users", "alice:" + CryptHash("$2b$", "wonder") + "\n");
    auto server = Serve(options);
    ASSERT_TRUE(server);
    httplib::Client client("127.0.0.1", server->Port());
    client.set_read_timeout(5);
    struct Step {
        const char* password;
        int status;
    };
    std::vector<Step> steps(BasicAuth::kFreeFailures, Step{"guess", 401});
    steps.push_back({"guess", 429});
    steps.push_back({"wonder", 429});
    for (const Step& s : steps) {
        auto res = client.Get("/metrics", {httplib::make_basic_authentication_header("alice", s.password)});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, s.status) << s.password;
        if (s.status == 429) {
            EXPECT_GE(std::atoi(res->get_header_value("Retry-After").c_str()), 1);
        }
    }
}

#else

TEST(PollHttpEdge, NeedsTheNetworkOutputs) { GTEST_SKIP() << "built without cpp-httplib"; }

#endif

}  // namespace
