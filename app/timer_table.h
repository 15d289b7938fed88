// The program's three timers, kept by Core: the protocol tick (time_com),
// the supervisor (watch_serial) and the "Transferring" animation (AutoDisp).
// A face has one wake-up: it sleeps until NextDue() and then hands the time
// to RunDue(). Main thread only.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>

#include "protocol/interfaces.h"

namespace dialscope {

class TimerTable {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using NowFn = std::function<TimePoint()>;

    // The protocol tick and the animation run every 100 ms, the supervisor
    // every 500 ms.
    static constexpr std::chrono::milliseconds Interval(Timer timer) {
        return std::chrono::milliseconds(timer == Timer::watch_serial ? 500 : 100);
    }

    // now: the clock a started timer counts from. changed: called when
    // NextDue() may have moved, except while RunDue runs (which ends with
    // one call).
    explicit TimerTable(NowFn now, std::function<void()> changed = {});

    void SetBody(Timer timer, std::function<void()> body);

    // Starts or stops a timer. Starting a running timer leaves its countdown
    // alone; stopping a stopped one does nothing.
    void Enable(Timer timer, bool enabled);
    bool enabled(Timer timer) const { return slot(timer).enabled; }

    // The time on the table's clock.
    TimePoint Now() const { return now_(); }

    // When the next running timer is due; none when all are stopped.
    std::optional<TimePoint> NextDue() const;

    // Runs the body of every timer due at `now`, each once, in the order
    // time_com, watch_serial, AutoDisp. A timer is stopped while its body
    // runs and started again after it, counting from then, unless the body
    // stopped it. ready (when given) may hold a due timer back: it stays due
    // for a later call.
    void RunDue(TimePoint now, const std::function<bool(Timer)>& ready = {});

private:
    struct Slot {
        bool enabled = false;
        TimePoint due{};
        std::function<void()> body;
        bool running = false;
        bool stoppedByBody = false;
    };
    static size_t Index(Timer timer) { return static_cast<size_t>(timer); }
    Slot& slot(Timer timer) { return slots_[Index(timer)]; }
    const Slot& slot(Timer timer) const { return slots_[Index(timer)]; }
    void Start(Timer timer);

    NowFn now_;
    std::function<void()> changed_;
    std::array<Slot, 3> slots_;
    int runDepth_ = 0;
};

}  // namespace dialscope
