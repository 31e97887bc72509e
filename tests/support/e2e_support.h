#pragma once
// Helpers for the end-to-end tests: run vx42b-poll and vx42b-sim as child
// processes, collect their output, and read the JSON stream. Test-only.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <functional>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#ifdef VX42B_SIM_EXE
#include "scenario.h"
#endif

namespace vxpoll::e2e {

// Under a cross build the programs run through the same emulator as the tests.
inline std::vector<std::string> Emulator()
{
    std::vector<std::string> out;
#ifdef VX42B_EMULATOR
    std::string list = VX42B_EMULATOR;
    std::stringstream parts(list);
    for (std::string part; std::getline(parts, part, '|');)
        if (!part.empty()) out.push_back(part);
#endif
    return out;
}

inline std::string PollExe() { return VX42B_POLL_EXE; }
inline std::string PluginPath() { return VX42B_PLUGIN_PATH; }
#ifdef VX42B_SIM_EXE
inline std::string SimExe() { return VX42B_SIM_EXE; }
#else
inline std::string SimExe() { return {}; }
#endif

class Child {
public:
    // Starts argv[0] with the emulator in front if there is one; stdout and
    // stderr are pipes read with Collect/ReadLine.
    explicit Child(const std::vector<std::string>& argv)
    {
        std::vector<std::string> full = Emulator();
        full.insert(full.end(), argv.begin(), argv.end());
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        std::vector<char*> args;
        for (std::string& a : full) args.push_back(a.data());
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
    }
    ~Child()
    {
        Kill(SIGKILL);
        Wait();
        if (outFd_ >= 0) ::close(outFd_);
        if (errFd_ >= 0) ::close(errFd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Kill(int signal)
    {
        if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
    }

    // Reads both pipes until the child closes them or the deadline passes
    // (then the child is killed); returns the exit status, or -1.
    int Collect(std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (outFd_ >= 0 || errFd_ >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut_ = true;
                Kill(SIGKILL);
                break;
            }
            Pump(static_cast<int>(left.count()));
        }
        return Wait();
    }

    // The next line of standard output, waiting up to `limit`.
    bool ReadLine(std::string& line, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t nl = out_.find('\n', consumed_);
            if (nl != std::string::npos) {
                line = out_.substr(consumed_, nl - consumed_);
                consumed_ = nl + 1;
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || outFd_ < 0) return false;
            Pump(static_cast<int>(left.count()));
        }
    }

    int Wait()
    {
        if (pid_ <= 0 || reaped_) return status_;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

    const std::string& Out() const { return out_; }
    // Standard output not yet taken by ReadLine.
    std::string Unread() const { return out_.substr(consumed_); }
    const std::string& Err() const { return err_; }
    bool TimedOut() const { return timedOut_; }

private:
    void Pump(int timeoutMs)
    {
        pollfd fds[2];
        int n = 0;
        if (outFd_ >= 0) fds[n++] = pollfd{outFd_, POLLIN, 0};
        if (errFd_ >= 0) fds[n++] = pollfd{errFd_, POLLIN, 0};
        if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0) return;
        for (int k = 0; k < n; ++k) {
            if (fds[k].revents == 0) continue;
            int& fd = fds[k].fd == outFd_ ? outFd_ : errFd_;
            std::string& sink = fds[k].fd == outFd_ ? out_ : err_;
            char buf[65536];
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got > 0) {
                sink.append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fd);
                fd = -1;
            }
        }
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    bool timedOut_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
    size_t consumed_ = 0;
};

// A simulator process serving on a pseudo-terminal.
class Sim {
public:
    explicit Sim(const std::string& scenarioPath)
    {
        std::vector<std::string> argv{SimExe()};
        if (!scenarioPath.empty()) {
            argv.push_back("--scenario");
            argv.push_back(scenarioPath);
        }
        child_ = std::make_unique<Child>(argv);
        std::string line;
        const std::string prefix = "vx42b-sim: serving on ";
        if (child_->ReadLine(line, std::chrono::seconds(10)) && line.rfind(prefix, 0) == 0)
            path_ = line.substr(prefix.size());
    }
    ~Sim() { Stop(); }
    const std::string& Path() const { return path_; }
    std::string Err() const { return child_->Err(); }
    // SIGSTOP silences the line as a dead power system would; SIGCONT brings it back.
    void Signal(int signal) { child_->Kill(signal); }
    void Stop()
    {
        child_->Kill(SIGCONT);
        child_->Kill(SIGTERM);
        child_->Collect(std::chrono::seconds(10));
    }

private:
    std::unique_ptr<Child> child_;
    std::string path_;
};

// A scratch directory removed at the end.
class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/vx42b-poll-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::string Write(const std::string& name, const std::string& text) const
    {
        const std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }

private:
    std::string path_;
};

// Every line of a JSON stream; a line that is not a JSON object is kept as
// a null value so that a test can tell.
inline std::vector<Json::Value> JsonLines(const std::string& text)
{
    std::vector<Json::Value> out;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &v, &errors) || !v.isObject()) v = Json::Value();
        out.push_back(v);
    }
    return out;
}

inline std::vector<Json::Value> Events(const std::vector<Json::Value>& lines, const std::string& event)
{
    std::vector<Json::Value> out;
    for (const Json::Value& v : lines)
        if (v.isObject() && v["event"].asString() == event) out.push_back(v);
    return out;
}

// Two AC units, one DC unit and the rectifiers, as the simulator's default
// system has them, with a short reply time-out.
inline std::string TestConfig(int replyTimeoutMs)
{
    return R"({"data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 12}], "dcSetting": [{"data_id": 21}],)"
           R"( "rcSetting": {}, "reply_timeout_ms": )" +
           std::to_string(replyTimeoutMs) + "}";
}

#ifdef VX42B_SIM_EXE
// The simulator's default system with nothing moving on an unpaced line;
// `edit` changes the scenario's JSON further.
inline std::string StillScenario(const std::function<void(Json::Value&)>& edit = {})
{
    Json::Value s = vx42b_sim::ScenarioToJson(vx42b_sim::DefaultScenario());
    s["drift"] = Json::Value(Json::arrayValue);
    s["schedule"] = Json::Value(Json::arrayValue);
    s["line"]["baud"] = 0;
    s["line"]["turnaround_ms"] = 2;
    s["seed"] = 7;
    if (edit) edit(s);
    return Json::writeString(Json::StreamWriterBuilder(), s);
}
#endif

struct PollRun {
    int status;
    std::vector<Json::Value> lines;
    std::string err;
};

// vx42b-poll --json on a port with a configuration file, to its end.
inline PollRun PollJson(const std::string& port, const std::string& config, const std::vector<std::string>& extra)
{
    std::vector<std::string> argv{PollExe(), "--json", "--plugin", PluginPath(), "--port", port, "--config", config};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child poll(argv);
    const int status = poll.Collect(std::chrono::seconds(28));
    return PollRun{poll.TimedOut() ? -2 : status, JsonLines(poll.Out()), poll.Err()};
}

inline size_t LogsStartingWith(const std::vector<Json::Value>& lines, const std::string& prefix)
{
    size_t n = 0;
    for (const Json::Value& log : Events(lines, "log")) n += log["text"].asString().rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

}  // namespace vxpoll::e2e
