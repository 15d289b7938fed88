#include "app/timer_table.h"

namespace dialscope {

namespace {
constexpr Timer kOrder[] = {Timer::time_com, Timer::watch_serial, Timer::AutoDisp};
}

TimerTable::TimerTable(NowFn now, std::function<void()> changed)
    : now_(now ? std::move(now) : NowFn(&Clock::now)), changed_(std::move(changed)) {}

void TimerTable::SetBody(Timer timer, std::function<void()> body) { slot(timer).body = std::move(body); }

void TimerTable::Start(Timer timer) {
    Slot& s = slot(timer);
    s.enabled = true;
    s.due = now_() + Interval(timer);
}

void TimerTable::Enable(Timer timer, bool enabled) {
    Slot& s = slot(timer);
    if (s.running) s.stoppedByBody = !enabled;
    if (enabled == s.enabled) return;
    if (enabled) Start(timer);
    else s.enabled = false;
    if (runDepth_ == 0 && changed_) changed_();
}

std::optional<TimerTable::TimePoint> TimerTable::NextDue() const {
    std::optional<TimePoint> next;
    for (const Slot& s : slots_)
        if (s.enabled && (!next || s.due < *next)) next = s.due;
    return next;
}

void TimerTable::RunDue(TimePoint now, const std::function<bool(Timer)>& ready) {
    ++runDepth_;
    struct Leave {
        TimerTable& t;
        ~Leave() {
            if (--t.runDepth_ == 0 && t.changed_) t.changed_();
        }
    } leave{*this};
    for (Timer timer : kOrder) {
        Slot& s = slot(timer);
        if (!s.enabled || s.due > now || (ready && !ready(timer))) continue;
        // Stopped on entry, as each body stops its own timer first.
        s.enabled = false;
        s.running = true;
        s.stoppedByBody = false;
        try {
            if (s.body) s.body();
        } catch (...) {
            // A body that throws has not reached its end: its timer stays
            // stopped.
            s.running = false;
            throw;
        }
        s.running = false;
        if (!s.enabled && !s.stoppedByBody) Start(timer);
    }
}

}  // namespace dialscope
