// Scenario files, the built-in scenario, and changes over time.
#include <cmath>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "responder.h"
#include "scenario.h"

using namespace vx42b_sim;

TEST(SimScenario, MissingKeysTakeTheExpectedCounts)
{
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"model": "VX42", "version": "0x21", "address": 3,
        "ac": [{"channels": [{"a": 230, "b": "0x20202020"}]}], "dc": [{"v": 53.5}],
        "rc": {"modules": [{}, {"fault": 1}]}, "line": {"baud": 0}, "seed": 5})",
                              sc, error))
        << error;
    const PowerSystem& s = sc.system;
    EXPECT_EQ(s.model, "VX42");
    EXPECT_EQ(s.version, 0x21);
    EXPECT_EQ(s.address, 3);
    ASSERT_EQ(s.ac.size(), 1u);
    EXPECT_EQ(s.ac[0].channels[0].a, 230.0f);
    EXPECT_EQ(BitsOfFloat(s.ac[0].channels[0].b), 0x20202020u);
    EXPECT_EQ(s.ac[0].userSwitch.size(), 2u);
    EXPECT_EQ(s.ac[0].channels[0].userStates.size(), 4u);
    EXPECT_EQ(s.dc[0].batteryI.size(), 2u);
    EXPECT_EQ(s.dc[0].user.size(), 8u);
    EXPECT_EQ(s.dc[0].fuseState.size(), 10u);
    EXPECT_EQ(s.dc[0].userStates.size(), 26u);
    ASSERT_EQ(s.rc.modules.size(), 2u);
    EXPECT_EQ(s.rc.modules[1].fault, 1);
    EXPECT_EQ(s.rc.modules[0].user.size(), 4u);
    EXPECT_EQ(s.rc.modules[0].userSwitch.size(), 5u);
    EXPECT_EQ(s.rc.modules[0].userStates.size(), 6u);
    EXPECT_EQ(s.params.dcUser.size(), 5u);
    EXPECT_EQ(sc.line.baud, 0);
    EXPECT_EQ(sc.seed, 5u);
}

TEST(SimScenario, BadInputNamesTheKey)
{
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"ac": [)", "not valid JSON"},
        {R"([1])", "(top level): expected an object"},
        {R"({"acc": []})", "acc: unknown key"},
        {R"({"ac": [{"chanels": []}]})", "ac[0].chanels: unknown key"},
        {R"({"ac": [{"channels": [{"a": "x"}]}]})", "ac[0].channels[0].a: expected a number"},
        {R"({"dc": [{"v": 1e300}]})", "dc[0].v: beyond the range of a float"},
        {R"({"dc": [{"fuse_state": [1, 256]}]})", "dc[0].fuse_state[1]: expected a whole number from 0 to 255"},
        {R"({"version": "0x2"})", "version: expected a whole number"},
        // Past the int64 range (an unsigned 64-bit value, a real): refused, not thrown.
        {R"({"address": 9474262020783545456})", "address: expected a whole number from 0 to 255"},
        {R"({"address": 1e19})", "address: expected a whole number from 0 to 255"},
        {R"({"address": 255.5})", "address: expected a whole number from 0 to 255"},
        {R"({"dc": [{"fuse_state": [18446744073709551615]}]})", "dc[0].fuse_state[0]: expected a whole number"},
        {R"({"model": "123456789012345678901"})", "model: longer than 20 bytes"},
        // Raw bytes that are not UTF-8 would be written back as U+FFFD, three bytes each.
        {"{\"model\": \"\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\"}", "model: not UTF-8 text"},
        {"{\"model\": \"\xC0\x80\"}", "model: not UTF-8 text"},
        {"{\"model\": \"\xED\xA0\x80\"}", "model: not UTF-8 text"},
        {"{\"model\": \"VX\xE4\xB8\"}", "model: not UTF-8 text"},
        {"{\"model\": \"\xF4\x90\x80\x80\"}", "model: not UTF-8 text"},
        {"{\"schedule\": [{\"at\": 1, \"set\": {\"model\": \"\xFF\"}}]}", "schedule[0].set.model: not UTF-8 text"},
        {R"({"rc": {"modules": [{"switch": [1, 2]}]}})", "rc.modules[0].switch: expected an array of 3 bytes"},
        {R"({"params": {"dc": [1]}})", "params.dc: expected an array of 2 numbers"},
        {R"({"dc": [{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
             {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
             {}, {}, {}, {}, {}]})",
         "a frame holds 2047"},
        {R"({"schedule": [{"set": {"model": "X"}}]})", "schedule[0]: needs exactly one of \"at\" and \"round\""},
        {R"({"schedule": [{"at": 1, "set": {"dc[3].v": 1}}]})", "schedule[0].set.dc[3].v: no such element"},
        {R"({"dc": [{}], "schedule": [{"at": 1, "set": {"dc[0].fuse_state[0]": 300}}]})",
         "schedule[0].set.dc[0].fuse_state[0]: expected a whole number"},
        {R"({"schedule": [{"at": 1, "set": {"line.baud": 1}}]})", "schedule[0].set.line.baud: no such value"},
        {R"({"schedule": [{"round": 0.5, "set": {"model": "X"}}]})", "schedule[0].round: expected a whole number"},
        {R"({"schedule": [{"at": 1, "every": 0, "set": {"model": "X"}}]})", "schedule[0].every"},
        {R"({"schedule": [{"at": 1, "set": {}}]})", "schedule[0].set: expected an object"},
        {R"({"dc": [{}], "drift": [{"path": "dc[0].fuse_state[0]", "kind": "sine", "amplitude": 1, "period": 2}]})",
         "drift[0].path: \"dc[0].fuse_state[0]\" is not a float value"},
        {R"({"dc": [{}], "drift": [{"path": "dc[0].v", "kind": "saw"}]})", "drift[0].kind"},
        {R"({"dc": [{}], "drift": [{"path": "dc[0].v", "kind": "sine", "amplitude": 1}]})", "drift[0].period"},
        {R"({"dc": [{}], "drift": [{"path": "dc[0].v", "kind": "ramp", "amplitude": 1, "rate": 1}]})",
         "drift[0].amplitude: not used by a ramp drift"},
        {R"({"faults": {"no_reply": 1.5}})", "faults.no_reply: expected a probability from 0 to 1"},
        {R"({"faults": {"lost": 0.1}})", "faults.lost: unknown fault"},
        {R"({"faults": {"no_reply": 0.6, "bad_rtn": 0.6}})", "faults: the rates add up to more than 1"},
        {R"({"line": {"baud": -1}})", "line.baud"},
        {R"({"line": {"speed": 9600}})", "line.speed: unknown key"},
        {R"({"seed": -1})", "seed: expected a whole number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Scenario sc;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, sc, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(SimScenario, ByteValuesTakeWholeRealsAndTheEnds)
{
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"address": 255.0, "version": -0.0, "dc": [{"fuse_state": [0, 255]}]})", sc, error))
        << error;
    EXPECT_EQ(sc.system.address, 255);
    EXPECT_EQ(sc.system.version, 0);
    EXPECT_EQ(sc.system.dc[0].fuseState[1], 255);
}

