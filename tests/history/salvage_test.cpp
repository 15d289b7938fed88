// Salvage of a damaged history: every call on a page that is still sound
// comes out in the new file as it was, with its id; the old file is not
// changed by a byte.
#include "history/salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "history_support.h"

namespace dialscope::history::test {
namespace {

using Rows = std::map<int64_t, std::string>;

// Runs sql on the file (read-only) and hands each row to `row`.
void Each(const std::string& path, const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (sqlite3_step(st) == SQLITE_ROW) row(st);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// Every column of every row of a table, as text, by the row's first column.
Rows AllRows(const std::string& path, const std::string& sql) {
    Rows rows;
    Each(path, sql, [&](sqlite3_stmt* st) {
        std::string all;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const int type = sqlite3_column_type(st, i);
            const char* bytes = static_cast<const char*>(sqlite3_column_blob(st, i));
            all += std::to_string(type) + ":" + std::string(bytes ? bytes : "", sqlite3_column_bytes(st, i)) + "|";
        }
        rows[sqlite3_column_int64(st, 0)] = all;
    });
    return rows;
}

const char* const kRecords = "SELECT * FROM records ORDER BY id";

// Which records each page of the file holds, as SQLite itself lays them out
// (its dbstat table): leaves left to right hold the ids in order; a record
// can only be read when its leaf and every page above it are sound.
struct Layout {
    std::map<int64_t, std::set<int64_t>> idsUnder;  // page -> ids of the records it leads to
    std::set<int64_t> schemaPages;
    std::set<int64_t> textPages;  // the search's copy of each record's id (records_text)
    int64_t pages = 0;
};

Layout LayoutOf(const std::string& path, const Rows& records) {
    Layout layout;
    std::map<std::string, int64_t> pageAt;  // records' path -> page
    std::vector<std::pair<std::string, int64_t>> leaves;  // path, cells
    Each(path, "SELECT name, path, pageno, pagetype, ncell FROM dbstat", [&](sqlite3_stmt* st) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const std::string at = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        const int64_t page = sqlite3_column_int64(st, 2);
        layout.pages = std::max(layout.pages, page);
        if (name == "sqlite_schema" || name == "sqlite_master") layout.schemaPages.insert(page);
        if (name == "records_text") layout.textPages.insert(page);
        if (name != "records") return;
        pageAt[at] = page;
        if (std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 3))) == "leaf")
            leaves.emplace_back(at, sqlite3_column_int64(st, 4));
    });
    std::sort(leaves.begin(), leaves.end());
    auto id = records.begin();
    for (const auto& [at, cells] : leaves)
        for (int64_t i = 0; i < cells && id != records.end(); ++i, ++id)
            // The leaf and the pages above it: "/", "/003/", "/003/010/".
            for (size_t end = at.find('/'); end != std::string::npos; end = at.find('/', end + 1))
                layout.idsUnder[pageAt.at(at.substr(0, end + 1))].insert(id->first);
    return layout;
}

// A call collected from a watcher keeps its watcher in the copy, and the
// watcher its mark: else the next replay would bring it, or a call pruned
// before, again.
TEST(Salvage, CollectedCallsKeepTheirWatcher) {
    TempDir dir;
    const std::string sound = dir.File("sound.sqlite3"), saved = dir.File("saved.sqlite3");
    {
        std::string problem;
        auto h = CallHistory::Open(sound, &problem);
        ASSERT_TRUE(h) << problem;
        h->AddRecord(Record("HOME", "555 0100", {7, 15, 26, 9, 30}));
        h->EndDownload(DownloadEnd::Completed);
        ASSERT_EQ(h->Collect({"kitchen", 7, 1796724000000, Record("HOME", "555 0100", {7, 15, 26, 9, 30})}),
                  CollectResult::New);
        ASSERT_TRUE(h->SettleCollected("kitchen", 9));
    }
    SalvageReport report;
    std::string problem;
    ASSERT_TRUE(Salvage(sound, saved, &report, &problem)) << problem;
    const char* sql = "SELECT id, instance, source_id FROM records";
    EXPECT_EQ(AllRows(saved, sql), AllRows(sound, sql));
    EXPECT_EQ(AllRows(saved, sql).size(), 2u);
    const char* marks = "SELECT instance, through FROM collected";
    EXPECT_EQ(AllRows(saved, marks), AllRows(sound, marks));
    EXPECT_EQ(AllRows(saved, marks).size(), 1u);
}

