// `download` in each format, read back the way other programs read it: the
// text as the window's Save appends it, CSV through python3's csv module,
// JSON lines through a JSON parser. Every output appends; a CSV header goes
// only into an empty file; a call downloaded again keeps its history id.
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstdio>
#include <memory>

#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

// The rows of a CSV file as python3's csv module reads them (RFC 4180).
std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
    const std::string command =
        "python3 -c 'import csv,json,sys; print(json.dumps(list(csv.reader(open(sys.argv[1], "
        "newline=\"\", encoding=\"utf-8\")))))' " + path;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, pipe.get())) text.append(buf, n);
    return nlohmann::json::parse(text).get<std::vector<std::vector<std::string>>>();
}

std::vector<nlohmann::json> ReadJsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    size_t at = 0, nl;
    while ((nl = text.find('\n', at)) != std::string::npos) {
        lines.push_back(nlohmann::json::parse(text.substr(at, nl - at)));
        at = nl + 1;
    }
    EXPECT_EQ(at, text.size()) << "a JSON line without its line end";
    return lines;
}

std::string Trimmed(const std::string& label) {
    std::string t = label.substr(0, label.find_last_not_of(' ') + 1);
    return t.find_first_not_of(' ') == std::string::npos ? "" : t;
}

TEST(CliDownload, EachFormatAppendsWhatOtherProgramsReadBack) {
    // Records with every byte the generator puts in texts (zero bytes, CR LF,
    // bytes above 0x7F, ~~P) and a caller name that a spreadsheet would run.
    devsim::CallLog log = devsim::GenerateCallLog(6, 5);
    log.records[3].text = "=HYPERLINK(\"x\",\"y\"), \"quoted\"\r\n+1 555 0100";
    Scratch s;
    Sim sim(s, {"--log", LogFile(s, "calls.txt", log), "--fast", "--expect", s.File("expected.txt")});
    const std::string saved = SavedBytes(ReadAll(s.File("expected.txt")));
    ASSERT_FALSE(saved.empty());

    struct Case {
        const char* format;
        const char* before;  // the file's bytes before the first download; null: no file
        bool header;         // a header row goes in
    };
    const Case cases[] = {
        {"text", "an older log\r\r\n", false},
        {"csv", nullptr, true},
        {"csv", "", true},
        {"csv", "id,kept,from,before\r\n", false},
        {"json", "{\"kept\":true}\n", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + (c.before ? " onto \"" + std::string(c.before) + "\"" : " new file"));
        const std::string out = s.File("out-" + std::to_string(++n));
        const std::string history = s.File("history-" + std::to_string(n));
        if (c.before) WriteAll(out, c.before);
        for (int pass = 0; pass < 2; ++pass) {
            CliRun r = RunCli(s, {"--history", history, "download", "--format", c.format, "--output", out});
            ASSERT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(r.out, "");
            // stderr is no terminal: no progress, only the history's line.
            EXPECT_EQ(r.err, pass == 0 ? "dialscope-cli: History: 6 new calls, 0 already kept.\n"
                                       : "dialscope-cli: History: 0 new calls, 6 already kept.\n");
        }
        const std::string written = ReadAll(out);
        const std::string before = c.before ? c.before : "";
        ASSERT_EQ(written.substr(0, before.size()), before) << "the file was truncated";
        if (std::string(c.format) == "text") {
            EXPECT_EQ(written, before + saved + saved);
            // The history lists the six calls as Save writes them, numbered
            // 1 to 6 in its own order (newest first), whatever their
            // numbers were in the box's memory.
            CliRun listed = RunCli(s, {"--history", history, "history"});
            ASSERT_EQ(listed.code, 0) << listed.err;
            EXPECT_EQ(listed.out.rfind(" 1. ", 0), 0u) << listed.out;
            EXPECT_EQ(listed.out.size(), saved.size());
            size_t at = 0;
            for (int k = 2; k <= 6; ++k) {
                at = listed.out.find("\n " + std::to_string(k) + ". ", at);
                EXPECT_NE(at, std::string::npos) << k << listed.out;
            }
            EXPECT_EQ(listed.out.find("\n 7. "), std::string::npos);
            continue;
        }
        // Each record twice, with the same ids: the second download found
        // every call already kept.
        std::vector<nlohmann::json> rows;
        if (std::string(c.format) == "json") {
            rows = ReadJsonLines(written.substr(before.size()));
        } else {
            auto cells = ReadCsv(out);
            const size_t skip = c.header || !before.empty() ? 1 : 0;
            ASSERT_GE(cells.size(), skip);
            if (c.header) {
                EXPECT_EQ(cells[0][0], "id");
            }
            std::vector<std::string> header = cells[0];
            if (!c.header) header = {"id", "download", "received", "label", "letter", "date", "time",
                                     "date_raw_1", "date_raw_2", "date_raw_3", "time_raw_1", "time_raw_2",
                                     "text", "text_hex", "tone_only", "damaged", "name"};
            for (size_t i = skip; i < cells.size(); ++i) {
                ASSERT_EQ(cells[i].size(), header.size());
                nlohmann::json row;
                for (size_t k = 0; k < header.size(); ++k) row[header[k]] = cells[i][k];
                rows.push_back(row);
            }
        }
        ASSERT_EQ(rows.size(), 2 * log.records.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const devsim::CallRecord& rec = log.records[i % log.records.size()];
            const nlohmann::json& row = rows[i];
            SCOPED_TRACE("row " + std::to_string(i));
            EXPECT_EQ(row["text_hex"], Hex(rec.text));
            EXPECT_EQ(row["letter"], std::string(1, static_cast<char>('A' + rec.letter)));
            const std::string label(reinterpret_cast<const char*>(log.labels[rec.label].data()), 8);
            EXPECT_EQ(row["label"], Trimmed(label.substr(0, label.find('\0'))));
            const auto id = static_cast<int>(i % log.records.size()) + 1;
            if (row["id"].is_string()) {
                EXPECT_EQ(row["id"], std::to_string(id));
                EXPECT_EQ(row["download"], "1");
                EXPECT_EQ(row["date_raw_1"], std::to_string(rec.date[0]));
            } else {
                EXPECT_EQ(row["id"], id);
                EXPECT_EQ(row["download"], 1);
                EXPECT_EQ(row["date_raw"][0], rec.date[0]);
            }
        }
        // The formula is neutralised in CSV, as it is in JSON.
        if (std::string(c.format) == "csv")
            EXPECT_EQ(rows[3]["text"], "'=HYPERLINK(\"x\",\"y\"), \"quoted\"\r\n+1 555 0100");
        else
            EXPECT_EQ(rows[3]["text"], "=HYPERLINK(\"x\",\"y\"), \"quoted\"\r\n+1 555 0100");
    }

    // Without a history the records have no ids; the default output is stdout.
    CliRun r = RunCli(s, {"download", "--no-history", "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto rows = ReadJsonLines(r.out);
    ASSERT_EQ(rows.size(), log.records.size());
    EXPECT_TRUE(rows[0]["id"].is_null());
    EXPECT_TRUE(rows[0]["download"].is_null());
    EXPECT_EQ(r.err, "");
}

// Everything a descriptor holds now, without waiting.
std::string Drain(int fd) {
    std::string bytes;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// A caller's text that would colour the terminal, set its title, clear it
// (with the 8-bit CSI) and overwrite its line reaches a terminal as visible
// escapes; a pipe gets the bytes as they are, as a file does.
TEST(CliOutput, ControlBytesInCallersTextsReachATerminalVisiblyAndAPipeUnchanged) {
    devsim::CallLog log = devsim::GenerateCallLog(1, 4);
    log.records[0].text = std::string("\x1b[31mRED\x1b]0;pwned\x07 \x9b" "2J\rSMITH\r\n555 0100\x7f\xe9");
    Scratch s;
    Sim sim(s, {"--log", LogFile(s, "calls.txt", log), "--fast", "--expect", s.File("expected.txt")});
    const std::string saved = SavedBytes(ReadAll(s.File("expected.txt")));
    ASSERT_NE(saved.find("\x1b[31m"), std::string::npos);
    const std::string history = s.File("h");

    // A terminal as a user's is: the kernel's defaults (its output adds a CR
    // before each LF, which the checks below allow for).
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    const std::string pty = ttyname(slave);
    ASSERT_EQ(mkfifo(s.File("pipe").c_str(), 0600), 0);
    const int pipeEnd = open(s.File("pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipeEnd, 0);

    auto run = [&](std::vector<std::string> args, bool terminal) {
        args.insert(args.begin(), {DIALSCOPE_CLI_PATH, "--history", history});
        Process p(args, s.Env(), terminal ? pty : s.File("pipe"), s.File("err"));
        EXPECT_EQ(p.Wait(30s), 0) << ReadAll(s.File("err"));
        return Drain(terminal ? master : pipeEnd);
    };
    // Nothing a terminal acts on: no control byte but the line ends, no DEL, no C1.
    auto inert = [](const std::string& shown, bool utf8) {
        for (size_t i = 0; i < shown.size(); ++i) {
            const auto c = static_cast<unsigned char>(shown[i]);
            const size_t notCr = shown.find_first_not_of('\r', i);
            const bool lineEnd = c == '\n' || (c == '\r' && notCr != std::string::npos && shown[notCr] == '\n');
            if ((c < 0x20 && !lineEnd) || c == 0x7f || (!utf8 && c >= 0x80 && c <= 0x9f) ||
                (utf8 && c == 0xc2 && i + 1 < shown.size() && (shown[i + 1] & 0xe0) == 0x80))
                return testing::AssertionFailure() << "byte " << i << " of " << Hex(shown);
        }
        return testing::AssertionSuccess();
    };

    EXPECT_EQ(run({"download"}, false), saved);
    std::string shown = run({"download"}, true);
    EXPECT_TRUE(inert(shown, false));
    EXPECT_NE(shown.find("\\x1b[31mRED\\x1b]0;pwned\\x07 \\x9b" "2J\\x0dSMITH\r\r\r\n555 0100"), std::string::npos)
        << shown;  // the record's CR CR LF, and the terminal's CR before the LF
    EXPECT_NE(shown.find("\\x7f\xe9"), std::string::npos) << shown;  // a Latin-1 letter stays itself

    EXPECT_EQ(run({"history"}, false), saved);
    EXPECT_TRUE(inert(run({"history"}, true), false));
    const std::string csv = run({"history", "--format", "csv"}, true);
    EXPECT_TRUE(inert(csv, true));
    EXPECT_NE(csv.find("\\u001b[31mRED"), std::string::npos) << csv;
    // JSON on a terminal is still JSON, with the text it stands for.
    const std::string json = run({"history", "--format", "json"}, true);
    EXPECT_TRUE(inert(json, true));
    EXPECT_EQ(nlohmann::json::parse(json)["text_hex"], Hex(log.records[0].text));
    EXPECT_EQ(nlohmann::json::parse(json)["text"],
              nlohmann::json::parse(run({"history", "--format", "json"}, false))["text"]);
    close(pipeEnd);
    close(master);
    close(slave);
}

}  // namespace
}  // namespace dialscope::cli::test
