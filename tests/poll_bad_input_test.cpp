// vx42b-poll and vx42b-sim given mistakes and broken surroundings: each is
// stopped at once or told in a line a person can act on, and no file of the
// site is changed or lost.
#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "file_state.h"
#include "history_db.h"
#include "image_cache.h"
#include "option_file.h"

namespace {

using namespace vxpoll::e2e;
namespace fs = std::filesystem;

// A DC image as published: data id 21, v = 53.5.
std::string DcImage(uint32_t dataId = 21)
{
    std::string image(101, '\0');
    image[0] = static_cast<char>(dataId);
    image[6] = 0x56;
    image[7] = 0x42;
    return image;
}

std::string Wrapped(int recordType, const std::string& image)
{
    return vxpoll::WrapImage(recordType, reinterpret_cast<const unsigned char*>(image.data()), image.size());
}

// A site's files as the poller left them after a good run, plus the things
// a user may name by mistake.
struct Site {
    TempDir dir;
    std::string cache, history, config;
    Site()
    {
        cache = dir.Path() + "/cache";
        history = dir.Path() + "/history.db";
        fs::create_directory(cache);
        dir.Write("cache/vx42b-dc-21.img", Wrapped(5087, DcImage()));
        vxpoll::HistoryDb db;
        std::string error;
        db.Create(history, error);
        db.Insert(vxpoll::HistoryRow{0, "2024-05-01T12:00:00.000", 21, "vx42b-dc", 5087, DcImage()}, error);
        config = dir.Write("config.json", TestConfig(1000));
        fs::create_directory(dir.Path() + "/adir");
        dir.Write("plain.txt", "some notes, not a device\n");
        dir.Write("deep.json", std::string(5000, '[') + std::string(5000, ']'));
        ::mkfifo((dir.Path() + "/fifo").c_str(), 0644);
    }
    std::string Path(const std::string& name) const { return dir.Path() + "/" + name; }
    // "{dir}" in a case's text stands for the site's directory.
    std::string Expand(std::string text) const
    {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir.Path());
        return text;
    }
};

bool Has(const std::vector<std::string>& args, const char* option)
{
    return std::find(args.begin(), args.end(), option) != args.end();
}

// The poller's arguments for a case: the site's configuration, cache and
// history unless the case names its own, and a port that is not there.
std::vector<std::string> PollArgs(const Site& site, const std::vector<std::string>& caseArgs,
                                  bool configuredPort = false)
{
    std::vector<std::string> args{PollExe()};
    for (const std::string& a : caseArgs) args.push_back(site.Expand(a));
    if (!caseArgs.empty() && caseArgs[0] == "history") return args;
    if (!Has(args, "--plugin")) args.insert(args.end(), {"--plugin", PluginPath()});
    if (!Has(args, "--config")) args.insert(args.end(), {"--config", site.config});
    if (!Has(args, "--cache")) args.insert(args.end(), {"--cache", site.cache});
    if (!Has(args, "--history")) args.insert(args.end(), {"--history", site.history});
    if (!configuredPort && !Has(args, "--port") && !Has(args, "--scenario"))
        args.insert(args.end(), {"--port", "/nonexistent/ttyUSB9"});
    return args;
}

struct Refusal {
    const char* name;
    std::vector<std::string> args;
    const char* config;  // written over the site's configuration when set
    const char* message;
};

