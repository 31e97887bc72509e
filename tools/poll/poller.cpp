#include "poller.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>

#include "backoff.h"
#include "config.h"
#include "discover.h"
#include "history_db.h"
#include "history_writer.h"
#include "image_cache.h"
#include "json_line.h"
#include "line_runner.h"
#include "output.h"
#include "outputs.h"
#include "plugin_loader.h"
#include "poll_controller.h"
#include "port_factory.h"
#include "port_lock.h"
#include "record_decoder.h"
#include "service_notify.h"
#include "tracing_port.h"
#include "yd1363.h"

#ifdef VX42B_POLL_WITH_SIM
#include "scenario.h"
#include "sim_server.h"
#endif

#ifndef VX42B_PLUGIN_BUILT
#define VX42B_PLUGIN_BUILT ""
#endif

namespace vxpoll {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }

using Clock = std::chrono::steady_clock;

// Three rounds' worth of unanswered commands.
constexpr int kSilentTimeoutsBeforeReconnect = 9;
// How long the history writer may go on at exit with rows still waiting.
constexpr std::chrono::seconds kHistoryDrain{5};

bool IsTcpPath(const std::string& name) { return name.rfind("tcp:", 0) == 0; }

bool FileExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string InUseMessage(const std::string& port, const std::string& inUse)
{
    return "port " + port + " " + inUse + "; one program at a time can use a line";
}

// The serial device this run would poll, or empty (a tcp: port, the built-in simulator).
std::string NamedSerialPort(const Options& options)
{
    std::string path = options.port;
    if (path.empty() && !options.configPath.empty()) {
        Json::Value config;
        std::string ignored;  // the session reports a bad configuration
        if (ReadConfigFile(options.configPath, config, ignored) && config.isObject() && config["port"].isString())
            path = config["port"].asString();
    }
    return IsTcpPath(path) ? std::string() : path;
}

bool FindPlugin(const Options& options, std::string& path, std::string& error)
{
    if (!options.plugin.empty()) {
        path = options.plugin;
        return true;
    }
    const std::vector<std::string> candidates = DefaultPluginCandidates(ExecutableDir(), VX42B_PLUGIN_BUILT);
    for (const std::string& candidate : candidates) {
        if (FileExists(candidate)) {
            path = candidate;
            return true;
        }
    }
    error = "no plug-in found (looked for";
    for (const std::string& candidate : candidates) error += " " + candidate;
    error += "); name one with --plugin";
    return false;
}

// The polling loop and everything it owns for one run.
class Session {
public:
    Session(const Options& options, EventSink& sink) : options_(options), sink_(sink) {}

    int Start(std::ostream& err);
    void Loop();
    void Stop();
    // The exit status once the loop has ended.
    int Status() const { return status_; }

private:
    void Log(const std::string& text) { sink_.Log(text, LogSource::Poller); }
    void RestoreFromCache();
    // The port named with --port or in the configuration; false when it can
    // never work.
    bool CheckNamedPort(std::string& error);
    bool OpenStores(std::string& error);
    // The port to poll: named, configured, or the built-in simulator's.
    int OpenLine(std::string& path, std::string& error);
    void OnFrame(bool tx, const std::string& frame);
    void HandleRoundEnds();
    void AskDcCount();
    void AskQueries();
    void PortLost();
    void TryReopen();
    // Tells systemd (when it runs the poller) how polling goes.
    void Notify(bool progress);

    const Options& options_;
    EventSink& sink_;
    Json::Value config_;
    std::unique_ptr<ImageCache> cache_;
    std::unique_ptr<HistoryWriter> history_;
    Plugin plugin_;
    std::shared_ptr<PollController> controller_;
    std::shared_ptr<SMDSPDevice> device_;
    std::shared_ptr<TracingPort> port_;
    std::unique_ptr<LineRunner> runner_;
#ifdef VX42B_POLL_WITH_SIM
    std::unique_ptr<SimServer> sim_;
#endif
    unsigned long rounds_ = 0;
    bool done_ = false;
    bool roundOpen_ = false;
    Clock::time_point roundStart_{};
    Backoff backoff_;
    Clock::time_point nextOpen_{};
    // Whether the port has been open in this run.
    bool opened_ = false;
    std::ostream* err_ = nullptr;
    int status_ = kExitOk;
    // Where the port came from, for messages: "--port" or the configuration's "port".
    std::string portOrigin_;
    bool askedModel_ = false;
    std::string lastHead_;  // VER and ADR of the last command, as sent
    bool askingDc_ = false;
    ServiceNotify notify_;
    // A command went out since the last pass of the loop; ever in this run.
    bool sentSincePass_ = false;
    bool sentEver_ = false;
};

