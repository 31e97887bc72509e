#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backoff.h"
#include "output.h"
#include "state_store.h"
#include "vocabulary.h"

struct mosquitto;

// The broker output: availability with a last will, each sub-device's state
// and present alarms (retained), alarm transitions as events, and Home
// Assistant discovery. One thread of its own talks to the broker; the
// polling thread only hands it the latest snapshot and never waits for it.
namespace vxpoll {

struct MqttOptions {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string prefix;  // topic prefix; empty: vx42b/<main data id>
    std::string user;
    std::string password;
    std::string caFile;  // empty with tls: the system's certificate store
    bool discovery = false;
    Lang lang = Lang::En;  // of the entity names
    std::string discoveryPrefix = "homeassistant";
    // The device block's maker: the system does not report it.
    std::string manufacturer = "VX42B";
    int keepalive = 30;
    size_t eventLimit = 1000;   // alarm events kept while the broker is away
    size_t inflightLimit = 32;  // messages sent and not yet acknowledged
};

// mqtt://HOST[:PORT][/PREFIX] or mqtts://...; credentials in the URL are refused.
bool ParseMqttUrl(const std::string& url, MqttOptions& options, std::string& error);
// The user name on the first line, the password on the second.
bool ParseMqttAuth(const std::string& text, const std::string& origin, std::string& user, std::string& password,
                   std::string& error);
bool ReadMqttAuth(const std::string& path, std::string& user, std::string& password, std::string& error);

// Topic and payload pairs a snapshot gives, in publishing order.
struct MqttMessage {
    std::string topic;
    std::string payload;
};
std::vector<MqttMessage> DiscoveryMessages(const Snapshot& snapshot, const MqttOptions& options, uint32_t mainDataId);

class MqttSink : public EventSink {
public:
    using Logger = std::function<void(const std::string&)>;
    // `log` is called on the polling thread only (from Round, Tick and Finish).
    MqttSink(const StateStore& store, MqttOptions options, uint32_t mainDataId, Logger log);
    ~MqttSink() override;
    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

    // Sets the client up and starts its thread; the broker may still be down.
    bool Start(std::string& error);

    void Round(unsigned long number, bool complete, double seconds) override;
    void Publish(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Rule(const DeviceRef&, const rule_value&) override {}
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Log(const std::string&, LogSource) override {}
    void Value(unsigned long, const Query&, bool, float, const std::string&) override {}
    void Frame(bool, const std::string&) override {}
    // <prefix>/line, retained: online or offline.
    void LineChanged(const LineStats& stats) override;
    void Tick() override;
    // Publishes "offline", disconnects and stops the thread (a few seconds at most).
    void Finish() override;

    const std::string& Prefix() const { return options_.prefix; }
    std::string Url() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Retained {
        std::string payload;
        bool dirty = true;
    };

    void Run();
    void Wake();
    void Note(const std::string& text);
    void FlushNotes();
    void SetRetained(const std::string& topic, const std::string& payload);
    void Connect();
    void Lost(const std::string& why);
    void SendPending();
    bool Send(const std::string& topic, const std::string& payload, bool retain);
    void Shutdown();

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);

    const StateStore& store_;
    MqttOptions options_;
    uint32_t mainDataId_;
    Logger log_;
    std::string statusTopic_;
    std::string lineTopic_;
    mosquitto* client_ = nullptr;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    std::mutex mutex_;  // guards what follows; never held while calling the client library
    std::map<std::string, Retained> retained_;
    std::vector<std::string> order_;  // retained topics in first-set order
    std::deque<std::string> events_;
    unsigned long droppedEvents_ = 0;
    std::vector<std::string> notes_;

    // Owned by the broker thread.
    enum class Link { Down, Connecting, Up };
    Link link_ = Link::Down;
    Clock::time_point nextAttempt_{};
    Clock::time_point connectStarted_{};
    Backoff backoff_;
    size_t inflight_ = 0;
    bool wasUp_ = false;
};

}  // namespace vxpoll