TEST(PollBadInput, MistakesStopTheStartWithStatusTwoAndChangeNothing)
{
    const std::vector<Refusal> cases = {
        // Nesting beyond the JSON reader's limit.
        {"configuration nested too deeply",
         {"--config", "{dir}/deep.json"},
         nullptr,
         "configuration {dir}/deep.json is not valid JSON: nested too deeply (more than 1000 levels)"},
        {"scenario nested too deeply",
         {"--scenario", "{dir}/deep.json"},
         nullptr,
         "--scenario: {dir}/deep.json: not valid JSON: nested too deeply (more than 1000 levels)"},
        // Ports that can never work.
        {"port a directory",
         {"--port", "{dir}/adir"},
         nullptr,
         "--port {dir}/adir is a directory, not a serial device"},
        {"port a regular file",
         {"--port", "{dir}/plain.txt"},
         nullptr,
         "--port {dir}/plain.txt is a regular file, not a serial device"},
        {"port a FIFO", {"--port", "{dir}/fifo"}, nullptr, "--port {dir}/fifo is a FIFO, not a serial device"},
        {"port not a terminal",
         {"--port", "/dev/null"},
         nullptr,
         "--port /dev/null is a character device but not a terminal, so not a serial device"},
        {"tcp without port",
         {"--port", "tcp:127.0.0.1"},
         nullptr,
         "--port tcp:127.0.0.1 has no port number; expected tcp:HOST:PORT with PORT from 1 to 65535"},
        {"tcp without host", {"--port", "tcp::4001"}, nullptr, "--port tcp::4001 has no host"},
        {"tcp port 0", {"--port", "tcp:127.0.0.1:0"}, nullptr, "--port tcp:127.0.0.1:0 has port 0, out of range"},
        {"tcp port too large",
         {"--port", "tcp:127.0.0.1:99999"},
         nullptr,
         "--port tcp:127.0.0.1:99999 has port 99999, out of range"},
        {"configured port a directory",
         {},
         R"({"data_id": 1, "rcSetting": {}, "port": "{dir}/adir"})",
         "the configuration's \"port\" {dir}/adir is a directory, not a serial device"},
        {"configured tcp port too large",
         {},
         R"({"data_id": 1, "rcSetting": {}, "port": "tcp:127.0.0.1:99999"})",
         "\"port\" tcp:127.0.0.1:99999 has port 99999, out of range"},
        // Empty values would mean "not given".
        {"empty port", {"--port", ""}, nullptr, "--port: an empty value is not allowed"},
        {"empty configuration", {"--config", ""}, nullptr, "--config: an empty value is not allowed"},
        {"empty cache", {"--cache", ""}, nullptr, "--cache: an empty value is not allowed"},
        {"empty history", {"--history", ""}, nullptr, "--history: an empty value is not allowed"},
        {"empty plug-in", {"--plugin", ""}, nullptr, "--plugin: an empty value is not allowed"},
        {"empty scenario", {"--scenario", ""}, nullptr, "--scenario: an empty value is not allowed"},
        {"empty history to print", {"history", ""}, nullptr, "FILE: an empty value is not allowed"},
        {"configured port empty", {}, R"({"data_id": 1, "rcSetting": {}, "port": ""})", "\"port\" is empty"},
        // Counts and speeds.
        {"negative rounds", {"--rounds", "-1"}, nullptr, "--rounds: expected a count from 1 to 4294967295, not \"-1\""},
        {"rounds beyond range",
         {"--rounds", "99999999999999999999"},
         nullptr,
         "--rounds: expected a count from 1 to 4294967295"},
        {"zero rounds", {"--rounds", "0"}, nullptr, "--rounds: expected a count from 1 to 4294967295"},
        {"speed not a number",
         {"--baud", "abc"},
         nullptr,
         "--baud: \"abc\" is not a line speed; use one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
         "230400"},
        {"configured speed unsupported",
         {},
         R"({"data_id": 1, "rcSetting": {}, "baud": 14400})",
         "\"baud\" must be one of 1200, 2400"},
        // One data id for two units.
        {"AC and DC share a data id",
         {},
         R"({"data_id": 1, "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 11}], "rcSetting": {}})",
         "data id 11 is used twice: by acSetting[0].data_id and by dcSetting[0].data_id"},
        {"an AC unit takes the main data id",
         {},
         R"({"data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 1}], "rcSetting": {}})",
         "data id 1 is used twice: by the top-level \"data_id\" (the main device and rcSetting) and by "
         "acSetting[1].data_id"},
        {"two null units",
         {},
         R"({"data_id": 1, "dcSetting": [null, {"data_id": 0.5}], "rcSetting": {}})",
         "data id 0 is used twice: by dcSetting[0] (null, data id 0) and by dcSetting[1].data_id"},
        // Paths that are not what the option expects.
        {"history a directory",
         {"--history", "{dir}/adir"},
         nullptr,
         "history {dir}/adir is a directory; expected an SQLite history file"},
        {"history a FIFO",
         {"--history", "{dir}/fifo"},
         nullptr,
         "history {dir}/fifo is a FIFO; expected an SQLite history file"},
        {"history not a database",
         {"--history", "{dir}/plain.txt"},
         nullptr,
         "history {dir}/plain.txt is not an SQLite database"},
        {"history to print a directory",
         {"history", "{dir}/adir"},
         nullptr,
         "history {dir}/adir is a directory; expected an SQLite history file"},
        {"text after the configuration",
         {},
         "{\"data_id\": 1, \"rcSetting\": {}}\n}\n",
         "is not valid JSON: * Line 2, Column 1\n  Extra non-whitespace after JSON value."},
        {"cache a file", {"--cache", "{dir}/plain.txt"}, nullptr, "cache {dir}/plain.txt is not a directory"},
        {"log a FIFO nobody reads",
         {"--log", "{dir}/fifo"},
         nullptr,
         "--log: {dir}/fifo is a FIFO nobody reads; start its reader first"},
    };
    Site site;
    const auto before = TreeState(site.dir.Path());
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        if (c.config != nullptr)
            args.insert(args.end(), {"--config", site.dir.Write("case.json", site.Expand(c.config))});
        Child poll(PollArgs(site, args, c.config != nullptr && std::strstr(c.config, "\"port\"") != nullptr));
        EXPECT_EQ(poll.Collect(std::chrono::seconds(20)), 2) << poll.Err();
        EXPECT_NE(poll.Err().find(site.Expand(c.message)), std::string::npos) << poll.Err();
        EXPECT_EQ(poll.Out().find("\"round\""), std::string::npos) << poll.Out();
        if (c.config != nullptr) ::unlink(site.Path("case.json").c_str());
        EXPECT_EQ(TreeState(site.dir.Path()), before);
    }
}

