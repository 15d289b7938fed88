#include "app/cli/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

void ConsoleView::ShowStatusLine(std::string_view line) {
    if (onStatus) onStatus(line);
}

std::string ShownOnTerminal(std::string_view bytes, TextEncoding encoding) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    auto escape = [&](unsigned char c) {
        out += encoding == TextEncoding::Latin1 ? "\\x" : "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        // A line ends in LF after any number of CRs (the window's Save writes
        // CR CR LF after a line the box ended with CR LF).
        const size_t notCr = bytes.find_first_not_of('\r', i);
        const bool lineEnd = c == '\n' || (c == '\r' && notCr != std::string_view::npos && bytes[notCr] == '\n');
        if ((c < 0x20 && !lineEnd) || c == 0x7f) {
            escape(c);
        } else if (encoding == TextEncoding::Latin1 && c >= 0x80 && c <= 0x9f) {
            escape(c);
        } else if (encoding == TextEncoding::Utf8 && c == 0xc2 && i + 1 < bytes.size() &&
                   static_cast<unsigned char>(bytes[i + 1]) >= 0x80 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9f) {
            // U+0080 to U+009F, two bytes in UTF-8.
            escape(static_cast<unsigned char>(bytes[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

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

}  // namespace dialscope::cli
