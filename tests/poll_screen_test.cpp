// The live screen: its layout without a terminal, then vx42b-poll in a real
// terminal (tmux) against vx42b-sim.
#include <poll.h>

#include <cstring>
#include <regex>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "screen_model.h"

namespace {

using namespace vxpoll;
using namespace vxpoll::e2e;

// Little-endian images as the sub-devices publish them.
struct Image {
    std::vector<unsigned char> bytes;
    explicit Image(size_t size) : bytes(size, 0) {}
    Image& F32(size_t at, float v)
    {
        std::memcpy(bytes.data() + at, &v, 4);
        return *this;
    }
    Image& U8(size_t at, unsigned v)
    {
        bytes[at] = static_cast<unsigned char>(v);
        return *this;
    }
};

Image AcImage()
{
    Image image(31 + 26);
    image.F32(4, 13.7f).F32(8, 11.8f).F32(12, 12.1f).U8(16, 1);
    image.F32(31, 221.3f).F32(35, 221.6f).F32(39, 217.0f).F32(43, 50.05f);
    return image;
}

Image DcImage()
{
    Image image(101);
    image.F32(4, 53.67f).F32(8, 42.05f).U8(12, 2).F32(13, 5.49f).F32(17, 4.9f).U8(56, 10).U8(60, 3);
    return image;
}

Image RcImage(unsigned modules)
{
    Image image(65 + 38 * modules);
    image.F32(53, 53.66f).U8(57, modules);
    for (unsigned k = 0; k < modules; ++k) image.F32(65 + 38 * k, 20.0f + k);
    return image;
}

std::string Text(const std::vector<ScreenRow>& rows)
{
    std::string out;
    for (const ScreenRow& row : rows) out += row.text + "\n";
    return out;
}

rule_value Alarm(int level, const char* key, const char* text)
{
    rule_value r;
    r.level = level;
    r.key = key;
    r.code = "06001";
    r.text = text;
    r.name = text;
    return r;
}

TEST(PollScreen, LaysTheCabinetOutWithLabelsAndUnits)
{
    ScreenModel model;
    const auto now = ScreenModel::WallClock::now();
    // Published in the plug-in's order; shown from the mains in.
    const Image dc = DcImage(), rc = RcImage(4), ac = AcImage();
    model.Publish(DeviceRef{21, "vx42b-dc"}, 5087, dc.bytes.data(), dc.bytes.size());
    model.Publish(DeviceRef{1, "vx42b-rc"}, 5086, rc.bytes.data(), rc.bytes.size());
    model.Publish(DeviceRef{11, "vx42b-ac"}, 5085, ac.bytes.data(), ac.bytes.size());
    LineStats line;
    line.port = "/dev/ttyUSB0";
    line.baud = 9600;
    CountRound(line, true, 0.93, now - std::chrono::seconds(75));
    ++line.frameErrors["CHKSUM mismatch"];
    line.frameErrors["odd LENID"] = 0;
    line.up = true;
    model.Line(line);
    model.Round(1, true);

    const std::string screen = Text(model.Render(80, 24, now));
    for (const char* row : {
             "AC 11        Ia 13.7 A   Ib 11.8 A   Ic 12.1 A",
             "  channel 1  AB/A 221.3 V  BC/B 221.6 V  CA/C 217.0 V  f 50.05 Hz",
             "rectifiers   output 53.66 V   4 modules",
             "  module 1  20.00 A        module 2  21.00 A        module 3  22.00 A",
             "  module 4  23.00 A",
             "DC 21        output 53.67 V   load 42.05 A",
             "  batteries  battery 1  5.49 A   battery 2  4.90 A",
             "  fuses      10, FAULT: 4",
             "line         /dev/ttyUSB0 at 9600 baud   last complete round 1 min 15 s ago",
             "rounds       1 complete, 0 abandoned   the last took 0.93 s",
             "errors       time-outs 0   frame errors 1 (CHKSUM mismatch 1)",
             "alarms       none",
         })
        EXPECT_NE(screen.find(std::string(row) + "\n"), std::string::npos) << row << "\n" << screen;
    EXPECT_LT(screen.find("AC 11"), screen.find("rectifiers"));
    EXPECT_LT(screen.find("rectifiers"), screen.find("DC 21"));

    // A short image says why instead of values.
    const unsigned char shortImage[3] = {};
    model.Publish(DeviceRef{21, "vx42b-dc"}, 5087, shortImage, sizeof shortImage);
    EXPECT_NE(
        Text(model.Render(80, 24, now)).find("DC 21        (image of 3 bytes is shorter than the 101-byte record)"),
        std::string::npos);
}

TEST(PollScreen, AlarmsComeAndGoAndLogLinesShowOnceWithACount)
{
    ScreenModel model;
    const auto now = ScreenModel::WallClock::now();
    model.Alarm(DeviceRef{21, "vx42b-dc"}, Alarm(1, "DC_3", "fuse 4"), true, now);
    model.Alarm(DeviceRef{11, "vx42b-ac"}, Alarm(2, "AC_4", "AB/A high"), true, now);
    model.Alarm(DeviceRef{21, "vx42b-dc"}, Alarm(1, "DC_3", "fuse 4"), true, now);
    for (int k = 0; k < 3; ++k) model.Log("SMDSPDevice:Timeout 1 no reply within 1000 ms", now);
    model.Log("port open", now);

    std::vector<ScreenRow> rows = model.Render(80, 24, now);
    std::string screen = Text(rows);
    EXPECT_NE(screen.find("alarms (2)"), std::string::npos) << screen;
    auto styleOf = [&rows](const std::string& part) {
        for (const ScreenRow& row : rows)
            if (row.text.find(part) != std::string::npos) return row.style;
        return RowStyle::Normal;
    };
    EXPECT_EQ(styleOf("DC 21  Battery fuse fault, fuse 4  [DC_3 06001]"), RowStyle::Level1);
    EXPECT_EQ(styleOf("AC 11  AB/A high"), RowStyle::Level2);
    EXPECT_NE(screen.find("3x  SMDSPDevice:Timeout 1 no reply within 1000 ms"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("SMDSPDevice:Timeout"), screen.rfind("SMDSPDevice:Timeout"));

    model.Alarm(DeviceRef{21, "vx42b-dc"}, Alarm(1, "DC_3", "fuse 4"), false, now);
    screen = Text(model.Render(80, 24, now));
    EXPECT_NE(screen.find("alarms (1)"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("fuse 4"), std::string::npos) << screen;
}

TEST(PollScreen, FitsAnySizeAndSaysWhatIsCut)
{
    ScreenModel model;
    const auto now = ScreenModel::WallClock::now();
    const Image rc = RcImage(60), ac = AcImage(), dc = DcImage();
    model.Publish(DeviceRef{11, "vx42b-ac"}, 5085, ac.bytes.data(), ac.bytes.size());
    model.Publish(DeviceRef{1, "vx42b-rc"}, 5086, rc.bytes.data(), rc.bytes.size());
    model.Publish(DeviceRef{21, "vx42b-dc"}, 5087, dc.bytes.data(), dc.bytes.size());
    for (int k = 0; k < 30; ++k) {
        model.Alarm(DeviceRef{21, "vx42b-dc"}, Alarm(1 + k % 3, "X", std::to_string(k).c_str()), true, now);
        model.Log("line " + std::to_string(k), now);
    }
    const std::pair<int, int> sizes[] = {{80, 24}, {120, 50}, {40, 10}, {80, 4}, {10, 1}, {0, 0}, {80, 300}};
    for (const auto& [width, height] : sizes) {
        const std::vector<ScreenRow> rows = model.Render(width, height, now);
        EXPECT_LE(rows.size(), static_cast<size_t>(height)) << width << "x" << height;
        if (width == 80 && height == 24) {
            const std::string screen = Text(rows);
            EXPECT_NE(screen.find("more rows: enlarge the terminal"), std::string::npos) << screen;
            EXPECT_NE(screen.find("AC 11"), std::string::npos) << screen;
            EXPECT_NE(screen.find("alarms (30)"), std::string::npos) << screen;
            EXPECT_NE(screen.find("line 29"), std::string::npos) << screen;
            EXPECT_LT(screen.find("L1 "), screen.find("L2 ")) << screen;
        }
    }
}

#ifdef VX42B_SIM_EXE
// A tmux server of its own, with one window running a command.
class Tmux {
public:
    Tmux(const std::string& dir, const std::vector<std::string>& command)
        : socket_(dir + "/tmux-" + std::to_string(++servers_))
    {
        std::string line;
        for (const std::string& part : command) line += Quote(part) + " ";
        // The shell stays when the program ends, with what it printed last
        // and its exit status; the server's end stops it.
        line += "; echo \"[exit $?]\"; exec sleep 3600";
        Run({"-f", "/dev/null", "new-session", "-d", "-x", "80", "-y", "24", "-e", "LANG=C.UTF-8", line});
    }
    ~Tmux() { Run({"kill-server"}); }

    static bool Available()
    {
        Child version({"tmux", "-V"});
        return version.Collect(std::chrono::seconds(10)) == 0;
    }

    std::string Screen() { return Run({"capture-pane", "-p"}); }
    void Keys(const std::string& keys) { Run({"send-keys", keys}); }
    void Resize(int width, int height)
    {
        Run({"resize-window", "-x", std::to_string(width), "-y", std::to_string(height)});
    }
    // Captures until `done` says yes, up to 30 s; every capture goes to `seen`.
    bool WaitFor(const std::function<bool(const std::string&)>& done, std::vector<std::string>& seen)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            seen.push_back(Screen());
            if (done(seen.back())) return true;
            ::poll(nullptr, 0, 100);
        }
        return false;
    }

private:
    static std::string Quote(const std::string& text)
    {
        std::string out = "'";
        for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }
    std::string Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"tmux", "-u", "-S", socket_});
        Child tmux(args);
        tmux.Collect(std::chrono::seconds(10));
        return tmux.Out();
    }
    static inline int servers_ = 0;  // a server of its own each, never one still going away
    std::string socket_;
};

