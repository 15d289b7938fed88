// The file's format across versions: a history written by version 1 opens,
// is brought to version 2 with every row and id as it was (or only read,
// when it may not be written), and records whose header was lost on the line
// (version 2) are kept as damaged records with no label, letter or date.
// Brought to the present version, each record has its caller's number.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "history/call_reader.h"
#include "history/export.h"
#include "history_support.h"

namespace dialscope::history::test {
namespace {

int Exec(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open(path.c_str(), &db);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc;
}

// Every row of a query, each value with its storage type, as SQLite gives it.
std::vector<std::string> Dump(const std::string& path, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                row += std::to_string(sqlite3_column_type(st, i)) + ":";
                const void* p = sqlite3_column_blob(st, i);
                row.append(p ? static_cast<const char*>(p) : "", sqlite3_column_bytes(st, i));
                row += "|";
            }
            rows.push_back(row);
        }
    } else {
        rows.push_back(std::string("no answer: ") + sqlite3_errmsg(db));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// The whole content of a history file but the records table's definition,
// which is the one thing version 2 changes, the contacts table version 3 adds,
// the indexes version 4 adds, the caller's number (with its index) version
// 5 adds, and the instance and source id (with the identity of a call made
// again with the instance) version 6 adds.
std::vector<std::string> Content(const std::string& path) {
    std::vector<std::string> all;
    for (const char* sql : {
             "SELECT type, name, tbl_name, sql FROM sqlite_schema WHERE name NOT IN ('records', 'contacts', "
             "'records_received', 'records_same_text', 'records_caller', 'records_call', 'records_source', "
             "'records_instance', 'collected') ORDER BY name",
             "SELECT cid, name, type, dflt_value, pk FROM pragma_table_info('records') "
             "WHERE name NOT IN ('caller_number', 'instance', 'source_id')",
             "SELECT id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2, has_text, text, "
             "damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key FROM records ORDER BY id",
             "SELECT * FROM records_text ORDER BY id",
             "SELECT * FROM records_search_data ORDER BY id",
             "SELECT * FROM records_search_idx ORDER BY segid, term",
             "SELECT * FROM records_search_docsize ORDER BY id",
             "SELECT * FROM search_state",
             "SELECT * FROM downloads ORDER BY id",
             "SELECT * FROM targets ORDER BY name",
             "SELECT * FROM published ORDER BY target, call_id",
         }) {
        all.push_back(std::string("-- ") + sql);
        for (auto& row : Dump(path, sql)) all.push_back(row);
    }
    return all;
}

// A history as version 1 wrote it, in the write-ahead mode it kept: two
// downloads, the same caller twice in a minute (ids 1 and 2), a damaged copy
// of that call (3), no id 4 (ids are never made up again), a call not yet in
// the search index (5) and a tone-only call (6); one publication target.
void MakeVersion1History(const std::string& path) {
    std::string sql = std::string("PRAGMA journal_mode=WAL;") + kVersion1Schema + kVersion1Pragmas + R"sql(
    INSERT INTO downloads VALUES (1, 1796724000000, 1796724005000, '/dev/ttyUSB0', 3, 2, 'completed');
    INSERT INTO downloads VALUES (2, 1796724060000, NULL, '/dev/ttyUSB0', 2, 2, NULL);
    INSERT INTO records VALUES
      (1, 1, 1796724000000, X'484F4D4520202020', 0, 1, 7, 15, 26, 9, 30, 1, X'4DDC4C4C455220C94D494C45', 0, 0,
       CAST(' 1. HOME' AS BLOB), 202607150930, NULL, NULL, 'home'),
      (2, 1, 1796724000001, X'484F4D4520202020', 0, 1, 7, 15, 26, 9, 30, 1, X'4DDC4C4C455220C94D494C45', 0, 1,
       CAST(' 2. HOME' AS BLOB), 202607150930, NULL, NULL, 'home'),
      (3, 1, 1796724000002, X'484F4D4520202020', 0, 1, 7, 15, 26, 9, 30, 1, X'4DDC4C4C455220C94D494C45', 1, 0,
       CAST(' 3. HOME' AS BLOB), 202607150930, NULL, NULL, 'home'),
      (5, 2, 1796724060000, X'4F46464943452020', 1, 2, 8, 1, 26, 10, 0, 1, CAST('+1 555 0100' AS BLOB), 0, 0,
       CAST(' 1. OFFICE' AS BLOB), 202608011000, 202601081000, 200801261000, 'office'),
      (6, 2, 1796724060001, X'484F4D4520202020', 0, 3, 1, 2, 26, 8, 0, 0, X'', 0, 0,
       CAST(' 2. HOME' AS BLOB), 202601020800, 202602010800, 200102260800, 'home');
    INSERT INTO records_text VALUES (1, 'home' || char(10) || 'müller émile'), (2, 'home' || char(10) || 'müller émile'),
      (3, 'home' || char(10) || 'müller émile'), (5, 'office' || char(10) || '+1 555 0100'), (6, 'home' || char(10));
    INSERT INTO records_search(rowid, folded) SELECT id, folded FROM records_text WHERE id <= 3;
    UPDATE search_state SET through = 3;
    INSERT INTO targets VALUES ('mqtt://broker/dialscope', 1, 1796724001000);
    INSERT INTO published VALUES ('mqtt://broker/dialscope', 5);
    )sql";
    ASSERT_EQ(Exec(path, sql), SQLITE_OK) << sql;
}

