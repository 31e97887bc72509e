#include "config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include <sys/stat.h>

#include <json/reader.h>

#include "termios_port.h"

namespace vxpoll {

namespace {

bool IsUnsigned32(const Json::Value& v)
{
    return v.isIntegral() && v.isConvertibleTo(Json::uintValue) && !(v.isInt64() && v.asInt64() < 0);
}

bool IsNumberText(const std::string& text)
{
    if (text.empty()) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    std::strtod(begin, &end);
    return end != begin && *end == '\0' && errno == 0;
}

bool CheckUnsignedKey(const Json::Value& config, const char* key, unsigned lo, unsigned hi, std::string& error)
{
    const Json::Value& v = config[key];
    if (v.isNull()) return true;
    if (!IsUnsigned32(v) || v.asUInt() < lo || v.asUInt() > hi) {
        error = std::string("\"") + key + "\" must be a number from " + std::to_string(lo) + " to " + std::to_string(hi);
        return false;
    }
    return true;
}

bool CheckUnit(const Json::Value& unit, const std::string& where, bool needsId, std::string& error)
{
    if (!unit.isObject()) {
        error = where + " must be an object";
        return false;
    }
    if (needsId) {
        const Json::Value& id = unit["data_id"];
        if (id.isNull()) {
            error = where + ".data_id is missing";
            return false;
        }
        if (!IsUnsigned32(id)) {
            error = where + ".data_id must be an unsigned number";
            return false;
        }
    }
    const Json::Value& app = unit["appSetting"];
    if (app.isNull()) return true;
    if (!app.isObject()) {
        error = where + ".appSetting must be an object";
        return false;
    }
    for (const char* key : {"diff_v", "diff_i"}) {
        const Json::Value& v = app[key];
        if (v.isNull() || v.isNumeric()) continue;
        if (v.isString() && IsNumberText(v.asString())) continue;
        error = where + ".appSetting." + key + " must be a number";
        return false;
    }
    return true;
}

bool CheckUnitList(const Json::Value& config, const char* key, std::string& error)
{
    const Json::Value& list = config[key];
    if (list.isNull()) return true;
    if (!list.isArray()) {
        error = std::string("\"") + key + "\" must be an array";
        return false;
    }
    for (Json::ArrayIndex k = 0; k < list.size(); ++k)
        if (!CheckUnit(list[k], std::string(key) + "[" + std::to_string(k) + "]", true, error)) return false;
    return true;
}

}  // namespace

const char* DefaultConfigText()
{
    return R"({"data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 12}], "dcSetting": [{"data_id": 21}],)"
           R"( "rcSetting": {}})";
}

bool ParseConfigText(const std::string& text, const std::string& origin, Json::Value& config, std::string& error)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    Json::Value out;
    if (!reader->parse(text.data(), text.data() + text.size(), &out, &errors)) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
        error = origin + " is not valid JSON: " + errors;
        return false;
    }
    config.swap(out);
    return true;
}

bool ReadConfigFile(const std::string& path, Json::Value& config, std::string& error)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "configuration " + path + " is a directory";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read configuration " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "cannot read configuration " + path;
        return false;
    }
    return ParseConfigText(text.str(), "configuration " + path, config, error);
}

bool ValidateConfig(const Json::Value& config, std::string& error)
{
    if (!config.isObject()) {
        error = "the configuration must be a JSON object";
        return false;
    }
    const Json::Value& id = config["data_id"];
    if (id.isNull()) {
        error = "\"data_id\" is missing";
        return false;
    }
    if (!IsUnsigned32(id)) {
        error = "\"data_id\" must be an unsigned number";
        return false;
    }
    if (!CheckUnitList(config, "acSetting", error) || !CheckUnitList(config, "dcSetting", error)) return false;
    const Json::Value& rc = config["rcSetting"];
    if (rc.isNull()) {
        error = "\"rcSetting\" is missing (an object, {} will do)";
        return false;
    }
    if (!CheckUnit(rc, "rcSetting", false, error)) return false;

    const Json::Value& port = config["port"];
    if (!port.isNull() && (!port.isString() || port.asString().empty())) {
        error = "\"port\" must be a device path or tcp:HOST:PORT";
        return false;
    }
    const Json::Value& baud = config["baud"];
    if (!baud.isNull() && (!IsUnsigned32(baud) || SpeedConstant(static_cast<int>(baud.asUInt())) == 0)) {
        error = "\"baud\" must be one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400";
        return false;
    }
    if (!CheckUnsignedKey(config, "address", 0, 255, error)) return false;
    if (!CheckUnsignedKey(config, "reply_timeout_ms", 10, 600000, error)) return false;
    return true;
}

}  // namespace vxpoll
