// A history that cannot be opened or written: each failure said once in plain
// words, no record lost that could later be written, and a file that cannot
// be read is never changed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <optional>

#include "history/pending_file.h"
#include "history_support.h"

namespace dialscope::history::test {
namespace {

void MakeDatabase(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// A history of ours with one call in it, then changed by hand with sql.
void MakeEditedHistory(const std::string& path, const char* sql) {
    {
        std::string problem;
        auto h = CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("ttyUSB0");
        h->AddRecord(Record("HOME", "5551234", {7, 15, 26, 9, 5}));
        h->EndDownload(DownloadEnd::Completed);
    }
    // Fold the write-ahead log in so that the file alone is the history.
    MakeDatabase(path, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
    MakeDatabase(path, sql);
}

TEST(CallHistoryFailure, FilesItCannotReadAreRefusedAndLeftAsTheyAre) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string said;
    };
    const Case cases[] = {
        {"junk", [](const std::string& p) { std::ofstream(p) << std::string(5000, '\x7f') << "not a db"; },
         "is not a call history (it is not an SQLite database)"},
        {"short junk", [](const std::string& p) { std::ofstream(p) << "x"; }, "is not a call history"},
        {"SQLite header, junk after",
         [](const std::string& p) { std::ofstream(p) << std::string("SQLite format 3\0", 16) << std::string(8192, 'z'); },
         "is not a call history"},
        {"another program's database",
         [](const std::string& p) { MakeDatabase(p, "CREATE TABLE notes(x); INSERT INTO notes VALUES (1);"); },
         "is a database of another program"},
        {"newer version", [](const std::string& p) { MakeDatabase(p, "CREATE TABLE t(x); PRAGMA user_version=7;"); },
         "was written by a newer version of Dialscope (format 7, this one knows up to " +
             std::to_string(CallHistory::kSchemaVersion) + ")"},
        {"ours, its records table dropped",
         [](const std::string& p) { MakeEditedHistory(p, "DROP TABLE records;"); },
         "is damaged: no such table: records"},
        {"ours, its contacts table dropped",
         [](const std::string& p) { MakeEditedHistory(p, "DROP TABLE contacts;"); },
         "is damaged: no such table: contacts"},
        {"ours, its callers' numbers dropped",
         [](const std::string& p) {
             MakeEditedHistory(p, "DROP INDEX records_caller; ALTER TABLE records DROP COLUMN caller_number;");
         },
         "is damaged: no such column: caller_number"},
        {"ours, a column renamed",
         [](const std::string& p) { MakeEditedHistory(p, "ALTER TABLE downloads RENAME COLUMN port TO line;"); },
         "is damaged: no such column: port"},
        {"ours, the unique index of calls dropped",
         [](const std::string& p) { MakeEditedHistory(p, "DROP INDEX records_call;"); },
         "the index that keeps each call once is missing"},
        {"version 1 labelled 2 by hand, its records never rebuilt",
         [](const std::string& p) {
             MakeDatabase(p, (std::string(kVersion1Schema) + kVersion1Pragmas + "PRAGMA user_version=2;").c_str());
         },
         "is damaged: its records cannot hold a record whose header is unknown"},
        {"ours, that index made not unique",
         [](const std::string& p) {
             MakeEditedHistory(p, "DROP INDEX records_call; CREATE INDEX records_call ON records(label);");
         },
         "the index that keeps each call once is missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.make(dir.File());
        std::string before = ReadAll(dir.File());
        std::string problem;
        auto opened = CallHistory::Open(dir.File(), &problem);
        // Ours but damaged: opened as damaged, for the pending file; another's: refused.
        if (opened) {
            EXPECT_TRUE(opened->damaged());
            EXPECT_FALSE(opened->readable());
            problem = Words(opened->TakeProblem()).value_or("");
        }
        EXPECT_EQ(!!opened, std::string(c.said).find("is damaged") != std::string::npos ||
                                std::string(c.said).find("is missing") != std::string::npos);
        EXPECT_NE(problem.find(c.said), std::string::npos) << problem;
        EXPECT_NE(problem.find(dir.File()), std::string::npos) << problem;
        EXPECT_EQ(ReadAll(dir.File()), before);
        EXPECT_FALSE(std::filesystem::exists(dir.File() + "-wal"));
    }
    TempDir dir;
    std::filesystem::create_directory(dir.File());
    std::string problem;
    EXPECT_FALSE(CallHistory::Open(dir.File(), &problem));
    EXPECT_NE(problem.find("is a folder, not a file"), std::string::npos) << problem;
}

// Odd values where the schema is right (another tool wrote them): listed,
// stored beside, nothing read past its end.
TEST(CallHistoryFailure, OddValuesAreListedAndTheFileStillTakesCalls) {
    TempDir dir;
    MakeEditedHistory(dir.File(),
                      "UPDATE records SET label = X'01', text = 12345, d1 = 'abc', d2 = -99999, "
                      "t1 = 1000000, letter = 99, label_index = 300, has_text = 'yes', "
                      "received_at = 'soon', rendered = X'', key_mdy = 'x', label_key = '';");
    std::string problem;
    auto h = CallHistory::Open(dir.File(), &problem);
    ASSERT_TRUE(h) << problem;
    for (DateOrder order : {DateOrder::MDY, DateOrder::DMY, DateOrder::YMD}) {
        ListQuery q;
        q.dateOrder = order;
        q.includeDamaged = true;
        const auto calls = h->List(q);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].fields.label.size(), 8u);
        q.search = "555";
        q.since = "2026-01-01";
        h->List(q);
    }
    h->BeginDownload("ttyUSB0");
    h->AddRecord(Record("HOME", "5551234", {7, 15, 26, 9, 5}));
    const DownloadSummary s = h->EndDownload(DownloadEnd::Completed);
    EXPECT_EQ(s.newCalls + s.knownCalls, 1);
    EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
}

// Adds three records while the file cannot take them: each call returns at
// once and every record waits in memory.
void AddWhileFailing(CallHistory& h) {
    h.BeginDownload("/dev/ttyUSB0");
    for (int i = 0; i < 3; ++i) {
        auto start = std::chrono::steady_clock::now();
        h.AddRecord(Record("HOME", "call " + std::to_string(i), {7, 15, 26, 9, static_cast<int16_t>(i)}));
        // Loose on purpose: catches a wait of seconds on a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    }
    DownloadSummary s = h.EndDownload(DownloadEnd::Completed);
    EXPECT_EQ(s.records, 3);
    EXPECT_EQ(s.unsaved, 3);
    EXPECT_EQ(h.PendingRecords(), 3u);
}

void ExpectRecovered(CallHistory& h, const std::string& path) {
    // Each tick writes for a few milliseconds at most: a backlog may take several.
    for (int tick = 0; tick < 100; ++tick) h.Flush();
    EXPECT_EQ(h.PendingRecords(), 0u);
    EXPECT_EQ(Words(h.TakeProblem()), "The call history " + path + " is written again; 3 waiting records were stored.");
    EXPECT_EQ(Words(h.TakeProblem()), std::nullopt);
    EXPECT_EQ(h.TakeNewCalls().size(), 3u);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM records"), 3);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM downloads WHERE records = 3 AND new_calls = 3 AND ended_how = 'completed'"), 1);
}