// What the version 1 history above must list, whether it was brought to
// version 2 or only read: worked out by hand from its rows.
void ExpectVersion1Listing(CallHistory& h) {
    struct Case {
        ListQuery query;
        std::vector<int64_t> ids;
    };
    const Case cases[] = {
        {{}, {6, 5, 2, 1}},  // the last received first
        {{.includeDamaged = true}, {6, 5, 3, 2, 1}},
        {{.search = "MÜLLER"}, {2, 1}},  // through the search index
        {{.search = "555 01"}, {5}},     // not indexed yet: row by row
        {{.search = "ho"}, {6, 2, 1}},   // short: row by row, label too
        {{.label = "Home"}, {6, 2, 1}},
        {{.since = "2026-07-16"}, {5}},
        {{.since = "2026-01-01", .dateOrder = DateOrder::DMY}, {6, 5}},  // day first: 15/7 is no date
    };
    for (const Case& c : cases) {
        std::vector<int64_t> ids;
        for (const StoredCall& call : h.List(c.query)) {
            ids.push_back(call.id);
            EXPECT_TRUE(call.fields.headerKnown);
        }
        EXPECT_EQ(ids, c.ids) << "search \"" << c.query.search << "\" label \"" << c.query.label << "\"";
    }
    std::vector<int64_t> owed;
    for (const StoredCall& call : h.Unpublished("mqtt://broker/dialscope", 10)) owed.push_back(call.id);
    EXPECT_EQ(owed, (std::vector<int64_t>{2, 6}));
    const auto calls = h.List({.search = "müller"});
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].fields.text, "M\xDCLLER \xC9MILE");
    EXPECT_EQ(std::string(calls[1].fields.label.begin(), calls[1].fields.label.end()), "HOME    ");
    EXPECT_EQ(calls[1].fields.letterCode, 1);
    EXPECT_EQ(calls[1].downloadId, 1);
}

// The ids the caller page lists for the office caller of the history above.
std::vector<int64_t> OfficeCalls(const std::string& path) {
    std::string problem;
    auto reader = CallReader::Open(path, &problem);
    std::vector<int64_t> ids;
    if (!reader) return {-1};
    for (const PageRow& row : reader->Caller("+15550100", DateOrder::MDY, 10, &problem).rows) ids.push_back(row.call.id);
    EXPECT_EQ(problem, "");
    return ids;
}

