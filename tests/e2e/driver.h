// Runs the Core the way the window runs it, on a virtual clock.
//
// Each Step() moves Core's clock on by 100 ms and hands Core the new time,
// as a window's wake-up would: the protocol tick comes every step, the
// supervisor 500 ms after its timer was (re)started; hot-plug events are
// handled between steps.
//
// The simulated device and the receive thread run in real time, the ticks do
// not. A tick therefore never runs on a line that is still busy: before every
// tick the driver waits until the line is quiet (the simulator has nothing
// queued and every byte it wrote on the open line is stored in the port's
// receive ring) or until the receive thread has raised its pending flag, so a tick counts as silent
// only when the device really is silent. After every command the program
// sends, the driver waits until the simulator has received it (and the next
// tick waits for its answer), so the supervisor judges the probe by what the
// device sent, not by how the threads were scheduled. Every wait has a
// deadline and fails the test with what it saw.
//
// Idle time-outs (41 silent ticks) cost no real time. The ring holds 2047
// unread bytes whatever the clock: the driver reports an overflow the moment
// it sees one (see LineRateOptions).
#pragma once

#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/core.h"
#include "ports/registry_reader.h"
#include "ports/device_events_linux.h"
#include "ports/registry_sysfs.h"
#include "protocol/protocol.h"
#include "serial/rx_ring.h"
#include "tests/support/fakes.h"
#include "tools/devsim.h"

namespace dialscope::e2e {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous: a wait that needs more than this has hung.
inline constexpr std::chrono::milliseconds kWaitLimit = 10000ms;

// Polls `done` until it holds or `limit` passes.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

// ------------------------------------------------------------ process counts

inline int CountDirEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        closedir(d);
    }
    return n;
}

// Open descriptors, not counting the one that lists them.
inline int CountOpenFds() { return CountDirEntries("/proc/self/fd") - 1; }

// Threads of this process. A sanitizer may start a helper thread with the
// first thread the process makes, so one is started and joined first.
inline int CountThreads() {
    std::thread([] {}).join();
    return CountDirEntries("/proc/self/task");
}

// The names of this process's threads (their comm), sorted.
inline std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string name;
            if (FILE* f = fopen(("/proc/self/task/" + std::string(e->d_name) + "/comm").c_str(), "r")) {
                char buf[64] = {};
                if (fgets(buf, sizeof buf, f)) name = buf;
                fclose(f);
            }
            while (!name.empty() && name.back() == '\n') name.pop_back();
            names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ------------------------------------------------------------ test fixtures

// A temporary fake sysfs root and /dev stand-in, empty until an adapter is
// plugged into them.
using devsim::FakeTree;

// Sets an environment variable for the life of the guard. Set it before any
// thread starts and let the guard go after they have all ended.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old, had_ = true;
        setenv(name, value.c_str(), 1);
    }
    ~EnvGuard() {
        if (had_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// The simulator's event lines, collected from its thread.
class SimEvents {
public:
    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& line) { Add(line); };
    }
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(line);
        if (line.rfind("status ", 0) == 0) ++statuses_;
        if (line.rfind("pause ", 0) == 0) paused_ = true;
        else if (line == "resume" || line == "unplugged" || line == "exit") paused_ = false;
    }
    // Inside a silence the device was told to keep.
    bool paused() const {
        std::lock_guard<std::mutex> lock(mu_);
        return paused_;
    }
    // Answers to the "status" control so far.
    int statuses() const {
        std::lock_guard<std::mutex> lock(mu_);
        return statuses_;
    }
    int Count(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mu_);
        int n = 0;
        for (const auto& l : lines_) n += l == line;
        return n;
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }

private:
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
    bool paused_ = false;
    int statuses_ = 0;
};

inline int CountLines(const std::vector<std::string>& lines, const std::string& line) {
    int n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
}

// ------------------------------------------------------------ the driver

// The clock Core's timers run on in a test: it moves only when the driver
// steps.
struct VirtualClock {
    TimerTable::TimePoint now{};
    TimerTable::NowFn Fn() {
        return [this] { return now; };
    }
};

