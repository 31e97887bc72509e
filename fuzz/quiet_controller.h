#pragma once
#include <string>

#include "SMDController.h"

// Fuzzing produces a log line for nearly every input; drop them.
class QuietController : public SMDController {
public:
    void OnLog(const std::string&) override {}
};