TEST(CallHistorySchema, Version1HistoryIsReadAndMigratedWithEveryRowAndId) {
    for (bool mayWrite : {false, true}) {
        SCOPED_TRACE(mayWrite ? "opened by its owner: migrated" : "opened by another user: only read");
        TempDir dir;
        const std::string path = dir.File();
        MakeVersion1History(path);
        const auto before = Content(path);
        ASSERT_GT(before.size(), 20u);
        ASSERT_EQ(Query(path, "SELECT count(*) FROM pragma_table_info('records') WHERE \"notnull\" = 0 AND "
                              "name IN ('label', 'label_index', 'letter')"),
                  0);

        if (!mayWrite) {
            // The version 1 watcher of the history's owner is running: its
            // connection keeps the write-ahead log's files there to read by.
            const std::string bytes = ReadAll(path);
            sqlite3* owner = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &owner), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(owner, "SELECT count(*) FROM records", nullptr, nullptr, nullptr), SQLITE_OK);
            chmod(dir.path.c_str(), 0755);
            pid_t child = fork();
            if (child == 0) {
                if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
                std::string problem;
                auto h = CallHistory::Open(path, &problem);
                if (!h) _exit(11);
                ExpectVersion1Listing(*h);
                _exit(testing::Test::HasFailure() ? 12 : 0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            sqlite3_close(owner);
            EXPECT_EQ(ReadAll(path), bytes);
            EXPECT_EQ(Query(path, "PRAGMA user_version"), 1);
            continue;
        }

        EXPECT_EQ(OfficeCalls(path), (std::vector<int64_t>{5}));  // read from the texts, the file left as it is
        std::string problem;
        auto h = CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        EXPECT_EQ(Query(path, "PRAGMA user_version"), CallHistory::kSchemaVersion);
        EXPECT_EQ(Content(path), before);  // every row, id, index and search entry as it was
        EXPECT_EQ(Query(path, "SELECT count(*) FROM pragma_table_info('records') WHERE \"notnull\" = 0 AND "
                              "name IN ('label', 'label_index', 'letter')"),
                  3);
        EXPECT_EQ(Dump(path, "PRAGMA integrity_check"), (std::vector<std::string>{"3:ok|"}));
        // Each record's caller number as read out of its text: a name, a
        // number (its damaged copy's too would be), no text.
        EXPECT_EQ(Dump(path, "SELECT id, caller_number FROM records ORDER BY id"),
                  (std::vector<std::string>{"1:1|5:|", "1:2|5:|", "1:3|5:|", "1:5|3:+15550100|", "1:6|5:|"}));
        ExpectVersion1Listing(*h);

        // The unique index still knows the calls: the box's memory again
        // holds that caller's two calls of one minute and a third one.
        CallRecord again = Record("HOME", "M\xDCLLER \xC9MILE", {7, 15, 26, 9, 30});
        h->BeginDownload("/dev/ttyUSB0");
        std::vector<uint64_t> added;
        for (int i = 0; i < 3; ++i) added.push_back(h->AddRecord(again));
        const DownloadSummary s = h->EndDownload(DownloadEnd::Completed);
        EXPECT_EQ(s.knownCalls, 2);
        EXPECT_EQ(s.newCalls, 1);
        EXPECT_EQ(h->WrittenAs(added[0])->id, 1);
        EXPECT_EQ(h->WrittenAs(added[1])->id, 2);
        EXPECT_EQ(h->WrittenAs(added[2])->id, 7);  // after the highest id, never into the gap
        EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
        EXPECT_EQ(OfficeCalls(path), (std::vector<int64_t>{5}));
    }
}

// A history of version 5 (made here by taking version 6's additions away
// again) is brought to version 6 in place. Its calls are this machine's box's;
// a call collected from a watcher is kept once by that watcher's id, apart
// from the same call seen by another box, and the pages filter by box.
TEST(CallHistorySchema, Version5HistoryUpgradesAndKeepsEachCollectedCallOnce) {
    TempDir dir;
    const std::string path = dir.path + "/calls.sqlite3";
    const CallRecord home = Record("HOME", "555 0100 SMITH", {7, 15, 26, 9, 30});
    std::string problem;
    {
        auto h = CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("/dev/ttyUSB0");
        h->AddRecord(home);
        h->EndDownload(DownloadEnd::Completed);
        h->Close(1000);
    }
    ASSERT_EQ(Exec(path, "DROP TABLE collected; DROP INDEX records_source; DROP INDEX records_instance; DROP INDEX records_call;"
                         "CREATE UNIQUE INDEX records_call ON records(label, letter, d1, d2, d3, t1, t2, has_text, "
                         "text, occurrence) WHERE damaged = 0;"
                         "ALTER TABLE records DROP COLUMN instance; ALTER TABLE records DROP COLUMN source_id;"
                         "PRAGMA user_version=5"),
              SQLITE_OK);
    // Opened as the collector opens it: its writes may wait a second for the
    // history's own thread, which indexes the upgraded file meanwhile.
    OpenOptions asCollector;
    asCollector.busyTimeoutMs = 1000;
    auto h = CallHistory::Open(path, &problem, asCollector);
    ASSERT_TRUE(h) << problem;
    EXPECT_EQ(Query(path, "PRAGMA user_version"), 6);
    const int64_t at = 1796724000000;
    const struct {
        CollectedCall call;
        CollectResult result;
    } cases[] = {
        {{"kitchen", 1, at, home}, CollectResult::New},    // this box's call, seen by another box too
        {{"hall", 1, at, home}, CollectResult::New},       // and by a third, under the same id in its own history
        {{"kitchen", 1, at, home}, CollectResult::Known},  // sent again
        {{"kitchen", 2, at, home}, CollectResult::New},    // the caller again within the minute
    };
    for (const auto& c : cases) EXPECT_EQ(h->Collect(c.call), c.result) << c.call.instance << c.call.sourceId;
    h->BeginDownload("/dev/ttyUSB0");
    h->AddRecord(home);
    EXPECT_EQ(h->EndDownload(DownloadEnd::Completed).knownCalls, 1);  // the box's own call is still known
    EXPECT_EQ(h->LastCollected("attic"), 0);
    EXPECT_EQ(h->LastCollected("kitchen"), 2);

    auto reader = CallReader::Open(path, &problem);
    ASSERT_TRUE(reader) << problem;
    EXPECT_EQ(reader->Instances(), (std::vector<std::string>{"", "hall", "kitchen"}));
    for (const auto& [filter, want] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"", {"", "hall", "kitchen", "kitchen"}}, {"kitchen", {"kitchen", "kitchen"}}, {kLocalInstance, {""}}}) {
        PageQuery q;
        q.filter.instance = filter;
        std::vector<std::string> got;
        for (const auto& row : reader->Page(q, &problem).rows) got.push_back(row.call.instance);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << filter << problem;
    }
    // Pruned, the calls are not asked for again.
    reader.reset();
    h->Close(1000);
    h.reset();
    ASSERT_EQ(Exec(path, "DELETE FROM records WHERE instance = 'kitchen'"), SQLITE_OK);
    h = CallHistory::Open(path, &problem);
    ASSERT_TRUE(h) << problem;
    EXPECT_EQ(h->LastCollected("kitchen"), 2);
}

