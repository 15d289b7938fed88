// The console face of the program: a view that counts what the window would
// show, and a loop that sleeps until Core's next timer is due or a device
// event comes, and hands either to Core, until it is told to stop (a
// signal, or the command being done).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/view.h"

namespace dialscope {

class Core;

namespace cli {

class ConsoleView final : public View {
public:
    using Clock = std::chrono::steady_clock;

    void ShowStatusLine(std::string_view line) override;
    void SetIndicator(bool) override {}
    void HideAnimation() override {}
    void ShowAnimationFrame(AnimationFrame) override {}
    // The loop asks Core when to wake.
    void WakeAt(std::optional<Clock::time_point>) override {}
    void ShowLogAppended(const CallLog&, size_t count) override {
        ++records;
        bytes += count;
    }
    void ShowLogCleared() override {}

    // Every status line, as it comes.
    std::function<void(std::string_view)> onStatus;
    size_t records = 0;
    size_t bytes = 0;
};

// Runs the timers (on the steady clock) and device events of core until
// done() holds, stop was asked for (SIGINT or SIGTERM), or the deadline
// passes. `tick` runs after every pass (progress output). Returns false when a signal stopped it.
bool RunLoop(Core& core, const std::function<bool()>& done,
             ConsoleView::Clock::time_point deadline, const std::function<void()>& tick = {});

// How the bytes of an output are encoded: the text format carries the box's
// 8-bit characters as they came (the window shows them as Latin-1); CSV and
// JSON are UTF-8.
enum class TextEncoding { Latin1, Utf8 };

// Text for a terminal: every control character a caller's text may hold
// (C0 but the line ends, DEL, and C1, which a terminal would act on) shown
// as \xHH for a Latin-1 byte, \u00HH for a UTF-8 character, so that the
// text can neither colour, move nor retitle the terminal. Line ends (LF after
// any CRs) stay.
std::string ShownOnTerminal(std::string_view bytes, TextEncoding encoding);

// SIGINT and SIGTERM (Ctrl+C and Ctrl+Break, closing the console on
// Windows) end RunLoop cleanly from now on.
void InstallStopSignals();
bool StopRequested();

// The system side of the console (console_posix.cpp, console_win32.cpp).
// Made ready for bytes: on Windows standard output and error pass bytes
// unchanged (no CR added) and a console shows UTF-8.
void PrepareConsole();
bool IsTerminal(std::FILE* stream);
// What ShownOnTerminal made, as the terminal takes it: the bytes themselves
// on Linux; on a Windows console, which shows UTF-8, Latin-1 text as UTF-8.
std::string ForTerminal(std::string shown, TextEncoding encoding);
// Whether the last failed write to stdout failed because its reader is gone.
bool ReaderGone();
// Milliseconds since 1970 on the wall clock.
int64_t WallClockMs();
// The command line's words after the program's name, as UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);
// The file opened to read bytes, its path UTF-8.
std::FILE* OpenToRead(const std::string& path);

}  // namespace cli
}  // namespace dialscope