int Session::Start(std::ostream& err)
{
    err_ = &err;
    std::string error;
    if (options_.configPath.empty()) {
        ParseConfigText(DefaultConfigText(), "built-in configuration", config_, error);
    } else if (!ReadConfigFile(options_.configPath, config_, error)) {
        err << "vx42b-poll: " << error << '\n';
        return kExitBadInput;
    }
    if (!ValidateConfig(config_, error)) {
        err << "vx42b-poll: invalid configuration" << (options_.configPath.empty() ? "" : " " + options_.configPath)
            << ": " << error << '\n';
        return kExitBadInput;
    }
    if (!CheckNamedPort(error)) {
        err << "vx42b-poll: " << error << '\n';
        return kExitBadInput;
    }

    // Everything that can refuse the input comes before the cache and the
    // history are touched.
    std::string pluginPath;
    if (!FindPlugin(options_, pluginPath, error) || !plugin_.Load(pluginPath, error)) {
        err << "vx42b-poll: " << error << '\n';
        return kExitBadInput;
    }
    device_ = plugin_.CreateMainDevice(error);
    if (!device_) {
        err << "vx42b-poll: " << error << '\n';
        return kExitBadInput;
    }
    controller_ = std::make_shared<PollController>(sink_, nullptr, nullptr);
    controller_->FoldRepeatedLines(true);
    controller_->KeepLogs(true);
    bool accepted = false;
    try {
        accepted = device_->Init(controller_, config_["data_id"].asUInt(), config_);
    } catch (const std::exception& e) {
        error = e.what();
    }
    controller_->KeepLogs(false);
    if (!accepted) {
        err << "vx42b-poll: the plug-in refused the configuration";
        if (!error.empty()) err << ": " << error;
        err << '\n';
        for (const std::string& line : controller_->TakeLogs()) err << "  " << line << '\n';
        return kExitBadInput;
    }
    controller_->TakeLogs();
    if (!OpenStores(error)) {
        err << "vx42b-poll: " << error << '\n';
        return kExitBadInput;
    }
    controller_->SetStores(cache_.get(), history_.get());
    const Json::Value& dcUnits = config_["dcSetting"];
    if (dcUnits.isArray() || dcUnits.isNull()) controller_->AskDcCountOnAcMismatch(dcUnits.size());
    if (cache_) RestoreFromCache();

    std::string path;
    const int lineStatus = OpenLine(path, error);
    if (lineStatus != kExitOk) {
        err << "vx42b-poll: " << error << '\n';
        return lineStatus;
    }
    const int baud = options_.baud != 0 ? options_.baud : device_->BaudRate();
    port_ = std::make_shared<TracingPort>(MakePort(path, baud),
                                          [this](bool tx, const std::string& frame) { OnFrame(tx, frame); });
    device_->AttachPort(port_);
    LineStats& line = controller_->Line();
    // Every kind is there from the start, at 0, so that a rate works at once.
    for (int e = static_cast<int>(yd1363::Error::TooShort); e <= static_cast<int>(yd1363::Error::Unfinished); ++e)
        line.frameErrors.emplace(yd1363::Describe(static_cast<yd1363::Error>(e)), 0);
    controller_->WatchLine(options_.downAfterMs != 0 ? std::chrono::milliseconds(options_.downAfterMs)
                                                     : DefaultDownAfter(device_->ReplyTimeout()));
    line.port = port_->Name();
    line.baud = path.rfind("tcp:", 0) == 0 ? 0 : baud;
    // Past the plug-in's own recovery from a lost reply (a few time-outs) and
    // the pause between rounds, with room to spare.
    notify_.SetStallLimit(2 * DefaultDownAfter(device_->ReplyTimeout()));
    runner_ = std::make_unique<LineRunner>(device_);
    Log("plug-in " + plugin_.Path() + ", port " + port_->Name() +
        (path.rfind("tcp:", 0) == 0 ? std::string() : " at " + std::to_string(baud) + " baud"));
    sink_.Line(line);
    nextOpen_ = Clock::now();
    return kExitOk;
}