// Every file an option names is read whole or handed to a library by path:
// anything but a regular file of a sensible size is refused by the option's
// name before it is opened for use.
TEST(PollBadInput, OptionFilesThatAreNotFilesOrTooLargeAreRefusedByName)
{
    struct OptionFile {
        const char* option;
        size_t limit;
        std::vector<std::string> needs;  // what the option goes with
    };
    const std::vector<OptionFile> options = {
        {"--config", option_file::kConfigMax, {}},
        {"--scenario", option_file::kScenarioMax, {}},
        {"--plugin", size_t{256} << 20, {}},
#ifdef VX42B_POLL_WITH_NET
        {"--mqtt-auth", option_file::kAuthMax, {"--mqtt", "mqtt://127.0.0.1:1"}},
        {"--mqtt-ca", option_file::kPemMax, {"--mqtt", "mqtts://127.0.0.1:1"}},
        {"--http-auth", option_file::kAuthMax, {"--http", "127.0.0.1:0"}},
        {"--http-cert", option_file::kPemMax, {"--http", "127.0.0.1:0", "--http-key", "{dir}/plain.txt"}},
        {"--http-key", option_file::kKeyMax, {"--http", "127.0.0.1:0", "--http-cert", "{dir}/plain.txt"}},
#endif
    };
    Site site;
    // One byte over the limit, sparse: only the size is looked at. Outside
    // the site, whose every file is read to compare it.
    TempDir elsewhere;
    const std::string oversize = elsewhere.Path() + "/oversize";
    const std::pair<std::string, std::string> kinds[] = {
        {"/dev/zero", "is a character device; give a regular file"},
        {site.Path("fifo"), "is a FIFO; give a regular file"},
        {site.Path("adir"), "is a directory; give a regular file"},
        {oversize, ""},
    };
    for (const OptionFile& o : options) {
        ASSERT_EQ(::truncate(elsewhere.Write("oversize", "").c_str(), static_cast<off_t>(o.limit + 1)), 0);
        const auto before = TreeState(site.dir.Path());
        for (const auto& [path, what] : kinds) {
            SCOPED_TRACE(std::string(o.option) + " " + path);
            std::vector<std::string> args = o.needs;
            args.insert(args.end(), {o.option, path});
            Child poll(PollArgs(site, args));
            EXPECT_EQ(poll.Collect(std::chrono::seconds(20)), 2) << poll.Err();
            const std::string expected = std::string(o.option) + ": " + path + " " +
                                         (what.empty() ? "is " + std::to_string(o.limit + 1) + " bytes; " + o.option +
                                                             " takes at most " + option_file::SizeText(o.limit)
                                                       : what);
            EXPECT_NE(poll.Err().find("vx42b-poll: " + expected), std::string::npos) << poll.Err();
            EXPECT_EQ(poll.Out().find("\"round\""), std::string::npos) << poll.Out();
            EXPECT_EQ(TreeState(site.dir.Path()), before);
        }
    }
}

