#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "event_sink.h"

// The network outputs of one run as one sink: the state store they read,
// the broker client (--mqtt) and the web server (--http).
namespace vxpoll {

struct Options;
class StateStore;
class MqttSink;
class HttpServer;

bool WantsNetOutputs(const Options& options);

class NetSink : public EventSink {
public:
    // `log` takes the outputs' own lines (start-up, broker connection), always
    // on the polling thread.
    NetSink(const Options& options, EventSink& log);
    ~NetSink() override;
    NetSink(const NetSink&) = delete;
    NetSink& operator=(const NetSink&) = delete;

    // Reads the option files, binds the web server, starts the broker client.
    // False: the message, for a person, is in err.
    bool Start(uint32_t mainDataId, std::ostream& err);

    void Round(unsigned long number, bool complete, double seconds) override;
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void PublishDecoded(const DeviceRef& device, const Publication& image) override;
    void Rule(const DeviceRef& device, const rule_value& rule) override;
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Log(const std::string&, LogSource) override {}
    void Value(unsigned long, const Query&, bool, float, const std::string&) override {}
    void Frame(bool, const std::string&) override {}
    void Line(const LineStats& stats) override;
    void LineChanged(const LineStats& stats) override;
    void Tick() override;
    void Finish() override;

    // The web server's port (0 without one), for tests.
    int HttpPort() const;

private:
    void SeedPlots();
    void Say(const std::string& text) { log_.Log(text, LogSource::Poller); }

    const Options& options_;
    EventSink& log_;
    std::unique_ptr<StateStore> store_;
    std::unique_ptr<MqttSink> mqtt_;
    std::unique_ptr<HttpServer> http_;
};

}  // namespace vxpoll