class Driver {
public:
    // Ticks of the supervisor's timer per protocol tick: 500 ms / 100 ms.
    static constexpr int kWatchEvery = 5;
    static constexpr auto kStep = TimerTable::Interval(Timer::time_com);

    Driver(Core& core, testing::FakeView& window, VirtualClock& clock)
        : core_(core), window_(window), clock_(clock) {
        lastHead_ = core_.serial().ring().head();
    }

    // The device on the line (null: none). Ends the bookkeeping of the line
    // before it: another simulator's byte counts mean nothing here.
    void Attach(devsim::Simulator* sim, const SimEvents* events = nullptr) {
        sim_ = sim;
        events_ = events;
        lineOpen_ = false;
        Observe(sim_ ? sim_->BytesSent() : 0, SampleHead());
    }

    // The program's start-up, as the window's entry runs it.
    void StartUp() {
        Act([&] {
            try {
                core_.Start();
            } catch (const RegistryError& e) {
                ADD_FAILURE() << "registry error at start-up: " << e.what();
            }
        });
    }

    // Anything the test does to the core outside the ticks (opening a port
    // itself, sending a command), with the same bookkeeping as a tick.
    void Do(const std::function<void()>& action) { Act(action); }

    // One 100 ms step of virtual time.
    void Step() {
        clock_.now += kStep;
        HandleDeviceEvents();
        // Each due tick gets the bookkeeping of an action of its own; the
        // table asks before each body whether it may run.
        bool acting = false;
        uint64_t sent = 0, stored = 0;
        size_t commands = 0;
        bool comTick = false;
        auto finish = [&] {
            if (!acting) return;
            acting = false;
            EndAct(sent, stored, commands);
            if (comTick) {
                // The tick may have parsed more than a lap of the ring while
                // the receive thread kept storing; what is left unread is exact.
                consumed_ = SampleHead() - static_cast<uint64_t>(core_.serial().Unread());
                ++comTicks_;
                comTick = false;
            }
        };
        auto ready = [&](Timer timer) {
            finish();
            switch (timer) {
            case Timer::time_com:
                AwaitLine();
                comTick = true;
                break;
            case Timer::watch_serial:
                // A supervisor tick that may open a port (between attempts) waits for
                // a quiet line with nothing on its way, so the new line's
                // byte count starts clean; while a download streams in on a
                // port already open it runs at the first step that finds the
                // line quiet.
                if (BetweenAttempts() && !(LineQuiet() && DeviceIdle())) return false;
                ++watchTicks_;
                break;
            case Timer::AutoDisp: ++autoDispTicks_; break;
            }
            BeginAct(&sent, &stored, &commands);
            acting = true;
            return true;
        };
        core_.RunDue(clock_.now, ready);
        finish();
        // Within a silence the device keeps, let real time pass as well, so
        // that the silence ends after a bounded number of steps.
        if (events_ && events_->paused()) std::this_thread::sleep_for(1ms);
        ++step_;
    }

    void Steps(int n) {
        for (int i = 0; i < n && !::testing::Test::HasFatalFailure(); ++i) Step();
    }

    // Steps until `done` holds; false (and a failure naming `what`) when
    // `maxSteps` steps or a minute of real time pass first.
    bool StepUntil(const std::function<bool()>& done, const std::string& what, int maxSteps = 20000) {
        const auto deadline = Clock::now() + 60s;
        for (int i = 0; i < maxSteps && !broken_; ++i) {
            if (done()) return true;
            if (Clock::now() > deadline) break;
            Step();
        }
        if (done()) return true;
        Fail("gave up waiting for: " + what);
        return false;
    }

    // Waits, without ticking, until the line is quiet.
    bool Settle(const std::string& why) {
        if (!broken_ && WaitFor([&] { return LineQuiet(); })) return true;
        Fail("the line did not settle (" + why + ")");
        return false;
    }

