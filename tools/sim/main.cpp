// vx42b-sim: a simulated VX42B power system on a pseudo-terminal or a serial
// device, for running the poller without the hardware.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "scenario.h"
#include "sim_server.h"

namespace {

constexpr int kBadInput = 2;

std::string Printable(const std::string& frame)
{
    std::string out;
    for (char c : frame) {
        if (c == '\r')
            out += "<CR>";
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Simulated VX42B power system: answers YD/T 1363.3 commands on a pseudo-terminal (default) or a "
        "serial device.",
        "vx42b-sim"};
    std::string scenarioPath;
    std::string device;
    int baud = 0;
    uint32_t seed = 0;
    bool print = false;
    bool trace = false;
    app.add_option("--scenario", scenarioPath, "Scenario file (JSON); default: the built-in scenario");
    app.add_option("--device", device, "Serve this serial device instead of a pseudo-terminal");
    CLI::Option* baudOption =
        app.add_option("--baud", baud, "Line speed of --device, and the pace of the replies (default: the scenario's)")
            ->check(CLI::Range(50, 4000000));
    CLI::Option* seedOption = app.add_option("--seed", seed, "Seed for the scenario's fault rates (default: random)");
    app.add_flag("--print-scenario", print,
                 "Print the scenario (the built-in one without --scenario) as JSON and exit");
    app.add_flag("--trace", trace, "Show every command and reply on standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kBadInput;
    }

    Scenario scenario = DefaultScenario();
    if (!scenarioPath.empty()) {
        std::string error;
        if (!LoadScenario(scenarioPath, scenario, error)) {
            std::cerr << "vx42b-sim: " << error << "\n";
            return kBadInput;
        }
    }
    if (*seedOption) scenario.seed = seed;
    if (*baudOption) scenario.line.baud = baud;
    if (print) {
        std::cout << vx42b_sim::ScenarioText(scenario) << std::flush;
        return 0;
    }

    // Ctrl-C and SIGTERM are taken by sigwait below, on this thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SimServer server(scenario);
    std::string error;
    std::string path;
    if (device.empty()) {
        path = server.OpenPty(error);
        if (path.empty()) {
            std::cerr << "vx42b-sim: cannot open a pseudo-terminal: " << error << "\n";
            return 1;
        }
    } else {
        if (!server.OpenDevice(device, scenario.line.baud, error)) {
            std::cerr << "vx42b-sim: " << error << "\n";
            return kBadInput;
        }
        path = device;
    }
    if (trace) {
        server.SetTrace([](const std::string& command, const std::string& reply) {
            std::fprintf(stderr, "<- ~%s\n-> %s\n", command.c_str(),
                         reply.empty() ? "(no reply)" : Printable(reply).c_str());
        });
    }
    server.Start();
    std::cout << "vx42b-sim: serving on " << path << std::endl;

    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
    const vx42b_sim::Counters c = server.GetCounters();
    std::cerr << "vx42b-sim: stopped; " << c.commands << " commands, " << c.replies << " replies, " << c.faults
              << " faults injected, " << c.rounds << " rounds\n";
    return 0;
}
