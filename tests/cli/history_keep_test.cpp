// Keeping the history: `history --prune` removes old calls for good (their
// text is nowhere in the file afterwards), `history --salvage` saves what a
// damaged history still holds, and `watch` with keep_days prunes by itself.
#include <sqlite3.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>

#include "app/cli/exit_codes.h"
#include "history/call_history.h"
#include "record/render_record.h"
#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

// unix ms of a local time.
int64_t LocalMs(int year, int month, int day, int hour, int minute) {
    struct tm t {};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = hour, t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&t)) * 1000;
}

// Calls received at `at` (unix ms), one per text. Indexed for search
// unless `indexed` is false (the history closes before its indexing runs).
void AddCalls(const std::string& path, int64_t at, const std::vector<std::string>& texts, bool indexed = true) {
    history::OpenOptions options;
    options.nowMs = [at] { return at; };
    std::string problem;
    auto h = history::CallHistory::Open(path, &problem, options);
    ASSERT_TRUE(h) << problem;
    h->BeginDownload("/dev/ttyUSB0");
    int n = 0;
    for (const std::string& text : texts) {
        CallRecord f;
        std::copy_n("HOME    ", 8, f.label.begin());
        f.letterCode = 1;
        f.dateTime = {7, 15, 26, 9, static_cast<int16_t>(n++)};
        f.text = text;
        f.hasText = true;
        h->AddRecord(f, RenderRecord(f, 1));
    }
    h->EndDownload(history::DownloadEnd::Completed);
    if (indexed) h->Flush();  // wakes the indexing, which catches up as the history closes
}

int64_t Count(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    int64_t v = -1;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
}

TEST(CliHistoryKeep, PruneRemovesOldCallsForGoodAndKeepsTheRest) {
    Scratch s;
    const std::string path = s.File("calls.sqlite3");
    // The marker in Latin-1 as the box sends it; the search keeps it folded, in UTF-8.
    const std::string marker = "Xylqwz\xD8rnby", folded = "xylqwz\xC3\xB8rnby";
    std::vector<std::string> old, later;
    for (int i = 0; i < 30; ++i) old.push_back("Mr " + marker + " " + std::to_string(i));
    for (int i = 0; i < 20; ++i) later.push_back("Anna Kept " + std::to_string(i));
    // Some indexed for search, some not yet, on both sides of the date (the
    // clock of the last but one set back a little).
    AddCalls(path, LocalMs(2026, 5, 20, 12, 0), old);
    AddCalls(path, LocalMs(2026, 6, 1, 0, 1), {later.begin(), later.begin() + 10});
    AddCalls(path, LocalMs(2026, 5, 31, 23, 59), {"Mrs " + marker + " late"}, false);
    AddCalls(path, LocalMs(2026, 6, 2, 8, 0), {later.begin() + 10, later.end()}, false);
    ASSERT_EQ(Count(path, "SELECT through FROM search_state"), 40);
    ASSERT_NE(ReadAll(path).find(folded), std::string::npos);  // the marker is there to be removed

    CliRun r = RunCli(s, {"--history", path, "history", "--prune", "--before", "2026-06-01"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.out, "Removed 31 calls received before 2026-06-01 from " + path + ".\n");
    for (const std::string& file : {path, path + "-wal"}) {
        const std::string bytes = ReadAll(file);
        for (const std::string& needle : {marker, folded, std::string("ylq"), std::string("qwz")})
            EXPECT_EQ(bytes.find(needle), std::string::npos) << file << " still holds " << needle;
    }
    // The index agrees with its text, and every later call is still found.
    EXPECT_EQ(Count(path, "SELECT count(*) FROM records"), 20);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "INSERT INTO records_search(records_search) VALUES ('integrity-check')", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    EXPECT_EQ(KeptCalls(s, path, {"--search", "anna kept"}).size(), 20u);
    EXPECT_EQ(KeptCalls(s, path, {"--search", "Xylq"}).size(), 0u);

    // Refused, nothing removed: a file this user may only read, a bad date,
    // a damaged file.
    std::filesystem::permissions(path, std::filesystem::perms(0444));
    r = RunCli(s, {"--history", path, "history", "--prune", "--before", "2026-07-01"}, 60s, [] {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(126);
    });
    EXPECT_EQ(r.code, kExitHistory) << r.err;
    EXPECT_NE(r.err.find("cannot be written"), std::string::npos) << r.err;
    std::filesystem::permissions(path, std::filesystem::perms(0600));
    r = RunCli(s, {"--history", path, "history", "--prune", "--before", "2026-02-30"});
    EXPECT_EQ(r.code, kExitUsage) << r.err;
    std::string bytes = ReadAll(path);
    for (size_t at = 2 * 4096 + 16; at < bytes.size(); at += 29) bytes[at] ^= 0x5A;
    WriteAll(path, bytes);
    r = RunCli(s, {"--history", path, "history", "--prune", "--before", "2026-07-01"});
    EXPECT_EQ(r.code, kExitHistory) << r.err;
    EXPECT_NE(r.err.find("history --salvage NEW_FILE"), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(path), bytes);
}

TEST(CliHistoryKeep, SalvageSavesWhatCanBeReadAndSaysHowToUseIt) {
    Scratch s;
    const std::string path = s.File("calls.sqlite3");
    std::vector<std::string> texts;
    for (int i = 0; i < 200; ++i) texts.push_back("Caller " + std::to_string(i) + std::string(100, 'a' + i % 26));
    AddCalls(path, LocalMs(2026, 5, 20, 12, 0), texts);

    CliRun r = RunCli(s, {"--history", path, "history", "--salvage", s.File("saved.sqlite3")});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.out, "Saved 200 calls from " + path + " into " + s.File("saved.sqlite3") +
                         ", with their ids. The old file is left as it was. To use the new one, move the old file "
                         "away and the new one to " + path + ", or give --history " + s.File("saved.sqlite3") + ".\n");
    EXPECT_EQ(KeptCalls(s, s.File("saved.sqlite3")), KeptCalls(s, path));
    r = RunCli(s, {"--history", path, "history", "--salvage", s.File("saved.sqlite3")});
    EXPECT_EQ(r.code, kExitHistory);
    EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;

    // A leaf of the records spoiled: the listing says so and names the
    // salvage, which saves the rest and says what it could not.
    const int64_t leaf = Count(path, "SELECT pageno FROM dbstat WHERE name = 'records' AND pagetype = 'leaf' "
                                     "ORDER BY path LIMIT 1 OFFSET 3");
    ASSERT_GT(leaf, 1);
    std::string bytes = ReadAll(path);
    for (size_t at = (leaf - 1) * 4096 + 16; at < static_cast<size_t>(leaf) * 4096; at += 29) bytes[at] ^= 0x5A;
    WriteAll(path, bytes);
    r = RunCli(s, {"--history", path, "history"});
    EXPECT_EQ(r.code, kExitHistory);
    EXPECT_NE(r.err.find("history --salvage NEW_FILE"), std::string::npos) << r.err;
    r = RunCli(s, {"--history", path, "history", "--salvage", s.File("saved-2.sqlite3")});
    EXPECT_EQ(r.code, kExitHistory) << r.out;
    EXPECT_NE(r.out.find(" could not be read (damaged) and are not in it."), std::string::npos) << r.out;
    const size_t saved = KeptCalls(s, s.File("saved-2.sqlite3")).size();
    EXPECT_GT(saved, 150u);
    EXPECT_LT(saved, 200u);
    EXPECT_EQ(ReadAll(path), bytes);
}

