#pragma once
#include <string>

#include <json/value.h>

// The stand-in host's own configuration keys, read in one place: by the
// host's InitSetting and by tools that check a configuration before use.
struct HostSetting {
    std::string port;  // empty: none configured
    unsigned baud = 9600;
    unsigned address = 1;
    unsigned replyTimeoutMs = 1000;
};

// Reads "port", "baud", "address" and "reply_timeout_ms" over the values in
// `setting`; a key that is absent keeps its value. False, with a message that
// names the key and changes nothing, when one cannot be used.
bool ReadHostSetting(const Json::Value& config, HostSetting& setting, std::string& error);

// The line speeds a serial port accepts, for messages: "1200, 2400, ..., 230400".
const char* LineSpeedList();

// Checks the text of a port name: a "tcp:" address must be tcp:HOST:PORT
// with PORT 1 to 65535, and a device path must not be empty. False with
// the reason; a device path is not looked at.
bool CheckPortText(const std::string& port, std::string& error);

// A data id as jsoncpp's asUInt() converts it: null is 0, false and true are
// 0 and 1, a real from 0 to below 4294967296 loses its fraction (4294967295.9
// is 4294967295). Text, a negative or too large
// number, an array and an object are refused.
bool ReadDataId(const Json::Value& v, unsigned& id);
