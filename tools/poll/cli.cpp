#include "cli.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <CLI/CLI.hpp>

#include "discover.h"
#include "fd_stream.h"
#include "host_setting.h"
#include "poller.h"
#include "screen_sink.h"
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
    "  vx42b-poll discover --port /dev/ttyUSB0      ask the system what it has, print a configuration\n"
    "\n"
    "Exit status: 0 after --rounds or on Ctrl-C/SIGTERM, 2 for bad input (options, configuration,\n"
    "plug-in), 1 for other failures. On a terminal the poller draws a live screen (q quits); the\n"
    "plug-in's own trace lines go to --log FILE, or show among the log lines with --verbose (live screen\n"
    "and --plain); with --json they go to --log FILE, else to standard error.";

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
            const bool digits =
                !text.empty() && text.size() < 8 && text.find_first_not_of("0123456789") == std::string::npos;
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
            const bool digits =
                !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
            if (digits) {
                const unsigned long long n = std::stoull(text);
                if (n >= 1 && n <= kMaxRounds) return std::string();
            }
            return "expected a count from 1 to " + std::to_string(kMaxRounds) + ", not \"" + text + "\"";
        },
        "", "count");
}

// Seconds with at most three decimals, 0.1 to 86400; the result in milliseconds.
CLI::Validator DownAfter()
{
    return CLI::Validator(
        [](std::string& text) {
            const size_t dot = text.find('.');
            const std::string whole = text.substr(0, dot);
            const std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
            const bool digits = !whole.empty() && whole.size() <= 5 &&
                                whole.find_first_not_of("0123456789") == std::string::npos && frac.size() <= 3 &&
                                frac.find_first_not_of("0123456789") == std::string::npos &&
                                (dot == std::string::npos || !frac.empty());
            if (digits) {
                const unsigned long ms =
                    std::stoul(whole) * 1000 + (frac.empty() ? 0 : std::stoul((frac + "00").substr(0, 3)));
                if (ms >= 100 && ms <= 86400000) {
                    text = std::to_string(ms);
                    return std::string();
                }
            }
            return "expected seconds from 0.1 to 86400 (at most three decimals), not \"" + text + "\"";
        },
        "", "seconds");
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
    CLI::Option* json =
        app.add_flag("--json", options.json, "Write one JSON object per line instead of the human-readable view");
    app.add_flag("--plain", options.plain, "Write the human-readable view line by line, also on a terminal")
        ->excludes(json);
    app.add_flag("--verbose", options.verbose,
                 "Also show the plug-in's own trace lines among the log lines (live screen and --plain)");
    app.add_option("--lang", options.lang,
                   "Language of what people read: en (alarm names in English, the default) or zh (the power "
                   "system's own alarm texts); codes and the system's texts stay in every output")
        ->type_name("en|zh")
        ->transform(CLI::CheckedTransformer(std::map<std::string, Lang>{{"en", Lang::En}, {"zh", Lang::Zh}}));
    app.add_option("--log", options.logPath, "Append every log line, and the plug-in's own trace lines, to FILE")
        ->type_name("FILE");
    app.add_flag("--trace", options.trace, "Also show every frame sent (tx) and received (rx)");
    app.add_option("--query", queries, "Ask the device with that data id for a value after every round (repeatable)")
        ->type_name("DATAID:KEY")
        ->check(QueryValidator());
    app.add_option("--rounds", options.rounds, "Stop after N polling rounds (default: run until stopped)")
        ->type_name("N")
        ->check(RoundCount());
    app.add_option("--down-after", options.downAfterMs,
                   "Show the line as down after this long without a valid reply (default: three reply time-outs "
                   "or three polling periods, the longer: 6 s with the defaults)")
        ->type_name("SECONDS")
        ->transform(DownAfter());
    app.add_option("--cache", options.cacheDir,
                   "Keep each sub-device's last published image in DIR and restore them at start")
        ->type_name("DIR")
        ->check(NotEmpty("a directory, or leave the option out"));
    app.add_option("--history", options.historyPath, "Store every saved history record in an SQLite file")
        ->type_name("FILE")
        ->check(NotEmpty("a file, or leave the option out"));

    const char* net = "Network outputs";
    CLI::Option* mqtt =
        app.add_option("--mqtt", options.mqttUrl,
                       "Publish to an MQTT broker: mqtt://HOST[:PORT][/PREFIX] or mqtts://... (default prefix: "
                       "vx42b/<main data id>)")
            ->type_name("URL")
            ->group(net);
    app.add_option("--mqtt-auth", options.mqttAuthFile,
                   "Broker user name (first line) and password (second line) from FILE")
        ->type_name("FILE")
        ->group(net)
        ->needs(mqtt);
    app.add_option("--mqtt-ca", options.mqttCaFile,
                   "CA certificates (PEM) for an mqtts:// broker (default: the system's)")
        ->type_name("FILE")
        ->group(net)
        ->needs(mqtt);
    app.add_flag("--mqtt-discovery{homeassistant}", options.mqttDiscovery,
                 "Publish Home Assistant discovery configs under PREFIX (default homeassistant)")
        ->expected(0, 1)
        ->type_name("PREFIX")
        ->group(net)
        ->needs(mqtt);
    app.add_option("--mqtt-manufacturer", options.mqttManufacturer,
                   "The maker Home Assistant shows for the power system (default VX42B); the system does not "
                   "report it")
        ->type_name("NAME")
        ->group(net)
        ->needs(mqtt);
    CLI::Option* http =
        app.add_option("--http", options.httpAddress,
                       "Serve the live page, /metrics and /api/state on ADDR:PORT (ADDR default 127.0.0.1)")
            ->type_name("ADDR:PORT")
            ->group(net);
    app.add_option("--http-auth", options.httpAuthFile,
                   "Ask for basic authentication; FILE holds USER:HASH lines (bcrypt or sha-crypt, "
                   "htpasswd -nB USER)")
        ->type_name("FILE")
        ->group(net)
        ->needs(http);
    app.add_option("--http-cert", options.httpCertFile, "Serve HTTPS with this certificate (PEM); needs --http-key")
        ->type_name("FILE")
        ->group(net)
        ->needs(http);
    app.add_option("--http-key", options.httpKeyFile, "Private key (PEM) of --http-cert")
        ->type_name("FILE")
        ->group(net)
        ->needs(http);

    CLI::App* history = app.add_subcommand("history", "Print a history file as decoded JSON lines");
    history->add_option("FILE", historyFile, "History file written with --history")
        ->required()
        ->check(NotEmpty("a history file"));
    DiscoverOptions discover;
    CLI::App* discoverCommand = app.add_subcommand(
        "discover", "Ask the power system what it has and print a configuration for it (JSON) on standard output");
    discoverCommand->add_option("--port", discover.port, "Serial device or tcp:HOST:PORT")
        ->type_name("DEVICE")
        ->required()
        ->check(NotEmpty("a serial device or tcp:HOST:PORT"));
    discoverCommand->add_option("--address", discover.address, "ADR of the power system (default 1)")
        ->type_name("A")
        ->check(CLI::Range(0u, 255u).description(""));
    discoverCommand->add_option("--baud", discover.baud, "Line speed, 8N1 (default 9600)")
        ->type_name("N")
        ->check(LineSpeed());
    discoverCommand->add_option("--timeout", discover.timeoutMs, "Wait this long for each reply (default 1000)")
        ->type_name("MS")
        ->check(CLI::Range(10, 600000).description(""));
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    }

    if (history->parsed()) return DumpHistory(historyFile, std::cout, std::cerr);
    if (discoverCommand->parsed()) {
        ::signal(SIGPIPE, SIG_IGN);
        return RunDiscover(discover, std::cout, std::cerr);
    }

    for (const std::string& text : queries) {
        Query query;
        std::string error;
        ParseQuery(text, query, error);
        options.queries.push_back(query);
    }

    // On a terminal the live screen, unless asked otherwise.
    std::string noScreen;
    options.screen = !options.json && !options.plain && ScreenPossible(STDOUT_FILENO, noScreen);

    // Our output keeps the original standard output; descriptor 1, where the
    // plug-in's printf and std::cout trace lines go, becomes the log file,
    // a pipe the screen or the line view reads (--verbose), nothing (the
    // screen, the line view), or standard error (JSON), so that those lines
    // never mix into our output.
    std::cout.flush();
    std::fflush(stdout);
    const int outFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (outFd < 0) {
        std::perror("vx42b-poll: cannot set up standard output");
        return kExitFailure;
    }
    options.outFd = outFd;
    int traceFd = -1;
    if (!options.logPath.empty()) {
        traceFd = ::open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (traceFd < 0) {
            std::cerr << "vx42b-poll: cannot open the log file " << options.logPath << ": " << std::strerror(errno)
                      << '\n';
            ::close(outFd);
            return kExitBadInput;
        }
    } else if (!options.json && options.verbose) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            // A full pipe drops trace lines rather than stall the plug-in.
            options.traceFd = ends[0];
            traceFd = ends[1];
        }
    } else if (!options.json) {
        // The live screen and the line view (the journal) keep them out.
        traceFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
        traceFd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    }
    if (traceFd < 0 || ::dup2(traceFd, STDOUT_FILENO) < 0) {
        std::perror("vx42b-poll: cannot set up standard output");
        return kExitFailure;
    }
    ::close(traceFd);
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
    if (options.traceFd >= 0) ::close(options.traceFd);
    return status;
}

}  // namespace vxpoll