TEST(SimScenario, UnicodeModelsAreWrittenBackByteForByte)
{
    // Two-, three- and four-byte characters, raw and escaped; the model field holds 20 bytes.
    for (const char* text :
         {"{\"model\": \"VX\xC3\xA9\xE7\x94\xB5\xF0\x9F\x94\x8B\"}", R"({"model": "\u00e9\u7535\ud83d\udd0b"})"}) {
        SCOPED_TRACE(text);
        Scenario sc, back;
        std::string error;
        ASSERT_TRUE(ParseScenario(text, sc, error)) << error;
        ASSERT_TRUE(ParseScenario(ScenarioText(sc), back, error)) << error;
        EXPECT_EQ(back.system.model, sc.system.model);
        EXPECT_EQ(ScenarioText(back), ScenarioText(sc));
    }
}

TEST(SimScenario, LoadScenarioReadsAFileAndNamesItInErrors)
{
    const std::string path = testing::TempDir() + "sim_scenario_test.json";
    {
        std::ofstream out(path);
        out << R"({"model": "VX42B", "dc": [{"v": 48}], "line": {"turnaround_ms": 5}})";
    }
    Scenario sc;
    std::string error;
    ASSERT_TRUE(LoadScenario(path, sc, error)) << error;
    EXPECT_EQ(sc.system.dc[0].v, 48.0f);
    EXPECT_EQ(sc.line.turnaroundMs, 5);
    {
        std::ofstream out(path);
        out << R"({"dc": [{"vv": 48}]})";
    }
    EXPECT_FALSE(LoadScenario(path, sc, error));
    EXPECT_EQ(error, "--scenario: " + path + ": dc[0].vv: unknown key");
    std::remove(path.c_str());
    EXPECT_FALSE(LoadScenario(path, sc, error));
    EXPECT_EQ(error.rfind("--scenario: " + path + ": cannot open", 0), 0u) << error;
}

