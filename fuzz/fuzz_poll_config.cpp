// The poller's configuration check and the simulator's scenario reader on
// arbitrary text. A scenario that reads must also read back from the text
// it is written as, unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <json/value.h>

#include "config.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    Json::Value config;
    if (vxpoll::ParseConfigText(text, "input", config, error)) vxpoll::ValidateConfig(config, error);

    vx42b_sim::Scenario scenario;
    if (!vx42b_sim::ParseScenario(text, scenario, error)) return 0;
    const std::string written = vx42b_sim::ScenarioText(scenario);
    vx42b_sim::Scenario again;
    if (!vx42b_sim::ParseScenario(written, again, error)) {
        std::fprintf(stderr, "a written scenario does not read back: %s\n%s\n", error.c_str(), written.c_str());
        std::abort();
    }
    if (vx42b_sim::ScenarioText(again) != written) {
        std::fprintf(stderr, "a scenario changes when written and read back:\n%s\n", written.c_str());
        std::abort();
    }
    return 0;
}