TEST(PollBadInput, SimulatorRefusesScenariosItCannotUse)
{
    const std::pair<const char*, const char*> cases[] = {
        {"{dir}/deep.json", "{dir}/deep.json: not valid JSON: nested too deeply (more than 1000 levels)"},
        {"{dir}/adir", "--scenario: {dir}/adir is a directory; give a regular file"},
        {"{dir}/fifo", "--scenario: {dir}/fifo is a FIFO; give a regular file"},
        {"/dev/zero", "--scenario: /dev/zero is a character device; give a regular file"},
    };
    if (SimExe().empty()) GTEST_SKIP() << "built without the simulator";
    Site site;
    const auto before = TreeState(site.dir.Path());
    for (const auto& [scenario, message] : cases) {
        SCOPED_TRACE(scenario);
        Child sim({SimExe(), "--scenario", site.Expand(scenario)});
        EXPECT_EQ(sim.Collect(std::chrono::seconds(20)), 2) << sim.Err();
        EXPECT_NE(sim.Err().find(site.Expand(message)), std::string::npos) << sim.Err();
    }
    EXPECT_EQ(TreeState(site.dir.Path()), before);
}

// A loopback port nobody listens on.
int RefusingPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// Runs the poller until a log line holds `text`, then stops it; the lines so far.
std::vector<Json::Value> RunUntilLogged(const std::vector<std::string>& args, const std::string& text, int& status)
{
    Child poll(args);
    std::vector<Json::Value> lines;
    bool seen = false;
    std::string line;
    while (!seen && poll.ReadLine(line, std::chrono::seconds(15))) {
        lines.push_back(JsonLines(line).at(0));
        seen = lines.back()["event"].asString() == "log" &&
               lines.back()["text"].asString().find(text) != std::string::npos;
    }
    EXPECT_TRUE(seen) << "no log line with: " << text << "\n" << poll.Out() << poll.Err();
    poll.Kill(SIGTERM);
    status = poll.Collect(std::chrono::seconds(15));
    for (const Json::Value& v : JsonLines(poll.Unread())) lines.push_back(v);
    return lines;
}

