// vx42b-profile: the cost of a steady polling round, in-process. The stand-in
// host drives the loaded plug-in over a port that hands each command to the
// simulator's responder; the figures count the plug-in and the host code it
// calls, never the responder or this harness.
//
//   vx42b-profile [--rounds N] [--plugin PATH]      the table (instructions through callgrind)
//   vx42b-profile --case NAME --rounds N --measure  one case, for a run under callgrind
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>
#include <valgrind/callgrind.h>

#include "SMDController.h"
#include "SMDSPDevice.h"
#include "plugin_loader.h"
#include "responder.h"
#include "serial_port.h"

#ifndef VX42B_PLUGIN_BUILT
#define VX42B_PLUGIN_BUILT ""
#endif

// ---- what the harness interposes ------------------------------------------

namespace {
bool g_counting = false;
unsigned long long g_allocations = 0;
unsigned long long g_bytes = 0;

void Count(size_t bytes)
{
    if (!g_counting) return;
    ++g_allocations;
    g_bytes += bytes;
}
}  // namespace

// Every heap allocation of the process passes here: the executable's
// definitions come first in the dynamic linker's search, for the host
// library and the plug-in alike.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size) noexcept
{
    Count(size);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) noexcept
{
    Count(n * size);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) noexcept
{
    Count(size);
    return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    Count(size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept
{
    Count(size);
    *out = __libc_memalign(alignment, size);
    return *out != nullptr ? 0 : 12;
}

// The reply handler pauses 20 ms before each next command, for the power
// system's sake. A test host has no power system to spare: like any process
// that interposes a C library function (LD_PRELOAD does the same), this one
// answers the pause at once. The plug-in is not changed.
int usleep(useconds_t) { return 0; }
}

namespace {

// ---- the line -------------------------------------------------------------

// Takes each command the device writes; the harness answers it.
class LoopPort : public SerialPort {
public:
    bool Open() override { return open_ = true; }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    long Read(unsigned char*, size_t) override { return 0; }
    bool Write(const unsigned char* data, size_t size) override
    {
        command_.assign(reinterpret_cast<const char*>(data), size);
        pending_ = true;
        return true;
    }
    std::string Name() const override { return "loop"; }

    bool TakeCommand(std::string& out)
    {
        if (!pending_) return false;
        pending_ = false;
        out.swap(command_);
        return true;
    }

private:
    bool open_ = false;
    bool pending_ = false;
    std::string command_;
};

class QuietController : public SMDController {
public:
    unsigned long logs = 0;
    unsigned long roundEnds = 0;
    void OnLog(const std::string&) override { ++logs; }
    void OnRoundEnd(SMDVDevice&, bool complete) override { roundEnds += complete ? 1 : 0; }
};

// The measured stretches: counted and, under callgrind, collected.
class Measure {
public:
    explicit Measure(bool on) : on_(on)
    {
        if (!on_) return;
        g_counting = true;
        CALLGRIND_TOGGLE_COLLECT;
    }
    ~Measure()
    {
        if (!on_) return;
        CALLGRIND_TOGGLE_COLLECT;
        g_counting = false;
    }

private:
    bool on_;
};

// ---- the cases ------------------------------------------------------------

struct Case {
    const char* name;
    const char* what;
    int acUnits;  // each with `channels` channels, except the default system
    int channels;
    int modules;
    bool defaultSystem;
};

const Case kCases[] = {
    {"default", "default system: AC units of 2 and 1 channels, 2 modules, 1 DC unit", 0, 0, 0, true},
    {"ac1", "1 AC unit of 1 channel, 2 modules, 1 DC unit", 1, 1, 2, false},
    {"ac8", "1 AC unit of 8 channels, 2 modules, 1 DC unit", 1, 8, 2, false},
    {"rc8", "1 AC unit of 1 channel, 8 modules, 1 DC unit", 1, 1, 8, false},
    {"rc97", "1 AC unit of 1 channel, 97 modules (a full reply), 1 DC unit", 1, 1, 97, false},
};

const Case* FindCase(const std::string& name)
{
    for (const Case& c : kCases)
        if (name == c.name) return &c;
    return nullptr;
}

vx42b_sim::Scenario ScenarioFor(const Case& c)
{
    vx42b_sim::Scenario s = vx42b_sim::DefaultScenario();
    // A steady system: nothing changes from round to round.
    s.schedule.clear();
    s.drift.clear();
    s.faults.fill(0.0);
    s.seed = 1;
    if (!c.defaultSystem) {
        vx42b_sim::AcUnit unit = s.system.ac.front();
        unit.channels.assign(static_cast<size_t>(c.channels), unit.channels.front());
        s.system.ac.assign(static_cast<size_t>(c.acUnits), unit);
        s.system.rc.modules.resize(static_cast<size_t>(c.modules), s.system.rc.modules.front());
    }
    return s;
}

Json::Value ConfigFor(const vx42b_sim::PowerSystem& system)
{
    Json::Value config(Json::objectValue);
    Json::Value ac(Json::arrayValue);
    for (size_t k = 0; k < system.ac.size(); ++k) {
        Json::Value unit(Json::objectValue);
        unit["data_id"] = static_cast<Json::UInt>(11 + k);
        ac.append(unit);
    }
    Json::Value dc(Json::arrayValue);
    for (size_t k = 0; k < system.dc.size(); ++k) {
        Json::Value unit(Json::objectValue);
        unit["data_id"] = static_cast<Json::UInt>(21 + k);
        dc.append(unit);
    }
    config["acSetting"] = ac;
    config["dcSetting"] = dc;
    config["rcSetting"] = Json::Value(Json::objectValue);
    return config;
}

struct Figures {
    unsigned long rounds = 0;
    unsigned long exchanges = 0;
    unsigned long long allocations = 0;
    unsigned long long bytes = 0;
    unsigned long logs = 0;
    double instructions = -1;  // per round; < 0 when not measured
};

bool RunCase(const std::string& pluginPath, const Case& c, int warmup, int rounds, bool measure, Figures& out,
             std::string& error)
{
    vxpoll::Plugin plugin;
    if (!plugin.Load(pluginPath, error)) return false;
    std::shared_ptr<SMDSPDevice> device = plugin.CreateMainDevice(error);
    if (!device) return false;
    vx42b_sim::Responder sim(ScenarioFor(c));
    auto controller = std::make_shared<QuietController>();
    if (!device->Init(controller, 1, ConfigFor(sim.System()))) {
        error = "the plug-in refused the configuration";
        return false;
    }
    auto port = std::make_shared<LoopPort>();
    device->AttachPort(port);
    device->OpenPort();

    std::string command;
    std::string reply;
    unsigned long exchanges = 0;
    const auto oneRound = [&](bool measured) {
        const unsigned long before = controller->roundEnds;
        for (int guard = 0; guard < 100 && controller->roundEnds == before; ++guard) {
            // The host's pacing passes by moving the last-update time back.
            device->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3));
            {
                Measure m(measured);
                device->RefreshStatus();
            }
            while (port->TakeCommand(command)) {
                reply = sim.Respond(command);
                if (measured) ++exchanges;
                Measure m(measured);
                device->process(reinterpret_cast<unsigned char*>(&reply[0]), static_cast<unsigned>(reply.size()));
            }
        }
        return controller->roundEnds > before;
    };

    // The plug-in's trace lines would cost the terminal, not the plug-in.
    std::fflush(stdout);
    const int savedOut = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    bool ok = true;
    for (int k = 0; k < warmup && ok; ++k) ok = oneRound(false);
    const unsigned long long allocations = g_allocations;
    const unsigned long long bytes = g_bytes;
    const unsigned long logs = controller->logs;
    for (int k = 0; k < rounds && ok; ++k) ok = oneRound(measure);
    std::fflush(stdout);
    dup2(savedOut, 1);
    close(savedOut);
    if (!ok) {
        error = "a round did not complete";
        return false;
    }
    out.rounds = static_cast<unsigned long>(rounds);
    out.exchanges = exchanges;
    out.allocations = g_allocations - allocations;
    out.bytes = g_bytes - bytes;
    out.logs = controller->logs - logs;
    device->ClosePort();
    return true;
}

