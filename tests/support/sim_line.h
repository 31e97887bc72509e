#pragma once
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "VX42B.h"
#include "json_text.h"
#include "line_runner.h"
#include "memory_port.h"
#include "recording_controller.h"
#include "responder.h"

// A main device talking to the simulated power system through the framing
// and an in-memory port, with a clock the test moves.
struct SimLine {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VX42B> device = std::make_shared<VX42B>();
    std::shared_ptr<MemoryPort> port = std::make_shared<MemoryPort>();
    vx42b_sim::Responder sim;
    LineRunner runner{device};
    // Every command as sent: CID1, CID2 and INFO in hex, e.g. "4041FF".
    std::vector<std::string> sent;
    SMDSPDevice::Clock::time_point now{};
    bool initialised = false;

    explicit SimLine(vx42b_sim::Scenario scenario,
                     const std::string& config = R"({"acSetting": [{"data_id": 11}, {"data_id": 12}],
                                                     "dcSetting": [{"data_id": 21}], "rcSetting": {}})")
        : sim(std::move(scenario))
    {
        initialised = device->Init(controller, 1, ParseJson(config));
        device->AttachPort(port);
        device->OpenPort();
        runner.SetClock([this] { return now; });
        runner.SkipRoundPause(true);
        // Waiting for input is the simulator answering at once.
        runner.SetWait([this](SerialPort&, std::chrono::milliseconds) {
            Carry();
            return true;
        });
    }

    // Hands every command sent so far to the simulator and queues its replies
    // on the port.
    void Carry()
    {
        std::vector<std::string> frames;
        frames.swap(port->Written());
        for (const std::string& frame : frames) {
            const vx42b_sim::ParsedFrame c = vx42b_sim::ParseFrame(frame);
            char head[8];
            std::snprintf(head, sizeof head, "%02X%02X", c.cid1, c.cid2);
            std::string text = head;
            for (unsigned char b : c.info) {
                std::snprintf(head, sizeof head, "%02X", b);
                text += head;
            }
            sent.push_back(text);
            port->Inject(sim.Respond(frame));
        }
    }
    // Carries commands to the simulator and replies back until the line is quiet.
    void Pump()
    {
        while (runner.ReadAvailable() > 0 || !port->Written().empty()) {
        }
    }
    void Deliver(const std::string& bytes)
    {
        runner.Deliver(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    // One host poll: the pause between rounds is passed by moving the
    // last-update time back.
    bool Refresh()
    {
        const bool r = runner.RunOnce().allowed;
        Pump();
        return r;
    }
    // A reply time-out passes.
    void Wait() { now += device->ReplyTimeout(); }
    // Polls (waiting out lost replies) until a round ends; false after `limit` polls.
    bool RunRound(int limit = 20)
    {
        const size_t ends = controller->roundEnds.size();
        for (int k = 0; k < limit && controller->roundEnds.size() == ends; ++k) {
            Refresh();
            if (controller->roundEnds.size() == ends) Wait();
        }
        return controller->roundEnds.size() > ends && controller->roundEnds.back();
    }
    std::vector<std::string> TakeSent()
    {
        std::vector<std::string> out;
        out.swap(sent);
        return out;
    }
};
