// A whole download at the line's speed: the device simulator, a separate
// process paced at 5760 bytes/s, presents itself as a plugged adapter in a
// fake sysfs tree; the program (window and core, wired as the program entry
// wires them) runs in this process, finds the adapter by itself, connects
// and downloads 1,000 records.
//
// Figures:
//   download_time_vs_line   wall time from the first byte of the header frame
//                           ("download 1 start" from the simulator) to
//                           "Message read OK." in the status box, divided by
//                           the line time of the download's bytes. The last
//                           bytes wait for the next 100 ms tick, so the goal
//                           is 1.02 plus 0.2 s worth of line time.
//   download_records_lost   records of the simulator's expected log missing
//                           from the window's call log (the log must match
//                           the expected bytes exactly)
//   download_cpu_*          CPU time of this process (the program: window,
//                           core, receive thread) during the download
//
// bench_download_history is the same with the call history on, as the
// window program runs by default: every record is stored as it is rendered,
// inside the protocol tick, into a fresh history file in the scratch folder.
// Its figures are named download_history_*, and it adds
//   download_history_calls_kept   calls in the history after the download
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>

#include "bench/bench_result.h"
#if defined(DIALSCOPE_BENCH_HISTORY)
#include "history/history_store.h"
#endif
#include "bench/system_bench.h"
#include "tools/devsim.h"

extern char** environ;

