#pragma once
#include <string>

#include <json/value.h>

namespace vxpoll {

// Two AC units, one DC unit and the rectifiers: what the built-in simulator serves.
const char* DefaultConfigText();

// Reads and parses a configuration file; false with a message naming the
// file (and the line for a syntax error).
bool ReadConfigFile(const std::string& path, Json::Value& config, std::string& error);
bool ParseConfigText(const std::string& text, const std::string& origin, Json::Value& config, std::string& error);

// Checks the keys the plug-in and the host read, so that a mistake is
// reported by name before the plug-in sees it.
bool ValidateConfig(const Json::Value& config, std::string& error);

}  // namespace vxpoll
