#pragma once
#include <chrono>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "state_store.h"
#include "vocabulary.h"

// A snapshot as the web server and the broker client show it.
namespace vxpoll {

// /api/state: every sub-device with its decoded fields, units, rule states and
// present alarms, every present alarm, the line statistics; alarm titles in
// `lang`. `now` gives the line's "since_s".
Json::Value StateJson(const Snapshot& snapshot,
                      std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
                      Lang lang = Lang::En);
// One sub-device's present alarms, as its alarms topic carries them.
Json::Value AlarmsJson(const DeviceState& device);
// One sub-device's state topic: its decoded fields plus time and device type.
Json::Value DeviceStateJson(const DeviceState& device);
// ToJsonLine(DeviceStateJson(device)) appended to `out` without the copy of
// the fields; returns a digest of it that leaves out the times ("time", and
// the record's own "ttime"): equal digests, nothing moved.
uint64_t AppendDeviceStateJson(std::string& out, const DeviceState& device);
// /api/history: the plot samples in columns; null where a series had no value.
Json::Value PlotsJson(const Plots& plots);
// /metrics in the Prometheus text format (version 0.0.4).
std::string MetricsText(const Snapshot& snapshot);

}  // namespace vxpoll
