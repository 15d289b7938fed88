// The soak of the real console watcher: `dialscope-cli watch` as a process,
// in real time, against the simulator as a process (dialscope-devsim --fast
// --stdin-control) plugged into a fake sysfs tree, one simulator per
// download, faults mixed in, the box's memory changing between downloads.
// Counts the JSON lines the watcher prints against the distinct calls it must
// print (those that reached it untouched) and may print (all sent), and reads
// the watcher's resident
// memory, descriptors and threads from /proc.
//
//   dialscope_soak_watch CLI DEVSIM [--downloads N] [--seed S]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak/soak_calls.h"
#include "tools/devsim.h"

namespace {

using namespace dialscope;
using soak::CallsOf;
using soak::DownloadCalls;
using soak::NewCall;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Child {
    pid_t pid = -1;
    int in = -1;   // its stdin
    int out = -1;  // its stdout
};

Child Spawn(const std::vector<std::string>& argv, bool withStdin, const std::string& errFile) {
    int inPipe[2] = {-1, -1}, outPipe[2];
    if (withStdin && pipe2(inPipe, O_CLOEXEC) != 0) return {};
    if (pipe2(outPipe, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(withStdin ? inPipe[0] : open("/dev/null", O_RDONLY), 0);
        dup2(outPipe[1], 1);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) dup2(err, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (withStdin) close(inPipe[0]);
    close(outPipe[1]);
    return {pid, withStdin ? inPipe[1] : -1, outPipe[0]};
}

// Lines a child writes, read on a thread of their own.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd), thread_([this] { Run(); }) {}
    ~LineReader() {
        thread_.join();
        close(fd_);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_.size();
    }
    bool Has(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& l : lines_)
            if (l == line) return true;
        return false;
    }

private:
    void Run() {
        std::string partial;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0) {
            partial.append(buf, static_cast<size_t>(n));
            size_t at;
            while ((at = partial.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> lock(mu_);
                lines_.push_back(partial.substr(0, at));
                partial.erase(0, at + 1);
            }
        }
    }
    int fd_;
    std::mutex mu_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

long ProcField(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

std::multiset<std::string> FdTargets(pid_t pid) {
    std::multiset<std::string> out;
    std::error_code ec;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        out.insert(fs::read_symlink(it->path(), ec).string());
    return out;
}

int CountEntries(const std::string& dir) {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
    return n;
}

// The fewest descriptors seen within a quarter second: the history's
// maintenance thread holds a connection of its own only while it works.
int SettledFds(pid_t pid) {
    int fewest = 1 << 30;
    for (int i = 0; i < 50; ++i) {
        fewest = std::min(fewest, CountEntries("/proc/" + std::to_string(pid) + "/fd"));
        std::this_thread::sleep_for(5ms);
    }
    return fewest;
}

enum Fault { kClean, kNoise, kBadCrc, kWrongLetter, kHangUp, kSilence, kBusy, kFaults };
const char* const kFaultNames[] = {"clean", "noise", "bad checksum", "wrong letter", "hang-up mid-download",
                                   "short silence", "port busy"};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CLI DEVSIM [--downloads N] [--seed S]\n", argv[0]);
        return 2;
    }
    const std::string cli = argv[1], devsimPath = argv[2];
    int downloads = 300;
    uint64_t seed = 1;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--downloads") == 0) downloads = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 10);
    }
    signal(SIGPIPE, SIG_IGN);
    devsim::FakeTree tree;
    const fs::path dir = fs::temp_directory_path() / ("dialscope-soak-watch-" + std::to_string(getpid()));
    fs::create_directories(dir);
    setenv("DIALSCOPE_SYSFS_ROOT", tree.sys().c_str(), 1);
    setenv("DIALSCOPE_DEV_ROOT", tree.dev().c_str(), 1);
    const std::string errFile = (dir / "watch.err").string();
    Child watch = Spawn({cli, "--history", (dir / "calls.sqlite3").string(), "watch"}, false, errFile);
    LineReader json(watch.out);

    devsim::Rng rng(seed);
    devsim::CallLog box;
    box.labels = devsim::GenerateCallLog(1, seed).labels;
    for (int i = 0; i < 3; ++i) box.records.push_back(NewCall(rng));
    std::set<std::string> must, may;
    int faults[kFaults] = {}, sent = 0, completed = 0, restarts = 0, cuts = 0, slow = 0;
    long rssStart = -1, rssAt100 = -1;
    int fdsStart = -1, threadsStart = -1;
    std::multiset<std::string> fdsAtStart;
    double longest = 0;
    const auto started = Clock::now();