TEST(CliHistoryKeep, WatcherRemovesCallsOlderThanKeepDaysAtStart) {
    Scratch s;
    const std::string path = s.File("calls.sqlite3"), conf = s.File("watch.conf");
    const int64_t now = static_cast<int64_t>(time(nullptr)) * 1000;
    AddCalls(path, now - 40LL * 24 * 3600 * 1000, {"long ago 1", "long ago 2"});
    AddCalls(path, now - 3600 * 1000, {"an hour ago"});
    WriteAll(conf, "keep_days = 30\n");
    const std::string out = s.File("watch.out"), err = s.File("watch.err");
    Process watch({DIALSCOPE_CLI_PATH, "--history", path, "watch", "--config", conf}, s.Env(), out, err);
    EXPECT_TRUE(WaitFor([&] { return ReadAll(err).find("History: removed 2 calls received before ") != std::string::npos; }))
        << ReadAll(err);
    kill(watch.pid(), SIGTERM);
    EXPECT_EQ(watch.Wait(5s), 0) << ReadAll(err);
    const auto kept = KeptCalls(s, path);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]["text"], "an hour ago");

    // A damaged history is not pruned: not a byte of it changes.
    const std::string damaged = s.File("damaged.sqlite3");
    AddCalls(damaged, now - 40LL * 24 * 3600 * 1000, std::vector<std::string>(60, std::string(200, 'x')));
    std::string bytes = ReadAll(damaged);
    for (size_t at = 4096 + 8; at < std::min<size_t>(bytes.size(), 5 * 4096); at += 37) bytes[at] ^= 0x5A;
    WriteAll(damaged, bytes);
    Process again({DIALSCOPE_CLI_PATH, "--history", damaged, "watch", "--config", conf}, s.Env(), out, err);
    EXPECT_TRUE(WaitFor([&] { return ReadAll(err).find(damaged + " is damaged") != std::string::npos; })) << ReadAll(err);
    kill(again.pid(), SIGTERM);
    EXPECT_EQ(again.Wait(5s), 7) << ReadAll(err);
    EXPECT_EQ(ReadAll(damaged), bytes);
    EXPECT_EQ(CountLines(ReadAll(err), "dialscope-cli: History: removed 2 calls"), 0);
}

}  // namespace
}  // namespace dialscope::cli::test
