// CSV that opens safely in a spreadsheet, and CSV and JSON that a real
// parser reads back to the box's fields.
#include <gtest/gtest.h>
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "history/export.h"
#include "history_support.h"

namespace dialscope::history::test {
namespace {

TEST(CallHistoryExport, CsvCellsAreNeutralisedAndQuoted) {
    const std::pair<std::string, std::string> cases[] = {
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1 555 0100", "+1 555 0100"},  // only a phone number: kept
        {"-(555) 0100.2", "-(555) 0100.2"},
        {"+1+cmd|' /C calc'!A0", "'+1+cmd|' /C calc'!A0"},
        {"+", "'+"},  // no digit: not a number
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\t=1", "'\t=1"},
        {"\r\n=1", "\"'\r\n=1\""},
        {"a,b", "\"a,b\""},
        {"line\nbreak", "\"line\nbreak\""},
        {"lone\rCR", "\"lone\rCR\""},
        {" =not first", " =not first"},
        {"M\xC3\xBCller", "M\xC3\xBCller"},
        {"", ""},
    };
    for (auto& [in, out] : cases) EXPECT_EQ(CsvCell(in), out) << in;
}

std::vector<StoredCall> TrickyCalls() {
    std::vector<StoredCall> calls;
    auto add = [&](CallRecord f) {
        StoredCall c;
        c.id = static_cast<int64_t>(calls.size()) + 1;
        c.downloadId = 7;
        c.receivedAt = 1796724000123;
        c.fields = f;
        calls.push_back(c);
    };
    add(Record("HOME", "+1 555 0100 JOHN", {7, 15, 24, 9, 5}));
    add(Record("=cmd", std::string("A\0B, \"q\"\r\nnext \xE9\xFF", 17), {2, 29, 25, 24, 0}));
    add(Record("OFFICE", "", {150, 1, 2, 3, 4}));  // tone only, raw above 99
    auto notCarried = Record("X", "@evil", {-1, -1, -1, -1, -1}, true);
    add(notCarried);
    calls.back().damaged = true;
    return calls;
}

TEST(CallHistoryExport, CsvReadsBackWithPythonsCsvModule) {
    ASSERT_EQ(std::system("python3 -c 'import csv, json' >/dev/null 2>&1"), 0)
        << "python3 is needed to read the CSV back (scripts/deps installs it)";
    TempDir dir;
    std::string csv = CsvHeader();
    for (auto& c : TrickyCalls()) csv += CsvRow(c, DateOrder::MDY);
    std::ofstream(dir.File("calls.csv"), std::ios::binary) << csv;
    std::string cmd = "python3 -c 'import csv, json, sys; print(json.dumps(list(csv.DictReader(open(sys.argv[1], "
                      "newline=\"\", encoding=\"utf-8\")))))' " + dir.File("calls.csv");
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ASSERT_EQ(pclose(p), 0);
    auto rows = nlohmann::json::parse(out);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0]["label"], "HOME");
    EXPECT_EQ(rows[0]["text"], "'+1 555 0100 JOHN");  // more than a phone number
    EXPECT_EQ(rows[0]["date"], "2024-07-15");
    EXPECT_EQ(rows[0]["time"], "09:05");
    EXPECT_EQ(rows[0]["received"], "2026-12-08T10:00:00.123Z");
    EXPECT_EQ(rows[1]["label"], "'=cmd");
    EXPECT_EQ(rows[1]["text"], "A B, \"q\"\r\nnext \xC3\xA9\xC3\xBF");
    EXPECT_EQ(rows[1]["text_hex"], "4100422c202271220d0a6e65787420e9ff");
    EXPECT_EQ(rows[1]["date"], "");  // no February 29th in 2025
    EXPECT_EQ(rows[1]["time"], "");
    EXPECT_EQ(rows[1]["date_raw_2"], "29");
    EXPECT_EQ(rows[2]["tone_only"], "true");
    EXPECT_EQ(rows[2]["date_raw_1"], "150");
    EXPECT_EQ(rows[3]["text"], "'@evil");
    EXPECT_EQ(rows[3]["date_raw_1"], "");
    EXPECT_EQ(rows[3]["damaged"], "true");
    EXPECT_NE(csv.find("\r\n1,7,"), std::string::npos);  // rows end with CRLF
}

TEST(CallHistoryExport, JsonLinesReadBack) {
    auto calls = TrickyCalls();
    std::vector<nlohmann::json> lines;
    for (auto& c : calls) {
        std::string line = JsonLine(c, DateOrder::MDY);
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line each
        lines.push_back(nlohmann::json::parse(line));
    }
    EXPECT_EQ(lines[0]["id"], 1);
    EXPECT_EQ(lines[0]["download"], 7);
    EXPECT_EQ(lines[0]["letter"], "B");
    EXPECT_EQ(lines[0]["date_raw"], nlohmann::json({7, 15, 24}));
    EXPECT_EQ(lines[0]["time_raw"], nlohmann::json({9, 5}));
    EXPECT_EQ(lines[0]["date"], "2024-07-15");
    EXPECT_EQ(lines[0]["tone_only"], false);
    EXPECT_EQ(lines[1]["label"], "=cmd");  // JSON is no spreadsheet: kept as sent
    EXPECT_EQ(lines[1]["text"], "A B, \"q\"\r\nnext \xC3\xA9\xC3\xBF");
    EXPECT_EQ(lines[1]["text_hex"], "4100422c202271220d0a6e65787420e9ff");
    EXPECT_TRUE(lines[1]["date"].is_null());
    EXPECT_TRUE(lines[1]["time"].is_null());
    EXPECT_EQ(lines[2]["tone_only"], true);
    EXPECT_EQ(lines[2]["date_raw"][0], 150);
    EXPECT_TRUE(lines[3]["date_raw"][0].is_null());
    EXPECT_EQ(lines[3]["damaged"], true);
    // Day first reads 7/15 as no date.
    EXPECT_TRUE(nlohmann::json::parse(JsonLine(calls[0], DateOrder::DMY))["date"].is_null());
}

}  // namespace
}  // namespace dialscope::history::test