    int done = 0;
    for (; done < downloads; ++done) {
        auto& r = box.records;
        for (uint32_t drop = rng.Below(3); drop > 0 && !r.empty(); --drop) r.erase(r.begin());
        for (uint32_t add = rng.Below(3); add > 0; --add) r.push_back(NewCall(rng));
        if (!r.empty() && rng.Below(20) == 0) r.push_back(r[rng.Below(static_cast<uint32_t>(r.size()))]);
        if (r.empty()) r.push_back(NewCall(rng));
        while (r.size() > 4) r.erase(r.begin());  // two downloads at once fit in the ring
        const std::string logFile = (dir / "box.txt").string();
        std::ofstream(logFile, std::ios::binary) << devsim::FormatCallLog(box);

        const Fault fault = rng.Below(3) == 0 ? kClean : static_cast<Fault>(rng.Below(kFaults));
        ++faults[fault];
        std::vector<std::string> args = {devsimPath, "--fast", "--log", logFile, "--seed", std::to_string(rng.Below(1u << 30) + 1),
                                         "--sysfs-root", tree.sys().string(), "--dev-root", tree.dev().string()};
        const size_t frames = devsim::BuildDownloadFrames(box, devsim::kMaxFramePayload).size();
        size_t bytes = 0;
        for (const auto& f : devsim::BuildDownloadFrames(box, devsim::kMaxFramePayload)) bytes += devsim::EncodeFrame(f.frame).size();
        switch (fault) {
        case kNoise: args.insert(args.end(), {"--noise", std::to_string(rng.Between(1, 8))}); break;
        case kBadCrc: args.insert(args.end(), {"--bad-crc-frame", std::to_string(rng.Below(static_cast<uint32_t>(frames)))}); break;
        case kWrongLetter: {
            std::vector<int> data;
            const auto all = devsim::BuildDownloadFrames(box, devsim::kMaxFramePayload);
            for (size_t i = 0; i < all.size(); ++i)
                if (all[i].frame.command >= 'P' && all[i].frame.command <= '^') data.push_back(static_cast<int>(i));
            if (!data.empty())
                args.insert(args.end(), {"--wrong-letter-frame", std::to_string(data[rng.Below(static_cast<uint32_t>(data.size()))])});
            break;
        }
        case kHangUp: args.insert(args.end(), {"--hangup-after-byte", std::to_string(rng.Between(1, static_cast<uint32_t>(bytes - 1)))}); break;
        case kSilence: {
            for (size_t i = 0; i < box.records.size(); ++i)
                if (!box.records[i].text.empty()) {
                    args.insert(args.end(), {"--silence", std::to_string(i) + ":1:0.5"});
                    break;
                }
            break;
        }
        default: break;
        }
        devsim::CommandLine parsed;
        std::string error;
        std::vector<const char*> cargs;
        for (const auto& a : args) cargs.push_back(a.c_str());
        devsim::DownloadSetup setup;
        if (!devsim::ParseCommandLine(static_cast<int>(cargs.size()), cargs.data(), &parsed, &error) ||
            !devsim::PrepareDownload(parsed.sim, &setup, &error)) {
            std::fprintf(stderr, "soak-watch: download %d cannot be laid out: %s\n", done, error.c_str());
            break;
        }
        // A lost header is no download begun: the watcher asks again, and
        // the box sends its log once more. (A silence of half a second is
        // well within the watcher's patience.)
        const testing::Arrival arrival = testing::ArrivalOf(setup.frames, setup.firstPlan);
        const bool askedAgain = fault != kHangUp && !arrival.intact.front();
        const DownloadCalls calls = CallsOf(box, setup, askedAgain);
        sent += static_cast<int>(calls.may.size());
        must.insert(calls.must.begin(), calls.must.end());
        may.insert(calls.may.begin(), calls.may.end());

        args.push_back("--stdin-control");
        if (fault == kBusy) args.push_back("--start-unplugged");
        const auto begin = Clock::now();
        Child sim = Spawn(args, true, (dir / "devsim.err").string());
        LineReader events(sim.out);
        int held = -1;
        auto control = [&](const char* line) { (void)!write(sim.in, line, std::strlen(line)); };
        if (fault == kBusy) {
            // Another program holds the port with a lock when it appears.
            WaitFor([&] { for (auto& l : events.lines()) if (l.rfind("pty ", 0) == 0) return true; return false; }, 5s);
            std::string pty;
            for (auto& l : events.lines()) if (l.rfind("pty ", 0) == 0) pty = l.substr(4);
            held = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (held >= 0) flock(held, LOCK_EX | LOCK_NB);
            control("plug\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(rng.Between(200, 2500)));
            if (held >= 0) close(held);
        }
        const int wantDownloads = askedAgain ? 2 : 1;
        const bool over = WaitFor(
            [&] {
                if (fault == kHangUp) return events.Has("hangup");
                return events.Has("download " + std::to_string(wantDownloads) + " end");
            },
            30s);
        const bool counted = WaitFor([&] { return json.count() >= must.size(); }, 10s);
        const double took = std::chrono::duration<double>(Clock::now() - begin).count();
        longest = std::max(longest, took);
        if (!over || !counted) {
            ++slow;
            std::fprintf(stderr, "soak-watch: download %d (%s): %s\n", done, kFaultNames[fault],
                         !over ? "the download did not finish within 30 s" : "fewer calls printed than sent");
        }
        if (fault == kHangUp) ++cuts;
        else if (askedAgain || arrival.intact.back()) ++completed;
        restarts += askedAgain;
        std::this_thread::sleep_for(100ms);  // the download's end, and its lines, settle
        control("quit\n");
        close(sim.in);
        int status = 0;
        waitpid(sim.pid, &status, 0);
        // The watcher sees the adapter go before the next one comes.
        std::this_thread::sleep_for(300ms);
        // From the second download on: by then the history's maintenance
        // thread has run, and SQLite keeps the descriptor of its closed
        // connection for the next one (the watcher's own connection holds a
        // lock on the file all along).
        if (done == 1 || (downloads == 1 && done == 0)) {
            std::this_thread::sleep_for(500ms);
            rssStart = ProcField(watch.pid, "VmRSS:");
            fdsStart = SettledFds(watch.pid);
            fdsAtStart = FdTargets(watch.pid);
            threadsStart = CountEntries("/proc/" + std::to_string(watch.pid) + "/task");
        }
        if (done + 1 == 100 || (downloads < 100 && done == 1)) rssAt100 = ProcField(watch.pid, "VmRSS:");
        if ((done + 1) % 50 == 0) {
            std::printf("soak-watch: %d downloads, %zu lines printed, VmRSS %ld kB\n", done + 1, json.count(),
                        ProcField(watch.pid, "VmRSS:"));
            std::fflush(stdout);
        }
    }
    std::this_thread::sleep_for(1s);
    const long rssEnd = ProcField(watch.pid, "VmRSS:");
    const int fdsEnd = SettledFds(watch.pid);
    if (fdsEnd != fdsStart) {
        const auto now = FdTargets(watch.pid);
        for (const auto& t : now)
            if (now.count(t) != fdsAtStart.count(t)) std::printf("  descriptor %s: %zu at the start, %zu at the end\n", t.c_str(), fdsAtStart.count(t), now.count(t));
    }
    const int threadsEnd = CountEntries("/proc/" + std::to_string(watch.pid) + "/task");
    kill(watch.pid, SIGTERM);
    int status = 0;
    waitpid(watch.pid, &status, 0);
    const size_t lines = json.count();

    std::printf("\nsoak-watch: %d of %d downloads of the real watcher (seed %llu)\n", done, downloads,
                static_cast<unsigned long long>(seed));
    std::printf("  faults:");
    for (int f = 0; f < kFaults; ++f) std::printf(" %s %d;", kFaultNames[f], faults[f]);
    std::printf("\n  downloads completed %d, restarted %d, cut %d (as the line let them); late %d\n",
                completed, restarts, cuts, slow);
    const bool linesRight = lines >= must.size() && lines <= may.size();
    std::printf("  calls sent %d, distinct that must be printed %zu, that may be %zu, JSON lines printed %zu: %s\n",
                sent, must.size(), may.size(), lines, linesRight ? "within" : "OUTSIDE");
    std::printf("  VmRSS after the second download %ld kB, after 100 downloads %ld kB, end %ld kB: growth %ld kB\n",
                rssStart, rssAt100, rssEnd, rssEnd - rssAt100);
    std::printf("  descriptors %d -> %d, threads %d -> %d; exit status %d\n", fdsStart, fdsEnd, threadsStart, threadsEnd,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("  longest download, plug to last line: %.2f s (real)\n", longest);
    std::printf("  real time %.1f s\n", std::chrono::duration<double>(Clock::now() - started).count());
    std::printf("RESULT soak_watch_calls_missing %lld calls <=0\n",
                std::max(0ll, static_cast<long long>(must.size()) - static_cast<long long>(lines)) +
                    std::max(0ll, static_cast<long long>(lines) - static_cast<long long>(may.size())));
    std::printf("RESULT soak_watch_rss_growth %ld kB <=1024\n", rssEnd - rssAt100);
    std::printf("RESULT soak_watch_fds_left %d fds <=0\n", fdsEnd - fdsStart);
    std::printf("RESULT soak_watch_threads_left %d threads <=0\n", threadsEnd - threadsStart);
    std::error_code ec;
    if (linesRight) fs::remove_all(dir, ec);
    else std::printf("  kept for a look: %s\n", dir.c_str());
    return linesRight && fdsEnd == fdsStart && threadsEnd == threadsStart && done == downloads ? 0 : 1;
}
