#pragma once
#include <cstddef>
#include <string>

#include <json/value.h>

#include "option_file.h"

namespace vxpoll {

// Two AC units, one DC unit and the rectifiers: what the built-in simulator serves.
const char* DefaultConfigText();

// Nesting deeper than this is refused as malformed (jsoncpp's own default limit).
constexpr int kJsonDepthLimit = 1000;
// A configuration file larger than this is not one.
constexpr size_t kConfigMaxBytes = option_file::kConfigMax;

// Reads and parses a configuration file; false with a message naming the
// file (and the line and column of a syntax error, or of anything after the
// JSON value).
bool ReadConfigFile(const std::string& path, Json::Value& config, std::string& error);
bool ParseConfigText(const std::string& text, const std::string& origin, Json::Value& config, std::string& error);

// Checks the keys the plug-in and the host read, so that a mistake is
// reported by name before the plug-in sees it; the host's own keys by the
// host's rules. Two units with one data id are refused too.
bool ValidateConfig(const Json::Value& config, std::string& error);

}  // namespace vxpoll
