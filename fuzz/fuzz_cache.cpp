// A cache image for each sub-device first, then polling rounds: restored
// counts and records meet live replies that may disagree with them. After
// the restore and again after the rounds every sub-device is asked for
// values, as a host does: found by its data id (GetChildVDevice), then every
// kind of key through Get_Value, its freshness test and the AC channel-key
// lookup.
//
// Input: the configuration byte (as in reply_script.h), then per sub-device
// (AC units, DC units, the rectifiers, in that order) a 2-byte little-endian
// length and the image, then the replies. The first bytes after the images
// are also asked as a key, so that the fuzzer shapes channel keys too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "quiet_controller.h"
#include "reply_script.h"

namespace {

// One of each kind: the record's own fields, channel keys in and out of
// range (one past any count, more digits than a size_t holds), keys that
// are almost channel keys, the DC fields, nothing.
const char* const kKeys[] = {"ia",
                             "ib",
                             "ic",
                             "ia_alert",
                             "ib_alert",
                             "ic_alert",
                             "channel_0_a",
                             "channel_1_b",
                             "channel_2_c",
                             "channel_0_f",
                             "channel_0_x",
                             "channel_255_a",
                             "channel_99999999999999999999999_a",
                             "xchannel_0_achannel_1_b",
                             "channel__a",
                             "channel_0_",
                             "channel_0_\n",
                             "v",
                             "i",
                             "x",
                             ""};

// Answers or refuses with an exception; anything else (a crash, a read out
// of bounds) is the finding.
void Ask(const SMDVDevice& device, const std::string& key)
{
    try {
        volatile float value = device.Get_Value(0, key);
        (void)value;
    } catch (const std::exception&) {
    }
}

void AskAll(VX42B& main, const std::string& fuzzedKey)
{
    for (const auto& child : main.GetAllChildVDevices()) {
        if (!child) continue;
        // The host finds AC and DC units by data id; the rectifiers are never found.
        const std::shared_ptr<SMDVDevice> found = main.GetChildVDevice(child->DataId());
        const bool rectifier = child->DeviceType() == "vx42b-rc";
        if (!rectifier && (!found || found->DataId() != child->DataId())) std::abort();
        for (const char* key : kKeys) Ask(*child, key);
        Ask(*child, fuzzedKey);
    }
    if (main.GetChildVDevice(0xFFFFFFFFu)) std::abort();
}

}  // namespace

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
    const std::string fuzzedKey(reinterpret_cast<const char*>(data + at), std::min<size_t>(size - at, 40));
    AskAll(*line.device, fuzzedKey);
    fuzzing::ReplyScript script(data + at, size - at);
    line.Run(script);
    AskAll(*line.device, fuzzedKey);
    return 0;
}