bool Session::CheckNamedPort(std::string& error)
{
    std::string path;
    if (!options_.port.empty()) {
        path = options_.port;
        portOrigin_ = "--port";
    } else if (config_["port"].isString()) {
        path = config_["port"].asString();
        portOrigin_ = "the configuration's \"port\"";
    } else {
        return true;
    }
    std::string why;
    if (CheckPortName(path, why) != PortCheck::Permanent) return true;
    error = portOrigin_ + " " + path + " " + why;
    return false;
}

bool Session::OpenStores(std::string& error)
{
    if (!options_.historyPath.empty()) {
        auto db = std::make_unique<HistoryDb>();
        std::string notice;
        if (!db->Create(options_.historyPath, error, notice)) return false;
        if (!notice.empty()) Log(notice);
        history_ = std::make_unique<HistoryWriter>(std::move(db));
    }
    if (!options_.cacheDir.empty()) {
        cache_ = std::make_unique<ImageCache>(options_.cacheDir);
        size_t removed = 0;
        if (!cache_->Prepare(error, &removed)) return false;
        if (removed != 0)
            Log("cache: removed " + std::to_string(removed) + " temporary file" + (removed == 1 ? "" : "s") +
                " an interrupted run left in " + cache_->Dir());
    }
    return true;
}

int Session::OpenLine(std::string& path, std::string& error)
{
    if (!options_.port.empty()) {
        path = options_.port;
        return kExitOk;
    }
    if (config_["port"].isString()) {
        path = config_["port"].asString();
        return kExitOk;
    }
#ifdef VX42B_POLL_WITH_SIM
    Scenario scenario = DefaultScenario();
    if (!options_.scenario.empty() && !LoadScenario(options_.scenario, scenario, error)) {
        error = "scenario: " + error;
        return kExitBadInput;
    }
    sim_ = std::make_unique<SimServer>(std::move(scenario));
    path = sim_->OpenPty(error);
    if (path.empty()) {
        error = "cannot start the built-in simulator: " + error;
        return kExitFailure;
    }
    sim_->Start();
    Log("built-in simulator on " + path);
    return kExitOk;
#else
    error = "no --port given and this build has no built-in simulator";
    return kExitBadInput;
#endif
}

void Session::RestoreFromCache()
{
    for (const std::shared_ptr<SMDVDevice>& child : device_->GetAllChildVDevices()) {
        if (!child) continue;
        std::string image;
        std::string error;
        bool bare = false;
        const std::string path = cache_->PathFor(child->DeviceType(), child->DataId());
        if (!cache_->Load(child->DeviceType(), child->DataId(), RecordTypeOf(child->DeviceType()), image, error,
                          &bare)) {
            if (!error.empty())
                Log("cache: " + error + "; " + child->DeviceType() + " " + std::to_string(child->DataId()) +
                    " starts without it");
            continue;
        }
        const bool ok = child->LoadFromCache(image);
        Log("cache: " + std::string(ok ? "restored " : "refused by ") + child->DeviceType() + " " +
            std::to_string(child->DataId()) + " from " + path + " (" + std::to_string(image.size()) + " bytes" +
            (bare ? ", no header: written by an earlier version, rewritten with one on the next save)" : ")"));
    }
}

void Session::OnFrame(bool tx, const std::string& frame)
{
    if (tx) sentSincePass_ = sentEver_ = true;
    if (tx && !roundOpen_ && !askingDc_) {
        roundOpen_ = true;
        roundStart_ = Clock::now();
    }
    if (options_.trace) sink_.Frame(tx, frame);
    // The device-information reply names the model; the plug-in keeps it to
    // itself, so the poller reads it off the line for the outputs.
    if (tx) {
        askedModel_ = frame.size() > 8 && frame.compare(5, 4, "4051") == 0;
        if (frame.size() > 8) lastHead_ = frame.substr(1, 4);
    } else if (askedModel_ && frame.size() > 2 && frame.front() == '~' && frame.back() == '\r') {
        askedModel_ = false;
        std::vector<unsigned char> record(yd1363::kRecordSize);
        if (yd1363::Decode(frame.data() + 1, frame.size() - 2, record.data()) == yd1363::Error::None &&
            record[3] == 0) {
            const size_t size = (record[4] | (record[5] << 8)) / 2;
            controller_->Line().model = ModelText(record.data() + yd1363::kRecordHeader, size);
        }
    }
}

