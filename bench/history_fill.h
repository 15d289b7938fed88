// A history of many calls written straight into the file in one
// transaction, for the benches that read it (the setup, not measured).
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "history/call_history.h"

namespace dialscope::bench {

// A new folder of the bench's own under $TMPDIR (or /tmp); empty when it
// cannot be made.
inline std::string NewFolder(const std::string& bench) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/dialscope-bench-" + bench + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) ? std::string(name.data()) : std::string();
}

// `calls` calls received a minute apart, box dates over seven years, three labels,
// each call with its own number.
// The computed columns are filled as the library fills them for these plain
// ASCII records (folded = lower case; keys = YYYYMMDDhhmm by date order;
// the caller's number = the text's leading digits).
inline bool FillHistory(const std::string& path, int calls) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    std::string sql = R"sql(
        PRAGMA synchronous=OFF;
        BEGIN;
        INSERT INTO downloads(id, started_at, ended_at, port, records, new_calls, ended_how)
            VALUES (1, 1700000000000, 1700000000000, 'bench', :count, :count, 'completed');
        WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < :last),
        r AS (SELECT i, rtrim(substr('HOME    OFFICE  SHOP    ', (i % 3) * 8 + 1, 8)) AS name,
                     1 + i % 12 AS d1, 1 + i % 28 AS d2, 20 + i % 7 AS d3, i % 24 AS t1, i % 60 AS t2,
                     printf('555%07d CALLER %d', i, i) AS txt FROM n)
        INSERT INTO records(download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2,
                            has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd,
                            label_key, caller_number)
        SELECT 1, 1700000000000 + i * 60000, CAST(substr(name || '        ', 1, 8) AS BLOB), i % 3, i % 4,
               d1, d2, d3, t1, t2, 1, CAST(txt AS BLOB), 0, 0, CAST(txt AS BLOB),
               ((2000 + d3) * 10000 + d1 * 100 + d2) * 10000 + t1 * 100 + t2,
               CASE WHEN d2 <= 12 THEN ((2000 + d3) * 10000 + d2 * 100 + d1) * 10000 + t1 * 100 + t2 END,
               CASE WHEN d2 <= 12 THEN ((2000 + d1) * 10000 + d2 * 100 + d3) * 10000 + t1 * 100 + t2 END,
               lower(name), printf('555%07d', i)
        FROM r;
        INSERT INTO records_text(id, folded)
            SELECT id, label_key || char(10) || lower(CAST(text AS TEXT)) FROM records;
        INSERT INTO records_search(rowid, folded) SELECT id, folded FROM records_text;
        UPDATE search_state SET through = (SELECT max(id) FROM records_text);
        COMMIT;
        PRAGMA wal_checkpoint(TRUNCATE);
    )sql";
    for (const char* name : {":last", ":count"}) {
        const std::string value = std::to_string(name[1] == 'l' ? calls - 1 : calls);
        for (size_t at; (at = sql.find(name)) != std::string::npos;) sql.replace(at, std::string(name).size(), value);
    }
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) std::fprintf(stderr, "fill: %s\n", error ? error : "?");
    sqlite3_free(error);
    sqlite3_close(db);
    return rc == SQLITE_OK;
}

// A folder of the bench's own (`dir`) holding a history made by the program
// and filled with `calls` calls (`path`); false after saying why not.
inline bool NewFilledHistory(const std::string& bench, int calls, std::string& dir, std::string& path) {
    dir = NewFolder(bench);
    if (dir.empty()) return false;
    path = dir + "/calls.sqlite3";
    std::string problem;
    if (!history::CallHistory::Open(path, &problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return false;
    }
    return FillHistory(path, calls);
}

}  // namespace dialscope::bench
