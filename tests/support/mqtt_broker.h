#pragma once
// A real mosquitto broker on a free loopback port, and a subscriber that
// records what it receives. Test-only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <mosquitto.h>

namespace testing_support {

// A port nobody listens on right now.
inline int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

inline bool CanConnect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// mosquitto with a configuration of our own: loopback only, no persistence,
// so that a restart forgets every retained message.
class MosquittoBroker {
public:
    explicit MosquittoBroker(std::string dir, std::string extraConfig = {})
        : dir_(std::move(dir)), extra_(std::move(extraConfig)), port_(FreeLoopbackPort())
    {}
    ~MosquittoBroker() { Stop(); }

    int Port() const { return port_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

    // Starts and waits until the port takes connections.
    bool Start()
    {
        const std::string conf = dir_ + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\n"
                            << "allow_anonymous true\npersistence false\n"
                            << extra_;
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string log = dir_ + "/mosquitto.log";
            FILE* out = std::freopen(log.c_str(), "a", stderr);
            (void)out;
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
            ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (CanConnect(port_)) return true;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            ::usleep(20000);
        }
        return false;
    }

    void Stop()
    {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::string Log() const
    {
        std::ifstream in(dir_ + "/mosquitto.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string dir_;
    std::string extra_;
    int port_;
    pid_t pid_ = -1;
};

struct MqttReceived {
    std::string topic;
    std::string payload;
    bool retained;
};

// A subscriber on its own network thread; it reconnects by itself.
class MqttRecorder {
public:
    MqttRecorder(int port, std::vector<std::string> topics) : topics_(std::move(topics))
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(client_, &MqttRecorder::OnConnect);
        mosquitto_message_callback_set(client_, &MqttRecorder::OnMessage);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_async(client_, "127.0.0.1", port, 10);
        mosquitto_loop_start(client_);
    }
    ~MqttRecorder()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }

    bool WaitSubscribed(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return subscribed_; });
    }

    // Waits until some message received so far satisfies `match`; returns it.
    bool WaitFor(const std::function<bool(const MqttReceived&)>& match, std::chrono::seconds limit,
                 MqttReceived* found = nullptr)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t seen = 0;
        return changed_.wait_for(lock, limit, [&] {
            for (; seen < messages_.size(); ++seen) {
                if (match(messages_[seen])) {
                    if (found != nullptr) *found = messages_[seen];
                    return true;
                }
            }
            return false;
        });
    }

    std::vector<MqttReceived> Messages()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

    // Forget what came so far (the next WaitFor sees only what follows).
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.clear();
    }

private:
    static void OnConnect(mosquitto* m, void* self, int rc)
    {
        auto* r = static_cast<MqttRecorder*>(self);
        if (rc != 0) return;
        for (const std::string& t : r->topics_) mosquitto_subscribe(m, nullptr, t.c_str(), 1);
        std::lock_guard<std::mutex> lock(r->mutex_);
        r->subscribed_ = true;
        r->changed_.notify_all();
    }
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* msg)
    {
        auto* r = static_cast<MqttRecorder*>(self);
        std::lock_guard<std::mutex> lock(r->mutex_);
        r->messages_.push_back(MqttReceived{
            msg->topic, std::string(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen)),
            msg->retain});
        r->changed_.notify_all();
    }

    std::vector<std::string> topics_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<MqttReceived> messages_;
    bool subscribed_ = false;
};

}  // namespace testing_support
