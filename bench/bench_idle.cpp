// The program left alone with no adapter on the machine (an empty fake sysfs
// tree): what it costs to sit there. It runs 10 s after start-up has
// settled; only the 100 ms protocol tick should wake it, and with no port
// open there is no receive thread to wake.
//
// Figures: idle_cpu (share of one core), idle_receive_wakeups and
// idle_receive_thread (both 0 without a port), and for information the
// process's threads and its context switches a second.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <QApplication>
#include <QTimer>

#include "bench/bench_result.h"
#include "bench/system_bench.h"

namespace {

constexpr int kSettleMs = 1000;
constexpr int kIdleMs = 10000;

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    using namespace dialscope;
    bench::UseOffscreenPlatformByDefault();
    bench::ScratchDir scratch("bench-idle");
    bench::MakeEmptyFakeTree(scratch.path());
    bench::UseFakeTree(scratch.path());

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    bench::Program program;
    program.window().show();

    double cpu0 = 0, at0 = 0, cpu1 = 0, at1 = 0;
    uint64_t switches0 = 0, switches1 = 0, wakeups0 = 0;
    QTimer::singleShot(kSettleMs, &app, [&] {
        wakeups0 = program.core().serial().receiveWakeups();
        switches0 = bench::ContextSwitches();
        cpu0 = bench::ProcessCpuSeconds();
        at0 = bench::Now();
        QTimer::singleShot(kIdleMs, &app, [&] {
            cpu1 = bench::ProcessCpuSeconds();
            at1 = bench::Now();
            switches1 = bench::ContextSwitches();
            app.quit();
        });
    });
    app.exec();

    const double seconds = at1 - at0;
    const uint64_t wakeups = program.core().serial().receiveWakeups() - wakeups0;
    const bool receiving = program.core().serial().receiveRunning();
    const bool portOpen = program.core().serial().portOpen();
    std::printf("idle for %.2f s, port %s; threads:", seconds, portOpen ? "OPEN" : "closed");
    for (const std::string& name : bench::ThreadNames()) std::printf(" [%s]", name.c_str());
    std::printf("\n");

    using bench::PrintResult;
    PrintResult("idle_cpu", 100.0 * (cpu1 - cpu0) / seconds, "%core", "<=0.5");
    PrintResult("idle_receive_wakeups", static_cast<double>(wakeups), "wakeups", "<=0");
    PrintResult("idle_receive_thread", receiving ? 1 : 0, "running", "<=0");
    PrintResult("idle_threads", static_cast<double>(bench::ThreadNames().size()), "threads");
    PrintResult("idle_context_switches", static_cast<double>(switches1 - switches0) / seconds, "per_s");
    return 0;
}