    // The line is quiet: the device has nothing on its way to the ring.
    bool LineQuiet() {
        SampleHead();
        CheckOverflow();
        if (!sim_) return true;
        if (Clock::now() < settleUntil_) return false;
        if (!LineLive()) return true;  // nothing more can reach the ring
        if (!DeviceIdle()) return false;
        // Bytes stored but not yet flagged: the receive thread is between
        // its store and its raise of the pending flag.
        if (core_.serial().Unread() > 0 && !core_.serial().ring().pending()) return false;
        return sim_->BytesSent() - sentBase_ == stored_ - storedBase_;
    }

    // The device has nothing left to send, or keeps a silence.
    bool DeviceIdle() const {
        return !sim_ || sim_->QueuedBytes() == 0 || (events_ && events_->paused());
    }

    // The port is open on the simulator's current pseudo-terminal and its
    // receive thread still reads it.
    bool LineLive() const {
        return lineOpen_ && sim_ && core_.serial().portOpen() && core_.serial().receiveRunning() &&
               sim_->Plugged() && sim_->SlavePath() == linePath_;
    }

    std::string Describe() {
        std::ostringstream o;
        const Protocol& protocol = core_.protocol();
        const Supervisor& supervisor = core_.supervisor();
        o << "  step " << step_ << ", com ticks " << comTicks_ << ", watch ticks " << watchTicks_
          << ", watch_serial " << (watchRunning() ? "running" : "stopped") << "\n"
          << "  download " << (protocol.downloading() ? "running" : "none")
          << (protocol.stalled() ? " (stalled)" : "") << ", device "
          << (protocol.DeviceAnswered() ? "answered" : "not answered") << ", supervisor "
          << (supervisor.handedOver() ? "handed over" : supervisor.probing() ? "probing" : "between attempts")
          << " on [" << supervisor.portName() << "]\n"
          << "  port " << (core_.serial().portOpen() ? "open" : "closed") << ", receive thread "
          << (core_.serial().receiveRunning() ? "running" : "not running") << ", line "
          << (lineOpen_ ? linePath_ : std::string("-")) << "\n"
          << "  bytes stored " << stored_ << ", consumed " << consumed_ << ", records shown " << window_.records
          << "\n";
        if (sim_ && lineOpen_) {
            const uint64_t sent = sim_->BytesSent() - sentBase_, stored = stored_ - storedBase_;
            if (sent > stored && (sent - stored) % kRxRingSize == 0 && sim_->QueuedBytes() == 0)
                o << "  the device sent whole laps of the ring more than were counted: the ring overflowed\n";
        }
        if (sim_) {
            o << "  device: " << (sim_->Plugged() ? "plugged" : "unplugged") << " on " << sim_->SlavePath()
              << ", sent " << sim_->BytesSent() << " (" << sim_->BytesSent() - sentBase_ << " on this line, "
              << stored_ - storedBase_ << " stored), queued " << sim_->QueuedBytes() << ", downloads "
              << sim_->DownloadsStarted() << "/" << sim_->DownloadsCompleted() << ", commands ";
            for (uint8_t c : sim_->CommandsReceived()) o << static_cast<char>(c);
            o << "\n";
        }
        o << "  status:";
        for (const auto& line : window_.status) o << " [" << line << "]";
        return o.str();
    }

    // Drops the view's status lines seen so far, so that a run of thousands
    // of downloads keeps no growing record of them.
    void ForgetViewHistory() { window_.status.clear(); }

    int64_t step() const { return step_; }
    int comTicks() const { return comTicks_; }
    int watchTicks() const { return watchTicks_; }
    int autoDispTicks() const { return autoDispTicks_; }
    int deviceEvents() const { return deviceEvents_; }
    bool watchRunning() const { return core_.timerRunning(Timer::watch_serial); }
    bool overflowed() const { return overflowed_; }
    bool broken() const { return broken_; }
    // Bytes the ticks have taken from the ring so far.
    uint64_t bytesConsumed() const { return consumed_; }

