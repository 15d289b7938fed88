// dialscope-devsim: the device simulator as a process, for the demo and for
// tests that want the program and the device in separate processes.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "app/version.h"
#include "tools/devsim.h"

using namespace dialscope::devsim;

namespace {

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    return static_cast<bool>(out);
}

void DumpFrames(const DownloadSetup& setup) {
    for (size_t i = 0; i < setup.frames.size(); ++i) {
        const DownloadFrame& f = setup.frames[i];
        std::printf("frame %zu %c len %zu", i, f.frame.command, f.frame.payload.size());
        if (f.record >= 0) std::printf(" record %d", f.record);
        if (f.dataIndex >= 0) std::printf(" data %d", f.dataIndex + 1);
        std::printf("\n");
    }
    std::printf("bytes %zu\n", setup.firstPlan.bytes);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    std::string error;
    if (!ParseCommandLine(argc, argv, &cl, &error)) {
        std::fprintf(stderr, "dialscope-devsim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (cl.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (cl.version) {
        std::fputs("dialscope-devsim " DIALSCOPE_VERSION "\n", stdout);
        return 0;
    }
    if (!cl.writeLogPath.empty() && !WriteBytes(cl.writeLogPath, FormatCallLog(cl.sim.log))) {
        std::fprintf(stderr, "dialscope-devsim: cannot write %s\n", cl.writeLogPath.c_str());
        return 1;
    }
    DownloadSetup setup;
    if (!PrepareDownload(cl.sim, &setup, &error)) {
        std::fprintf(stderr, "dialscope-devsim: %s\n", error.c_str());
        return 2;
    }
    if (!cl.expectPath.empty()) {
        const Prediction& p = setup.prediction;
        if (!p.available) {
            std::fprintf(stderr, "dialscope-devsim: no expected log for these faults: %s\n", p.reason.c_str());
            return 2;
        }
        if (!WriteBytes(cl.expectPath, p.log)) {
            std::fprintf(stderr, "dialscope-devsim: cannot write %s\n", cl.expectPath.c_str());
            return 1;
        }
    }
    if (cl.dumpFrames) DumpFrames(setup);
    if (cl.dryRun || cl.dumpFrames) return 0;

    // Signals arrive through a descriptor on this thread; the simulator's
    // thread inherits the blocked mask.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);

    std::mutex outMu;
    cl.sim.onEvent = [&outMu](const std::string& line) {
        std::lock_guard<std::mutex> lock(outMu);
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    Simulator sim(cl.sim);
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "dialscope-devsim: %s\n", error.c_str());
        return 1;
    }

    std::string pending;
    bool stdinOpen = cl.stdinControl;
    for (;;) {
        pollfd fds[3] = {{sim.DoneFd(), POLLIN, 0}, {sigFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) continue;
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info;
            (void)!read(sigFd, &info, sizeof info);
            break;
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[512];
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0) {
                stdinOpen = false;
                sim.Control("quit");
                continue;
            }
            pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                sim.Control(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
    }
    sim.Stop();
    if (sigFd >= 0) close(sigFd);
    return 0;
}
