// `download` in each format, read back the way other programs read it: the
// text as the window's Save appends it, CSV through python3's csv module,
// JSON lines through a JSON parser. Every output appends; a CSV header goes
// only into an empty file; a call downloaded again keeps its history id.
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
                                     "text", "text_hex", "tone_only", "damaged"};
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

}  // namespace
}  // namespace dialscope::cli::test
