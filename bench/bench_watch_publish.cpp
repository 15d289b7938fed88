// Time from a call being kept in the history to a subscriber on the same machine
// receiving it, through the whole watcher: the real dialscope-cli watch process
// downloading from the simulator (paced at the line's rate) in a fake sysfs tree,
// publishing to a real mosquitto on a free loopback port, and a real client
// (mosquitto_sub) reading from a pipe. A call's "received" field is the moment
// the watcher kept it (wall clock, in ms); the subscriber's moment is taken as
// its line arrives. Several downloads of different logs, unplugging in between.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"
#include "bench/bench_result.h"

namespace {

using Clock = std::chrono::steady_clock;
using dialscope::bench::Accepts;
using dialscope::bench::FreePort;
using dialscope::bench::Spawn;

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// "2026-12-08T10:16:00.123Z" in unix ms; -1 when the line holds none.
int64_t ReceivedMs(const std::string& json) {
    const auto at = json.find("\"received\":\"");
    if (at == std::string::npos) return -1;
    tm t{};
    int ms = 0;
    if (std::sscanf(json.c_str() + at + 12, "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&t)) * 1000 + ms;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitFor(const std::string& file, const std::string& text, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (ReadFile(file).find(text) == std::string::npos) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

int main() {
    const char* cli = DIALSCOPE_CLI;
    const char* devsim = DIALSCOPE_DEVSIM;
    char pattern[] = "/tmp/dialscope-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const int port = FreePort();
    std::ofstream(dir + "/broker.conf") << (geteuid() == 0 ? "user root\n" : "") << "allow_anonymous true\nlistener "
                                        << port << " 127.0.0.1\n";
    const int quiet = open("/dev/null", O_WRONLY);
    pid_t broker = Spawn({"/usr/sbin/mosquitto", "-c", dir + "/broker.conf"}, quiet, quiet);
    int subPipe[2];
    if (broker < 0 || pipe(subPipe) != 0) return 1;
    for (int i = 0; i < 500 && !Accepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid_t sub = Spawn({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-t",
                       "bench/bench/call", "-F", "%p"},
                      subPipe[1]);
    close(subPipe[1]);

    setenv("DIALSCOPE_SYSFS_ROOT", (dir + "/sys").c_str(), 1);
    setenv("DIALSCOPE_DEV_ROOT", (dir + "/dev").c_str(), 1);
    std::vector<double> ms;
    std::string pending;
    // Reads what the subscriber has, for up to `wait`; one figure per call.
    auto collect = [&](std::chrono::milliseconds wait) {
        pollfd p{subPipe[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
        char buf[65536];
        const ssize_t n = read(subPipe[0], buf, sizeof buf);
        if (n <= 0) return false;
        const int64_t now = NowMs();
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const int64_t kept = ReceivedMs(pending.substr(0, nl));
            if (kept >= 0) ms.push_back(static_cast<double>(now - kept));
            pending.erase(0, nl + 1);
        }
        return true;
    };

    pid_t watcher = -1;
    const int kDownloads = 3, kRecords = 99;
    for (int seed = 1; seed <= kDownloads; ++seed) {
        int control[2];
        if (pipe(control) != 0) return 1;
        const std::string out = dir + "/sim" + std::to_string(seed) + ".out";
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t sim = Spawn({devsim, "--sysfs-root", dir + "/sys", "--dev-root", dir + "/dev", "--stdin-control",
                           "--records", std::to_string(kRecords), "--seed", std::to_string(seed)},
                          outFd, quiet, control[0]);
        close(control[0]);
        close(outFd);
        // The watcher follows the fake tree's class/tty folder, which the first plug makes.
        if (seed == 1 && WaitFor(out, "plugged ", std::chrono::seconds(10))) {
        const int watchErr = open((dir + "/watch.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        watcher = Spawn({cli, "--history", dir + "/calls.sqlite3", "watch", "--mqtt",
                               "mqtt://127.0.0.1:" + std::to_string(port) + "/bench", "--instance-id", "bench",
                               "--discovery-prefix", ""},
                              quiet, watchErr);
        }
        // Calls are read as they come (a pipe left unread would add its wait to
        // the figure) until the download is over and the subscriber quiet.
        const auto end = Clock::now() + std::chrono::seconds(300);
        while (sim > 0 && ReadFile(out).find("download 1 end") == std::string::npos && Clock::now() < end)
            collect(std::chrono::milliseconds(20));
        if (ReadFile(out).find("download 1 end") == std::string::npos) {
            std::fprintf(stderr, "bench_watch_publish: no download from the simulator (see %s)\n", dir.c_str());
            return 1;
        }
        while (collect(std::chrono::milliseconds(1000))) {
        }
        (void)!write(control[1], "unplug\nquit\n", 12);
        close(control[1]);
        waitpid(sim, nullptr, 0);
    }
    kill(watcher, SIGTERM);
    waitpid(watcher, nullptr, 0);
    kill(sub, SIGTERM);
    kill(broker, SIGTERM);
    waitpid(sub, nullptr, 0);
    waitpid(broker, nullptr, 0);
    if (ms.size() < static_cast<size_t>(kDownloads * kRecords) * 9 / 10) {
        std::fprintf(stderr, "bench_watch_publish: only %zu calls reached the subscriber (see %s)\n", ms.size(),
                     dir.c_str());
        return 1;
    }
    std::filesystem::remove_all(dir);

    std::sort(ms.begin(), ms.end());
    std::printf("%zu calls from %d paced downloads, kept by dialscope-cli watch to a subscriber on this machine\n",
                ms.size(), kDownloads);
    dialscope::bench::PrintResult("watch_call_kept_to_subscriber_median", ms[ms.size() / 2], "ms");
    dialscope::bench::PrintResult("watch_call_kept_to_subscriber_p99", ms[ms.size() * 99 / 100], "ms", "<=50");
    dialscope::bench::PrintResult("watch_call_kept_to_subscriber_max", ms.back(), "ms");
    return 0;
}
