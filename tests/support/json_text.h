#pragma once
#include <memory>
#include <stdexcept>
#include <string>

#include <json/reader.h>

// Parses JSON written inline in a test; throws on a typo in the test itself.
inline Json::Value ParseJson(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        throw std::invalid_argument("bad JSON in test: " + errors);
    return value;
}