void Session::HandleRoundEnds()
{
    for (bool complete : controller_->TakeRoundEnds()) {
        const double seconds = roundOpen_ ? std::chrono::duration<double>(Clock::now() - roundStart_).count() : 0.0;
        roundOpen_ = false;
        ++rounds_;
        // The line works again: the next loss starts the back-off afresh.
        if (complete) {
            backoff_.Reset();
            controller_->LineRoundComplete();
            controller_->CheckLine(port_->IsOpen());
        }
        sink_.Round(rounds_, complete, seconds);
        CountRound(controller_->Line(), complete, seconds, LineStats::WallClock::now());
        sink_.Line(controller_->Line());
        AskQueries();
        if (options_.rounds != 0 && rounds_ >= options_.rounds) done_ = true;
    }
}

// The round stops at a wrong AC count before the DC units are asked: between
// two rounds, while the device waits, the poller asks that count itself once.
void Session::AskDcCount()
{
    long read = -1;
    unsigned ver = 0, address = 0;
    if (port_->IsOpen() && lastHead_.size() == 4 && std::sscanf(lastHead_.c_str(), "%2x%2x", &ver, &address) == 2) {
        unsigned count = 0;
        std::string why;
        askingDc_ = true;
        const bool asked =
            AskDcUnitCount(port_, address, ver, static_cast<int>(device_->ReplyTimeout().count()), count, why);
        askingDc_ = false;
        if (asked)
            read = count;
        else
            Log("the DC unit count could not be asked: " + why);
    }
    controller_->DcCountAsked(read);
}

void Session::AskQueries()
{
    for (const Query& query : options_.queries) {
        std::shared_ptr<SMDVDevice> target =
            query.dataId == device_->DataId() ? device_ : device_->GetChildVDevice(query.dataId);
        if (!target) {
            sink_.Value(rounds_, query, false, 0, "no device with data id " + std::to_string(query.dataId));
            continue;
        }
        try {
            const float value = target->Get_Value(0, query.key);
            sink_.Value(rounds_, query, true, value, "");
        } catch (const std::exception& e) {
            sink_.Value(rounds_, query, false, 0, e.what());
        }
    }
}

void Session::PortLost()
{
    const std::string why = port_->LastError();
    device_->ClosePort();
    const std::chrono::seconds delay = backoff_.Next();
    nextOpen_ = Clock::now() + delay;
    Log("port " + port_->Name() + " failed" + (why.empty() ? "" : ": " + why) + "; reopening in " +
        std::to_string(delay.count()) + " s");
}

void Session::TryReopen()
{
    if (Clock::now() < nextOpen_) return;
    if (device_->OpenPort()) {
        Log("port " + port_->Name() + " open");
        opened_ = true;
        return;
    }
    if (port_->LastErrorInUse() && !opened_) {
        // Another poller (or discover) has the line: two on one line garble
        // both. Once this run has had the port, a loss is waited out instead.
        *err_ << "vx42b-poll: " << InUseMessage(port_->Name(), port_->LastError()) << '\n';
        Log("port " + port_->Name() + " " + port_->LastError());
        status_ = kExitBadInput;
        done_ = true;
        return;
    }
    if (port_->LastErrorPermanent()) {
        // No back-off makes this port work: stop as for any bad input.
        *err_ << "vx42b-poll: " << portOrigin_ << " " << port_->Name() << " " << port_->LastError() << '\n';
        Log("port " + port_->Name() + " cannot be opened: " + port_->LastError());
        status_ = kExitBadInput;
        done_ = true;
        return;
    }
    const std::chrono::seconds delay = backoff_.Next();
    nextOpen_ = Clock::now() + delay;
    Log("port " + port_->Name() + " cannot be opened" + (port_->LastError().empty() ? "" : ": " + port_->LastError()) +
        "; next try in " + std::to_string(delay.count()) + " s");
}

