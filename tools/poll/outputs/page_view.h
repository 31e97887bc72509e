#pragma once
#include <string>

#include <json/value.h>

#include "state_store.h"
#include "vocabulary.h"

// What the page shows of a sub-device and of an alarm, ready for people:
// labels from the records' field descriptions, numbers at the precision the
// field deserves with their unit, states in words, record-sizing counts left
// out and settings kept apart from measurements. The page only lays it out.
namespace vxpoll {

// "AC 11", "Rectifiers", "DC 21", "System": the vocabulary's unit titles.
std::string DeviceTitle(const std::string& deviceType, uint32_t dataId);

// {"title", "values": [row], "items": {"title", "columns": [{"field", "label"}],
//  "rows": [{"label", "cells": [cell]}]}, "settings": [row], "other": [row]}
// where row is {"field", "label", "text", "alert"} and cell {"field", "text",
// "alert"}; "alert" is true where a state field says so.
Json::Value DeviceView(const DeviceState& device);

// The present alarm as people read it, beside the English "label" and the
// "item" every alarm carries: "title" (its name in the chosen language) and
// "source" (the unit's title). The device's own "name", "text" and "code"
// stay beside them.
void AddAlarmWords(Json::Value& alarm, const DeviceState& device, const PresentAlarm& a, Lang lang);

// A number as the page shows it: `decimals` places, or up to two with
// trailing zeros dropped when negative.
std::string FormatNumber(double v, int decimals);

}  // namespace vxpoll
