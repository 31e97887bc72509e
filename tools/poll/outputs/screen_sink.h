#pragma once
#include <chrono>
#include <cstdio>
#include <string>

#include "event_sink.h"
#include "screen_model.h"

struct screen;

namespace vxpoll {

// True when the terminal on fd can show the live screen; why not otherwise.
bool ScreenPossible(int fd, std::string& why);

// The live screen, drawn with ncurses on a terminal and redrawn in place.
// Curses starts with the polling loop (the first Tick), so that start-up
// errors print as plain lines; Finish gives the terminal back.
class ScreenSink : public EventSink {
public:
    // terminalFd: where the screen is drawn (the caller keeps it open).
    // traceFd: the read end of the plug-in's standard output, shown among
    // the log lines, or -1.
    ScreenSink(int terminalFd, int traceFd, Lang lang = Lang::En);
    ~ScreenSink() override;
    ScreenSink(const ScreenSink&) = delete;
    ScreenSink& operator=(const ScreenSink&) = delete;

    void Round(unsigned long number, bool complete, double seconds) override;
    void Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size) override;
    void PublishDecoded(const DeviceRef& device, const Publication& image) override;
    void Rule(const DeviceRef&, const rule_value&) override {}
    void Alarm(const DeviceRef& device, const rule_value& rule, bool raised) override;
    void History(const DeviceRef&, int, const unsigned char*, size_t) override {}
    void Log(const std::string& text, LogSource source) override;
    void Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error) override;
    void Frame(bool, const std::string&) override {}
    void Line(const LineStats& stats) override;
    void Tick() override;
    void Finish() override;

private:
    using Clock = std::chrono::steady_clock;
    bool Begin();
    void End();
    void Draw();
    void ReadTrace();
    void ReadKeys();

    int terminalFd_;
    int traceFd_;
    ScreenModel model_;
    LineStats stats_;
    screen* screen_ = nullptr;
    std::FILE* out_ = nullptr;
    std::FILE* in_ = nullptr;
    bool failed_ = false;
    bool dirty_ = true;
    Clock::time_point lastDraw_{};
    std::string tracePartial_;
};

}  // namespace vxpoll
