#include "outputs.h"

#include "output.h"

namespace vxpoll {

std::unique_ptr<FanoutSink> MakeOutputs(const Options& options, std::ostream& out)
{
    auto outputs = std::make_unique<FanoutSink>();
    if (options.json)
        outputs->Add(std::make_unique<JsonSink>(out));
    else
        outputs->Add(std::make_unique<HumanSink>(out));
    return outputs;
}

}  // namespace vxpoll
