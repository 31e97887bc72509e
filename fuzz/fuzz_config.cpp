// Arbitrary configuration text through the main device's configuration.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <json/reader.h>

#include "VX42B.h"
#include "quiet_controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static auto controller = std::make_shared<QuietController>();
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value config;
    std::string errors;
    const char* text = reinterpret_cast<const char*>(data);
    try {
        if (!reader->parse(text, text + size, &config, &errors)) return 0;
    } catch (const Json::Exception&) {
        return 0;  // nested beyond the reader's stack limit: malformed, like any other refusal
    }
    auto device = std::make_shared<VX42B>();
    device->Init(controller, 1, config);  // must never throw
    for (const auto& child : device->GetAllChildVDevices())
        if (child) child->LoadFromCache(std::string(text, size));
    return 0;
}
