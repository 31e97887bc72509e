#pragma once
#include <iosfwd>
#include <string>
#include <vector>

#include "query.h"
#include "vocabulary.h"

namespace vxpoll {

struct Options {
    std::string plugin;      // empty: the plug-in built with the poller
    std::string configPath;  // empty: the built-in sample
    std::string port;        // empty: the configuration's "port", else the built-in simulator
    int baud = 0;            // 0: the configuration's "baud", else 9600
    std::string scenario;    // for the built-in simulator; empty: its default
    bool json = false;
    bool plain = false;    // line output also on a terminal
    bool verbose = false;  // the plug-in's trace lines on the live screen
    std::string logPath;   // every log line and the plug-in's trace lines
    Lang lang = Lang::En;  // what people read: alarm names in English, or the device's own texts
    // Set by the command line, not by options:
    bool screen = false;  // the live screen on outFd (a terminal)
    int outFd = -1;       // the original standard output
    int traceFd = -1;     // the plug-in's trace lines, for the live screen to show
    bool trace = false;
    std::vector<Query> queries;
    unsigned long rounds = 0;  // 0: until stopped
    // How long without a valid reply before the line counts as down; 0: three
    // reply time-outs or three polling periods, the longer.
    unsigned long downAfterMs = 0;
    std::string cacheDir;
    std::string historyPath;
    // Network outputs; empty: off.
    std::string mqttUrl;
    std::string mqttAuthFile;
    std::string mqttCaFile;
    std::string mqttDiscovery;     // the discovery prefix
    std::string mqttManufacturer;  // the discovery device's maker
    std::string httpAddress;
    std::string httpAuthFile;
    std::string httpCertFile;
    std::string httpKeyFile;
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

// Loads the plug-in, polls until stopped, and returns the exit status.
// Events go to `out`, start-up errors to `err`.
int RunPoller(const Options& options, std::ostream& out, std::ostream& err);

// Prints a history file as decoded JSON lines.
int DumpHistory(const std::string& path, std::ostream& out, std::ostream& err);

// SIGINT and SIGTERM end the polling loop after the current step.
void InstallStopHandlers();
void RequestStop();
bool StopRequested();

}  // namespace vxpoll
