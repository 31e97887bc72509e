#include "config.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <map>

#include <json/reader.h>

#include "host_setting.h"
#include "option_file.h"

namespace vxpoll {

namespace {

bool IsNumberText(const std::string& text)
{
    if (text.empty()) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    std::strtod(begin, &end);
    return end != begin && *end == '\0' && errno == 0;
}

// Where each data id is used, to name both places of a duplicate.
using DataIdPlaces = std::map<unsigned, std::string>;

bool NoteDataId(DataIdPlaces& places, unsigned id, const std::string& where, std::string& error)
{
    const auto known = places.emplace(id, where);
    if (known.second) return true;
    // Two devices with one data id would share a cache file and answer each other's queries.
    error = "data id " + std::to_string(id) + " is used twice: by " + known.first->second + " and by " + where +
            "; give each unit its own";
    return false;
}

bool CheckUnit(const Json::Value& unit, const std::string& where, DataIdPlaces* ids, std::string& error)
{
    if (ids != nullptr && unit.isNull()) {
        // The plug-in takes a null element for a unit with data id 0.
        return NoteDataId(*ids, 0, where + " (null, data id 0)", error);
    }
    if (!unit.isObject()) {
        error = where + " must be an object";
        return false;
    }
    if (ids != nullptr) {
        const Json::Value& id = unit["data_id"];
        if (id.isNull()) {
            error = where + ".data_id is missing";
            return false;
        }
        unsigned value = 0;
        if (!ReadDataId(id, value)) {
            error = where + ".data_id must be an unsigned number";
            return false;
        }
        if (!NoteDataId(*ids, value, where + ".data_id", error)) return false;
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

bool CheckUnitList(const Json::Value& config, const char* key, DataIdPlaces& ids, std::string& error)
{
    const Json::Value& list = config[key];
    if (list.isNull()) return true;
    if (!list.isArray()) {
        error = std::string("\"") + key + "\" must be an array";
        return false;
    }
    for (Json::ArrayIndex k = 0; k < list.size(); ++k)
        if (!CheckUnit(list[k], std::string(key) + "[" + std::to_string(k) + "]", &ids, error)) return false;
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
    builder["stackLimit"] = kJsonDepthLimit;
    // Text after the object is a mistake (two files joined, an edit gone wrong), not a comment.
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    Json::Value out;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &out, &errors);
    } catch (const Json::Exception&) {
        // jsoncpp throws rather than report nesting beyond its stack limit.
        errors = "nested too deeply (more than " + std::to_string(kJsonDepthLimit) + " levels)";
    }
    if (!parsed) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
        error = origin + " is not valid JSON: " + errors;
        return false;
    }
    config.swap(out);
    return true;
}

bool ReadConfigFile(const std::string& path, Json::Value& config, std::string& error)
{
    std::string text;
    if (!option_file::Read("--config", path, kConfigMaxBytes, text, error)) return false;
    return ParseConfigText(text, "configuration " + path, config, error);
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
    unsigned mainId = 0;
    if (!ReadDataId(id, mainId)) {
        error = "\"data_id\" must be an unsigned number";
        return false;
    }
    DataIdPlaces ids;
    ids.emplace(mainId, "the top-level \"data_id\" (the main device and rcSetting)");
    if (!CheckUnitList(config, "acSetting", ids, error) || !CheckUnitList(config, "dcSetting", ids, error))
        return false;
    const Json::Value& rc = config["rcSetting"];
    if (rc.isNull()) {
        error = "\"rcSetting\" is missing (an object, {} will do)";
        return false;
    }
    if (!CheckUnit(rc, "rcSetting", nullptr, error)) return false;
    HostSetting host;
    return ReadHostSetting(config, host, error);
}

}  // namespace vxpoll
