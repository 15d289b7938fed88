// Storing downloads: each call kept once, across downloads and processes,
// and nothing added before a kill is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "history/history_store.h"
#include "history/maintenance.h"
#include "history_support.h"
#include "tests/support/frames.h"

namespace dialscope::history::test {
namespace {

// Records by letter: a lower-case letter is an intact record, its capital the
// same record damaged. 't' is tone only and 'e' a text of no bytes; 'n' and
// 's' differ only by a NUL where 's' has a space (shown the same, not the
// same bytes).
CallRecord ByLetter(char c) {
    bool damaged = std::isupper(static_cast<unsigned char>(c));
    char k = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    switch (k) {
    case 't': return Record("HOME", "", {7, 15, 24, 9, 30}, damaged);
    case 'e': { auto r = Record("HOME", "", {7, 15, 24, 9, 30}, damaged); r.hasText = true; return r; }
    case 'n': return Record("HOME", std::string("A\0B", 3), {7, 15, 24, 9, 30}, damaged);
    case 's': return Record("HOME", "A B", {7, 15, 24, 9, 30}, damaged);
    default: return Record("HOME", std::string("555 010") + k, {7, 15, 24, 9, static_cast<int16_t>(k - 'a')}, damaged);
    }
}

TEST(CallHistoryStore, EachCallIsKeptOnceAcrossDownloads) {
    struct Case {
        const char* name;
        std::vector<std::string> downloads;
        std::vector<int> newCalls, knownCalls;
        int64_t rows, calls;
    };
    const Case cases[] = {
        {"overlapping memory", {"abc", "bcd", "abcd"}, {3, 1, 0}, {0, 2, 4}, 4, 4},
        {"same caller twice in one download", {"aa", "aa", "aaa"}, {2, 0, 1}, {0, 2, 2}, 3, 3},
        {"damaged copy does not block the intact one", {"Ab", "ab"}, {1, 1}, {0, 1}, 3, 2},
        {"damaged record is neither new nor known", {"a", "A"}, {1, 0}, {0, 0}, 2, 1},
        {"damaged copy first in its download", {"Aa", "a"}, {1, 0}, {0, 1}, 2, 1},
        {"tone only and empty text, apart in one download", {"te", "e"}, {2, 0}, {0, 1}, 2, 2},
        {"tone only, empty text, NUL and space differ", {"tens", "tens"}, {4, 0}, {0, 4}, 4, 4},
        // The same minute, another text: the second is its own call, known
        // again without the first beside it.
        {"same minute, other text, the first gone later", {"ns", "s"}, {2, 0}, {0, 1}, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string problem;
        auto h = CallHistory::Open(dir.File(), &problem);
        ASSERT_TRUE(h) << problem;
        size_t taken = 0;
        for (size_t d = 0; d < c.downloads.size(); ++d) {
            EXPECT_GT(h->BeginDownload("/dev/ttyUSB0"), 0);
            for (char r : c.downloads[d]) h->AddRecord(ByLetter(r));
            DownloadSummary s = h->EndDownload(DownloadEnd::Completed);
            EXPECT_EQ(s.records, static_cast<int>(c.downloads[d].size()));
            EXPECT_EQ(s.newCalls, c.newCalls[d]) << "download " << d;
            EXPECT_EQ(s.knownCalls, c.knownCalls[d]) << "download " << d;
            EXPECT_EQ(s.unsaved, 0);
            auto fresh = h->TakeNewCalls();
            EXPECT_EQ(fresh.size(), static_cast<size_t>(c.newCalls[d]));
            for (auto& call : fresh) EXPECT_FALSE(call.damaged);
            taken += fresh.size();
        }
        EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
        EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records"), c.rows);
        EXPECT_EQ(h->CountCalls(), c.calls);
        EXPECT_EQ(taken, static_cast<size_t>(c.calls));
        // Every download row says how it went.
        EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM downloads WHERE ended_at IS NOT NULL AND "
                                    "ended_how = 'completed'"),
                  static_cast<int64_t>(c.downloads.size()));
        EXPECT_EQ(Query(dir.File(), "SELECT sum(new_calls) FROM downloads"), c.calls);
    }
}

// A download whose header frame was lost is shown with its calls' dates but
// their labels unknown, marked, and the box is asked again (the protocol's
// rule). The history keeps those records apart as damaged: never a call, so
// never matched against one, and no label to find. The intact copies the
// box sends when asked again are each one new call, and known ever after.
TEST(CallHistoryStore, ALostHeadersRecordsStayApartFromTheCallsAskedForAgain) {
    using testing::Bytes;
    struct StoringWindow : testing::FakeWindow {
        HistoryStore* store = nullptr;
        std::vector<std::string> summaries;
        void RecordOutput(const CallRecord& r, std::string_view rendered) override { store->RecordOutput(r, rendered); }
        void DownloadStarted() override { store->DownloadStarted("/dev/ttyUSB0"); }
        void DownloadEnded(DownloadEnd how) override { summaries.push_back(store->DownloadEnded(how)); }
    };
    TempDir dir;
    HistoryStore store(CallHistory::Open(dir.File(), nullptr));
    testing::FakeLine line;
    StoringWindow window;
    window.store = &store;
    testing::FakeSerial serial;
    Protocol protocol(line, window, serial);
    protocol.BeginPolling();
    serial.portOpen = true;
    auto feed = [&](const Bytes& bytes) {
        line.Receive(bytes);
        protocol.ComTick();
    };
    const Bytes header = testing::HeaderFrame({"HOME"});
    const Bytes calls = testing::Frame('P', "555 0100") + testing::BoundaryFrame(0, 0, 7, 15, 26, 9, 30) +
                        testing::BoundaryFrame(0, 1, 7, 15, 26, 9, 31) + testing::Frame('E');
    feed(testing::Frame('1') + testing::CorruptCrc(header) + calls);
    EXPECT_EQ(serial.commands(), "DD");  // the answer to '1', then asked again
    feed(header + calls);
    feed(header + calls);  // a later download
    EXPECT_EQ(window.summaries, (std::vector<std::string>{
                                    "History: 0 new calls, 0 already kept. 2 damaged records kept apart.",
                                    "History: 2 new calls, 0 already kept.", "History: 0 new calls, 2 already kept."}));
    EXPECT_EQ(store.history().CountCalls(), 2);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records WHERE damaged = 1 AND label = x'3F3F3F3F3F3F3F3F' AND "
                                "label_key = '' AND d1 = 7 AND t2 IN (30, 31)"),
              2);
    EXPECT_EQ(store.history().List({}).size(), 2u);
    EXPECT_TRUE(store.history().List({.label = "????????", .includeDamaged = true}).empty());
    EXPECT_EQ(store.history().List({.search = "555 0100", .includeDamaged = true}).size(), 2u);
}

