// The watcher's retention, on a clock the test moves: calls older than the
// days kept go at the first tick and then once a day, not at every tick.
#include "history/retention.h"

#include <gtest/gtest.h>

#include "history_support.h"

namespace dialscope::history::test {
namespace {

constexpr int64_t kHour = 3600 * 1000, kDay = 24 * kHour;

TEST(Retention, OldCallsGoAtStartThenOnceADay) {
    TempDir dir;
    FakeClock clock;
    const int64_t start = clock.now;
    {
        std::string problem;
        auto h = CallHistory::Open(dir.File(), &problem, clock.Options());
        ASSERT_TRUE(h) << problem;
        // Received 40 and 31 days ago, 30 days ago to the millisecond (the
        // cut-off: kept), 30 days less half an hour ago, and yesterday.
        const int64_t ages[] = {40 * kDay, 31 * kDay, 30 * kDay, 30 * kDay - kHour / 2, kDay};
        int n = 0;
        for (int64_t age : ages) {
            clock.now = start - age;
            h->BeginDownload("/dev/ttyUSB0");
            h->AddRecord(Record("HOME", "caller " + std::to_string(++n), {7, 15, 26, 9, static_cast<int16_t>(n)}));
            h->AddRecord(Record("HOME", "garbled " + std::to_string(n), {-1, -1, -1, -1, -1}, true));
            h->EndDownload(DownloadEnd::Completed);
        }
        h->Flush();
    }
    clock.now = start;
    Retention retention(dir.File(), 30, [&] { return clock.now; });
    auto calls = [&] { return Query(dir.File(), "SELECT count(*) FROM records WHERE damaged = 0"); };

    struct Step {
        int64_t after;            // the clock moves on by this much, then a tick
        const char* said;         // the line said, nullptr: none
        int64_t callsLeft;
    };
    const Step steps[] = {
        // At start: the calls of 40 and 31 days ago.
        {0, "History: removed 2 calls and 2 damaged records received before ", 3},
        {0, nullptr, 3},  // the next tick does nothing
        {kHour, nullptr, 3},  // the fourth call is now 30 days old, but a day has not passed
        {kDay - kHour, "History: removed 2 calls and 2 damaged records received before ", 1},  // a day after the first
        {kDay / 2, nullptr, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.after);
        clock.now += step.after;
        const auto line = retention.Tick();
        EXPECT_EQ(line.has_value(), step.said != nullptr) << line.value_or("");
        if (line && step.said) {
            EXPECT_EQ(line->rfind(step.said, 0), 0u) << *line;
        }
        EXPECT_EQ(calls(), step.callsLeft);
    }
    // The damaged records went with their downloads' calls; the downloads too.
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records"), 2);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM downloads"), 1);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records_text"), 2);
}

}  // namespace
}  // namespace dialscope::history::test
