#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "output.h"

// The network outputs of one run: the state store they read, the broker
// client (--mqtt) and the web server (--http). They start once the
// configuration names the main data id and stop with the run.
namespace vxpoll {

struct Options;
class StateStore;
class MqttSink;
class HttpServer;

class NetOutputs {
public:
    explicit NetOutputs(const Options& options);
    ~NetOutputs();
    NetOutputs(const NetOutputs&) = delete;
    NetOutputs& operator=(const NetOutputs&) = delete;

    bool Enabled() const;
    // Reads the option files and starts both; `log` takes their start-up and
    // connection lines (on the polling thread). False: the message is in err.
    bool Start(uint32_t mainDataId, EventSink& log, std::ostream& err);
    // The sinks that follow the primary output, in calling order.
    std::vector<EventSink*> Sinks();
    void Stop();

private:
    void SeedPlots(EventSink& log);

    const Options& options_;
    bool running_ = false;
    std::unique_ptr<StateStore> store_;
    std::unique_ptr<MqttSink> mqtt_;
    std::unique_ptr<HttpServer> http_;
};

}  // namespace vxpoll