// A download of 99 records with repeats, as two watchers on one file store it.
void StoreOneDownload(const std::string& path, int startFd) {
    char go;
    if (read(startFd, &go, 1) < 0) _exit(3);
    auto h = CallHistory::Open(path, nullptr);
    if (!h) _exit(2);
    h->BeginDownload("/dev/ttyUSB0");
    for (int i = 0; i < 99; ++i) h->AddRecord(ByLetter(static_cast<char>('a' + (i % 33) % 20)));
    h->EndDownload(DownloadEnd::Completed);
    for (int tries = 0; h->PendingRecords() > 0 && tries < 20000; ++tries) {
        usleep(500);  // the other process holds the file: wait for it, as the program's tick would
        h->Flush();
    }
    bool stored = h->PendingRecords() == 0;
    h.reset();  // ends the download row as the program's exit would
    _exit(stored ? 0 : 1);
}


// A program that never takes the new calls (the window) holds none of them:
// it would otherwise keep up to queueLimit calls, texts and all, in memory.
TEST(CallHistoryStore, NewCallsAreHeldOnlyWhenTaken) {
    TempDir dir;
    std::string problem;
    OpenOptions options;
    options.collectNewCalls = false;
    auto h = CallHistory::Open(dir.File(), &problem, options);
    ASSERT_TRUE(h) << problem;
    for (const char* download : {"abc", "bcd"}) {
        h->BeginDownload("/dev/ttyUSB0");
        for (const char* r = download; *r; ++r) h->AddRecord(ByLetter(*r));
        EXPECT_EQ(h->EndDownload(DownloadEnd::Completed).records, 3);
    }
    EXPECT_EQ(h->CountCalls(), 4);
    EXPECT_TRUE(h->TakeNewCalls().empty());
}
TEST(CallHistoryStore, TwoProcessesStoringOneDownloadKeepEachCallOnce) {
    TempDir dir;
    ASSERT_TRUE(CallHistory::Open(dir.File(), nullptr));
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            close(start[1]);
            StoreOneDownload(dir.File(), start[0]);
        }
    }
    close(start[0]);
    close(start[1]);  // both start at once
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // 99 records: i % 33 runs 0..32 three times, % 20 folds 20..32 onto 0..12,
    // so each of a..m comes 6 times and n..t 3 times: 99 calls, no duplicate.
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records"), 99);
    EXPECT_EQ(Query(dir.File(), "SELECT sum(new_calls) FROM downloads"), 99);
    EXPECT_EQ(Query(dir.File(), "SELECT sum(records) FROM downloads"), 198);
}