    // The supervisor's next tick may open a port: it neither probes one nor
    // has handed one over.
    bool BetweenAttempts() const { return !core_.supervisor().probing() && !core_.supervisor().handedOver(); }

private:
    template <class F>
    void Act(F&& action) {
        uint64_t sent, stored;
        size_t commands;
        BeginAct(&sent, &stored, &commands);
        action();
        EndAct(sent, stored, commands);
    }
    void BeginAct(uint64_t* sent, uint64_t* stored, size_t* commands) {
        *sent = sim_ ? sim_->BytesSent() : 0;
        *stored = SampleHead();
        *commands = sim_ ? sim_->CommandsReceived().size() : 0;
        // Whether this action sent a command.
        framesBefore_ = core_.serial().framesWritten();
    }
    void EndAct(uint64_t sent, uint64_t stored, size_t commands) {
        SampleHead();
        Observe(sent, stored);
        if (core_.serial().framesWritten() != framesBefore_) AwaitCommand(commands);
    }

    // A command written to a live line reaches the device; wait for that,
    // and then until the device has queued its answer, if it gives one. The
    // simulator takes control lines only between two turns of its loop, so
    // once it has answered a "status" sent after the command arrived, it has
    // finished with the command.
    void AwaitCommand(size_t before) {
        if (!sim_ || !LineLive() || broken_) return;  // lost, as on a closed or dead line
        if (!WaitFor([&] { return sim_->CommandsReceived().size() > before || !LineLive(); })) {
            Fail("the device never received the program's command");
            return;
        }
        if (!events_) {
            settleUntil_ = Clock::now() + 20ms;
            return;
        }
        const int answered = events_->statuses();
        sim_->Control("status");
        if (!WaitFor([&] { return events_->statuses() > answered || !LineLive(); }))
            Fail("the device did not finish with the program's command");
    }

    // Before a tick: wait until the line is quiet or bytes are flagged.
    void AwaitLine() {
        auto ready = [&] { return core_.serial().ring().pending() || LineQuiet(); };
        if (!broken_ && !WaitFor(ready)) Fail("the line neither settled nor delivered bytes");
    }

    void HandleDeviceEvents() {
        const int fd = core_.deviceEventFd();
        if (fd < 0) return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return;
        for (const DeviceEvent& event : core_.ReadDeviceEvents()) {
            ++deviceEvents_;
            Act([&] {
                try {
                    core_.DeviceChange(event);
                } catch (const RegistryError& e) {
                    ADD_FAILURE() << "registry error on a device change: " << e.what();
                }
            });
        }
    }

    // Notices the port opening or closing; a newly opened line starts its
    // byte counts from where they stood before the action that opened it.
    void Observe(uint64_t sentBefore, uint64_t storedBefore) {
        const SerialPort& port = core_.serial();
        if (!port.portOpen()) {
            lineOpen_ = false;
            return;
        }
        if (lineOpen_ && port.nativeHandle() == lineFd_) return;
        lineOpen_ = true;
        lineFd_ = static_cast<int>(port.nativeHandle());
        linePath_ = FdTarget(lineFd_);
        sentBase_ = sentBefore;
        storedBase_ = storedBefore;
    }