TEST(CallHistoryFailure, LockedFileQueuesAndSaysSoAfterThreeSeconds) {
    TempDir dir;
    FakeClock clock;
    OpenOptions options = clock.Options();
    options.queueLimit = 3;
    auto h = CallHistory::Open(dir.File(), nullptr, options);
    ASSERT_TRUE(h);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    AddWhileFailing(*h);
    EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);  // a short lock is normal: nothing said
    clock.now += 3000;
    h->Flush();
    EXPECT_EQ(Words(h->TakeProblem()), "The call history " + dir.File() +
                                    " has been locked by another program for more than 3 seconds. Calls are kept "
                                    "in memory and written when it is free.");
    // The queue is bounded; the oldest records are the ones kept.
    h->BeginDownload("/dev/ttyUSB0");
    h->AddRecord(Record("HOME", "dropped", {7, 15, 26, 9, 50}));
    EXPECT_EQ(Words(h->TakeProblem()), "3 records are waiting in memory for the call history " + dir.File() +
                                    ", as many as are kept; later records are not stored in it (the log still "
                                    "shows them). Free the file or the disk so that the waiting ones can be written.");
    EXPECT_EQ(h->EndDownload(DownloadEnd::Cut).unsaved, 1);
    h->Flush();
    EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);  // each kind once

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    for (int tick = 0; tick < 100; ++tick) h->Flush();
    EXPECT_EQ(h->PendingRecords(), 0u);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records"), 3);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM downloads WHERE ended_how = 'cut' AND records = 0"), 1);

    // Once written again, a later lock is a new one: not "locked" at once.
    while (Words(h->TakeProblem())) {}
    ASSERT_EQ(sqlite3_open(dir.File().c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 10000);  // the search indexing may hold the file a moment after a write
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    h->BeginDownload("/dev/ttyUSB0");
    h->AddRecord(Record("HOME", "later", {7, 15, 26, 9, 51}));
    clock.now += 100;
    h->Flush();
    EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
}

