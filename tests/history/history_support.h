// Real history files in a temporary folder, and records to store in them.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "history/call_history.h"

namespace dialscope::history::test {

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/dialscope-history-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(const char* name = "calls.sqlite3") const { return path + "/" + name; }
};

inline CallRecord Record(const std::string& label, const std::string& text, std::array<int16_t, 5> dt,
                           bool damaged = false) {
    CallRecord f;
    for (size_t i = 0; i < 8; ++i) f.label[i] = i < label.size() ? static_cast<uint8_t>(label[i]) : ' ';
    f.letterCode = 1;
    f.dateTime = dt;
    f.text = text;
    f.hasText = !text.empty();
    f.damaged = damaged;
    return f;
}

// The file's structure as version 1 was released, copied here once: a
// fixture that stays as it was even if the code's own steps were ever
// (wrongly) edited. The pragmas are the ones version 1 set with it.
inline constexpr const char* kVersion1Schema =
    R"sql(
    CREATE TABLE downloads(
        id INTEGER PRIMARY KEY,
        started_at INTEGER NOT NULL,         -- unix ms UTC
        ended_at INTEGER,                    -- NULL: the program ended before the download did
        port TEXT NOT NULL,
        records INTEGER NOT NULL DEFAULT 0,  -- records received, known calls and damaged ones included
        new_calls INTEGER NOT NULL DEFAULT 0,
        ended_how TEXT                       -- completed, no-end-frame, restarted, cut, interrupted
    );
    CREATE TABLE records(
        id INTEGER PRIMARY KEY,              -- the call's id
        download_id INTEGER NOT NULL REFERENCES downloads(id),
        received_at INTEGER NOT NULL,        -- unix ms UTC
        label BLOB NOT NULL,                 -- 8 bytes as sent
        label_index INTEGER NOT NULL,
        letter INTEGER NOT NULL,
        d1 INTEGER NOT NULL, d2 INTEGER NOT NULL, d3 INTEGER NOT NULL,  -- raw; -1 not carried
        t1 INTEGER NOT NULL, t2 INTEGER NOT NULL,
        has_text INTEGER NOT NULL,
        text BLOB NOT NULL,
        damaged INTEGER NOT NULL,
        occurrence INTEGER NOT NULL,         -- the how-many-th identical intact record of its download
        rendered BLOB NOT NULL,
        key_mdy INTEGER, key_dmy INTEGER, key_ymd INTEGER,  -- YYYYMMDDhhmm by date order; NULL invalid
        label_key TEXT NOT NULL              -- folded, trimmed label (UTF-8)
    );
    -- Search reads only this narrow table: a term too short for the trigram
    -- index is looked for row by row here, not through the whole records.
    CREATE TABLE records_text(
        id INTEGER PRIMARY KEY,              -- the record's id
        folded TEXT NOT NULL                 -- folded label, LF, folded text (UTF-8)
    );
    CREATE UNIQUE INDEX records_call ON records(label, letter, d1, d2, d3, t1, t2, has_text, text, occurrence)
        WHERE damaged = 0;
    CREATE INDEX records_mdy ON records(key_mdy, received_at);
    CREATE INDEX records_dmy ON records(key_dmy, received_at);
    CREATE INDEX records_ymd ON records(key_ymd, received_at);
    CREATE INDEX records_label ON records(label_key);
    CREATE VIRTUAL TABLE records_search USING fts5(folded, content='records_text', content_rowid='id',
        tokenize='trigram case_sensitive 1');
    -- Records up to this id are in records_search; later ones are looked
    -- for row by row until the indexing between downloads reaches them.
    CREATE TABLE search_state(through INTEGER NOT NULL);
    INSERT INTO search_state VALUES (0);
    CREATE TABLE targets(
        name TEXT PRIMARY KEY,
        through INTEGER NOT NULL,            -- every call up to this id is published or not owed
        registered_at INTEGER NOT NULL
    );
    CREATE TABLE published(
        target TEXT NOT NULL,
        call_id INTEGER NOT NULL,            -- published out of order, above the target's through
        PRIMARY KEY(target, call_id)
    ) WITHOUT ROWID;
    )sql";
inline constexpr const char* kVersion1Pragmas = "PRAGMA user_version=1; PRAGMA application_id=1146307377;";

// One value from the file, read by SQLite directly.
// The words of the history's next problem, if any.
inline std::optional<std::string> Words(std::optional<StoreProblem> problem) {
    if (!problem) return std::nullopt;
    return std::move(problem->words);
}

inline int64_t Query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    int64_t v = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return v;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A clock the test moves by hand: 2026-12-08 10:00 UTC at the start.
struct FakeClock {
    int64_t now = 1796724000000;
    OpenOptions Options() {
        OpenOptions o;
        o.nowMs = [this] { return now; };
        return o;
    }
};

}  // namespace dialscope::history::test