TEST(CallHistoryStore, KillKeepsEveryRecordAdded) {
    TempDir dir;
    ASSERT_TRUE(CallHistory::Open(dir.File(), nullptr));
    int added[2];
    ASSERT_EQ(pipe(added), 0);
    pid_t child = fork();
    if (child == 0) {
        close(added[0]);
        auto h = CallHistory::Open(dir.File(), nullptr);
        if (!h) _exit(2);
        h->BeginDownload("/dev/ttyUSB0");
        for (int i = 0;; ++i) {
            h->AddRecord(Record("KILL", "call " + std::to_string(i), {1, 2, 26, 3, 4}));
            // Told only once AddRecord has returned: the kill may land in
            // the middle of the next record.
            if (h->PendingRecords() == 0 && write(added[1], "x", 1) != 1) _exit(3);
        }
    }
    close(added[1]);
    char buf[64];
    int told = 0;
    while (told < 150) {
        ssize_t n = read(added[0], buf, std::min<size_t>(sizeof buf, 150 - told));
        ASSERT_GT(n, 0);
        told += static_cast<int>(n);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(added[0]);
    EXPECT_GE(Query(dir.File(), "SELECT count(*) FROM records"), told);
    EXPECT_GE(Query(dir.File(), "SELECT records FROM downloads"), told);
    // The download never ended: its row says so by having no end.
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM downloads WHERE ended_at IS NULL"), 1);
    std::string problem;
    EXPECT_TRUE(CallHistory::Open(dir.File(), &problem)) << problem;
}

TEST(CallHistoryStore, TwoDigitYearsAndInvalidDates) {
    const int64_t received2026 = 1796724000000;  // 2026-12-08
    const int64_t received2099 = 4102358400000;  // 2099-12-31
    const int64_t received2000 = 959817600000;   // 2000-06-01
    struct Case {
        std::array<int16_t, 5> raw;
        DateOrder order;
        int64_t received;
        int year, month, day, hour;  // year 0: no date; hour -1: no time
    };
    const Case cases[] = {
        {{7, 15, 24, 9, 30}, DateOrder::MDY, received2026, 2024, 7, 15, 9},
        {{15, 7, 24, 9, 30}, DateOrder::DMY, received2026, 2024, 7, 15, 9},
        {{24, 7, 15, 23, 59}, DateOrder::YMD, received2026, 2024, 7, 15, 23},
        {{1, 1, 27, 0, 0}, DateOrder::MDY, received2026, 2027, 1, 1, 0},   // a year ahead: still this century
        {{1, 1, 28, 0, 0}, DateOrder::MDY, received2026, 1928, 1, 1, 0},   // further: the last one
        {{1, 1, 0, 0, 0}, DateOrder::MDY, received2099, 2100, 1, 1, 0},
        {{2, 29, 0, 0, 0}, DateOrder::MDY, received2099, 0, 0, 0, 0},        // 2100 is no leap year
        {{2, 29, 0, 0, 0}, DateOrder::MDY, received2000, 2000, 2, 29, 0},    // 2000 is
        {{2, 29, 24, 12, 0}, DateOrder::MDY, received2026, 2024, 2, 29, 12},
        {{2, 29, 25, 12, 0}, DateOrder::MDY, received2026, 0, 0, 0, 12},    // no 29th in 2025
        {{13, 1, 24, 24, 0}, DateOrder::MDY, received2026, 0, 0, 0, -1},    // month 13, hour 24
        {{7, 15, 150, 9, 60}, DateOrder::MDY, received2026, 0, 0, 0, -1},   // raw above 99 is no year
        {{-1, -1, -1, -1, -1}, DateOrder::MDY, received2026, 0, 0, 0, -1},  // not carried
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.raw[0] << "/" << c.raw[1] << "/" << c.raw[2]);
        BoxDateTime dt = ReadBoxDateTime(c.raw, c.order, c.received);
        EXPECT_EQ(dt.year.value_or(0), c.year);
        EXPECT_EQ(dt.month.value_or(0), c.month);
        EXPECT_EQ(dt.day.value_or(0), c.day);
        EXPECT_EQ(dt.hour.value_or(-1), c.hour);
    }
}

