// Arbitrary line bytes through reassembly, checks and reply dispatch.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "VX42B.h"
#include "quiet_controller.h"
#include "line_runner.h"
#include "memory_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static auto controller = std::make_shared<QuietController>();
    auto device = std::make_shared<VX42B>();
    Json::Value config;
    config["acSetting"][0]["data_id"] = 11;
    config["dcSetting"][0]["data_id"] = 21;
    config["rcSetting"] = Json::Value(Json::objectValue);
    device->Init(controller, 1, config);
    auto port = std::make_shared<MemoryPort>();
    device->AttachPort(port);
    device->OpenPort();
    // The first byte picks the step the reply answers.
    if (size > 0) device->SetStep(data[0] % 16);
    LineRunner(device).Deliver(data, size);
    return 0;
}
