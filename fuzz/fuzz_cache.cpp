// A cache image for each sub-device first, then polling rounds: restored
// counts and records meet live replies that may disagree with them.
//
// Input: the configuration byte (as in reply_script.h), then per sub-device
// (AC units, DC units, the rectifiers, in that order) a 2-byte little-endian
// length and the image, then the replies.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "quiet_controller.h"
#include "reply_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    auto controller = std::make_shared<QuietController>();
    fuzzing::ScriptedLine line;
    if (!line.Init(controller, data[0])) return 0;
    size_t at = 1;
    for (const auto& child : line.device->GetAllChildVDevices()) {
        if (!child || at + 2 > size) break;
        size_t length = data[at] | (static_cast<size_t>(data[at + 1]) << 8);
        at += 2;
        if (length > size - at) length = size - at;
        // An exactly-sized copy, so that any read past the image is caught.
        const std::string image(reinterpret_cast<const char*>(data + at), length);
        child->LoadFromCache(image);
        at += length;
    }
    fuzzing::ReplyScript script(data + at, size - at);
    line.Run(script);
    return 0;
}