// A write that fails half-way through its transaction leaves nothing open
// behind it: the file is free for others at once, and the record is written
// whole once the cause has gone.
TEST(CallHistoryFailure, AWriteThatFailsHalfWayHoldsNoLock) {
    TempDir dir;
    auto h = CallHistory::Open(dir.File(), nullptr, OpenOptions{});
    ASSERT_TRUE(h);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File().c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 5000);  // past the search indexing, never past a transaction left open
    ASSERT_EQ(sqlite3_exec(other, "CREATE TRIGGER refuse BEFORE UPDATE ON downloads BEGIN SELECT RAISE(ABORT, 'no'); END",
                           nullptr, nullptr, nullptr), SQLITE_OK);
    h->BeginDownload("/dev/ttyUSB0");
    h->AddRecord(Record("HOME", "5551234", {7, 15, 26, 9, 5}));
    EXPECT_EQ(h->PendingRecords(), 1u);
    EXPECT_EQ(sqlite3_exec(other, "DROP TRIGGER refuse", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    h->EndDownload(DownloadEnd::Completed);
    for (int tick = 0; tick < 100 && h->PendingRecords() > 0; ++tick) h->Flush();
    EXPECT_EQ(h->PendingRecords(), 0u);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records"), 1);
    EXPECT_EQ(Query(dir.File(), "SELECT count(*) FROM records_text"), 1);
    EXPECT_EQ(Query(dir.File(), "SELECT records FROM downloads"), 1);
}

TEST(CallHistoryFailure, FullDiskQueuesUntilThereIsRoom) {
    TempDir dir;
    std::string mnt = dir.path + "/small";
    std::filesystem::create_directory(mnt);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "no tiny tmpfs here (mount: " << std::strerror(errno) << "); the full-disk case is not run";
    std::string path = mnt + "/calls.sqlite3";
    {
        FakeClock clock;
        auto h = CallHistory::Open(path, nullptr, clock.Options());
        ASSERT_TRUE(h);
        std::string filler = mnt + "/filler";
        {
            int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0644);
            std::string block(4096, 'f');
            while (write(fd, block.data(), block.size()) > 0) {
            }
            while (write(fd, "f", 1) > 0) {
            }
            close(fd);
        }
        AddWhileFailing(*h);
        EXPECT_EQ(Words(h->TakeProblem()), "The call history " + path +
                                        " cannot be written: the disk is full. Calls are kept in memory and written "
                                        "when there is room.");
        EXPECT_EQ(Words(h->TakeProblem()), std::nullopt);
        std::filesystem::remove(filler);
        ExpectRecovered(*h, path);
    }
    umount2(mnt.c_str(), MNT_DETACH);
}

