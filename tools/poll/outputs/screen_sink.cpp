#include "screen_sink.h"

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>
#include <fcntl.h>
#include <term.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <cwchar>

#include "poller.h"

namespace vxpoll {

namespace {

constexpr auto kRedrawAfterChange = std::chrono::milliseconds(100);
constexpr auto kRedrawAnyway = std::chrono::seconds(1);
constexpr size_t kLongestTraceLine = 4096;

enum Pair : short { kRed = 1, kYellow, kCyan };

// Writes text at the cursor, cut to `columns` display cells; what the locale
// cannot show becomes '?'.
void PutClipped(const std::string& text, int cells)
{
    std::mbstate_t state{};
    const char* p = text.data();
    size_t left = text.size();
    int used = 0;
    std::wstring out;
    while (left > 0) {
        wchar_t wc = 0;
        const size_t n = std::mbrtowc(&wc, p, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            state = std::mbstate_t{};
            wc = L'?';
            p += 1;
            left -= 1;
        } else {
            p += n;
            left -= n;
        }
        int width = ::wcwidth(wc);
        if (width < 0) {
            wc = L'?';
            width = 1;
        }
        if (used + width > cells) break;
        used += width;
        out.push_back(wc);
    }
    ::addnwstr(out.c_str(), static_cast<int>(out.size()));
}

attr_t Attributes(RowStyle style)
{
    const bool colour = ::has_colors();
    switch (style) {
    case RowStyle::Header: return A_REVERSE;
    case RowStyle::Title: return A_BOLD;
    case RowStyle::Level1: return colour ? (COLOR_PAIR(kRed) | A_BOLD) : A_BOLD;
    case RowStyle::Level2: return colour ? COLOR_PAIR(kYellow) : A_NORMAL;
    case RowStyle::Level3: return colour ? COLOR_PAIR(kCyan) : A_NORMAL;
    case RowStyle::Dim: return A_DIM;
    case RowStyle::Normal: break;
    }
    return A_NORMAL;
}

}  // namespace

bool ScreenPossible(int fd, std::string& why)
{
    if (::isatty(fd) != 1) {
        why = "standard output is not a terminal";
        return false;
    }
    int error = 0;
    if (::setupterm(nullptr, fd, &error) != OK) {
        const char* term = std::getenv("TERM");
        why = std::string("the terminal type ") + (term != nullptr ? "\"" + std::string(term) + "\"" : "(TERM unset)") +
              " is unknown";
        return false;
    }
    // Only the check; newterm sets the terminal up again.
    ::del_curterm(cur_term);
    return true;
}

ScreenSink::ScreenSink(int terminalFd, int traceFd, Lang lang)
    : terminalFd_(terminalFd), traceFd_(traceFd), model_(lang)
{}

ScreenSink::~ScreenSink() { End(); }

bool ScreenSink::Begin()
{
    if (screen_ != nullptr || failed_) return screen_ != nullptr;
    // Wide characters for the alarm texts; numbers stay in the C locale.
    std::setlocale(LC_CTYPE, "");
    const int outFd = ::fcntl(terminalFd_, F_DUPFD_CLOEXEC, 3);
    const int inFd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    out_ = outFd >= 0 ? ::fdopen(outFd, "w") : nullptr;
    in_ = inFd >= 0 ? ::fdopen(inFd, "r") : nullptr;
    if (out_ != nullptr && in_ != nullptr) screen_ = ::newterm(nullptr, out_, in_);
    if (screen_ == nullptr) {
        failed_ = true;
        End();
        static const char message[] = "vx42b-poll: cannot draw the screen on this terminal; use --plain\n";
        const ssize_t ignored = ::write(terminalFd_, message, sizeof message - 1);
        (void)ignored;
        RequestStop();
        return false;
    }
    ::set_term(screen_);
    ::cbreak();
    ::noecho();
    ::nodelay(stdscr, TRUE);
    ::keypad(stdscr, TRUE);
    ::curs_set(0);
    if (::has_colors()) {
        ::start_color();
        ::use_default_colors();
        ::init_pair(kRed, COLOR_RED, -1);
        ::init_pair(kYellow, COLOR_YELLOW, -1);
        ::init_pair(kCyan, COLOR_CYAN, -1);
    }
    dirty_ = true;
    return true;
}

void ScreenSink::End()
{
    if (screen_ != nullptr) {
        ::endwin();
        ::delscreen(screen_);
        screen_ = nullptr;
    }
    if (out_ != nullptr) std::fclose(out_);
    if (in_ != nullptr) std::fclose(in_);
    out_ = nullptr;
    in_ = nullptr;
}

void ScreenSink::Draw()
{
    const std::vector<ScreenRow> rows = model_.Render(COLS, LINES, ScreenModel::WallClock::now());
    ::erase();
    for (size_t k = 0; k < rows.size(); ++k) {
        const attr_t attributes = Attributes(rows[k].style);
        ::move(static_cast<int>(k), 0);
        ::attron(attributes);
        // The bottom-right cell would scroll the screen.
        PutClipped(rows[k].text, static_cast<int>(k) + 1 == LINES ? COLS - 1 : COLS);
        if (rows[k].style == RowStyle::Header) ::hline(' ', COLS);
        ::attroff(attributes);
    }
    ::refresh();
    lastDraw_ = Clock::now();
    dirty_ = false;
}

void ScreenSink::ReadTrace()
{
    if (traceFd_ < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(traceFd_, buffer, sizeof buffer);
        if (n <= 0) break;
        tracePartial_.append(buffer, static_cast<size_t>(n));
        for (size_t nl; (nl = tracePartial_.find('\n')) != std::string::npos;) {
            model_.Log("trace  " + tracePartial_.substr(0, nl), ScreenModel::WallClock::now());
            tracePartial_.erase(0, nl + 1);
            dirty_ = true;
        }
        if (tracePartial_.size() > kLongestTraceLine) tracePartial_.clear();
    }
}

void ScreenSink::ReadKeys()
{
    for (int key; (key = ::getch()) != ERR;) {
        if (key == 'q' || key == 'Q') RequestStop();
        if (key == KEY_RESIZE) dirty_ = true;
        if (key == 12) {  // Ctrl-L
            ::clearok(curscr, TRUE);
            dirty_ = true;
        }
    }
}

void ScreenSink::Round(unsigned long number, bool complete, double)
{
    model_.Round(number, complete);
    dirty_ = true;
}

void ScreenSink::Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    model_.Publish(device, recordType, data, size);
    dirty_ = true;
}