// A watcher's mark moves over the numbers kept in a row and over the gaps a
// replay's whole answer settled; a number beyond a gap, however far, moves it
// not; nothing moves it back, pruning included.
TEST(CallHistorySchema, TheCollectedMarkMovesOnlyOverCallsInARowAndSettledGaps) {
    TempDir dir;
    const std::string path = dir.path + "/calls.sqlite3";
    std::string problem;
    auto h = CallHistory::Open(path, &problem);
    ASSERT_TRUE(h) << problem;
    const struct {
        int64_t collect, settle, mark;
    } steps[] = {
        {2, 0, 0},             // beyond the gap of 1
        {1, 0, 2},             // the gap filled: on over 2
        {5, 0, 2},             // beyond 3 and 4
        {0, 4, 5},             // an answer showed 3 and 4 do not exist: on over 5
        {999999999999, 0, 5},  // a far number
        {3, 0, 5},             // a late copy below the mark
        {0, 3, 5},             // an older answer's end
        {6, 0, 6},
    };
    int64_t at = 1796724000000;
    for (const auto& s : steps) {
        if (s.collect)
            EXPECT_EQ(h->Collect({"kitchen", s.collect, at++, Record("HOME", "555 0100", {7, 15, 26, 9, 30})}),
                      CollectResult::New);
        if (s.settle) EXPECT_TRUE(h->SettleCollected("kitchen", s.settle));
        EXPECT_EQ(h->LastCollected("kitchen"), s.mark) << s.collect << " " << s.settle;
    }
    h->Close(1000);
    h.reset();
    ASSERT_EQ(Exec(path, "DELETE FROM records"), SQLITE_OK);
    h = CallHistory::Open(path, &problem);
    ASSERT_TRUE(h) << problem;
    EXPECT_EQ(h->LastCollected("kitchen"), 6);
    EXPECT_EQ(h->LastCollected("hall"), 0);
}

// A record whose boundary frame was lost, as the protocol hands it over (and
// once more with fields that contradict an unknown header): kept, damaged,
// no call, its unknown fields NULL in the file and empty in every export.
// How each download ended is written in words other programs read: every
// way the protocol reports an end keeps the word the file has always had.
TEST(CallHistorySchema, EachWayADownloadEndsIsWrittenByItsName) {
    TempDir dir;
    const std::string path = dir.File();
    const std::vector<std::pair<DownloadEnd, const char*>> ends = {
        {DownloadEnd::Completed, "completed"}, {DownloadEnd::Stalled, "no-end-frame"},
        {DownloadEnd::Restarted, "restarted"}, {DownloadEnd::Refused, "interrupted"},
        {DownloadEnd::Cut, "cut"},             {DownloadEnd::Interrupted, "interrupted"}};
    std::vector<std::string> want;
    {
        auto h = CallHistory::Open(path, nullptr);
        ASSERT_TRUE(h);
        for (const auto& [how, name] : ends) {
            h->BeginDownload("/dev/ttyUSB0");
            h->AddRecord(Record("HOME", "5551234", {7, 15, 26, 9, 5}));
            h->EndDownload(how);
            want.push_back(std::string("3:") + name + "|");
        }
        ASSERT_FALSE(h->Close(0));
    }
    EXPECT_EQ(Dump(path, "SELECT ended_how FROM downloads ORDER BY id"), want);
}