Json::Value At(int round, const char* path, int value)
{
    Json::Value change;
    change["round"] = round;
    change["set"][path] = value;
    return change;
}

TEST(PollScreenInATerminal, ShowsValuesAnAlarmRaisedAndClearedAndNoTraceLine)
{
    if (!Tmux::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    TempDir dir;
    Json::Value schedule(Json::arrayValue);
    schedule.append(At(2, "dc[0].v_state", 1));
    schedule.append(At(4, "dc[0].v_state", 0));
    Sim sim(dir.Write("scenario.json", StillScenario([&schedule](Json::Value& s) { s["schedule"] = schedule; })));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();

    std::vector<std::string> command = Emulator();
    for (const std::string& part : {PollExe(), std::string("--plugin"), PluginPath(), std::string("--port"), sim.Path(),
                                    std::string("--config"), dir.Write("site.json", TestConfig(1000))})
        command.push_back(part);
    Tmux tmux(dir.Path(), command);
    std::vector<std::string> seen;
    const std::string low = "L3  since ";
    ASSERT_TRUE(tmux.WaitFor(
        [&low](const std::string& s) {
            return s.find(low) != std::string::npos && s.find("DC 21") != std::string::npos;
        },
        seen))
        << seen.back();
    const std::string& raised = seen.back();
    EXPECT_NE(raised.find("alarms (1)"), std::string::npos) << raised;
    EXPECT_NE(raised.find("DC 21  DC output voltage low  [DC_0 06008]"), std::string::npos) << raised;
    EXPECT_NE(raised.find("  channel 2  AB/A 230.0 V  BC/B 229.5 V  CA/C 230.5 V  f 50.00 Hz"), std::string::npos)
        << raised;
    EXPECT_NE(raised.find("DC 21        output "), std::string::npos) << raised;
    ASSERT_TRUE(
        tmux.WaitFor([](const std::string& s) { return s.find("alarms       none") != std::string::npos; }, seen))
        << seen.back();

    // Resized, smaller than the cabinet, and back.
    tmux.Resize(60, 12);
    ASSERT_TRUE(tmux.WaitFor([](const std::string& s) { return s.find("more rows") != std::string::npos; }, seen))
        << seen.back();
    tmux.Resize(80, 24);
    ASSERT_TRUE(tmux.WaitFor([](const std::string& s) { return s.find("more rows") == std::string::npos; }, seen))
        << seen.back();

    tmux.Keys("q");
    ASSERT_TRUE(tmux.WaitFor([](const std::string& s) { return s.find("[exit 0]") != std::string::npos; }, seen))
        << seen.back();
    EXPECT_NE(seen.back().find(" rounds complete, 0 abandoned"), std::string::npos) << seen.back();
    // The plug-in's printf and std::cout lines ("a:230 b:229.5 ...", "rc data_len:...") never showed.
    const std::regex trace("a:[0-9.]+ b:|rc data_len|channelLen");
    for (const std::string& screen : seen) EXPECT_FALSE(std::regex_search(screen, trace)) << screen;
}

// A simulator that stops answering: the line row turns to DOWN with "no
// reply since", the values are marked stale; back to normal when it answers.
TEST(PollScreenInATerminal, ShowsASilentLineAsDownAndItsReturn)
{
    if (!Tmux::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    std::vector<std::string> command = Emulator();
    for (const std::string& part :
         {PollExe(), std::string("--plugin"), PluginPath(), std::string("--port"), sim.Path(), std::string("--config"),
          dir.Write("site.json", TestConfig(1000)), std::string("--down-after"), std::string("3")})
        command.push_back(part);
    Tmux tmux(dir.Path(), command);
    std::vector<std::string> seen;
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) {
            return s.find("last complete round") != std::string::npos && s.find("DC 21") != std::string::npos;
        },
        seen))
        << seen.back();

    sim.Signal(SIGSTOP);
    ASSERT_TRUE(
        tmux.WaitFor([](const std::string& s) { return s.find("DOWN: no reply since ") != std::string::npos; }, seen))
        << seen.back();
    EXPECT_NE(seen.back().find("stale: as of "), std::string::npos) << seen.back();

    sim.Signal(SIGCONT);
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) {
            return s.find("DOWN:") == std::string::npos && s.find("stale: as of") == std::string::npos &&
                   s.find("last complete round") != std::string::npos;
        },
        seen))
        << seen.back();
    tmux.Keys("q");
    EXPECT_TRUE(tmux.WaitFor([](const std::string& s) { return s.find("[exit 0]") != std::string::npos; }, seen))
        << seen.back();
}

