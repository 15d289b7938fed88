// The console's system side on Linux: stop signals, the loop's wait
// (poll on the device events and a self-pipe), the terminal and the clock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "app/cli/console.h"
#include "app/core.h"

namespace dialscope::cli {

namespace {

using Clock = ConsoleView::Clock;

std::atomic<bool> stopRequested{false};
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    stopRequested.store(true);
    const char byte = 1;
    if (stopPipe[1] >= 0) (void)!write(stopPipe[1], &byte, 1);
}

}  // namespace

void InstallStopSignals() {
    if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return stopRequested.load(); }

bool RunLoop(Core& core, const std::function<bool()>& done,
             Clock::time_point deadline, const std::function<void()>& tick) {
    while (!StopRequested() && !done() && Clock::now() < deadline) {
        const Clock::time_point next = std::min(core.NextDue().value_or(deadline), deadline);

        pollfd fds[2] = {{core.deviceEventFd(), POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        const int timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;

        if (fds[0].fd >= 0 && (fds[0].revents & POLLIN))
            for (const DeviceEvent& event : core.ReadDeviceEvents()) core.DeviceChange(event);

        core.RunDue(Clock::now());
        if (tick) tick();
    }
    return !StopRequested();
}

void PrepareConsole() {}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

std::string ForTerminal(std::string shown, TextEncoding) { return shown; }

bool ReaderGone() { return errno == EPIPE; }

int64_t WallClockMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::string> Arguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

std::FILE* OpenToRead(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

}  // namespace dialscope::cli
