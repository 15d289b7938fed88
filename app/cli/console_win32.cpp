// The console's system side on Windows: Ctrl+C through a console control
// handler, the loop's wait on an event it sets, the console's UTF-8 output,
// and the clock. The Windows program watches no device events: a download
// finds the adapters present when it starts.
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "app/cli/console.h"
#include "app/core.h"
#include "history/latin1.h"
#include "history/win32_text.h"

namespace dialscope::cli {

namespace {

using Clock = ConsoleView::Clock;

std::atomic<bool> stopRequested{false};
HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    stopRequested.store(true);
    if (stopEvent) SetEvent(stopEvent);
    return TRUE;  // handled: the loop ends and the program says what it kept
}

}  // namespace

void InstallStopSignals() {
    if (!stopEvent) stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested() { return stopRequested.load(); }

bool RunLoop(Core& core, const std::function<bool()>& done,
             Clock::time_point deadline, const std::function<void()>& tick) {
    while (!StopRequested() && !done() && Clock::now() < deadline) {
        const Clock::time_point next = std::min(core.NextDue().value_or(deadline), deadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        const DWORD timeout = static_cast<DWORD>(std::max<int64_t>(0, wait.count()));
        if (stopEvent) WaitForSingleObject(stopEvent, timeout);
        else Sleep(timeout);
        core.RunDue(Clock::now());
        if (tick) tick();
    }
    return !StopRequested();
}

void PrepareConsole() {
    // Bytes as they are: the C runtime would otherwise write CR LF for
    // every LF and the files would differ from the Linux program's.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
}

bool IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

std::string ForTerminal(std::string shown, TextEncoding encoding) {
    return encoding == TextEncoding::Latin1 ? history::Latin1ToUtf8(shown) : shown;
}

// The runtime names a write to a closed pipe EPIPE, or EINVAL for a pipe
// whose reader has closed it.
bool ReaderGone() { return errno == EPIPE || errno == EINVAL; }

int64_t WallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> Arguments(int, char**) {
    std::vector<std::string> words = win32::CommandLineWords();
    if (!words.empty()) words.erase(words.begin());  // the program's own name
    return words;
}

std::FILE* OpenToRead(const std::string& path) { return _wfopen(win32::Wide(path).c_str(), L"rb"); }

}  // namespace dialscope::cli