void ScreenSink::PublishDecoded(const DeviceRef& device, const Publication& image)
{
    model_.Publish(device, image);
    dirty_ = true;
}

void ScreenSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    model_.Alarm(device, rule, raised, ScreenModel::WallClock::now());
    dirty_ = true;
}

void ScreenSink::Log(const std::string& text, LogSource source)
{
    model_.Log(source == LogSource::Device ? text : "vx42b-poll: " + text, ScreenModel::WallClock::now());
    dirty_ = true;
}

void ScreenSink::Value(unsigned long, const Query& query, bool ok, float value, const std::string& error)
{
    model_.Value(query, ok, value, error);
    dirty_ = true;
}

void ScreenSink::Line(const LineStats& stats)
{
    model_.Line(stats);
    stats_ = stats;
    dirty_ = true;
}

void ScreenSink::Tick()
{
    ReadTrace();
    if (!Begin()) return;
    ReadKeys();
    const auto since = Clock::now() - lastDraw_;
    if ((dirty_ && since >= kRedrawAfterChange) || since >= kRedrawAnyway) Draw();
}

void ScreenSink::Finish()
{
    ReadTrace();
    const bool shown = screen_ != nullptr;
    if (shown) Draw();
    End();
    if (!shown) return;
    // What stays on the terminal once the screen is gone.
    const std::string summary = "vx42b-poll: " + std::to_string(stats_.roundsComplete) + " rounds complete, " +
                                std::to_string(stats_.roundsAbandoned) + " abandoned, " +
                                std::to_string(stats_.timeouts) + " time-outs, " +
                                std::to_string(stats_.FrameErrorTotal()) + " frame errors\n";
    const ssize_t ignored = ::write(terminalFd_, summary.data(), summary.size());
    (void)ignored;
}

}  // namespace vxpoll
