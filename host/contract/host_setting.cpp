#include "host_setting.h"

#include "tcp_port.h"
#include "termios_port.h"

namespace {

// An optional unsigned whole number within [lo, hi]; false when present but unusable.
bool ReadUInt(const Json::Value& config, const char* key, unsigned lo, unsigned hi, unsigned& out)
{
    const Json::Value& v = config[key];
    if (v.isNull()) return true;
    if (!v.isIntegral() || (v.isInt64() && v.asInt64() < 0) || !v.isConvertibleTo(Json::uintValue)) return false;
    const unsigned x = v.asUInt();
    if (x < lo || x > hi) return false;
    out = x;
    return true;
}

std::string RangeMessage(const char* key, unsigned lo, unsigned hi)
{
    return std::string("\"") + key + "\" must be a number from " + std::to_string(lo) + " to " + std::to_string(hi);
}

}  // namespace

const char* LineSpeedList() { return "1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400"; }

bool CheckPortText(const std::string& port, std::string& error)
{
    if (port.empty()) {
        error = "is empty; expected a serial device path or tcp:HOST:PORT";
        return false;
    }
    if (port.compare(0, 4, "tcp:") != 0) return true;
    std::string host, service;
    return ParseTcpEndpoint(port.substr(4), host, service, error);
}

bool ReadHostSetting(const Json::Value& config, HostSetting& setting, std::string& error)
{
    if (config.isNull()) return true;
    if (!config.isObject()) {
        error = "configuration is not an object";
        return false;
    }
    HostSetting next = setting;
    const Json::Value& port = config["port"];
    if (!port.isNull()) {
        if (!port.isString()) {
            error = "\"port\" must be a device path or tcp:HOST:PORT";
            return false;
        }
        std::string why;
        if (!CheckPortText(port.asString(), why)) {
            error = "\"port\" " + (port.asString().empty() ? std::string() : port.asString() + " ") + why;
            return false;
        }
        next.port = port.asString();
    }
    // Only the speeds the serial port can be set to: any other would be
    // accepted here and refused by every open.
    unsigned baud = next.baud;
    if (!ReadUInt(config, "baud", 1, 4000000, baud) || SpeedConstant(static_cast<int>(baud)) == 0) {
        error = std::string("\"baud\" must be one of ") + LineSpeedList();
        return false;
    }
    next.baud = baud;
    if (!ReadUInt(config, "address", 0, 255, next.address)) {
        error = RangeMessage("address", 0, 255);
        return false;
    }
    if (!ReadUInt(config, "reply_timeout_ms", 10, 600000, next.replyTimeoutMs)) {
        error = RangeMessage("reply_timeout_ms", 10, 600000);
        return false;
    }
    setting = next;
    return true;
}

bool ReadDataId(const Json::Value& v, unsigned& id)
{
    // asUInt throws for a fraction above the largest id; it is cut like any other.
    if (v.type() == Json::realValue) {
        const double d = v.asDouble();
        if (!(d >= 0 && d < 4294967296.0)) return false;
        id = static_cast<unsigned>(d);
        return true;
    }
    if (v.isString() || !v.isConvertibleTo(Json::uintValue)) return false;
    id = v.asUInt();
    return true;
}
