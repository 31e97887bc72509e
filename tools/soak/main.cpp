// vx42b-soak: a long run of the plug-in against the simulated power system.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "fd_stream.h"
#include "soak.h"

int main(int argc, char** argv)
{
    vxsoak::Options options;
    CLI::App app(
        "vx42b-soak: the stand-in host drives the vx42b plug-in against the simulated power system for many\n"
        "rounds, with spoilt replies, hot-swapped modules and channels, clock steps, line drops and replies\n"
        "longer than the reply time-out, then reports rounds, stalls, log lines, alarms and resources.");
    app.add_option("--rounds", options.rounds, "rounds to run")->check(CLI::Range(1UL, 100000000UL));
    app.add_option("--seed", options.seed, "seed of the simulator's faults");
    app.add_option("--plugin", options.plugin, "the plug-in to load (default: the one built with the harness)")
        ->check(CLI::ExistingFile);
    app.add_option("--fault-rate", options.faultRate, "share of replies spoilt outside the quiet rounds")
        ->check(CLI::Range(0.0, 0.5));
    std::vector<std::string> only;
    app.add_option("--only", only, "run only these disturbances: faults, swap, clock, drop, long")
        ->check(CLI::IsMember(vxsoak::Options::AllDisturbances()))
        ->delimiter(',');
    app.add_flag("--progress", options.progress, "a line every 500 rounds");
    app.footer(
        "Exit status: 0 passed; 1 a stall, growth, refused values, a line collision or a plug-in exception;\n"
        "2 bad options or a plug-in that cannot be loaded. The plug-in's own trace lines are discarded.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }

    if (!only.empty()) options.disturbances = std::set<std::string>(only.begin(), only.end());

    // The report goes to the original standard output; descriptor 1 then
    // takes the plug-in's per-reply trace lines, which nobody reads here.
    const int reportFd = ::dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (reportFd < 0 || devNull < 0) {
        std::perror("vx42b-soak");
        return 1;
    }
    std::fflush(stdout);
    std::cout.flush();
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
    int status = 0;
    {
        vxpoll::FdStreamBuf buffer(reportFd);
        std::ostream report(&buffer);
        status = vxsoak::RunSoak(options, report);
        report.flush();
    }
    ::close(reportFd);
    return status;
}
