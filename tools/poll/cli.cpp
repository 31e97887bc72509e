#include "cli.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "fd_stream.h"
#include "host_setting.h"
#include "poller.h"
#include "query.h"
#include "termios_port.h"

namespace vxpoll {

namespace {

const char kDescription[] =
    "vx42b-poll: polls a VX42B DC power system through the vx42b plug-in and shows what the plug-in\n"
    "publishes: each round's decoded records, alarm transitions, log lines and value answers.\n"
    "Without --port it starts the built-in simulator on a pseudo-terminal and polls that.";

const char kFooter[] =
    "Examples:\n"
    "  vx42b-poll                                   built-in simulator, human-readable rounds\n"
    "  vx42b-poll --port /dev/ttyUSB0 --config site.json --json\n"
    "  vx42b-poll --port tcp:10.0.0.7:4001 --query 21:v --query 11:channel_0_a\n"
    "  vx42b-poll --json --rounds 5 --cache cache/ --history history.db\n"
    "  vx42b-poll history history.db                print a history file as JSON lines\n"
    "\n"
    "Exit status: 0 after --rounds or on Ctrl-C/SIGTERM, 2 for bad input (options, configuration,\n"
    "plug-in), 1 for other failures. The plug-in's own trace lines go to standard error.";

CLI::Validator QueryValidator()
{
    return CLI::Validator(
        [](std::string& text) {
            Query query;
            std::string error;
            return ParseQuery(text, query, error) ? std::string() : error;
        },
        "", "query");
}

// An empty value would silently mean "not given" (the built-in simulator for --port).
CLI::Validator NotEmpty(const std::string& expected)
{
    return CLI::Validator(
        [expected](std::string& text) {
            return text.empty() ? "an empty value is not allowed; give " + expected : std::string();
        },
        "", "not empty");
}

CLI::Validator LineSpeed()
{
    return CLI::Validator(
        [](std::string& text) {
            const bool digits = !text.empty() && text.size() < 8 && text.find_first_not_of("0123456789") == std::string::npos;
            if (digits && SpeedConstant(std::stoi(text)) != 0) return std::string();
            return "\"" + text + "\" is not a line speed; use one of " + LineSpeedList();
        },
        "", "line speed");
}

constexpr unsigned long kMaxRounds = 4294967295ul;

// Digits only: "-1" and overlong counts must not wrap into "for ever".
CLI::Validator RoundCount()
{
    return CLI::Validator(
        [](std::string& text) {
            const bool digits = !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
            if (digits) {
                const unsigned long long n = std::stoull(text);
                if (n >= 1 && n <= kMaxRounds) return std::string();
            }
            return "expected a count from 1 to " + std::to_string(kMaxRounds) + ", not \"" + text + "\"";
        },
        "", "count");
}

}  // namespace

int RunMain(int argc, char** argv)
{
    Options options;
    std::vector<std::string> queries;
    std::string historyFile;

    CLI::App app{kDescription, "vx42b-poll"};
    app.footer(kFooter);
    app.option_defaults()->always_capture_default(false);
    app.add_option("--plugin", options.plugin,
                   "Plug-in library to load (default: the libvx42b.so built with this program)")
        ->type_name("PATH")
        ->check(NotEmpty("the path of a plug-in library, or leave the option out"));
    app.add_option("--config", options.configPath,
                   "Device configuration (JSON) for the plug-in's Init (default: main data id 1, AC units 11 and "
                   "12, DC unit 21, the rectifiers)")
        ->type_name("FILE")
        ->check(NotEmpty("a configuration file, or leave the option out"));
    CLI::Option* port = app.add_option("--port", options.port,
                                       "Serial device (/dev/ttyUSB0) or serial device server (tcp:HOST:PORT); "
                                       "default: the configuration's \"port\", else the built-in simulator")
                            ->type_name("DEVICE")
                            ->check(NotEmpty("a serial device or tcp:HOST:PORT; leave the option out for the "
                                             "built-in simulator"));
    app.add_option("--baud", options.baud, "Line speed, 8N1 (default: the configuration's \"baud\", else 9600)")
        ->type_name("N")
        ->check(LineSpeed());
    app.add_option("--scenario", options.scenario, "Scenario file for the built-in simulator")
        ->type_name("FILE")
        ->check(NotEmpty("a scenario file, or leave the option out"))
        ->excludes(port);
    app.add_flag("--json", options.json, "Write one JSON object per line instead of the human-readable view");
    app.add_flag("--trace", options.trace, "Also show every frame sent (tx) and received (rx)");
    app.add_option("--query", queries,
                   "Ask the device with that data id for a value after every round (repeatable)")
        ->type_name("DATAID:KEY")
        ->check(QueryValidator());
    app.add_option("--rounds", options.rounds, "Stop after N polling rounds (default: run until stopped)")
        ->type_name("N")
        ->check(RoundCount());
    app.add_option("--cache", options.cacheDir,
                   "Keep each sub-device's last published image in DIR and restore them at start")
        ->type_name("DIR")
        ->check(NotEmpty("a directory, or leave the option out"));
    app.add_option("--history", options.historyPath, "Store every saved history record in an SQLite file")
        ->type_name("FILE")
        ->check(NotEmpty("a file, or leave the option out"));

    CLI::App* history = app.add_subcommand("history", "Print a history file as decoded JSON lines");
    history->add_option("FILE", historyFile, "History file written with --history")
        ->required()
        ->check(NotEmpty("a history file"));
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    }

    if (history->parsed()) return DumpHistory(historyFile, std::cout, std::cerr);

    for (const std::string& text : queries) {
        Query query;
        std::string error;
        ParseQuery(text, query, error);
        options.queries.push_back(query);
    }

    // Our output keeps the original standard output; descriptor 1 becomes
    // standard error, so that the plug-in's printf and std::cout trace lines
    // never mix into it.
    std::cout.flush();
    std::fflush(stdout);
    const int outFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (outFd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("vx42b-poll: cannot set up standard output");
        return kExitFailure;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A closed reader shows as a failed write, not as a fatal signal.
    ::signal(SIGPIPE, SIG_IGN);
    InstallStopHandlers();

    int status;
    {
        FdStreamBuf buffer(outFd);
        std::ostream out(&buffer);
        status = RunPoller(options, out, std::cerr);
        out.flush();
    }
    ::close(outFd);
    return status;
}

}  // namespace vxpoll