// The permission case runs as nobody in a child: root writes anything.
TEST(CallHistoryFailure, ReadOnlyFileQueuesUntilItMayBeWritten) {
    TempDir dir;
    std::string folder = dir.path + "/share";
    std::filesystem::create_directory(folder);
    std::string path = folder + "/calls.sqlite3";
    ASSERT_TRUE(CallHistory::Open(path, nullptr));
    chmod(dir.path.c_str(), 0755);
    chmod(path.c_str(), 0644);  // others may read it, not write it
    int queued[2], fixed[2];
    ASSERT_EQ(pipe(queued), 0);
    ASSERT_EQ(pipe(fixed), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
        FakeClock clock;
        std::string problem;
        auto h = CallHistory::Open(path, &problem, clock.Options());
        if (!h) _exit(11);
        AddWhileFailing(*h);
        if (Words(h->TakeProblem()) != "The call history " + path +
                                    " cannot be written: permission denied or read-only. Calls are kept in memory "
                                    "meanwhile.")
            _exit(12);
        if (Words(h->TakeProblem()) || write(queued[1], "q", 1) != 1) _exit(13);
        char c;
        if (read(fixed[0], &c, 1) != 1) _exit(14);
        clock.now += 1000;  // the file is looked at again once a second
        ExpectRecovered(*h, path);
        _exit(testing::Test::HasFailure() ? 15 : 0);
    }
    close(queued[1]);  // a child that ends early is an end of file here, not a wait
    char c;
    ASSERT_EQ(read(queued[0], &c, 1), 1);
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(write(fixed[1], "f", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM records"), 3);
}

// SQLite's own verdict on a copy of the file (and its write-ahead log),
// asked apart from the program: opening the copy may fold its log in.
bool SqliteFindsDamage(const std::string& path, const std::string& scratch) {
    std::filesystem::copy_file(path, scratch, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(scratch + "-wal");
    if (std::filesystem::exists(path + "-wal")) std::filesystem::copy_file(path + "-wal", scratch + "-wal");
    sqlite3* db = nullptr;
    sqlite3_open_v2(scratch.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* st = nullptr;
    bool damaged = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr) != SQLITE_OK ||
                   sqlite3_step(st) != SQLITE_ROW ||
                   std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) != "ok";
    sqlite3_finalize(st);
    sqlite3_close(db);
    return damaged;
}

// A history found damaged is never written: the file keeps every byte, with
// or without a write-ahead log beside it. The records it could not take
// wait in the pending file, and a sound history takes them in, byte for byte.
TEST(CallHistoryFailure, DamagedFileKeepsEveryByteAndItsRecordsWaitBesideIt) {
    TempDir dir;
    const std::string sound = dir.File("sound");
    std::string mainBytes, walBytes;
    {
        auto h = CallHistory::Open(sound, nullptr);
        ASSERT_TRUE(h);
        h->BeginDownload("ttyUSB0");
        for (int i = 0; i < 140; ++i) {
            if (i == 120) {  // the first 120 folded into the file, the rest left in its log
                h->EndDownload(DownloadEnd::Completed);
                MakeDatabase(sound, "PRAGMA wal_checkpoint(TRUNCATE)");
                h->BeginDownload("ttyUSB0");
            }
            h->AddRecord(Record("HOME", "call " + std::to_string(i) + std::string(90, static_cast<char>('a' + i % 26)),
                                {7, 15, 26, static_cast<int16_t>(i / 60), static_cast<int16_t>(i % 60)}));
        }
        mainBytes = ReadAll(sound);
        walBytes = ReadAll(sound + "-wal");
    }
    ASSERT_FALSE(walBytes.empty());
    const size_t pageSize = 4096, pages = mainBytes.size() / pageSize;
    const CallRecord added = Record("OFFICE", std::string("\x00\x1b\xff text", 8), {12, 24, 26, 23, 59});
    const std::string shown = " 1. OFFICE   B 12/24/26 23:59\r\n      \x00\x1b\xff text\r\n";
    int found = 0;
    std::string lastPending;
    for (size_t page = 1; page < pages; ++page) {  // the header page is looked at before anything else
        for (bool withLog : {false, true}) {
            SCOPED_TRACE("page " + std::to_string(page + 1) + (withLog ? " with its log" : ""));
            const std::string path = dir.File(("p" + std::to_string(page) + (withLog ? "w" : "")).c_str());
            std::string spoiled = mainBytes;
            for (size_t at = page * pageSize + 8; at < (page + 1) * pageSize; at += 37) spoiled[at] ^= 0x5A;
            std::ofstream(path, std::ios::binary) << spoiled;
            if (withLog) std::ofstream(path + "-wal", std::ios::binary) << walBytes;
            const bool sqliteSays = SqliteFindsDamage(path, dir.File("oracle"));
            std::optional<std::string> said;
            bool damaged = false;
            std::string problem;
            if (auto h = CallHistory::Open(path, &problem)) {
                h->BeginDownload("ttyUSB0");
                for (int i = 0; i < 3; ++i) h->AddRecord(added, shown);
                h->EndDownload(DownloadEnd::Completed);
                said = h->Close(0);
                damaged = h->damaged();
            }
            if (sqliteSays) { EXPECT_TRUE(damaged) << problem; }
            if (!damaged) continue;  // a file that reads as sound everywhere may be written
            ++found;
            EXPECT_EQ(ReadAll(path), spoiled) << "the damaged file was changed";
            ASSERT_TRUE(said);
            EXPECT_NE(said->find("3 records could not be written to the call history " + path +
                                 " (it is damaged). They are kept in " + path + ".pending"),
                      std::string::npos)
                << *said;
            lastPending = ReadAll(path + ".pending");
            EXPECT_EQ(std::count(lastPending.begin(), lastPending.end(), '\n'), 3);
        }
    }
    EXPECT_GT(found, static_cast<int>(pages));
    // The sound history takes them in: the identical three are one call
    // and two more (the caller called three times within the minute).
    std::ofstream(sound + ".pending", std::ios::binary) << lastPending;
    auto h = CallHistory::Open(sound, nullptr);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->TakeNotice(), "3 records an earlier run kept in " + sound + ".pending are now in the call history (3 new calls).");
    EXPECT_FALSE(std::filesystem::exists(sound + ".pending"));
    ListQuery q;
    q.label = "office";
    const auto calls = h->List(q);
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& c : calls) {
        EXPECT_EQ(c.fields.text, added.text);
        EXPECT_EQ(c.rendered, shown);
        EXPECT_EQ(c.fields.dateTime, added.dateTime);
    }
    EXPECT_EQ(h->CountCalls(), 143);
}