TEST(CallHistoryStore, ListFiltersAndOrders) {
    TempDir dir;
    FakeClock clock;
    auto h = CallHistory::Open(dir.File(), nullptr, clock.Options());
    ASSERT_TRUE(h);
    h->BeginDownload("p");
    // ids 1..6 in this order
    h->AddRecord(Record("HOME", "M\xDCLLER \xC9MILE", {7, 15, 26, 9, 30}));        // 1 (Latin-1 bytes)
    h->AddRecord(Record("OFFICE", "+1 555 0100", {8, 1, 26, 10, 0}));            // 2
    h->AddRecord(Record(std::string("HOME\0\0\0\0", 8), "x", {1, 2, 26, 8, 0}));  // 3 (label NUL-padded)
    h->AddRecord(Record("HOME", "bad date", {13, 40, 26, 8, 0}));                // 4
    h->AddRecord(Record("HOME", "broken", {7, 15, 26, 9, 31}, true));           // 5 damaged
    clock.now += 1000;
    h->AddRecord(Record("OFFICE", "same minute", {7, 15, 26, 9, 30}));          // 6 received later than 1
    h->EndDownload(DownloadEnd::Completed);
    h->Flush();

    // The same answers before the search index has the records (looked for
    // row by row) and after.
    for (bool indexed : {false, true}) {
        SCOPED_TRACE(indexed ? "indexed" : "not indexed yet");
        if (indexed) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(dir.File().c_str(), &db), SQLITE_OK);
            sqlite3_busy_timeout(db, 5000);
            while (IndexForSearch(db, 2) > 0) {
            }
            sqlite3_close(db);
            ASSERT_EQ(Query(dir.File(), "SELECT through FROM search_state"), 6);
        }
        auto ids = [&](ListQuery q) {
            std::vector<int64_t> out;
            for (auto& c : h->List(q)) out.push_back(c.id);
            return out;
        };
        using V = std::vector<int64_t>;
        // The last received first, whatever the box's date; ties: the last kept first.
        EXPECT_EQ(ids({}), (V{6, 4, 3, 2, 1}));
        EXPECT_EQ(ids({.includeDamaged = true}), (V{6, 5, 4, 3, 2, 1}));
        // The box's dates choose, not the order.
        EXPECT_EQ(ids({.since = "2026-07-15", .until = "2026-07-15"}), (V{6, 1}));
        EXPECT_EQ(ids({.since = "2026-07-16"}), (V{2}));
        EXPECT_EQ(ids({.until = "2026-07-14"}), (V{3}));
        // Read day first: 7/15 and 13/40 are no dates, 8/1 is January 8th.
        EXPECT_EQ(ids({.since = "2026-01-08", .until = "2026-01-08", .dateOrder = DateOrder::DMY}), (V{2}));
        EXPECT_EQ(ids({.since = "2026-01-01", .dateOrder = DateOrder::DMY}), (V{3, 2}));
        EXPECT_EQ(ids({.search = "müller"}), (V{1}));   // UTF-8 term, Latin-1 text, any case
        EXPECT_EQ(ids({.search = "émile"}), (V{1}));
        EXPECT_EQ(ids({.search = "Ü"}), (V{1}));        // short terms: scanned
        EXPECT_EQ(ids({.search = "ho"}), (V{4, 3, 1}));  // label matches too
        EXPECT_EQ(ids({.search = "555 01"}), (V{2}));
        EXPECT_EQ(ids({.search = "OFFI"}), (V{6, 2}));
        EXPECT_EQ(ids({.search = "x\"y", .limit = 3}), (V{}));  // quotes reach the index as text
        EXPECT_EQ(ids({.search = "日本"}), (V{}));       // beyond Latin-1: nothing can match
        EXPECT_EQ(ids({.label = "home "}), (V{4, 3, 1}));
        EXPECT_EQ(ids({.limit = 2}), (V{6, 4}));
        EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
        EXPECT_EQ(ids({.since = "2026-13-01"}), (V{}));
        EXPECT_EQ(Words(h->TakeProblem()), "The date 2026-13-01 is not a date of the form YYYY-MM-DD.");
    }
}

