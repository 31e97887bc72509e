#pragma once
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

class SerialPort;

// `vx42b-poll discover`: asks a power system what it has, without a
// configuration, and writes a configuration that polls it.
namespace vxpoll {

struct DiscoverOptions {
    std::string port;
    int baud = 9600;
    unsigned address = 1;
    int timeoutMs = 1000;  // per reply; each command is asked up to three times
};

struct AcUnit {
    unsigned channels = 0;
};

struct DcUnit {
    unsigned batteryGroups = 0;
};

struct Discovery {
    unsigned ver = 0;
    std::optional<std::string> model;
    std::optional<std::vector<AcUnit>> ac;
    std::optional<std::vector<DcUnit>> dc;
    std::optional<unsigned> rectifierModules;
    // What could not be found, one line each.
    std::vector<std::string> missing;
};

// The parts of the replies' INFO that discovery reads. Each returns false
// with the reason when INFO is too short for what it announces.
std::string ModelText(const unsigned char* info, size_t size);
bool AcUnitsFromAnalog(const unsigned char* info, size_t size, std::vector<AcUnit>& units, std::string& error);
bool DcUnitsFromAnalog(const unsigned char* info, size_t size, std::vector<DcUnit>& units, std::string& error);
bool ModulesFromAnalog(const unsigned char* info, size_t size, unsigned& modules, std::string& error);

// The configuration for what was found: data id placeholders, the line
// settings, and "discovered" with what the system said about itself.
Json::Value DiscoveredConfig(const Discovery& found, const DiscoverOptions& options);

// The number of DC units the system reports, asked once on a port that is
// open already (the poller's, between two rounds); false with the reason.
bool AskDcUnitCount(const std::shared_ptr<SerialPort>& port, unsigned address, unsigned ver, int timeoutMs,
                    unsigned& count, std::string& why);

// Exit status 0 when the system answered, 1 when it did not, 2 for bad options.
int RunDiscover(const DiscoverOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vxpoll