// Runs one case under callgrind and reads the instructions it collected.
double Instructions(const std::string& self, const std::string& pluginPath, const Case& c, int rounds)
{
    char file[] = "/tmp/vx42b-profile-XXXXXX";
    const int fd = mkstemp(file);
    if (fd < 0) return -1;
    close(fd);
    const std::string command =
        "valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=" + std::string(file) + " '" + self +
        "' --measure --case " + c.name + " --rounds " + std::to_string(rounds) + " --plugin '" + pluginPath +
        "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    double total = -1;
    if (status == 0) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0)
                total = std::atof(line.c_str() + line.find(':') + 1);
    }
    std::remove(file);
    return total < 0 ? -1 : total / rounds;
}

bool HaveValgrind() { return std::system("valgrind --version >/dev/null 2>&1") == 0; }

std::string Fixed(double v, int decimals)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string Grouped(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    std::string digits = buf;
    std::string out;
    const size_t lead = digits.size() % 3;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && k >= lead && (k - lead) % 3 == 0 && digits[k - 1] != '-') out += ',';
        out += digits[k];
    }
    return out;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: vx42b-profile [--rounds N] [--plugin PATH] [--no-instructions]\n"
                 "       vx42b-profile --case NAME --rounds N --measure [--plugin PATH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string pluginPath = VX42B_PLUGIN_BUILT;
    std::string only;
    int rounds = 20;
    bool measure = false;
    bool instructions = true;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--rounds" && k + 1 < argc) {
            rounds = std::atoi(argv[++k]);
            if (rounds < 1 || rounds > 100000) return Usage();
        } else if (arg == "--plugin" && k + 1 < argc) {
            pluginPath = argv[++k];
        } else if (arg == "--case" && k + 1 < argc) {
            only = argv[++k];
            if (FindCase(only) == nullptr) return Usage();
        } else if (arg == "--measure") {
            measure = true;
        } else if (arg == "--no-instructions") {
            instructions = false;
        } else {
            return Usage();
        }
    }
    constexpr int kWarmup = 3;
    std::string error;

    if (measure) {
        Figures f;
        if (!RunCase(pluginPath, *FindCase(only.empty() ? "default" : only), kWarmup, rounds, true, f, error)) {
            std::fprintf(stderr, "vx42b-profile: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }

    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    instructions = instructions && n > 0 && HaveValgrind();
    if (!instructions) std::fprintf(stderr, "vx42b-profile: instructions not measured (valgrind not found)\n");

    std::printf(
        "Per steady round, plug-in and the host code it calls (%d rounds after %d warm-up rounds; "
        "plug-in %s)\n\n",
        rounds, kWarmup, pluginPath.c_str());
    std::printf("| Case | Exchanges | Instructions | Allocations | Bytes allocated |\n|---|---|---|---|---|\n");
    std::vector<Figures> all;
    for (const Case& c : kCases) {
        if (!only.empty() && only != c.name) continue;
        Figures f;
        if (!RunCase(pluginPath, c, kWarmup, rounds, true, f, error)) {
            std::fprintf(stderr, "vx42b-profile: %s: %s\n", c.name, error.c_str());
            return 1;
        }
        if (instructions) f.instructions = Instructions(self, pluginPath, c, rounds);
        const double r = static_cast<double>(f.rounds);
        std::printf("| %s | %s | %s | %s | %s |\n", c.what, Fixed(f.exchanges / r, 0).c_str(),
                    f.instructions < 0 ? "-" : Grouped(f.instructions).c_str(), Fixed(f.allocations / r, 1).c_str(),
                    Grouped(f.bytes / r).c_str());
        if (f.logs != 0) std::printf("(%s logged %lu lines)\n", c.name, f.logs);
        std::fflush(stdout);
        all.push_back(f);
    }
    if (all.size() == sizeof kCases / sizeof kCases[0]) {
        const auto per = [&](int a, int b, double items, auto field) {
            const double r = static_cast<double>(all[0].rounds);
            return (field(all[static_cast<size_t>(b)]) - field(all[static_cast<size_t>(a)])) / r / items;
        };
        const auto ins = [](const Figures& f) { return f.instructions * static_cast<double>(f.rounds); };
        const auto allocs = [](const Figures& f) { return static_cast<double>(f.allocations); };
        const auto bytes = [](const Figures& f) { return static_cast<double>(f.bytes); };
        std::printf("\n| Growth | Instructions | Allocations | Bytes allocated |\n|---|---|---|---|\n");
        std::printf("| per AC channel (1 to 8 channels) | %s | %s | %s |\n",
                    instructions ? Grouped(per(1, 2, 7, ins)).c_str() : "-", Fixed(per(1, 2, 7, allocs), 2).c_str(),
                    Grouped(per(1, 2, 7, bytes)).c_str());
        std::printf("| per rectifier module (8 to 97 modules) | %s | %s | %s |\n",
                    instructions ? Grouped(per(3, 4, 89, ins)).c_str() : "-", Fixed(per(3, 4, 89, allocs), 2).c_str(),
                    Grouped(per(3, 4, 89, bytes)).c_str());
    }
    return 0;
}
