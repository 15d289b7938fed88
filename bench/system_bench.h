// Pieces the system benchmarks share: the whole program (window and core,
// wired as the program entry wires them) inside the bench process, a
// scratch directory with an empty fake sysfs tree, and the process's own
// clocks and counters read from the kernel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core.h"
#include "app/qt/main_window.h"

namespace dialscope::bench {

// Seconds on the monotonic clock.
double Now();
// User plus system CPU time of this whole process (every thread), seconds.
double ProcessCpuSeconds();
// A "VmHWM:"-style field of /proc/self/status in kB; -1 when missing.
long ProcStatusKb(const char* field);
// Threads of this process, with their names.
std::vector<std::string> ThreadNames();
// Voluntary plus involuntary context switches of every thread so far.
uint64_t ContextSwitches();

// Qt without a display: the offscreen platform unless one is chosen already.
void UseOffscreenPlatformByDefault();

// A directory under /tmp, removed with everything in it on destruction.
class ScratchDir {
public:
    explicit ScratchDir(const char* tag);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// <dir>/sys with empty class/tty and bus/usb/devices, and an empty <dir>/dev:
// a machine with no adapter. The program is pointed at them through
// DIALSCOPE_SYSFS_ROOT and DIALSCOPE_DEV_ROOT (set for this process).
void MakeEmptyFakeTree(const std::string& dir);
void UseFakeTree(const std::string& dir);

// The program as its entry builds it: the window, the core on the
// system's platform attached to the window, started. Needs a QApplication.
class Program {
public:
    Program();
    ~Program();
    qt::TForm1& window() { return *window_; }
    Core& core() { return *core_; }

private:
    std::unique_ptr<qt::TForm1> window_;
    std::unique_ptr<Core> core_;      // goes first: it shows through the window
};

}  // namespace dialscope::bench
