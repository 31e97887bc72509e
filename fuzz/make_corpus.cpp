// Writes the fuzz targets' seed corpora from simulator traffic:
//   fuzz_make_corpus DIR      (DIR/<target>/<name>, e.g. fuzz/corpus)
// Rounds are polled against the simulator through the host's runner; every
// command's reply is kept in the form each target reads.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VX42B.h"
#include "config.h"
#include "line_runner.h"
#include "memory_port.h"
#include "reply_script.h"
#include "responder.h"
#include "scenario.h"

namespace {

using fuzzing::Reply;
using fuzzing::ReplyScript;
using vx42b_sim::Scenario;

class KeepingController : public SMDController {
public:
    void OnLog(const std::string&) override {}
    void OnPublish(SMDVDevice& device, int, const unsigned char* data, unsigned int size, bool) override
    {
        images[&device].assign(data, data + size);
    }
    void OnRoundEnd(SMDVDevice&, bool) override { ++roundEnds; }
    std::map<const SMDVDevice*, std::string> images;
    int roundEnds = 0;
};

struct Traffic {
    uint8_t selector = 0;
    std::string script;               // fuzz_rounds, after the selector byte
    std::vector<std::string> frames;  // fuzz_frames: step byte + the reply as sent
    std::string sections;             // fuzz_parsers
    std::vector<std::string> images;  // the sub-devices' last images, in child order
};

// Which parser reads which reply, and where its section starts.
bool ParserFor(unsigned cid1, unsigned cid2, unsigned& which, size_t& offset)
{
    static const struct {
        unsigned cid1, cid2, which;
        size_t offset;
    } kParsers[] = {{0x40, 0x41, 0, 2}, {0x40, 0x43, 1, 2}, {0x40, 0x44, 2, 2}, {0x42, 0x41, 3, 2}, {0x42, 0x44, 4, 2},
                    {0x41, 0x41, 5, 0}, {0x41, 0x43, 6, 0}, {0x41, 0x44, 7, 0}, {0x40, 0x46, 8, 0}, {0x42, 0x46, 9, 0}};
    for (const auto& p : kParsers) {
        if (p.cid1 == cid1 && p.cid2 == cid2) {
            which = p.which;
            offset = p.offset;
            return true;
        }
    }
    return false;
}

// Polls `rounds` rounds; `between(k)` changes the system before round k (from 2).
Traffic Poll(Scenario scenario, uint8_t selector, int rounds,
             const std::function<void(vx42b_sim::PowerSystem&, int)>& between = {})
{
    Traffic t;
    t.selector = selector;
    auto controller = std::make_shared<KeepingController>();
    vx42b_sim::Responder sim(std::move(scenario));
    fuzzing::ScriptedLine line;
    line.Init(controller, selector);
    line.runner.SetWait([&](SerialPort&, std::chrono::milliseconds) {
        std::vector<std::string> written;
        written.swap(line.port->Written());
        for (const std::string& command : written) {
            const int step = line.device->Step();
            const vx42b_sim::ParsedFrame c = vx42b_sim::ParseFrame(command);
            const std::string reply = sim.Respond(command);
            line.port->Inject(reply);
            t.frames.push_back(std::string(1, static_cast<char>(step)) + reply);
            if (reply.empty()) {
                t.script += ReplyScript::Record(Reply::Silence, false, {});
                continue;
            }
            const vx42b_sim::ParsedFrame r = vx42b_sim::ParseFrame(reply);
            if (!r.complete || r.error != yd1363::Error::None) {
                t.script +=
                    ReplyScript::Record(Reply::Raw, false, std::vector<unsigned char>(reply.begin(), reply.end()));
                continue;
            }
            t.script += ReplyScript::Record(r.cid1 == c.cid1 ? Reply::Framed : Reply::OtherPart, r.cid2 != 0, r.info);
            unsigned which = 0;
            size_t offset = 0;
            if (r.cid1 == c.cid1 && r.cid2 == 0 && ParserFor(c.cid1, c.cid2, which, offset) && r.info.size() > offset) {
                const size_t n = std::min<size_t>(255, r.info.size() - offset);
                t.sections += static_cast<char>(which);
                t.sections += static_cast<char>(n);
                t.sections.append(r.info.begin() + static_cast<long>(offset),
                                  r.info.begin() + static_cast<long>(offset + n));
            }
        }
        return true;
    });
    for (int round = 1; round <= rounds; ++round) {
        if (round > 1 && between) between(sim.System(), round);
        const int ends = controller->roundEnds;
        for (int turn = 0; turn < 40 && controller->roundEnds == ends; ++turn) {
            line.runner.RunOnce();
            while (line.runner.ReadAvailable() > 0 || !line.port->Written().empty()) {
            }
            if (controller->roundEnds == ends) line.now += line.device->ReplyTimeout();
        }
    }
    for (const auto& child : line.device->GetAllChildVDevices())
        t.images.push_back(child ? controller->images[child.get()] : "");
    return t;
}

Scenario Quiet()
{
    Scenario s = vx42b_sim::DefaultScenario();
    s.schedule.clear();
    s.drift.clear();
    s.seed = 7;
    return s;
}

// The system each configuration byte of reply_script.h expects.
Scenario ForSelector(uint8_t selector)
{
    Scenario s = Quiet();
    switch (selector % 4) {
    case 1: s.system.ac.clear(); break;
    case 2:
        s.system.ac.resize(1);
        s.system.dc.clear();
        break;
    case 3:
        s.system.ac.resize(1);
        s.system.dc.push_back(s.system.dc.front());
        s.system.version = 0x21;
        break;
    default: break;
    }
    return s;
}

Scenario Alarming()
{
    Scenario s = Quiet();
    auto& sys = s.system;
    sys.ac[0].channels[0].aState = 1;
    sys.ac[0].channels[1].fState = 2;
    sys.ac[0].channels[1].userStates = {5, 0, 5, 0xE1};
    sys.ac[1].iaState = 3;
    sys.rc.modules[0].fault = 1;
    sys.rc.modules[1].userStates = {1, 1, 0, 1, 0, 0xE2};
    sys.dc[0].vState = 2;
    sys.dc[0].fuseState[3] = 3;
    sys.dc[0].userStates[0] = 3;
    sys.dc[0].userStates[6] = 0xE4;
    sys.dc[0].userStates[13] = 0xE5;
    sys.ac[0].channels[0].a = vx42b_sim::FloatFromBits(0x20202020);
    return s;
}

Scenario OddCounts()
{
    Scenario s = Quiet();
    auto& sys = s.system;
    sys.ac[0].channels[0].user = {1.0f};
    sys.ac[0].channels[0].extraStates = {1, 2};
    sys.ac[0].userSwitch = {1, 2, 3};
    sys.rc.modules[0].user = {1.0f, 2.0f, 3.0f};
    sys.rc.modules[1].userSwitch = {1};
    sys.dc[0].user.push_back(9.0f);
    sys.dc[0].batteryI.push_back(1.5f);
    sys.dc[0].fuseState.resize(11);
    sys.params.acUser = {1.0f, 2.0f};
    sys.params.dcUser.resize(4);
    return s;
}

Scenario Faulty()
{
    Scenario s = Quiet();
    for (size_t k = 1; k < vx42b_sim::kFaultKinds; ++k) s.faults[k] = 0.03;
    return s;
}

bool Write(const std::string& dir, const std::string& target, const std::string& name, const std::string& bytes)
{
    const std::string sub = dir + "/" + target;
    ::mkdir(sub.c_str(), 0755);
    std::ofstream out(sub + "/" + name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string CacheInput(uint8_t selector, const std::vector<std::string>& images, const std::string& script)
{
    std::string out(1, static_cast<char>(selector));
    for (const std::string& image : images) {
        out += static_cast<char>(image.size() & 0xFF);
        out += static_cast<char>(image.size() >> 8);
        out += image;
    }
    return out + script;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: fuzz_make_corpus DIR   (writes DIR/<target>/...)\n";
        return 2;
    }
    const std::string dir = argv[1];
    ::mkdir(dir.c_str(), 0755);
    bool ok = true;

    std::map<std::string, Traffic> runs;
    for (uint8_t selector = 0; selector < 4; ++selector)
        runs["config" + std::to_string(selector)] = Poll(ForSelector(selector), selector, 3);
    runs["hot-swap"] = Poll(Quiet(), 0, 4, [](vx42b_sim::PowerSystem& s, int round) {
        if (round == 2) s.rc.modules.push_back(s.rc.modules.front());
        if (round == 3) s.ac[0].channels.resize(1);
        if (round == 4) s.rc.modules.resize(1);
    });
    runs["alarms"] = Poll(Alarming(), 0, 3, [](vx42b_sim::PowerSystem& s, int round) {
        if (round == 3) s.dc[0].fuseState[3] = 0;
    });
    runs["odd-counts"] = Poll(OddCounts(), 0, 2);
    runs["faults"] = Poll(Faulty(), 0, 8);
    Scenario model = Quiet();
    model.system.model = "VX40";
    runs["other-model"] = Poll(model, 0, 1);

    for (const auto& [name, t] : runs) {
        ok = Write(dir, "fuzz_rounds", name, std::string(1, static_cast<char>(t.selector)) + t.script) && ok;
        ok = Write(dir, "fuzz_parsers", name, t.sections) && ok;
        for (size_t k = 0; k < t.frames.size() && k < 12; ++k)
            if (t.frames[k].size() > 1)
                ok = Write(dir, "fuzz_frames", name + "-" + std::to_string(k), t.frames[k]) && ok;
        ok = Write(dir, "fuzz_cache", name, CacheInput(t.selector, t.images, t.script)) && ok;
    }
    // Images from a system with other counts than the live one.
    const Traffic& swapped = runs["hot-swap"];
    ok = Write(dir, "fuzz_cache", "stale-images", CacheInput(0, swapped.images, runs["config0"].script)) && ok;

    const char* configs[] = {
        vxpoll::DefaultConfigText(),
        R"({"data_id": 1, "acSetting": [{"data_id": 11, "appSetting": {"diff_v": "15.5", "diff_i": 3}}],)"
        R"( "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": 0.2}}], "rcSetting": {},)"
        R"( "port": "tcp:127.0.0.1:4001", "baud": 19200, "address": 2, "reply_timeout_ms": 2500})",
        R"({"rcSetting": {}, "dcSetting": [{"data_id": 21}, {"data_id": 22}, {"data_id": 23}, {"data_id": 24}]})",
    };
    for (size_t k = 0; k < sizeof configs / sizeof *configs; ++k) {
        ok = Write(dir, "fuzz_config", "config" + std::to_string(k), configs[k]) && ok;
        ok = Write(dir, "fuzz_poll_config", "config" + std::to_string(k), configs[k]) && ok;
    }
    Scenario busy = vx42b_sim::DefaultScenario();
    vx42b_sim::ScheduledChange byRound;
    byRound.round = 10;
    byRound.every = 5;
    byRound.set.emplace_back("dc[0].user", Json::Value(Json::arrayValue));
    busy.schedule.push_back(byRound);
    vx42b_sim::Drift ramp;
    ramp.path = "dc[0].i";
    ramp.kind = vx42b_sim::Drift::Kind::Ramp;
    ramp.base = 30;
    ramp.rate = 0.5;
    ramp.period = 40;
    busy.drift.push_back(ramp);
    for (size_t k = 1; k < vx42b_sim::kFaultKinds; ++k) busy.faults[k] = 0.01;
    busy.line.baud = 1200;
    busy.line.turnaroundMs = 5;
    busy.seed = 42;
    busy.system.ac[0].channels[0].a = vx42b_sim::FloatFromBits(0x20202020);
    ok =
        Write(dir, "fuzz_poll_config", "scenario-default", vx42b_sim::ScenarioText(vx42b_sim::DefaultScenario())) && ok;
    ok = Write(dir, "fuzz_poll_config", "scenario-busy", vx42b_sim::ScenarioText(busy)) && ok;
    ok = Write(dir, "fuzz_config", "scenario-busy", vx42b_sim::ScenarioText(busy)) && ok;
    if (!ok) {
        std::cerr << "fuzz_make_corpus: cannot write under " << dir << '\n';
        return 1;
    }
    return 0;
}
