#include "outputs.h"

#include <cstdio>
#include <ostream>

#include "config.h"
#include "host_setting.h"
#include "log_file_sink.h"
#include "net_outputs.h"
#include "output.h"
#include "screen_sink.h"

namespace vxpoll {

namespace {

// The main data id names the system in topics; a configuration that cannot
// be read is reported by the polling session, which reads it too.
bool MainDataId(const Options& options, uint32_t& id)
{
    Json::Value config;
    std::string error;
    const bool ok = options.configPath.empty()
                        ? ParseConfigText(DefaultConfigText(), "built-in configuration", config, error)
                        : ReadConfigFile(options.configPath, config, error);
    if (!ok || !config.isObject()) return false;
    unsigned value = 0;
    if (!ReadDataId(config["data_id"], value)) return false;
    id = value;
    return true;
}

}  // namespace

std::unique_ptr<FanoutSink> MakeOutputs(const Options& options, std::ostream& out, std::ostream& err)
{
    auto outputs = std::make_unique<FanoutSink>();
    std::unique_ptr<EventSink> primary;
    if (options.json)
        primary = std::make_unique<JsonSink>(out);
    else if (options.screen)
        primary = std::make_unique<ScreenSink>(options.outFd, options.traceFd, options.lang);
    else
        primary = std::make_unique<HumanSink>(out, options.lang, options.traceFd);
    uint32_t mainDataId = 0;
    if (WantsNetOutputs(options) && MainDataId(options, mainDataId)) {
        // Before the primary output, so that its last words (the broker's
        // goodbye) still reach the primary before that finishes.
        auto net = std::make_unique<NetSink>(options, *primary);
        if (!net->Start(mainDataId, err)) return nullptr;
        outputs->Add(std::move(net));
    }
    outputs->Add(std::move(primary));
    // The command line points standard output (the plug-in's printf) at the log file.
    if (!options.logPath.empty()) outputs->Add(std::make_unique<LogFileSink>(stdout));
    return outputs;
}

}  // namespace vxpoll