// A pending file beside a history another program holds: taken in, in the
// same run, once the lock is let go.
TEST(CallHistoryFailure, PendingRecordsWaitForALockToGoAndAreTakenInThen) {
    TempDir dir;
    ASSERT_TRUE(CallHistory::Open(dir.File(), nullptr));
    const std::string pending = PendingPath(dir.File());
    PendingRecord kept;
    kept.port = "ttyUSB0";
    kept.fields = Record("HOME", "5551234", {7, 15, 26, 9, 5});
    std::string error;
    ASSERT_TRUE(AppendPending(pending, {kept}, &error)) << error;
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto h = CallHistory::Open(dir.File(), nullptr);
    ASSERT_TRUE(h);
    h->Flush();
    EXPECT_EQ(h->TakeNotice(), std::nullopt);
    ASSERT_TRUE(std::filesystem::exists(pending));
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    for (int tick = 0; tick < 100 && std::filesystem::exists(pending); ++tick) h->Flush();
    EXPECT_EQ(h->TakeNotice(), "1 records an earlier run kept in " + pending + " are now in the call history (1 new call).");
    EXPECT_FALSE(std::filesystem::exists(pending));
    EXPECT_EQ(h->CountCalls(), 1);
}

// A spill cut off in the middle of its line (the program killed while it
// wrote) costs that line only: the next spill starts on a line of its own.
TEST(CallHistoryFailure, ACutPendingLineDoesNotSwallowTheNextSpill) {
    TempDir dir;
    const std::string pending = PendingPath(dir.File());
    PendingRecord kept;
    kept.port = "ttyUSB0";
    kept.rendered = "HOME 5551234\r\n";
    const std::string whole = PendingLine(kept);
    std::ofstream(pending, std::ios::binary) << whole.substr(0, whole.size() / 2);
    std::string error;
    ASSERT_TRUE(AppendPending(pending, {kept}, &error)) << error;
    auto take = PendingTake::Open(pending, &error);
    ASSERT_TRUE(take) << error;
    ASSERT_EQ(take->records().size(), 1u);
    EXPECT_EQ(take->records()[0].rendered, kept.rendered);
    EXPECT_EQ(take->unreadableLines(), 1);
}

TEST(CallHistoryFailure, MissingFoldersAreCreated) {
    TempDir dir;
    std::string path = dir.path + "/a/b/calls.sqlite3";
    std::string problem;
    EXPECT_TRUE(CallHistory::Open(path, &problem)) << problem;
    EXPECT_EQ(Query(path, "PRAGMA user_version"), CallHistory::kSchemaVersion);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM pragma_journal_mode WHERE journal_mode = 'wal'"), 1);
}

}  // namespace
}  // namespace dialscope::history::test
