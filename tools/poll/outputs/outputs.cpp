#include "outputs.h"

#include <cstdio>

#include "log_file_sink.h"
#include "output.h"
#include "screen_sink.h"

namespace vxpoll {

std::unique_ptr<FanoutSink> MakeOutputs(const Options& options, std::ostream& out)
{
    auto outputs = std::make_unique<FanoutSink>();
    if (options.json)
        outputs->Add(std::make_unique<JsonSink>(out));
    else if (options.screen)
        outputs->Add(std::make_unique<ScreenSink>(options.outFd, options.traceFd));
    else
        outputs->Add(std::make_unique<HumanSink>(out));
    // The command line points standard output (the plug-in's printf) at the log file.
    if (!options.logPath.empty()) outputs->Add(std::make_unique<LogFileSink>(stdout));
    return outputs;
}

}  // namespace vxpoll