TEST(CallHistoryStore, PublicationOwesOnlyCallsKeptAfterRegistration) {
    TempDir dir;
    std::vector<int64_t> ids;
    {
        auto h = CallHistory::Open(dir.File(), nullptr);
        ASSERT_TRUE(h);
        h->BeginDownload("p");
        h->AddRecord(ByLetter('a'));
        h->RegisterTarget("mqtt://broker/dialscope");
        for (char c : std::string("bCde")) h->AddRecord(ByLetter(c));
        h->EndDownload(DownloadEnd::Completed);
        for (auto& c : h->TakeNewCalls()) ids.push_back(c.id);
        ASSERT_EQ(ids.size(), 4u);  // a b d e
        auto owed = [&] {
            std::vector<int64_t> out;
            for (auto& c : h->Unpublished("mqtt://broker/dialscope", 10)) out.push_back(c.id);
            return out;
        };
        EXPECT_EQ(owed(), (std::vector<int64_t>{ids[1], ids[2], ids[3]}));  // not a, nor the damaged C
        h->MarkPublished("mqtt://broker/dialscope", ids[2]);
        EXPECT_EQ(owed(), (std::vector<int64_t>{ids[1], ids[3]}));
        h->MarkPublished("mqtt://broker/dialscope", ids[1]);
        EXPECT_EQ(owed(), (std::vector<int64_t>{ids[3]}));
        EXPECT_EQ(h->Unpublished("other", 10).size(), 0u);  // never registered
        h->RegisterTarget("mqtt://broker/dialscope");        // again: changes nothing
        EXPECT_EQ(owed(), (std::vector<int64_t>{ids[3]}));
    }
    auto h = CallHistory::Open(dir.File(), nullptr);
    ASSERT_TRUE(h);
    auto owed = h->Unpublished("mqtt://broker/dialscope", 10);
    ASSERT_EQ(owed.size(), 1u);
    EXPECT_EQ(owed[0].id, ids[3]);
    EXPECT_EQ(owed[0].fields.text, ByLetter('e').text);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM published"), 0);  // folded into the target's mark
}

}  // namespace
}  // namespace dialscope::history::test