namespace {

using namespace dialscope;
namespace fs = std::filesystem;

#if defined(DIALSCOPE_BENCH_HISTORY)
constexpr char kFigure[] = "download_history_";
#else
constexpr char kFigure[] = "download_";
#endif
std::string Figure(const char* name) { return kFigure + std::string(name); }

constexpr int kRecords = 1000;
constexpr uint64_t kSeed = 7;
constexpr double kLineRate = 5760.0;          // 57600 baud, 10 bits a byte
// At the generator's text lengths 1,000 records take well under a minute
// on the line; every text is made the same length, chosen so that the
// download lasts about this long.
constexpr double kTargetSeconds = 75.0;

// The generated log with every text repeated or cut to `length` bytes; the
// tone-only records stay tone-only, and the texts keep the generator's mix of
// zero bytes, CR LF pairs, high bytes and 0x7E runs.
devsim::CallLog TextsOfLength(const devsim::CallLog& generated, size_t length) {
    devsim::CallLog log = generated;
    for (devsim::CallRecord& r : log.records) {
        if (r.text.empty()) continue;
        std::string text;
        while (text.size() < length) text += r.text;
        text.resize(length);
        r.text = text;
    }
    return log;
}

size_t DownloadBytes(const devsim::CallLog& log) {
    devsim::SimOptions o;
    o.log = log;
    devsim::DownloadSetup setup;
    std::string error;
    if (!devsim::PrepareDownload(o, &setup, &error)) {
        std::fprintf(stderr, "bench_download: %s\n", error.c_str());
        std::exit(1);
    }
    return setup.firstPlan.bytes;
}

// The longest text length whose download still fits in kTargetSeconds.
size_t ChooseTextLength(const devsim::CallLog& generated) {
    const size_t target = static_cast<size_t>(kTargetSeconds * kLineRate);
    size_t lo = 1, hi = devsim::kMaxShownText;
    while (lo < hi) {
        size_t mid = (lo + hi + 1) / 2;
        if (DownloadBytes(TextsOfLength(generated, mid)) <= target) lo = mid;
        else hi = mid - 1;
    }
    return lo;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The simulator's stdout, one event a line, stamped as it arrives.
class SimulatorEvents {
public:
    explicit SimulatorEvents(int fd) : fd_(fd), thread_([this] { Read(); }) {}
    ~SimulatorEvents() {
        thread_.join();
        close(fd_);
    }
    double startAt() const { return startAt_.load(); }
    double startCpu() const { return startCpu_.load(); }
    double endAt() const { return endAt_.load(); }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }

private:
    void Read() {
        std::string pending;
        char buf[512];
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                Line(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
    }
    void Line(const std::string& line) {
        const double at = bench::Now();
        if (line == "download 1 start") {
            startCpu_ = bench::ProcessCpuSeconds();
            startAt_ = at;
        } else if (line == "download 1 end") {
            endAt_ = at;
        }
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(line);
    }

    int fd_;
    std::atomic<double> startAt_{0}, startCpu_{0}, endAt_{0};
    std::mutex mu_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

// Records of `expected` (in order) found in `shown`.
int RecordsFound(const std::vector<std::string>& expected, const std::string& shown) {
    int found = 0;
    size_t at = 0;
    for (const std::string& r : expected) {
        size_t pos = shown.find(r, at);
        if (pos == std::string::npos) continue;
        ++found;
        at = pos + r.size();
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    bench::UseOffscreenPlatformByDefault();
    bench::ScratchDir scratch("bench-download");
    const std::string dir = scratch.path();
    bench::MakeEmptyFakeTree(dir);

    const devsim::CallLog generated = devsim::GenerateCallLog(kRecords, kSeed);
    const size_t textLength = ChooseTextLength(generated);
    const devsim::CallLog log = TextsOfLength(generated, textLength);
    const size_t bytes = DownloadBytes(log);
    const double lineSeconds = static_cast<double>(bytes) / kLineRate;
    const auto toneOnly = std::count_if(log.records.begin(), log.records.end(),
                                        [](const devsim::CallRecord& r) { return r.text.empty(); });
    std::printf("download of %d records (%ld tone only, the others with %zu text bytes each): "
                "%zu bytes on the line, %.1f s at %g bytes/s\n",
                kRecords, static_cast<long>(toneOnly), textLength, bytes, lineSeconds, kLineRate);
    std::fflush(stdout);

    const std::string logPath = dir + "/calls.txt";
    const std::string expectPath = dir + "/expected.txt";
    const std::string errPath = dir + "/devsim.err";
    if (!WriteFile(logPath, devsim::FormatCallLog(log))) {
        std::fprintf(stderr, "bench_download: cannot write %s\n", logPath.c_str());
        return 1;
    }

    // The simulator as its own process, so that this process's CPU time is
    // the program's alone.
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string sys = dir + "/sys", dev = dir + "/dev";
    std::vector<std::string> args = {DIALSCOPE_DEVSIM_PATH, "--log", logPath, "--expect", expectPath,
                                     "--sysfs-root", sys, "--dev-root", dev};
    std::vector<char*> argvSim;
    for (std::string& a : args) argvSim.push_back(a.data());
    argvSim.push_back(nullptr);
    pid_t sim = -1;
    int rc = posix_spawn(&sim, DIALSCOPE_DEVSIM_PATH, &actions, nullptr, argvSim.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        std::fprintf(stderr, "bench_download: cannot start %s: %s\n", DIALSCOPE_DEVSIM_PATH, std::strerror(rc));
        return 1;
    }
    auto events = std::make_unique<SimulatorEvents>(out[0]);

    // The adapter is in the tree before the program starts, as when it is
    // plugged in before the program is.
    const double plugDeadline = bench::Now() + 10;
    while (!fs::exists(sys + "/class/tty/ttyUSB0") && bench::Now() < plugDeadline) usleep(10000);
    bench::UseFakeTree(dir);

    double readOkAt = 0, readOkCpu = 0;
    [[maybe_unused]] int64_t callsKept = 0;
    std::string shown;
    {
        int qtArgc = 1;
        QApplication app(qtArgc, argv);
        bench::Program program;
#if defined(DIALSCOPE_BENCH_HISTORY)
        std::string problem;
        auto history = history::CallHistory::Open(dir + "/calls.sqlite3", &problem);
        if (!history) {
            std::fprintf(stderr, "bench_download: %s\n", problem.c_str());
            return 1;
        }
        history::HistoryStore store(std::move(history));
        program.core().AttachStore(&store);
#endif
        program.window().show();

        auto* info = program.window().findChild<QPlainTextEdit*>(QStringLiteral("memo_info"));
        QObject::connect(info, &QPlainTextEdit::textChanged, &app, [&] {
            if (readOkAt == 0 && info->document()->lastBlock().text() == QLatin1String("Message read OK.")) {
                readOkCpu = bench::ProcessCpuSeconds();
                readOkAt = bench::Now();
                QTimer::singleShot(0, &app, &QApplication::quit);
            }
        });
        // A download that never ends is reported, not waited for.
        QTimer::singleShot(static_cast<int>((2 * lineSeconds + 60) * 1000), &app, &QApplication::quit);
        app.exec();
        shown = program.core().callLog().Bytes();
#if defined(DIALSCOPE_BENCH_HISTORY)
        program.core().AttachStore(nullptr);
        callsKept = store.history().CountCalls();
#endif
    }

    kill(sim, SIGTERM);
    int status = 0;
    waitpid(sim, &status, 0);
    const double startAt = events->startAt(), startCpu = events->startCpu();
    events.reset();   // the pipe closes with the simulator

    const std::string expectedBytes = ReadFile(expectPath);
    std::vector<std::string> expectedRecords;
    for (size_t i = 0; i < log.records.size(); ++i)
        expectedRecords.push_back(devsim::RenderRecord(static_cast<int>(i) + 1, log.labels, log.records[i]));
    const int found = RecordsFound(expectedRecords, shown);
    std::printf("simulator: %s", ReadFile(errPath).c_str());
    std::printf("call log: %zu bytes shown, %zu expected, %s\n", shown.size(), expectedBytes.size(),
                !expectedBytes.empty() && shown == expectedBytes ? "identical" : "DIFFERENT");

    using bench::PrintResult;
    PrintResult(Figure("bytes"), static_cast<double>(bytes), "bytes");
    PrintResult(Figure("line_time"), lineSeconds, "s");
    if (startAt == 0 || readOkAt == 0) {
        std::printf("the download %s\n", startAt == 0 ? "never started" : "never ended with \"Message read OK.\"");
        PrintResult(Figure("time_vs_line"), -1, "failed", "<=1.02");
        PrintResult(Figure("records_lost"), kRecords - found, "records", "<=0");
        return 1;
    }
    const double wall = readOkAt - startAt;
    const double cpu = readOkCpu - startCpu;
    PrintResult(Figure("wall_time"), wall, "s");
    // 1.02 of the line time, plus 0.2 s for the last tick's wait.
    char goal[32];
    std::snprintf(goal, sizeof goal, "<=%.4f", 1.02 + 0.2 / lineSeconds);
    PrintResult(Figure("time_vs_line"), wall / lineSeconds, "ratio", goal);
    PrintResult(Figure("records_lost"), kRecords - found, "records", "<=0");
    PrintResult(Figure("log_identical"), shown == expectedBytes ? 1 : 0, "bool", ">=1");
    PrintResult(Figure("cpu_time"), cpu, "s");
    PrintResult(Figure("cpu_share"), 100.0 * cpu / wall, "%core");
#if defined(DIALSCOPE_BENCH_HISTORY)
    PrintResult(Figure("calls_kept"), static_cast<double>(callsKept), "calls", ">=" + std::to_string(kRecords));
#endif
    return 0;
}