TEST(PollBadInput, PortsThatMayComeBackAreRetried)
{
    const std::string refused = "tcp:127.0.0.1:" + std::to_string(RefusingPort());
    const std::pair<std::string, std::string> cases[] = {
        {"/nonexistent/ttyUSB9",
         "port /nonexistent/ttyUSB9 cannot be opened: No such file or directory; next try in 1 s"},
        {refused, "port " + refused +
                      " cannot be opened: Connection refused (is the device server up? if it takes one connection at "
                      "a time, another program may have it); next try in 1 s"},
    };
    Site site;
    const auto before = TreeState(site.dir.Path());
    for (const auto& [port, message] : cases) {
        SCOPED_TRACE(port);
        int status = -1;
        RunUntilLogged(PollArgs(site, {"--json", "--rounds", "1", "--port", port}), message, status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(TreeState(site.dir.Path()), before);
    }
}

struct BadImage {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* message;
};

TEST(PollBadInput, CacheFilesThatDoNotCheckAreRefusedAndKept)
{
    const auto write = [](std::string bytes) {
        return [bytes](const std::string& path) { std::ofstream(path, std::ios::binary) << bytes; };
    };
    std::string random(101, '\0');
    for (size_t k = 0; k < random.size(); ++k) random[k] = static_cast<char>((k * 151 + 7) & 0xFF);
    std::string flipped = Wrapped(5087, DcImage());
    flipped[40] ^= 0x01;
    const std::string cut = Wrapped(5087, DcImage()).substr(0, 16 + 100);
    const std::vector<BadImage> cases = {
        {"a FIFO", [](const std::string& path) { ::mkfifo(path.c_str(), 0644); },
         "vx42b-dc-21.img is a FIFO, not an image file; remove it"},
        {"a directory", [](const std::string& path) { fs::create_directory(path); },
         "vx42b-dc-21.img is a directory, not an image file"},
        {"random bytes of a DC image's length", write(random),
         "vx42b-dc-21.img has no image header and does not start with data id 21"},
        {"a damaged image", write(flipped), "vx42b-dc-21.img does not check: its CRC-32 does not match"},
        {"a cut image", write(cut), "vx42b-dc-21.img does not check: its header gives 101 bytes but 100 follow"},
        {"a cut header", write(Wrapped(5087, DcImage()).substr(0, 9)),
         "vx42b-dc-21.img does not check: its header is cut short (9 bytes)"},
        {"another unit's record", write(Wrapped(5085, DcImage())),
         "vx42b-dc-21.img does not check: it holds a record of type 5085, not 5087"},
    };
    for (const BadImage& c : cases) {
        SCOPED_TRACE(c.name);
        Site site;
        fs::remove(site.cache + "/vx42b-dc-21.img");
        c.make(site.cache + "/vx42b-dc-21.img");
        const auto before = TreeState(site.dir.Path());
        int status = -1;
        RunUntilLogged(PollArgs(site, {"--json"}), c.message, status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(TreeState(site.dir.Path()), before);
    }
}

TEST(PollBadInput, StaleTemporaryFilesOfDeadRunsAreRemoved)
{
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    Site site;
    const std::string stale = site.cache + "/vx42b-dc-21.img.tmp" + std::to_string(dead);
    const std::string live = site.cache + "/vx42b-ac-11.img.tmp" + std::to_string(::getpid());
    const std::string other = site.cache + "/notes.tmp" + std::to_string(dead);
    for (const std::string& path : {stale, live, other}) std::ofstream(path) << "partial";
    auto expected = TreeState(site.dir.Path());
    expected.erase("cache/" + fs::path(stale).filename().string());

    int status = -1;
    RunUntilLogged(PollArgs(site, {"--json"}),
                   "cache: removed 1 temporary file an interrupted run left in " + site.cache, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(TreeState(site.dir.Path()), expected);
}

TEST(PollBadInput, DamagedHistoryIsSetAsideAndANewOneStarted)
{
    Site site;
    {
        vxpoll::HistoryDb db;
        std::string error;
        ASSERT_TRUE(db.Create(site.history, error)) << error;
        for (int k = 0; k < 300; ++k)
            ASSERT_TRUE(
                db.Insert(vxpoll::HistoryRow{0, "2024-05-01T12:00:00.000", 21, "vx42b-dc", 5087, DcImage()}, error));
    }
    // Garbage over a page in the middle of the table.
    std::string bytes = FileBytes(site.history);
    ASSERT_GT(bytes.size(), 5u * 4096);
    for (size_t k = 3 * 4096; k < 4 * 4096; ++k) bytes[k] = static_cast<char>(0xA5);
    std::ofstream(site.history, std::ios::binary | std::ios::trunc) << bytes;

    int status = -1;
    const auto lines = RunUntilLogged(PollArgs(site, {"--json"}), "started a new history file", status);
    EXPECT_EQ(status, 0);
    std::string aside;
    for (const auto& entry : fs::directory_iterator(site.dir.Path()))
        if (entry.path().filename().string().rfind("history.db.corrupt-", 0) == 0) aside = entry.path().string();
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(FileBytes(aside), bytes);  // kept whole for repair
    EXPECT_EQ(LogsStartingWith(lines, "history " + site.history + " is damaged ("), 1u);
    EXPECT_EQ(LogsStartingWith(lines, "history " + site.history + " is damaged ("), 1u);

    // The new file is a good, empty history; the old one still prints what it can.
    Child fresh({PollExe(), "history", site.history});
    EXPECT_EQ(fresh.Collect(std::chrono::seconds(20)), 0) << fresh.Err();
    EXPECT_EQ(fresh.Out(), "");
    Child old({PollExe(), "history", aside});
    EXPECT_EQ(old.Collect(std::chrono::seconds(20)), 1);
    EXPECT_NE(old.Err().find("history " + aside + " is damaged ("), std::string::npos) << old.Err();
}

TEST(PollBadInput, ReadOnlyHistoryIsRefusedAtStart)
{
    Site site;
    if (!ChildrenObeyPermissions(site.dir.Path())) GTEST_SKIP() << "permission bits do not bind here";
    ::chmod(site.history.c_str(), 0444);
    const auto before = TreeState(site.dir.Path());
    Child poll(PollArgs(site, {"--json"}));
    EXPECT_EQ(poll.Collect(std::chrono::seconds(20)), 2);
    EXPECT_NE(poll.Err().find("history " + site.history + " is read-only; make it writable, or name another file"),
              std::string::npos)
        << poll.Err();
    EXPECT_EQ(TreeState(site.dir.Path()), before);
}

TEST(PollBadInput, BareImagesOfEarlierVersionsAreReadOnceThenRewrittenWithAHeader)
{
    if (SimExe().empty()) GTEST_SKIP() << "built without the simulator";
    Site site;
    std::ofstream(site.cache + "/vx42b-dc-21.img", std::ios::binary | std::ios::trunc) << DcImage();
    Sim sim(site.dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const PollRun run = PollJson(sim.Path(), site.config, {"--rounds", "1", "--cache", site.cache});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LogsStartingWith(run.lines, "cache: restored vx42b-dc 21 from " + site.cache +
                                              "/vx42b-dc-21.img (101 bytes, no header: written by an earlier "
                                              "version, rewritten with one on the next save)"),
              1u);
    const std::string file = FileBytes(site.cache + "/vx42b-dc-21.img");
    std::string image, why;
    EXPECT_EQ(vxpoll::UnwrapImage(file, 5087, image, why), vxpoll::ImageFile::Checked) << why;
    EXPECT_EQ(image.size(), 101u);
}

struct SaveTrouble {
    const char* name;
    bool needsPermissions;
    std::function<void(const Site&)> breakIt;
    std::function<void(const Site&)> mend;  // none: still broken at exit
    const char* event;                      // what each save follows: "publish" or "history"
    const char* cause;                      // the start of the line that tells it
};

// Counts the events of one kind in lines [from, to).
size_t CountEvents(const std::vector<Json::Value>& lines, size_t from, size_t to, const std::string& event)
{
    size_t n = 0;
    for (size_t k = from; k < to; ++k) n += lines[k]["event"].asString() == event ? 1 : 0;
    return n;
}

TEST(PollBadInput, SaveFailuresAreToldOnceThenCountedUntilTheyClear)
{
    if (SimExe().empty()) GTEST_SKIP() << "built without the simulator";
    const auto cacheDir = [](const Site& s) { return s.cache; };
    const auto historyDir = [](const Site& s) { return s.dir.Path() + "/hist"; };
    const std::vector<SaveTrouble> cases = {
        {"cache directory removed", false, [&](const Site& s) { fs::remove_all(cacheDir(s)); },
         [&](const Site& s) { fs::create_directory(cacheDir(s)); }, "publish",
         "cache: cannot create files in cache directory {dir}/cache: No such file or directory"},
        {"cache directory read-only", true, [&](const Site& s) { ::chmod(cacheDir(s).c_str(), 0555); },
         [&](const Site& s) { ::chmod(cacheDir(s).c_str(), 0755); }, "publish",
         "cache: cannot create files in cache directory {dir}/cache: Permission denied"},
        {"cache directory read-only to the end", true, [&](const Site& s) { ::chmod(cacheDir(s).c_str(), 0555); },
         nullptr, "publish", "cache: cannot create files in cache directory {dir}/cache: Permission denied"},
        // History rows that cannot be written wait in a queue instead of being
        // lost (and a directory made read-only no longer stops WAL writes).
    };
    TempDir scratch;
    const bool permissionsBind = ChildrenObeyPermissions(scratch.Path());
    for (const SaveTrouble& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsPermissions && !permissionsBind) {
            std::cout << "skipped: permission bits do not bind here\n";
            continue;
        }
        Site site;
        fs::create_directory(historyDir(site));
        Sim sim(site.dir.Write("scenario.json", StillScenario()));
        ASSERT_FALSE(sim.Path().empty()) << sim.Err();
        Child poll({PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config", site.config,
                    "--cache", site.cache, "--history", historyDir(site) + "/history.db"});
        const std::string cause = site.Expand(c.cause);
        const std::string prefix = cause.substr(0, cause.find(':') + 1);
        std::vector<Json::Value> lines;
        size_t rounds = 0, causeAt = 0, mendAt = 0, clearedAt = 0, told = 0;
        std::string line;
        while (clearedAt == 0 && poll.ReadLine(line, std::chrono::seconds(15))) {
            lines.push_back(JsonLines(line).at(0));
            const Json::Value& v = lines.back();
            const std::string text = v["text"].asString();
            if (v["event"].asString() == "log" && text.rfind(prefix, 0) == 0) {
                if (causeAt == 0 && text.rfind(cause, 0) == 0) causeAt = lines.size() - 1;
                if (causeAt != 0) ++told;
                if (text.find(": cleared: ") != std::string::npos) clearedAt = lines.size() - 1;
            }
            if (v["event"].asString() != "round") continue;
            ++rounds;
            // Between rounds nothing is being saved.
            if (rounds == 1) c.breakIt(site);
            if (rounds == 3) {
                if (!c.mend) break;
                c.mend(site);
                mendAt = lines.size();
            }
        }
        poll.Kill(SIGTERM);
        EXPECT_EQ(poll.Collect(std::chrono::seconds(15)), 0);
        ::chmod(cacheDir(site).c_str(), 0755);
        ASSERT_GT(causeAt, 0u) << poll.Out();
        // Each save from the one that told the cause up to the mend was lost.
        if (c.mend) {
            ASSERT_GT(clearedAt, 0u) << poll.Out();
            EXPECT_EQ(told, 2u) << poll.Out();  // the cause, then its clearing
            const std::string cleared = lines[clearedAt]["text"].asString();
            const size_t lost = 1 + CountEvents(lines, causeAt, mendAt, c.event);
            EXPECT_NE(cleared.find("; " + std::to_string(lost) + " "), std::string::npos) << cleared;
            EXPECT_NE(cleared.find(" not saved meanwhile"), std::string::npos) << cleared;
        } else {
            const auto rest = JsonLines(poll.Unread());
            lines.insert(lines.end(), rest.begin(), rest.end());
            // The last log line; the run's summary follows it.
            auto lastLog = std::find_if(lines.rbegin(), lines.rend(),
                                        [](const Json::Value& v) { return v["event"].asString() == "log"; });
            ASSERT_NE(lastLog, lines.rend()) << poll.Out();
            EXPECT_EQ(lines.back()["event"].asString(), "summary");
            const std::string last = (*lastLog)["text"].asString();
            const size_t lost = 1 + CountEvents(lines, causeAt, lines.size(), c.event);
            EXPECT_EQ(last.rfind(prefix + " still failing at exit: ", 0), 0u) << last;
            EXPECT_NE(last.find("; " + std::to_string(lost) + " images were not saved"), std::string::npos) << last;
        }
    }
}

}  // namespace