TEST(SimScenario, DefaultScenarioMatchesThePollersConfiguration)
{
    const Scenario sc = DefaultScenario();
    const PowerSystem& s = sc.system;
    EXPECT_EQ(s.model, "VX42B");
    EXPECT_EQ(s.address, 1);
    EXPECT_EQ(s.version, 0x20);
    ASSERT_EQ(s.ac.size(), 2u);
    EXPECT_EQ(s.ac[0].channels.size(), 2u);
    EXPECT_EQ(s.ac[1].channels.size(), 1u);
    EXPECT_EQ(s.rc.modules.size(), 2u);
    EXPECT_EQ(s.dc.size(), 1u);

    // Printed and read back, it is the same scenario.
    Scenario back;
    std::string error;
    ASSERT_TRUE(ParseScenario(ScenarioText(sc), back, error)) << error;
    EXPECT_EQ(ScenarioText(back), ScenarioText(sc));

    // The fuse fault comes at 6 s, goes at 16 s and comes back at 36 s.
    Responder r(sc);
    const double times[] = {5, 6, 15.9, 16, 35, 36};
    const uint8_t states[] = {0, 3, 3, 0, 0, 3};
    for (size_t k = 0; k < std::size(times); ++k) {
        r.SetTime(times[k]);
        EXPECT_EQ(r.System().dc[0].fuseState[3], states[k]) << times[k];
    }
    // ... and the DC voltage moves.
    const float v = r.System().dc[0].v;
    r.SetTime(50);
    EXPECT_NE(r.System().dc[0].v, v);
}

TEST(SimScenario, ScheduleAppliesByTimeAndByRound)
{
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"ac": [{"channels": [{}]}], "dc": [{}], "schedule": [
        {"at": 0, "set": {"dc[0].v": 50}},
        {"at": 2, "set": {"dc[0].v": 51, "dc[0].v_state": 2}},
        {"at": 4, "set": {"dc[0].v": 52}},
        {"round": 2, "every": 2, "set": {"dc[0].fuse_state[0]": 3}},
        {"round": 3, "every": 2, "set": {"dc[0].fuse_state[0]": 0}},
        {"round": 1, "set": {"dc[0].battery_i": [1, 2, 3]}}]})",
                              sc, error))
        << error;
    Responder r(sc);
    EXPECT_EQ(r.System().dc[0].v, 50.0f);
    r.SetTime(3);
    EXPECT_EQ(r.System().dc[0].v, 51.0f);
    EXPECT_EQ(r.System().dc[0].vState, 2);
    r.SetTime(1);  // the clock does not go back
    EXPECT_EQ(r.System().dc[0].v, 51.0f);
    r.SetTime(10);  // a jump applies what fell due in between, in order
    EXPECT_EQ(r.System().dc[0].v, 52.0f);

    const std::string open = CommandFrame(0x20, 1, 0x40, 0x41, {0xFF});
    std::vector<uint8_t> fuse;
    for (int round = 1; round <= 5; ++round) {
        r.Respond(open);
        r.Respond(CommandFrame(0x20, 1, 0x42, 0x44));  // does not open a round
        fuse.push_back(r.System().dc[0].fuseState[0]);
    }
    EXPECT_EQ(fuse, (std::vector<uint8_t>{0, 3, 0, 3, 0}));
    EXPECT_EQ(r.Round(), 5);
    // A schedule may send a count the plug-in does not expect.
    EXPECT_EQ(ParseFrame(r.Respond(CommandFrame(0x20, 1, 0x42, 0x41))).info[2 + 8], 3);
}

TEST(SimScenario, DriftFollowsItsShape)
{
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"dc": [{"v": 53, "i": 10}], "drift": [
        {"path": "dc[0].v", "kind": "sine", "amplitude": 2, "period": 40},
        {"path": "dc[0].i", "kind": "ramp", "base": 1, "rate": 0.5, "period": 10}]})",
                              sc, error))
        << error;
    Responder r(sc);
    EXPECT_EQ(r.System().dc[0].v, 53.0f);
    EXPECT_EQ(r.System().dc[0].i, 1.0f);
    r.SetTime(10);  // a quarter of the sine, the ramp starts again
    EXPECT_FLOAT_EQ(r.System().dc[0].v, 55.0f);
    EXPECT_FLOAT_EQ(r.System().dc[0].i, 1.0f);
    r.SetTime(14);
    EXPECT_FLOAT_EQ(r.System().dc[0].i, 3.0f);
    r.SetTime(30);
    EXPECT_FLOAT_EQ(r.System().dc[0].v, 51.0f);
}

TEST(SimScenario, ValuePathsReachEveryPart)
{
    PowerSystem s = DefaultScenario().system;
    std::string error;
    ASSERT_TRUE(SetValues(s,
                          {{"ac[1].channels[0].f", Json::Value(60)},
                           {"rc.modules[1].switch[2]", Json::Value(4)},
                           {"params.dc_user", Json::Value(Json::arrayValue)},
                           {"version", Json::Value("0x21")}},
                          error))
        << error;
    EXPECT_EQ(s.ac[1].channels[0].f, 60.0f);
    EXPECT_EQ(s.rc.modules[1].switchState[2], 4);
    EXPECT_TRUE(s.params.dcUser.empty());
    EXPECT_EQ(s.version, 0x21);
    for (const char* bad : {"", "ac[", "ac[0]x", "ac.[0]", "dc[0].", "faults", "AC[0]"}) {
        EXPECT_FALSE(SetValue(s, bad, Json::Value(1), error)) << bad;
    }
}