TEST(CallHistorySchema, UnknownHeaderIsKeptAsDamagedAndExportedEmpty) {
    TempDir dir;
    FakeClock clock;
    auto h = CallHistory::Open(dir.File(), nullptr, clock.Options());
    ASSERT_TRUE(h);
    h->RegisterTarget("mqtt://broker/dialscope");
    CallRecord lost;
    lost.headerKnown = false;
    lost.label.fill('?');
    lost.dateTime = {-1, -1, -1, -1, -1};
    lost.text = "555 0100 SMITH";
    lost.hasText = true;
    lost.damaged = true;
    const std::string shown = " 5. ????????? ?\?/?\?/?? ?\?:??\r\n      555 0100 SMITH\r\n      (text damaged in transfer)\r\n";
    CallRecord odd = Record("HOME", "555 0100 SMITH", {7, 15, 26, 9, 30});
    odd.headerKnown = false;  // and not marked damaged, with a date

    h->BeginDownload("/dev/ttyUSB0");
    h->AddRecord(lost, shown);
    h->AddRecord(lost, shown);  // twice: a damaged record is never the same call as another
    h->AddRecord(odd);
    const DownloadSummary s = h->EndDownload(DownloadEnd::Completed);
    EXPECT_EQ(s.records, 3);
    EXPECT_EQ(s.damaged, 3);
    EXPECT_EQ(s.newCalls + s.knownCalls, 0);
    EXPECT_TRUE(h->TakeNewCalls().empty());
    EXPECT_EQ(h->CountCalls(), 0);
    EXPECT_TRUE(h->Unpublished("mqtt://broker/dialscope", 10).empty());
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records WHERE label IS NULL AND label_index IS NULL AND "
                                "letter IS NULL AND label_key = '' AND damaged = 1 AND d1 = -1 AND d2 = -1 AND "
                                "d3 = -1 AND t1 = -1 AND t2 = -1 AND key_mdy IS NULL"),
              3);

    EXPECT_TRUE(h->List({}).empty());
    EXPECT_TRUE(h->List({.label = "????????", .includeDamaged = true}).empty());
    EXPECT_TRUE(h->List({.search = "???", .includeDamaged = true}).empty());  // the placeholder is no label
    EXPECT_EQ(h->List({.search = "smith", .includeDamaged = true}).size(), 3u);
    const auto kept = h->List({.includeDamaged = true});
    ASSERT_EQ(kept.size(), 3u);
    const StoredCall& call = kept[2];  // the first one added
    EXPECT_EQ(call.id, 1);
    EXPECT_FALSE(call.fields.headerKnown);
    EXPECT_TRUE(call.damaged);
    EXPECT_EQ(call.fields.label, lost.label);
    EXPECT_EQ(call.fields.dateTime, lost.dateTime);
    EXPECT_EQ(call.fields.text, lost.text);
    EXPECT_EQ(call.rendered, shown);
    EXPECT_EQ(kept[0].fields.dateTime, lost.dateTime);  // the odd one's date is not kept as if known

    // Written out by hand: the unknown cells are empty, as a date field the
    // box did not carry is.
    EXPECT_EQ(CsvRow(call, DateOrder::MDY),
              "1,1,2026-12-08T10:00:00.000Z,,,,,,,,,,555 0100 SMITH,353535203031303020534d495448,false,true,\r\n");
    const auto j = nlohmann::json::parse(JsonLine(kept[0], DateOrder::MDY));
    for (const char* key : {"label", "letter", "date", "time"}) EXPECT_TRUE(j.at(key).is_null()) << key;
    EXPECT_EQ(j.at("date_raw"), nlohmann::json::parse("[null, null, null]"));
    EXPECT_EQ(j.at("time_raw"), nlohmann::json::parse("[null, null]"));
    EXPECT_EQ(j.at("text"), "555 0100 SMITH");
    EXPECT_EQ(j.at("damaged"), true);
    EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
}

}  // namespace
}  // namespace dialscope::history::test