    static std::string FdTarget(int fd) {
        char buf[512];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    // Bytes stored in the ring so far, counted from its head's movements.
    uint64_t SampleHead() {
        const int32_t head = core_.serial().ring().head();
        stored_ += static_cast<uint64_t>((head - lastHead_ + kRxRingSize) % kRxRingSize);
        lastHead_ = head;
        return stored_;
    }

    // The first failure stops all further waiting: the test ends quickly
    // with the state at the moment things went wrong.
    void Fail(const std::string& what) {
        if (broken_) return;
        broken_ = true;
        ADD_FAILURE() << what << "\n" << Describe();
    }

    // Between ticks nothing is consumed, so a count of unread bytes above
    // the ring's capacity is certain.
    void CheckOverflow() {
        if (overflowed_ || stored_ - consumed_ < static_cast<uint64_t>(kRxRingSize)) return;
        overflowed_ = true;
        Fail("the receive ring overflowed: " + std::to_string(stored_ - consumed_) +
             " unread bytes (the device ran too far ahead of the ticks)");
    }

    Core& core_;
    testing::FakeView& window_;
    VirtualClock& clock_;
    devsim::Simulator* sim_ = nullptr;
    const SimEvents* events_ = nullptr;

    int64_t step_ = 0;
    int comTicks_ = 0, watchTicks_ = 0, autoDispTicks_ = 0, deviceEvents_ = 0;

    int32_t lastHead_ = 0;
    uint64_t stored_ = 0, consumed_ = 0;
    // Frames the port had been handed when the current action began.
    uint64_t framesBefore_ = 0;
    bool overflowed_ = false;
    bool broken_ = false;

    bool lineOpen_ = false;
    int lineFd_ = -1;
    std::string linePath_;
    uint64_t sentBase_ = 0, storedBase_ = 0;
    Clock::time_point settleUntil_{};
};

// ------------------------------------------------------------ a whole program

// How the simulated device writes, so that the receive ring (2047 unread bytes) never
// overflows for the test's sake. The receive thread moves whatever the pty
// holds into the ring and raises its pending flag only once the pty is empty, so a
// device that writes faster than the line gives the ticks less time to keep
// up than the program ever has; a busy machine that holds up a tick, the
// receive thread or the kernel's pty worker then laps the ring.
//
// At the line's rate: the margin is the program's own (about 350 ms). An
// overflow then means the program itself would lose bytes on this machine.
inline devsim::SimOptions LineRateOptions(devsim::CallLog log) {
    devsim::SimOptions o;
    o.log = std::move(log);
    return o;
}

// As fast as the pty takes bytes, for logs whose whole download fits in the
// ring: the ring is empty when a download starts (the ticks before it drain
// it), so nothing can be lost whatever the threads do.
inline devsim::SimOptions FastOptions(devsim::CallLog log) {
    devsim::SimOptions o;
    o.log = std::move(log);
    o.fast = true;
    return o;
}

// Bytes of one download of `o` on the line, noise left out.
inline size_t DownloadBytes(const devsim::SimOptions& o) {
    size_t bytes = 0;
    for (const auto& f : devsim::BuildDownloadFrames(o.log, o.framePayload)) bytes += devsim::EncodeFrame(f.frame).size();
    return bytes;
}

// Every download of `o`, with the most noise it can have, is shorter than the ring.
inline bool DownloadFitsInRing(const devsim::SimOptions& o) {
    const size_t gaps = devsim::BuildDownloadFrames(o.log, o.framePayload).size();
    return DownloadBytes(o) + gaps * static_cast<size_t>(o.faults.noiseMax) < static_cast<size_t>(kRxRingSize);
}

// The core as the program builds it, a recording view and the driver. With
// a tree the registry view and the hot-plug watcher look at that tree;
// without one they are the system's (the environment decides).
struct Rig {
    explicit Rig(const FakeTree* tree) : core(window, MakePlatform(tree)), driver(core, window, clock) {}

    int Status(const std::string& line) const { return CountLines(window.status, line); }
    const std::string& logText() const { return core.callLog().Bytes(); }

    Platform MakePlatform(const FakeTree* tree) {
        auto warn = [this](const char* text, const char*) { warnings.emplace_back(text); };
        if (!tree) {
            Platform p = SystemPlatform(nullptr, warn);
            p.clock = clock.Fn();
            return p;
        }
        Platform p;
        p.clock = clock.Fn();
        p.registry = MakeSysfsRegistryFactory(tree->sys());
        p.deviceEvents = MakeHotplugSource(tree->sys().c_str());
        p.warningBox = warn;
        return p;
    }

    testing::FakeView window;
    std::vector<std::string> warnings;
    VirtualClock clock;
    Core core;
    Driver driver;
};

// The program as the window starts it, in a fake tree of its own; the
// simulated adapter, started with Options(), plugs into that tree.
struct ProgramWithAdapter {
    ProgramWithAdapter() : devRoot("DIALSCOPE_DEV_ROOT", tree.dev().string()), rig(&tree) {}

    devsim::SimOptions Options(devsim::CallLog log) {
        devsim::SimOptions o = LineRateOptions(std::move(log));
        o.fakeAdapter = true;
        o.adapter = tree.Adapter();
        o.onEvent = events.Sink();
        return o;
    }

    FakeTree tree;
    EnvGuard devRoot;
    Rig rig;
    SimEvents events;
};

}  // namespace dialscope::e2e
