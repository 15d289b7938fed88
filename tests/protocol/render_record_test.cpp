// The log's rendering of one record, judged by the simulator's own renderer
// (written apart from the program's) for every kind of record a box stores,
// and literally for what only a damaged line produces.
#include <gtest/gtest.h>

#include <cstdint>

#include "record/render_record.h"
#include "tools/devsim_log.h"

namespace dialscope::testing {
namespace {

CallRecord FromBox(const devsim::LabelSet& labels, const devsim::CallRecord& r) {
    CallRecord out;
    out.label = labels[r.label & 7];
    out.labelIndex = r.label;
    out.letterCode = r.letter;
    out.dateTime = {r.date[0], r.date[1], r.date[2], r.time[0], r.time[1]};
    out.hasText = !r.text.empty();
    out.text = r.text.substr(0, devsim::kMaxShownText);
    return out;
}

TEST(RenderRecord, EveryStoredRecordReadsAsTheSimulatorPredicts) {
    for (uint64_t seed : {1u, 7u, 1234u}) {
        devsim::CallLog log = devsim::GenerateCallLog(120, seed);
        // Numbers around the widths that change: 1..9, 10..99, 100..999, 1000 on.
        for (int32_t first : {1, 95, 990}) {
            int32_t n = first;
            for (const devsim::CallRecord& r : log.records) {
                ASSERT_EQ(RenderRecord(FromBox(log.labels, r), n), devsim::RenderRecord(n, log.labels, r))
                    << "seed " << seed << " number " << n;
                ++n;
            }
        }
    }
}

TEST(RenderRecord, UnknownFieldsAndDamage) {
    CallRecord known;
    known.label = {'D', 'E', 'S', 'K', 0, 0, 0, 0};
    known.letterCode = 1;
    known.dateTime = {12, 31, 99, 23, 59};
    CallRecord headerless;
    headerless.headerKnown = false;
    headerless.damaged = true;
    headerless.hasText = true;
    headerless.text = std::string("ab\0c", 4);
    CallRecord shortFrame = known;  // a boundary frame that carried two date bytes, one not a date
    shortFrame.dateTime = {12, 140, -1, -1, -1};
    CallRecord damagedNoText = known;
    damagedNoText.damaged = true;
    const struct {
        const CallRecord& record;
        int32_t number;
        std::string shown;
    } cases[] = {
        {known, 3, " 3. DESK    B 12/31/99 23:59\r\n     Tone only    \r\n"},
        {headerless, 12,
         "12. ????????? ??/??/?? ??:??\r\n      ab c\r\n      (text damaged in transfer)\r\n"},
        {shortFrame, 100, "100.DESK    B 12/??/?? ??:??\r\n     Tone only    \r\n"},
        {damagedNoText, 7, " 7. DESK    B 12/31/99 23:59\r\n      (text damaged in transfer)\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(RenderRecord(c.record, c.number), c.shown) << c.number;
}

// The number takes four positions whatever it is, so the label, letter, date
// and time of every header line stand where record 1 has them: files read by
// column depend on it.
TEST(RenderRecord, NumberKeepsEveryLaterFieldInItsColumn) {
    CallRecord r;
    r.label = {'H', 'O', 'M', 'E', 0, 0, 0, 0};
    r.dateTime = {7, 15, 26, 9, 5};
    r.hasText = true;
    r.text = "555 0100";
    const std::string first = RenderRecord(r, 1);
    ASSERT_EQ(first.substr(0, 30), " 1. HOME    A 07/15/26 09:05\r\n");
    const struct {
        int32_t number;
        const char* field;
    } cases[] = {
        {9, " 9. "},    {10, "10. "},   {99, "99. "},   {100, "100."},
        {999, "999."},  {1000, "***."}, {12345, "***."}, {INT32_MAX, "***."},
        {0, "***."},    {-1, "***."},   {INT32_MIN, "***."},
    };
    for (const auto& c : cases) {
        const std::string shown = RenderRecord(r, c.number);
        EXPECT_EQ(shown.substr(0, 4), c.field) << c.number;
        EXPECT_EQ(shown.substr(4), first.substr(4)) << c.number;
    }
}

}  // namespace
}  // namespace dialscope::testing
