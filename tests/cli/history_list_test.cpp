// `history` lists the kept records as the window showed them, numbered afresh
// in the listing's order; a record whose header was lost on the line (shown
// with "?" for each unknown field) is a damaged record: listed only with
// --damaged, and its unknown fields are null in JSON. Another user may list
// a history its owner lets others read, and is told when it cannot.
#include <sqlite3.h>

#include "app/cli/exit_codes.h"
#include "history/call_history.h"
#include "record/render_record.h"
#include "tests/cli/cli_support.h"
#include "tools/devsim_log.h"

namespace dialscope::cli::test {
namespace {

// The number's four positions, as the simulator's renderer writes them:
// " 7. ", "42. ", "100." (the label stays in its column).
std::string Number(int n) { return devsim::NumberField(n); }

TEST(CliHistory, RecordWithUnknownHeaderIsListedOnlyWithDamagedAndRenumbered) {
    Scratch s;
    // The owner's folder: others may read it, not write it.
    std::filesystem::create_directory(s.File("owner"));
    std::filesystem::permissions(s.File("owner"), std::filesystem::perms(0755));
    const std::string path = s.File("owner/h");
    const std::string lost = "????????? ?\?/?\?/?? ??:??\r\n      555 0100 SMITH\r\n      (text damaged in transfer)\r\n";
    std::vector<std::string> bodies;  // newest first, as listed
    {
        std::string problem;
        auto h = history::CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("/dev/ttyUSB0");
        // 100 calls a minute apart, numbered in their download both narrow
        // (" 7. ") and wide ("100."): the listing makes 1 to 100 of them.
        for (int i = 0; i < 100; ++i) {
            CallRecord f;
            std::copy_n("HOME    ", 8, f.label.begin());
            f.letterCode = 1;
            f.dateTime = {7, 15, 26, static_cast<int16_t>(i / 60), static_cast<int16_t>(i % 60)};
            f.text = "555 01" + std::to_string(10 + i);
            f.hasText = true;
            char body[64];
            std::snprintf(body, sizeof body, "HOME    B 07/15/26 %02d:%02d\r\n      %s\r\n", i / 60, i % 60,
                          f.text.c_str());
            const std::string shown = (i % 2 ? "100." : " 7. ") + std::string(body);
            bodies.insert(bodies.begin(), body);
            h->AddRecord(f, shown);
        }
        CallRecord unknown;
        unknown.headerKnown = false;
        unknown.label.fill('?');
        unknown.dateTime = {-1, -1, -1, -1, -1};
        unknown.text = "555 0100 SMITH";
        unknown.hasText = true;
        unknown.damaged = true;
        h->AddRecord(unknown, " 5. " + lost);
        const history::DownloadSummary summary = h->EndDownload(history::DownloadEnd::Completed);
        ASSERT_EQ(summary.newCalls, 100);
        ASSERT_EQ(summary.damaged, 1);
    }
    std::string calls, withDamaged = Number(1) + lost;  // the last received first, its date or none
    for (int n = 1; n <= 100; ++n) {
        calls += Number(n) + bodies[n - 1];
        withDamaged += Number(n + 1) + bodies[n - 1];
    }

    CliRun listed = RunCli(s, {"--history", path, "history"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(listed.out, SavedBytes(calls));
    listed = RunCli(s, {"--history", path, "history", "--damaged"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(listed.out, SavedBytes(withDamaged));

    // The first call is at 00:00 of the day --since names; --label takes the
    // label in any case.
    for (const std::vector<std::string>& filter : {std::vector<std::string>{"--since", "2026-07-15"},
                                                   std::vector<std::string>{"--label", "Home"}}) {
        std::vector<std::string> args = {"--history", path, "history"};
        args.insert(args.end(), filter.begin(), filter.end());
        listed = RunCli(s, args);
        EXPECT_EQ(listed.code, 0) << listed.err;
        EXPECT_EQ(listed.out, SavedBytes(calls)) << filter[0];
    }
    // CSV appended to one file twice: one header, the rows twice.
    for (int run = 0; run < 2; ++run)
        ASSERT_EQ(RunCli(s, {"--history", path, "history", "--format", "csv", "--output", s.File("calls.csv")}).code, 0);
    const std::string csv = ReadAll(s.File("calls.csv"));
    EXPECT_EQ(CountLines(csv, "id,download,received,label,letter,date,time,date_raw_1,date_raw_2,date_raw_3,"
                              "time_raw_1,time_raw_2,text,text_hex,tone_only,damaged,name,instance\r"), 1);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 201);

    EXPECT_EQ(KeptCalls(s, path).size(), 100u);
    const auto kept = KeptCalls(s, path, {"--damaged"});
    ASSERT_EQ(kept.size(), 101u);
    for (const char* key : {"label", "letter", "date", "time"}) EXPECT_TRUE(kept.front()[key].is_null()) << key;
    EXPECT_EQ(kept.front()["text"], "555 0100 SMITH");
    EXPECT_EQ(kept.front()["damaged"], true);

    auto asNobody = [] {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
    };
    // The history is its owner's alone until the owner shares it.
    listed = RunCli(s, {"--history", path, "history"}, 60s, asNobody);
    EXPECT_EQ(listed.code, 7);
    EXPECT_EQ(listed.out, "");
    EXPECT_NE(listed.err.find("cannot be read: Permission denied"), std::string::npos) << listed.err;
    std::filesystem::permissions(path, std::filesystem::perms(0644));
    // While nothing that writes the history runs, it is read as it lies,
    // with no file made beside it.
    listed = RunCli(s, {"--history", path, "history", "--damaged"}, 60s, asNobody);
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(listed.out, SavedBytes(withDamaged));
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
    // While the owner's program has it open, it lists as for the owner.
    auto owner = history::CallHistory::Open(path, nullptr);
    ASSERT_TRUE(owner);
    listed = RunCli(s, {"--history", path, "history", "--damaged"}, 60s, asNobody);
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(listed.out, SavedBytes(withDamaged));
    owner.reset();

    // Standard output on a full disk: exit 8 and said, whether the bytes
    // fill stdout's buffer (written at once) or wait in it (written at the end).
    std::string book = "name,phone\n";
    for (int i = 0; i < 300; ++i) book += "Person " + std::to_string(i) + ",+49 40 " + std::to_string(1000000 + i) + "\n";
    WriteAll(s.File("book.csv"), book);
    ASSERT_EQ(RunCli(s, {"--history", path, "contacts", "import", s.File("book.csv")}).code, 0);
    const std::vector<std::vector<std::string>> commands = {
        {"history"}, {"history", "--format", "json"}, {"history", "--check"}, {"contacts", "list"},
        {"contacts", "set", "555 0100", "Ann"}};
    for (const auto& command : commands) {
        std::vector<std::string> args = {"--history", path};
        args.insert(args.end(), command.begin(), command.end());
        SCOPED_TRACE(args[2] + " " + args.back());
        listed = RunCli(s, args, 60s, [] { dup2(open("/dev/full", O_WRONLY), 1); });
        EXPECT_EQ(listed.code, kExitOutput) << listed.err;
        EXPECT_NE(listed.err.find("Cannot write to standard output."), std::string::npos) << listed.err;
    }
}

// Damage on any one page of the file: `history` either lists exactly what a
// sound file lists and exits 0, or says the file is damaged and exits 7; `history --check` never calls damage sound
// that the listing found.
// A call collected from another machine's watcher says which one in JSON and
// in CSV's last column; rows appended to a file that an older listing began
// keep its columns.
TEST(CliHistory, CollectedCallsSayTheirWatcherInJsonAndCsv) {
    Scratch s;
    const std::string path = s.File("h");
    {
        std::string problem;
        auto h = history::CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        CallRecord f;
        std::copy_n("HOME    ", 8, f.label.begin());
        f.dateTime = {7, 15, 26, 9, 30};
        f.text = "555 0100";
        f.hasText = true;
        h->BeginDownload("/dev/ttyUSB0");
        h->AddRecord(f);
        h->EndDownload(history::DownloadEnd::Completed);
        f.dateTime[4] = 31;
        ASSERT_EQ(h->Collect({"kitchen-1.4", 7, 1796724000000, f}), history::CollectResult::New);
    }
    const auto kept = KeptCalls(s, path);
    ASSERT_EQ(kept.size(), 2u);
    // Newest received first: the watcher received its call before this one.
    EXPECT_EQ(kept[0].value("instance", "none"), "none");
    EXPECT_EQ(kept[1].value("instance", "none"), "kitchen-1.4");

    const std::string header = "id,download,received,label,letter,date,time,date_raw_1,date_raw_2,date_raw_3,"
                               "time_raw_1,time_raw_2,text,text_hex,tone_only,damaged,name";
    const CliRun csv = RunCli(s, {"--history", path, "history", "--format", "csv"});
    ASSERT_EQ(csv.code, 0) << csv.err;
    const auto rows = [](const std::string& text) {
        std::vector<std::string> out;
        for (size_t at = 0, nl; (nl = text.find("\r\n", at)) != std::string::npos; at = nl + 2)
            out.push_back(text.substr(at, nl - at));
        return out;
    };
    auto listed = rows(csv.out);
    ASSERT_EQ(listed.size(), 3u) << csv.out;
    EXPECT_EQ(listed[0], header + ",instance");
    EXPECT_TRUE(listed[1].ends_with(",false,false,,")) << listed[1];
    EXPECT_TRUE(listed[2].ends_with(",555 0100,3535352030313030,false,false,,kitchen-1.4")) << listed[2];

    std::ofstream(s.File("older.csv"), std::ios::binary) << header << "\r\n";
    ASSERT_EQ(RunCli(s, {"--history", path, "history", "--format", "csv", "--output", s.File("older.csv")}).code, 0);
    listed = rows(ReadAll(s.File("older.csv")));
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], header);
    EXPECT_TRUE(listed[1].ends_with(",false,false,")) << listed[1];
}

TEST(CliHistory, DamageOnAnyPageIsSaidNeverListedAsSound) {
    Scratch s;
    const std::string path = s.File("sound");
    {
        std::string problem;
        auto h = history::CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("/dev/ttyUSB0");
        for (int i = 0; i < 150; ++i) {
            CallRecord f;
            std::copy_n("HOME    ", 8, f.label.begin());
            f.letterCode = 1;
            f.dateTime = {7, 15, 26, static_cast<int16_t>(i / 60), static_cast<int16_t>(i % 60)};
            f.text = "call " + std::to_string(i) + std::string(120, static_cast<char>('a' + i % 26));
            f.hasText = true;
            h->AddRecord(f, RenderRecord(f, 1));
        }
        h->EndDownload(history::DownloadEnd::Completed);
    }
    ASSERT_FALSE(std::filesystem::exists(path + "-wal") && std::filesystem::file_size(path + "-wal") > 0);
    const CliRun sound = RunCli(s, {"--history", path, "history", "--format", "json"});
    ASSERT_EQ(sound.code, 0) << sound.err;
    ASSERT_EQ(RunCli(s, {"--history", path, "history", "--check"}).code, 0);

    std::string bytes = ReadAll(path);
    const size_t pageSize = 4096, pages = bytes.size() / pageSize;
    ASSERT_GT(pages, 10u);
    int said = 0;
    for (size_t page = 1; page < pages; ++page) {  // the header page is looked at when opened
        SCOPED_TRACE("page " + std::to_string(page + 1));
        std::string spoiled = bytes;
        for (size_t at = page * pageSize + 16; at < (page + 1) * pageSize; at += 29) spoiled[at] ^= 0x5A;
        const std::string copy = s.File("spoiled-" + std::to_string(page + 1));
        std::ofstream(copy, std::ios::binary) << spoiled;
        // SQLite's own verdict, asked apart from the program.
        bool sqliteSaysDamaged = false;
        {
            sqlite3* db = nullptr;
            sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr) != SQLITE_OK) sqliteSaysDamaged = true;
            else if (sqlite3_step(st) != SQLITE_ROW) sqliteSaysDamaged = true;
            else sqliteSaysDamaged = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) != "ok";
            sqlite3_finalize(st);
            sqlite3_close(db);
        }
        const CliRun listed = RunCli(s, {"--history", copy, "history", "--format", "json"});
        if (sqliteSaysDamaged) { EXPECT_EQ(listed.code, 7); }
        const CliRun checked = RunCli(s, {"--history", copy, "history", "--check"});
        if (listed.code == 0) {
            EXPECT_EQ(listed.out, sound.out);
        } else {
            ++said;
            EXPECT_EQ(listed.code, 7);
            // What it lists is what SQLite could still read: a row's bytes
            // carry no checksum, so they may be garbled too.
            EXPECT_NE(listed.err.find("is damaged"), std::string::npos) << listed.err;
            EXPECT_EQ(checked.code, 7) << checked.out;
        }
        if (checked.code != 0) { EXPECT_NE(checked.err.find("is damaged:"), std::string::npos) << checked.err; }
    }
    EXPECT_GT(said, static_cast<int>(pages / 2));
}

}  // namespace
}  // namespace dialscope::cli::test
