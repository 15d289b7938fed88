// `contacts`: address books exported by other programs (vCard, CSV) give the
// callers' names, which the history's listings then show; a file that cannot
// be read is said, with exit 2, and a history a watcher holds is waited for.
#include <sqlite3.h>

#include "history/call_history.h"
#include "record/render_record.h"
#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

// Folded lines, quoted-printable Latin-1 over a soft break, two numbers on
// one card, a grouped item1.TEL, a card with no number, a line that is none.
const char* const kVCard =
    "BEGIN:VCARD\r\n"
    "VERSION:2.1\r\n"
    "N;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=\r\n"
    "=FCrgen\r\n"
    "TEL;CELL:+49 30 1234567\r\n"
    "TEL;HOME;VOICE:(030) 123-4999\r\n"
    "END:VCARD\r\n"
    "BEGIN:VCARD\r\n"
    "VERSION:3.0\r\n"
    "FN:Ann\r\n"
    " a Lee\r\n"
    "item1.TEL;type=pref:555-0100\r\n"
    "item1.X-ABLabel:_$!<Mobile>!$_\r\n"
    "END:VCARD\r\n"
    "BEGIN:VCARD\r\n"
    "VERSION:4.0\r\n"
    "FN:Nobody Dialled\r\n"
    "END:VCARD\r\n"
    "this is no vCard line\r\n";

// A byte order mark, a quoted comma and a quoted line break, two numbers in
// one cell, a row with no number.
const char* const kCsv =
    "\xEF\xBB\xBFName,Given Name,Family Name,Notes,Phone 1 - Type,Phone 1 - Value\r\n"
    "\"Smith, Jane\",Jane,Smith,\"met at the fair,\nrings late\",Mobile,020 7946 0000 ::: +44 7700 900123\r\n"
    ",Otto,Nophone,,,\r\n";

TEST(CliContacts, ImportedNamesAppearInTheHistorysListings) {
    Scratch s;
    const std::string path = s.File("h");
    const std::vector<std::string> texts = {"0301234567\r\nJ SMITH", "0301234999", "555 0100",
                                            "+44 20 7946 0000", "PRIVATE"};
    {
        std::string problem;
        auto h = history::CallHistory::Open(path, &problem);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("/dev/ttyUSB0");
        for (size_t i = 0; i < texts.size(); ++i) {
            CallRecord f;
            std::copy_n("HOME    ", 8, f.label.begin());
            f.letterCode = 1;
            f.dateTime = {7, 15, 26, 9, static_cast<int16_t>(i)};
            f.text = texts[i];
            f.hasText = true;
            h->AddRecord(f, RenderRecord(f, 1));
        }
        ASSERT_EQ(h->EndDownload(history::DownloadEnd::Completed).newCalls, 5);
    }
    WriteAll(s.File("book.vcf"), kVCard);
    WriteAll(s.File("google.csv"), kCsv);
    CliRun r = RunCli(s, {"--history", path, "contacts", "import", s.File("book.vcf")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Imported " + s.File("book.vcf") +
                         " (vCard): 3 numbers added, 0 updated (another name), 0 unchanged, 2 entries skipped:\n"
                         "  line 15: no phone number (\"Nobody Dialled\")\n"
                         "  line 19: unreadable line\n");
    r = RunCli(s, {"contacts", "import", s.File("google.csv"), "--history", path});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Imported " + s.File("google.csv") +
                         " (CSV): 2 numbers added, 0 updated (another name), 0 unchanged, 1 entry skipped:\n"
                         "  line 4: no phone number (\"Otto Nophone\")\n");

    // A name longer than the names page takes (100 characters, two bytes
    // each here) is cut to it, and said.
    std::string longName;
    for (int i = 0; i < 60; ++i) longName += "\xC3\x9C";  // U+00DC
    longName += std::string(70, 'x');
    WriteAll(s.File("long.csv"), "Name,Phone\r\nShort,0800 555 0001\r\n" + longName + ",0800 555 0002\r\n");
    r = RunCli(s, {"--history", path, "contacts", "import", s.File("long.csv")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\n1 name was longer than 100 characters, the most the names page takes, and cut to it: "
                         "line 3.\n"), std::string::npos) << r.out;
    r = RunCli(s, {"--history", path, "contacts", "list", "--format", "csv"});
    EXPECT_NE(r.out.find("," + longName.substr(0, 120 + 40) + ",long.csv,"), std::string::npos) << r.out;

    r = RunCli(s, {"--history", path, "history", "--format", "csv"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "id,download,received,label,letter,date,time,date_raw_1,date_raw_2,"
                                                 "date_raw_3,time_raw_1,time_raw_2,text,text_hex,tone_only,damaged,name,instance\r");
    // Newest first; the name is the cell before the instance (none: the box's own calls).
    const std::vector<std::string> names = {"", "\"Smith, Jane\"", "Anna Lee", "J\xC3\xBCrgen M\xC3\xBCller",
                                            "J\xC3\xBCrgen M\xC3\xBCller"};
    size_t at = r.out.find('\n') + 1;
    for (const std::string& name : names) {
        const size_t end = r.out.find(",false,false," + name + ",\r\n", at);
        EXPECT_NE(end, std::string::npos) << name << "\n" << r.out.substr(at);
        at = end + 1;
    }
    const auto kept = KeptCalls(s, path);
    ASSERT_EQ(kept.size(), 5u);
    EXPECT_TRUE(kept[0]["name"].is_null());  // PRIVATE
    EXPECT_EQ(kept[1]["name"], "Smith, Jane");
    // The text listing: the name after the header, in the 8-bit text.
    r = RunCli(s, {"--history", path, "history"});
    EXPECT_NE(r.out.find(" 5. HOME    B 07/15/26 09:00  J\xFCrgen M\xFCller\r\r\n      0301234567\r\r\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 1. HOME    B 07/15/26 09:04\r\r\n      PRIVATE"), std::string::npos) << r.out;
}

TEST(CliContacts, FilesThatCannotBeReadAndAHistoryHeldByAnotherProgram) {
    Scratch s;
    const std::string path = s.File("h");
    WriteAll(s.File("notes.txt"), "Call Anna back at 030 1234567\n");
    const struct {
        std::string file;
        const char* said;
    } cases[] = {
        {s.File("missing.vcf"), ": No such file or directory. Nothing was imported."},
        {s.path, ": it is a folder. Nothing was imported."},
        {s.File("notes.txt"), ": it is neither a vCard file nor a CSV file with a column of phone numbers"},
    };
    for (const auto& c : cases) {
        CliRun r = RunCli(s, {"--history", path, "contacts", "import", c.file});
        EXPECT_EQ(r.code, 2) << c.file;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.file + c.said), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "nothing to import: no history made";

    // A watcher holds the history: waited for, and said.
    ASSERT_TRUE(history::CallHistory::Open(path, nullptr));
    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &locker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    CliRun r = RunCli(s, {"--history", path, "contacts", "set", "+49 30 1234567", "Anna"}, 60s, {}, [&](Process&) {
        EXPECT_TRUE(WaitFor([&] { return NewestErr(s).find("is locked by another program") != std::string::npos; }));
        sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
    });
    sqlite3_close(locker);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "+49301234567: Anna (added).\n");
    r = RunCli(s, {"--history", path, "contacts", "remove", "0049 30 1234567"});
    EXPECT_EQ(r.code, 0) << r.err;
    r = RunCli(s, {"--history", path, "contacts", "remove", "0049 30 1234567"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("No contact has the number +49301234567"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace dialscope::cli::test