TEST(Salvage, EveryCallOnSoundPagesComesOutAsItWasAndTheOldFileIsNotChanged) {
    TempDir dir;
    const std::string sound = dir.File("sound.sqlite3");
    {
        FakeClock clock;
        std::string problem;
        auto h = CallHistory::Open(sound, &problem, clock.Options());
        ASSERT_TRUE(h) << problem;
        h->RegisterTarget("mqtt://broker/dialscope");
        for (int d = 0; d < 3; ++d) {
            h->BeginDownload("/dev/ttyUSB0");
            for (int i = 0; i < 100; ++i, clock.now += 60000) {
                const int n = d * 100 + i;
                // Every fifth caller's number is in its text.
                const std::string number = n % 5 ? "" : "555 0" + std::to_string(100 + n) + " ";
                h->AddRecord(Record("CALL" + std::to_string(n % 7), number + "Caller " + std::to_string(n) + std::string(90, 'a' + n % 26),
                                    {7, 15, 26, static_cast<int16_t>(n / 60 % 24), static_cast<int16_t>(n % 60)},
                                    n % 37 == 5));
            }
            h->EndDownload(DownloadEnd::Completed);
        }
        for (int64_t id : {1, 2, 3, 50, 52}) h->MarkPublished("mqtt://broker/dialscope", id);
        h->Flush();
    }
    const Rows soundRecords = AllRows(sound, kRecords);
    ASSERT_EQ(soundRecords.size(), 300u);
    ASSERT_EQ(Query(sound, "SELECT count(caller_number) FROM records"), 60);
    const Layout layout = LayoutOf(sound, soundRecords);
    const std::string bytes = ReadAll(sound);
    const size_t pageSize = 4096;
    ASSERT_EQ(bytes.size(), layout.pages * pageSize);

    // The sound file: everything, and nothing said lost.
    {
        const std::string saved = dir.File("saved.sqlite3");
        SalvageReport report;
        std::string problem;
        ASSERT_TRUE(Salvage(sound, saved, &report, &problem)) << problem;
        EXPECT_FALSE(report.damageFound);
        EXPECT_EQ(report.calls + report.damagedRecords, 300);
        EXPECT_EQ(report.damagedRecords, 8);
        EXPECT_EQ(report.lostRecords, 0);
        EXPECT_EQ(report.downloads, 3);
        EXPECT_EQ(AllRows(saved, kRecords), soundRecords);
        for (const char* sql : {"SELECT * FROM downloads", "SELECT * FROM targets", "SELECT call_id, target FROM published",
                                "SELECT * FROM records_text"})
            EXPECT_EQ(AllRows(saved, sql), AllRows(sound, sql)) << sql;
        EXPECT_EQ(Query(saved, "SELECT through FROM search_state"), 300);  // the search index is built
        struct stat st {};
        ASSERT_EQ(stat(saved.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::string problemAgain;
        auto h = CallHistory::Open(saved, &problemAgain);
        ASSERT_TRUE(h) << problemAgain;
        EXPECT_TRUE(h->Check(true).empty());
        ListQuery q;
        q.search = "caller 217j";
        ASSERT_EQ(h->List(q).size(), 1u);
        EXPECT_EQ(h->List(q)[0].id, 218);
        // A watcher on the new file owes the broker what it owed on the old one.
        std::vector<int64_t> owed;
        for (const auto& c : h->Unpublished("mqtt://broker/dialscope", 1000)) owed.push_back(c.id);
        auto old = CallHistory::Open(sound, &problemAgain);
        std::vector<int64_t> owedBefore;
        for (const auto& c : old->Unpublished("mqtt://broker/dialscope", 1000)) owedBefore.push_back(c.id);
        EXPECT_EQ(owed, owedBefore);
        EXPECT_EQ(owed.size(), 300u - 8 - 5);
        // The new file is never overwritten.
        EXPECT_FALSE(Salvage(sound, saved, &report, &problem));
        EXPECT_NE(problem.find("exists already"), std::string::npos) << problem;
    }

    // Each page spoiled in turn (the schema's aside, without which nothing
    // can be read): bytes scattered over the whole page, or a block of zeros
    // in its middle (rows then read garbled, or not at all).
    struct Spoil {
        const char* name;
        std::function<void(std::string&, size_t)> apply;
    };
    const Spoil spoils[] = {
        {"scattered", [](std::string& b, size_t at) { for (size_t i = at + 16; i < at + pageSize; i += 29) b[i] ^= 0x5A; }},
        {"zeroed middle", [](std::string& b, size_t at) { std::fill_n(b.begin() + at + 1800, 300, '\0'); }},
        // The id of a leaf's first record made that of a call 40 further on,
        // its row intact: it reads with no error at all.
        {"an id changed",
         [](std::string& b, size_t at) {
             if (static_cast<uint8_t>(b[at]) != 0x0D) return;  // no leaf of a table
             size_t cell = at + ((static_cast<uint8_t>(b[at + 8]) << 8) | static_cast<uint8_t>(b[at + 9]));
             while (static_cast<uint8_t>(b[cell]) & 0x80) ++cell;  // the size of its row
             ++cell;
             if (static_cast<uint8_t>(b[cell]) & 0x80) {  // ids 128 and up: two bytes
                 const int id = ((static_cast<uint8_t>(b[cell]) & 0x7F) << 7 | (static_cast<uint8_t>(b[cell + 1]))) + 40;
                 b[cell] = static_cast<char>(0x80 | id >> 7), b[cell + 1] = static_cast<char>(id & 0x7F);
             } else if (b[cell] + 40 < 128) {
                 b[cell] = static_cast<char>(b[cell] + 40);
             }
         }},
    };
    int lossesSaid = 0;
    for (const Spoil& spoil : spoils) {
        for (int64_t page = 2; page <= layout.pages; ++page) {
            if (layout.schemaPages.count(page)) continue;
            SCOPED_TRACE(std::string(spoil.name) + ", page " + std::to_string(page));
            const std::string copy = dir.File("spoiled.sqlite3"), saved = dir.File("from-spoiled.sqlite3");
            std::string spoiled = bytes;
            spoil.apply(spoiled, static_cast<size_t>(page - 1) * pageSize);
            std::ofstream(copy, std::ios::binary | std::ios::trunc) << spoiled;

            SalvageReport report;
            std::string problem;
            ASSERT_TRUE(Salvage(copy, saved, &report, &problem)) << problem;
            EXPECT_EQ(ReadAll(copy), spoiled);
            EXPECT_FALSE(std::filesystem::exists(copy + "-wal") || std::filesystem::exists(copy + "-shm"));

            const Rows out = AllRows(saved, kRecords);
            const auto under = layout.idsUnder.find(page);
            const std::set<int64_t> hit = under == layout.idsUnder.end() ? std::set<int64_t>{} : under->second;
            int64_t equal = 0, garbled = 0;
            for (const auto& [id, row] : out) {
                const auto twin = soundRecords.find(id);
                (twin != soundRecords.end() && twin->second == row ? equal : garbled) += 1;
            }
            for (const auto& [id, row] : soundRecords)
                if (!hit.count(id)) { EXPECT_TRUE(out.count(id) && out.at(id) == row) << "call " << id << " was not saved"; }
            EXPECT_LE(garbled, static_cast<int64_t>(hit.size()));
            EXPECT_EQ(report.calls + report.damagedRecords, static_cast<int64_t>(out.size()));
            const int64_t missing = 300 - static_cast<int64_t>(out.size());
            if (missing > 0) {
                ++lossesSaid;
                EXPECT_TRUE(report.damageFound);
                EXPECT_TRUE(report.lostRecords > 0 || report.lostAtEnd);
                // Counted from the ids on both sides of the damage: the
                // records of the spoiled page, and not many more.
                EXPECT_GE(report.lostRecords, missing - (report.lostAtEnd ? missing : 0));
                EXPECT_LE(report.lostRecords, missing + garbled + 1);
            }
            for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(saved + suffix);
        }
    }
    EXPECT_GT(lossesSaid, 5);  // damage that lost calls was met, and said

    // A page of the records, and every page of the search's copy of their
    // ids, with the search index a download behind (a watcher stopped
    // before it indexed): what is lost is still counted in full, never less.
    const std::string lagging = dir.File("lagging.sqlite3");
    std::ofstream(lagging, std::ios::binary) << bytes;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(lagging.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE search_state SET through = 200", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    const std::string laggingBytes = ReadAll(lagging);
    ASSERT_EQ(laggingBytes.size(), bytes.size());
    for (const auto& [page, ids] : layout.idsUnder) {
        SCOPED_TRACE("records page " + std::to_string(page) + " and all of records_text");
        const std::string copy = dir.File("spoiled.sqlite3"), saved = dir.File("from-spoiled.sqlite3");
        std::string spoiled = laggingBytes;
        for (int64_t p : layout.textPages)  // headers too: not a row of it can be found
            for (size_t i = static_cast<size_t>(p - 1) * pageSize; i < static_cast<size_t>(p) * pageSize; i += 7) spoiled[i] ^= 0x5A;
        spoils[0].apply(spoiled, static_cast<size_t>(page - 1) * pageSize);
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << spoiled;
        SalvageReport report;
        std::string problem;
        ASSERT_TRUE(Salvage(copy, saved, &report, &problem)) << problem;
        const int64_t missing = 300 - static_cast<int64_t>(AllRows(saved, kRecords).size());
        EXPECT_TRUE(report.damageFound);
        EXPECT_GE(report.lostRecords, missing) << (report.lostAtEnd ? "at the end" : "");
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(saved + suffix);
    }
}

}  // namespace
}  // namespace dialscope::history::test
