#pragma once
#include <cstdint>
#include <string>

// One alarm rule statement, as CheckThresholdBool receives it.
struct rule_value {
    uint8_t value = 0;  // state: 1 = alarm present
    std::string key;    // rule id, e.g. "AC_0"
    std::string code;   // five-digit alarm code
    int32_t level = 0;
    uint32_t sequence = 0;
    std::string name;
    std::string text;
    uint32_t data_id = 0;  // the reporting device's data id
};
