// Complete polling rounds: every command the main device sends is answered
// by the next reply of the input (see reply_script.h), so that each step,
// parser and count check is reached as real rounds reach it, counts that
// change between rounds included.
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
    fuzzing::ReplyScript script(data + 1, size - 1);
    line.Run(script);
    // Whatever the rounds left behind must answer queries without harm.
    for (const auto& child : line.device->GetAllChildVDevices()) {
        if (!child) continue;
        for (const char* key : {"ia", "channel_0_a", "channel_1_f", "v", "i"}) {
            try {
                child->Get_Value(0, key);
            } catch (const std::exception&) {
            }
        }
    }
    return 0;
}
