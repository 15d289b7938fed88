// Start-up: from the moment the process is started to the main window shown
// (its first expose handled, which paints the whole window and hands it to
// the screen), and the peak memory by then (VmHWM).
//
// The bench starts itself again as the program ("--child"): the parent takes
// the time just before the spawn, so loading Qt and the dynamic linker's
// work are counted. The child builds the program as the program entry does,
// with no adapter on the machine (an empty fake sysfs tree), and reports
// when its window has been shown. Five runs; the median is the figure.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <QApplication>
#include <QTimer>
#include <QWindow>

#include "bench/bench_result.h"
#include "bench/system_bench.h"

extern char** environ;

namespace {

using namespace dialscope;

constexpr int kRuns = 5;
const char kT0[] = "DIALSCOPE_BENCH_SPAWNED_AT";

double mainEnteredAt = 0;

// Notes when the main window's first expose has been handled.
class App : public QApplication {
public:
    using QApplication::QApplication;
    QWindow* watched = nullptr;
    double shownAt = 0;
    bool notify(QObject* receiver, QEvent* event) override {
        const bool expose = shownAt == 0 && watched && receiver == watched && event->type() == QEvent::Expose;
        const bool result = QApplication::notify(receiver, event);
        if (expose && watched->isExposed()) {
            shownAt = bench::Now();
            QTimer::singleShot(0, this, &QApplication::quit);
        }
        return result;
    }
};

int Child(char** argv) {
    const char* t0 = std::getenv(kT0);
    const double spawnedAt = t0 ? std::strtod(t0, nullptr) : mainEnteredAt;
    bench::ScratchDir scratch("bench-startup");
    bench::MakeEmptyFakeTree(scratch.path());
    bench::UseFakeTree(scratch.path());

    int qtArgc = 1;
    App app(qtArgc, argv);
    bench::Program program;
    program.window().show();
    app.watched = program.window().windowHandle();
    QTimer::singleShot(10000, &app, &QApplication::quit);
    app.exec();
    if (app.shownAt == 0) return 1;
    std::printf("child %.6f %.6f %ld\n", app.shownAt - spawnedAt, app.shownAt - mainEnteredAt,
                bench::ProcStatusKb("VmHWM"));
    return 0;
}

struct Run {
    double fromSpawn = 0, fromMain = 0;
    long peakKb = 0;
};

bool RunChild(const char* self, Run* run) {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* args[] = {const_cast<char*>(self), const_cast<char*>("--child"), nullptr};
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%.9f", bench::Now());
    setenv(kT0, stamp, 1);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, self, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return false;
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(text.c_str(), "child %lf %lf %ld", &run->fromSpawn, &run->fromMain, &run->peakKb) == 3;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    mainEnteredAt = bench::Now();
    bench::UseOffscreenPlatformByDefault();
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return Child(argv);

    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    std::vector<double> fromSpawn, fromMain, peak;
    for (int i = 0; i < kRuns; ++i) {
        Run run;
        if (!RunChild(self, &run)) {
            std::printf("start-up run %d failed\n", i + 1);
            bench::PrintResult("startup_to_window_shown", -1, "failed");
            return 1;
        }
        std::printf("run %d: %.1f ms from spawn, %.1f ms from main, VmHWM %ld kB\n", i + 1,
                    run.fromSpawn * 1e3, run.fromMain * 1e3, run.peakKb);
        fromSpawn.push_back(run.fromSpawn * 1e3);
        fromMain.push_back(run.fromMain * 1e3);
        peak.push_back(static_cast<double>(run.peakKb) / 1024.0);
    }
    using bench::PrintResult;
    PrintResult("startup_to_window_shown", Median(fromSpawn), "ms");
    PrintResult("startup_main_to_window_shown", Median(fromMain), "ms");
    PrintResult("startup_peak_memory", Median(peak), "MB");
    return 0;
}