TEST(PollScreenInATerminal, VerboseShowsTraceLinesAndLogKeepsThem)
{
    if (!Tmux::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const std::string config = dir.Write("site.json", TestConfig(1000));
    const std::regex trace("a:[0-9.]+ b:[0-9.]+ c:");
    std::vector<std::string> seen;
    {
        std::vector<std::string> command = Emulator();
        for (const std::string& part : {PollExe(), std::string("--plugin"), PluginPath(), std::string("--port"),
                                        sim.Path(), std::string("--config"), config, std::string("--verbose")})
            command.push_back(part);
        Tmux tmux(dir.Path(), command);
        EXPECT_TRUE(tmux.WaitFor([&trace](const std::string& s) { return std::regex_search(s, trace); }, seen))
            << seen.back();
        tmux.Keys("q");
        // Off the simulator's line before the next poller takes it.
        EXPECT_TRUE(tmux.WaitFor([](const std::string& s) { return s.find("[exit 0]") != std::string::npos; }, seen))
            << seen.back();
    }
    const std::string log = dir.Path() + "/poll.log";
    {
        std::vector<std::string> command = Emulator();
        for (const std::string& part :
             {PollExe(), std::string("--plugin"), PluginPath(), std::string("--port"), sim.Path(),
              std::string("--config"), config, std::string("--log"), log, std::string("--rounds"), std::string("2")})
            command.push_back(part);
        Tmux tmux(dir.Path(), command);
        seen.clear();
        EXPECT_TRUE(tmux.WaitFor([](const std::string& s) { return s.find("[exit 0]") != std::string::npos; }, seen))
            << seen.back();
        EXPECT_NE(seen.back().find("vx42b-poll: 2 rounds complete"), std::string::npos) << seen.back();
        for (const std::string& screen : seen) EXPECT_FALSE(std::regex_search(screen, trace)) << screen;
    }
    std::ifstream file(log);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_search(text, trace)) << text;
    EXPECT_NE(text.find(" poller port " + sim.Path() + " open"), std::string::npos) << text;
}
#endif

}  // namespace
