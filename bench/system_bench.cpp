#include "bench/system_bench.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <time.h>

#include "app/qt/message_boxes.h"
#include "tools/fake_adapter.h"

namespace dialscope::bench {

namespace fs = std::filesystem;

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto sec = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

namespace {

long StatusField(const std::string& path, const std::string& field) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
    }
    return -1;
}

}  // namespace

long ProcStatusKb(const char* field) {
    return StatusField("/proc/self/status", std::string(field) + ":");
}

std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/task", ec)) {
        std::ifstream in(entry.path() / "comm");
        std::string name;
        std::getline(in, name);
        names.push_back(name);
    }
    return names;
}

uint64_t ContextSwitches() {
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/task", ec)) {
        const std::string status = (entry.path() / "status").string();
        for (const char* f : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            long n = StatusField(status, f);
            if (n > 0) total += static_cast<uint64_t>(n);
        }
    }
    return total;
}

void UseOffscreenPlatformByDefault() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
}

ScratchDir::ScratchDir(const char* tag) {
    std::string pattern = std::string("/tmp/dialscope-") + tag + ".XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void MakeEmptyFakeTree(const std::string& dir) {
    std::string error;
    if (!devsim::MakeEmptyTree(dir + "/sys", dir + "/dev", &error)) throw std::runtime_error(error);
}

void UseFakeTree(const std::string& dir) {
    setenv("DIALSCOPE_SYSFS_ROOT", (dir + "/sys").c_str(), 1);
    setenv("DIALSCOPE_DEV_ROOT", (dir + "/dev").c_str(), 1);
}

Program::Program() : window_(std::make_unique<qt::TForm1>()) {
    core_ = std::make_unique<Core>(*window_,
                                   SystemPlatform(nullptr, [](const char*, const char*) { ShowPortAlreadyOpenedBox(); }));
    window_->Attach(*core_);
    core_->Start();
}

Program::~Program() {
    core_.reset();
    window_.reset();
}

}  // namespace dialscope::bench