void Session::Loop()
{
    // A reader that went away (a closed pipe) ends the run too.
    while (!done_ && !StopRequested() && !sink_.Closed()) {
        if (!port_->IsOpen()) {
            // Trying to reopen, or waiting for the time planned for it: both progress.
            TryReopen();
            controller_->CheckLine(port_->IsOpen());
            if (!port_->IsOpen()) {
                sink_.Tick();
                Notify(true);
                ::poll(nullptr, 0, 50);
                continue;
            }
        }
        const LineStats& line = controller_->Line();
        const unsigned long timeouts = line.timeouts;
        const unsigned long refused = line.FrameErrorTotal();
        const unsigned long rounds = rounds_;
        bool progress = false;
        try {
            const LineRunner::Turn turn = runner_->RunOnce([this] {
                HandleRoundEnds();
                return !done_ && !port_->Failed();
            });
            HandleRoundEnds();
            progress = turn.read != 0 || turn.accepted != 0;
            if (controller_->WantsDcCount()) AskDcCount();
        } catch (const std::exception& e) {
            // The device's own problem; the next call starts afresh.
            Log(std::string("the plug-in threw: ") + e.what());
        }
        progress = progress || line.timeouts != timeouts || line.FrameErrorTotal() != refused || rounds_ != rounds;
        if (port_->Failed() && port_->IsOpen()) {
            PortLost();
            progress = true;
        }
        // A serial device server can accept and then never pass a byte on:
        // after a few silent rounds, connect afresh.
        if (port_->IsOpen() && IsTcpPath(port_->Name()) &&
            device_->SilentTimeouts() >= kSilentTimeoutsBeforeReconnect) {
            Log("port " + port_->Name() + " silent for " + std::to_string(device_->SilentTimeouts()) +
                " reply time-outs; reconnecting");
            PortLost();
            progress = true;
        }
        controller_->CheckLine(port_->IsOpen());
        controller_->LogHistoryNotes();
        sink_.Tick();
        Notify(progress);
    }
}

void Session::Notify(bool progress)
{
    progress = progress || sentSincePass_;
    sentSincePass_ = false;
    if (!notify_.Active()) return;
    const Clock::time_point now = Clock::now();
    if (progress) notify_.Progress(now);
    notify_.Tick(now, [this] { return ServiceStatusText(controller_->Line(), LineStats::WallClock::now()); });
    // Ready once the port is open and the first command is out.
    if (sentEver_) notify_.Ready();
}

void Session::Stop()
{
    notify_.Stopping();
    if (port_) port_->FlushPartial();
    if (device_) device_->ClosePort();
#ifdef VX42B_POLL_WITH_SIM
    if (sim_) sim_->Stop();
#endif
    // What waits for the history file gets a few seconds to reach it.
    if (history_)
        for (const std::string& line : history_->Finish(kHistoryDrain)) Log(line);
    if (controller_) controller_->Finish();
    sink_.Finish();
}

}  // namespace

void InstallStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal cuts the current wait short.
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void RequestStop() { g_stop = 1; }

bool StopRequested() { return g_stop != 0; }

int RunPoller(const Options& options, std::ostream& out, std::ostream& err)
{
    // A port another program holds ends the run before any output starts, so
    // that a second poller never greets the broker or touches the history.
    // Opening the port takes the lock itself; this only spares the others.
    const std::string serial = NamedSerialPort(options);
    if (!serial.empty()) {
        const pid_t holder = PortHolder(serial);
        if (holder > 0) {
            err << "vx42b-poll: " << InUseMessage(serial, InUseText(holder)) << '\n';
            return kExitBadInput;
        }
    }
    std::unique_ptr<FanoutSink> outputs = MakeOutputs(options, out, err);
    if (!outputs) return kExitBadInput;
    int status = kExitOk;
    {
        Session session(options, *outputs);
        status = session.Start(err);
        if (status == kExitOk) {
            session.Loop();
            status = session.Status();
        }
        session.Stop();
    }
    return status;
}

int DumpHistory(const std::string& path, std::ostream& out, std::ostream& err)
{
    HistoryDb db;
    std::string error;
    std::string damage;
    if (!db.OpenForReading(path, error, damage)) {
        err << "vx42b-poll: " << error << '\n';
        return kExitBadInput;
    }
    if (!damage.empty())
        err << "vx42b-poll: history " << path << " is damaged (" << damage << "); printing the rows that can be read\n";
    const bool ok = db.ForEach(
        [&out](const HistoryRow& row) {
            const auto* data = reinterpret_cast<const unsigned char*>(row.image.data());
            Json::Value v = HistoryJson(DeviceRef{row.dataId, row.deviceType}, row.recordType, data, row.image.size());
            Json::Value line(Json::objectValue);
            line["event"] = "history";
            line["id"] = static_cast<Json::Int64>(row.id);
            line["time"] = row.time;
            for (const std::string& name : v.getMemberNames()) line[name] = v[name];
            AddDecodedFields(line, row.recordType, data, row.image.size());
            out << ToJsonLine(line) << '\n';
        },
        error);
    out.flush();
    if (!ok) {
        err << "vx42b-poll: cannot read history " << path << ": " << error << '\n';
        return kExitFailure;
    }
    return damage.empty() ? kExitOk : kExitFailure;
}

}  // namespace vxpoll
