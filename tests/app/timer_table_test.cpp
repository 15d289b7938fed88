// The timer table on a clock the test moves: which bodies run, in what
// order, and when each timer comes round again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/timer_table.h"

namespace dialscope {
namespace {

using namespace std::chrono_literals;
using TimePoint = TimerTable::TimePoint;

const char* Name(Timer t) {
    switch (t) {
    case Timer::time_com: return "com";
    case Timer::watch_serial: return "watch";
    case Timer::AutoDisp: return "anim";
    }
    return "?";
}

TEST(TimerTable, RunsDueBodiesInOrderAndRestartsThemUnlessTheyStopped) {
    // What a body does to the timers while it runs.
    enum class Body { Nothing, StopsItself, StopsAndStartsItself, StartsAnim, StopsAnim, Throws };
    struct Case {
        const char* name;
        Body com;                 // the protocol tick's body
        std::vector<int> steps;   // ms on the clock at each RunDue
        std::string ran;          // bodies run, a RunDue's separated by '|'
        bool comRunningAtEnd;
        long nextDueMs;           // after the last RunDue; -1: none
    };
    const std::vector<Case> cases = {
        // The protocol tick and the supervisor start together: the tick every
        // 100 ms, the supervisor every 500 ms, in that order when both are due.
        {"periodic", Body::Nothing, {100, 200, 500}, "com|com|com watch", true, 600},
        // Nothing is due before its time; a late call runs each due body once.
        {"early and late", Body::Nothing, {99, 1250}, "|com watch", true, 1350},
        // Stopped on entry and started on exit: the count starts at the end.
        {"self-managed", Body::StopsAndStartsItself, {100, 200, 230}, "com||com", true, 360},
        // A body that stops its own timer keeps it stopped.
        {"stops itself", Body::StopsItself, {100, 200, 500}, "com||watch", false, 1000},
        // A body that starts another timer: that one counts from then, and
        // is not due in the same pass.
        {"starts another", Body::StartsAnim, {100, 150, 200}, "com||com anim", true, 300},
        // A body that stops a later timer due in the same pass: it does not run.
        {"stops another", Body::StopsAnim, {100, 200, 300}, "com|com|com", true, 400},
        // A body that throws has not finished: its timer stays stopped.
        {"throws", Body::Throws, {100, 200}, "com|", false, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TimePoint now{};
        TimerTable table([&] { return now; });
        std::string ran;
        auto body = [&](Timer t) {
            return [&, t] {
                if (!ran.empty() && ran.back() != '|') ran += ' ';
                ran += Name(t);
            };
        };
        table.SetBody(Timer::watch_serial, [&, b = body(Timer::watch_serial)] {
            b();
            // The supervisor as it is: stop on entry, start on exit.
            table.Enable(Timer::watch_serial, false);
            table.Enable(Timer::watch_serial, true);
        });
        table.SetBody(Timer::AutoDisp, body(Timer::AutoDisp));
        table.SetBody(Timer::time_com, [&, b = body(Timer::time_com), c] {
            b();
            switch (c.com) {
            case Body::Nothing: break;
            case Body::StopsItself: table.Enable(Timer::time_com, false); break;
            case Body::StopsAndStartsItself:
                table.Enable(Timer::time_com, false);
                now += 30ms;  // the body takes its time
                table.Enable(Timer::time_com, true);
                now -= 30ms;
                break;
            case Body::StartsAnim: table.Enable(Timer::AutoDisp, true); break;
            case Body::StopsAnim: table.Enable(Timer::AutoDisp, false); break;
            case Body::Throws: throw std::runtime_error("tick failed");
            }
        });
        table.Enable(Timer::time_com, true);
        table.Enable(Timer::watch_serial, true);
        if (c.com == Body::StopsAnim) table.Enable(Timer::AutoDisp, true);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            if (i > 0) ran += '|';
            now = TimePoint{} + std::chrono::milliseconds(c.steps[i]);
            try {
                table.RunDue(now);
            } catch (const std::runtime_error&) {
            }
        }
        EXPECT_EQ(ran, c.ran);
        EXPECT_EQ(table.enabled(Timer::time_com), c.comRunningAtEnd);
        const auto next = table.NextDue();
        if (c.nextDueMs < 0) {
            EXPECT_FALSE(next);
        } else {
            ASSERT_TRUE(next);
            EXPECT_EQ(*next - TimePoint{}, std::chrono::milliseconds(c.nextDueMs));
        }
    }
}

TEST(TimerTable, ToldOfEveryChangeOutsideARunAndOnceAtItsEnd) {
    TimePoint now{};
    int told = 0;
    TimerTable table([&] { return now; }, [&] { ++told; });
    table.SetBody(Timer::time_com, [&] {
        table.Enable(Timer::time_com, false);
        table.Enable(Timer::AutoDisp, true);
        table.Enable(Timer::time_com, true);
    });
    table.Enable(Timer::time_com, true);
    now += 50ms;
    table.Enable(Timer::time_com, true);  // already running: its countdown stays
    EXPECT_EQ(told, 1);
    EXPECT_EQ(*table.NextDue() - TimePoint{}, 100ms);
    now += 50ms;
    table.RunDue(now);
    EXPECT_EQ(told, 2);
    table.RunDue(now);  // nothing due: the face is still told when to wake
    EXPECT_EQ(told, 3);
}

}  // namespace
}  // namespace dialscope
