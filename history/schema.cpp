// The history file's structure: the steps that bring a file to the present
// version, and the check that a file of ours has the tables its version says.
#include <sqlite3.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "history/call_history.h"
#include "history/call_history_impl.h"
#include "history/phone_number.h"
#include "history/salvage.h"

namespace dialscope::history {

namespace {

// Each step brings the file from version i to i + 1; a step is never changed
// once released, a new structure is a new step at the end.
const char* const kMigrations[] = {
    // 1: downloads, records (calls and damaged records), search, publication.
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
    )sql",
    // 2: label, label_index and letter may be NULL: the header of text whose
    // boundary frame was lost on the line is unknown, and NULL says so
    // instead of a made-up label. SQLite cannot drop NOT NULL in place, so
    // the table is rebuilt: a new one, every row copied with its id (the
    // search tables and the publication marks are keyed by it), the old one
    // dropped, the new one renamed, and its indexes made again exactly as
    // step 1 made them. Nothing refers to records by a foreign key, and it
    // has no triggers or views. Runs inside Migrate's transaction: a file is
    // either all v1 or all v2.
    R"sql(
    CREATE TABLE records_new(
        id INTEGER PRIMARY KEY,              -- the call's id
        download_id INTEGER NOT NULL REFERENCES downloads(id),
        received_at INTEGER NOT NULL,        -- unix ms UTC
        label BLOB,                          -- 8 bytes as sent; NULL: the header is unknown
        label_index INTEGER,                 -- NULL: the header is unknown
        letter INTEGER,                      -- NULL: the header is unknown
        d1 INTEGER NOT NULL, d2 INTEGER NOT NULL, d3 INTEGER NOT NULL,  -- raw; -1 not carried
        t1 INTEGER NOT NULL, t2 INTEGER NOT NULL,
        has_text INTEGER NOT NULL,
        text BLOB NOT NULL,
        damaged INTEGER NOT NULL,
        occurrence INTEGER NOT NULL,         -- the how-many-th identical intact record of its download
        rendered BLOB NOT NULL,
        key_mdy INTEGER, key_dmy INTEGER, key_ymd INTEGER,  -- YYYYMMDDhhmm by date order; NULL invalid
        label_key TEXT NOT NULL              -- folded, trimmed label (UTF-8); '' when unknown
    );
    INSERT INTO records_new(id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2,
                            has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key)
        SELECT id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2,
               has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key
        FROM records;
    DROP TABLE records;
    ALTER TABLE records_new RENAME TO records;
    CREATE UNIQUE INDEX records_call ON records(label, letter, d1, d2, d3, t1, t2, has_text, text, occurrence)
        WHERE damaged = 0;
    CREATE INDEX records_mdy ON records(key_mdy, received_at);
    CREATE INDEX records_dmy ON records(key_dmy, received_at);
    CREATE INDEX records_ymd ON records(key_ymd, received_at);
    CREATE INDEX records_label ON records(label_key);
    )sql",
    // 3: contacts: the names callers are shown with, by their numbers, from
    // an address book the user imported or from names set one by one.
    R"sql(
    CREATE TABLE contacts(
        number TEXT PRIMARY KEY,             -- normalised: digits, '+' first for an international number
        name TEXT NOT NULL,                  -- UTF-8
        source TEXT NOT NULL,                -- the imported file's name, or 'set'
        updated INTEGER NOT NULL             -- unix ms UTC
    ) WITHOUT ROWID;
    )sql",
    // 4: the calls page lists the newest received first, a page at a time
    // from a cursor on (received_at, id): an index on received_at (SQLite
    // keeps the id in each entry) reads a page without sorting the table.
    // Each row shows how often its caller text occurs among the calls.
    R"sql(
    CREATE INDEX records_received ON records(received_at);
    CREATE INDEX records_same_text ON records(text) WHERE damaged = 0;
    )sql",
    // 5: the caller's number of each record, read out of its text as
    // CallerNumber reads it (NULL: the text holds none), so that the calls
    // of one line and the callers' names are found without reading every
    // text. The index is on the number's last 9 characters: a number's own
    // calls and those of its line written the other way (SameLine: national
    // against international) share them, and a short number is all of them.
    // The rows kept before are read once here (caller_number_of, see
    // Migrate); every record written since is given its number.
    R"sql(
    ALTER TABLE records ADD COLUMN caller_number TEXT;  -- normalised (phone_number.h); NULL: no number
    UPDATE records SET caller_number = caller_number_of(text) WHERE length(text) > 0;
    CREATE INDEX records_caller ON records(substr(caller_number, -9)) WHERE damaged = 0;
    )sql",
    // 6: calls collected from watchers on other machines (serve --collect):
    // each keeps the watcher's instance and its id in the watcher's history,
    // and that pair keeps it once, however often it is sent. A call of this
    // machine's own box has the instance '' and no source id. Two boxes on
    // one line see the same call: the identity of a call now includes its
    // instance, so the index that keeps each call once is made again with it.
    R"sql(
    ALTER TABLE records ADD COLUMN instance TEXT NOT NULL DEFAULT '';  -- the watcher's instance id; '': this machine
    ALTER TABLE records ADD COLUMN source_id INTEGER;                  -- its id in that watcher's history
    DROP INDEX records_call;
    CREATE UNIQUE INDEX records_call ON records(label, letter, d1, d2, d3, t1, t2, has_text, text, occurrence,
        instance) WHERE damaged = 0;
    CREATE UNIQUE INDEX records_source ON records(instance, source_id) WHERE source_id IS NOT NULL;
    CREATE INDEX records_instance ON records(instance, received_at);
    -- The highest id kept from each watcher, pruned calls included: what
    -- the watcher is asked for after, so that a pruned call never comes back.
    CREATE TABLE collected(
        instance TEXT PRIMARY KEY,
        through INTEGER NOT NULL
    ) WITHOUT ROWID;
    )sql",
};
static_assert(std::size(kMigrations) == CallHistory::kSchemaVersion);

// caller_number_of(text): the caller's number in a record's text bytes, NULL
// when it holds none.
void CallerNumberOf(sqlite3_context* ctx, int, sqlite3_value** args) {
    const auto* bytes = static_cast<const char*>(sqlite3_value_blob(args[0]));
    const auto number = CallerNumber(std::string_view(bytes ? bytes : "", static_cast<size_t>(sqlite3_value_bytes(args[0]))));
    if (number) sqlite3_result_text(ctx, number->data(), static_cast<int>(number->size()), SQLITE_TRANSIENT);
    else sqlite3_result_null(ctx);
}

}  // namespace

// A history of ours in name whose tables or columns are not what its
// version says (edited by hand, or by another tool) is not written: a
// missing unique index alone would let a call be kept twice.
bool CallHistory::Impl::CheckSchema(int64_t version, std::string* problem) {
    // From version 3 every listing reads the contacts for the callers'
    // names: a table that does not answer would fail each one. From
    // version 5 each record is written with its caller's number.
    static const struct {
        int64_t since;
        const char* query;
    } kExpected[] = {
        {1, "SELECT id, started_at, ended_at, port, records, new_calls, ended_how FROM downloads"},
        {1, "SELECT id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2, "
            "has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key "
            "FROM records"},
        {1, "SELECT id, folded FROM records_text"},
        {1, "SELECT folded FROM records_search"},
        {1, "SELECT through FROM search_state"},
        {1, "SELECT name, through, registered_at FROM targets"},
        {1, "SELECT target, call_id FROM published"},
        {3, "SELECT number, name, source, updated FROM contacts"},
        {5, "SELECT caller_number FROM records"},
        {6, "SELECT instance, source_id FROM records"},
        {6, "SELECT instance, through FROM collected"},
    };
    for (const auto& expected : kExpected) {
        if (version < expected.since) continue;
        sqlite3_stmt* statement = nullptr;
        const int rc = sqlite3_prepare_v2(db, expected.query, -1, &statement, nullptr);
        sqlite3_finalize(statement);
        if (rc != SQLITE_OK) {
            *problem = "The call history " + path + " is damaged: " + sqlite3_errmsg(db) +
                       ". It is left as it is; restore it from a copy or choose another file. " + DamageAdvice(path);
            return false;
        }
    }
    int64_t unique = 0;
    if (QueryInt(db,
                 "SELECT count(*) FROM sqlite_schema WHERE type = 'index' AND name = 'records_call' "
                 "AND sql LIKE 'CREATE UNIQUE INDEX%'",
                 &unique) != SQLITE_OK ||
        unique != 1) {
        *problem = "The call history " + path +
                   " is damaged: the index that keeps each call once is missing. It is left as it "
                   "is; restore it from a copy or choose another file. " + DamageAdvice(path);
        return false;
    }
    // From version 6 a collected call is kept once by its watcher's id.
    if (version >= 6 &&
        (QueryInt(db,
                  "SELECT count(*) FROM sqlite_schema WHERE type = 'index' AND name = 'records_source' "
                  "AND sql LIKE 'CREATE UNIQUE INDEX%'",
                  &unique) != SQLITE_OK ||
         unique != 1)) {
        *problem = "The call history " + path +
                   " is damaged: the index that keeps each collected call once is missing. It is left as it "
                   "is; restore it from a copy or choose another file. " + DamageAdvice(path);
        return false;
    }
    // From version 2 a record whose header is unknown is stored with no
    // label, index or letter. A table that refuses that would turn each
    // such record away and hold it, and every record after it, in memory.
    int64_t required = 0;
    if (version >= 2 &&
        (QueryInt(db,
                  "SELECT count(*) FROM pragma_table_info('records') "
                  "WHERE name IN ('label', 'label_index', 'letter') AND \"notnull\" = 0",
                  &required) != SQLITE_OK ||
         required != 3)) {
        *problem = "The call history " + path +
                   " is damaged: its records cannot hold a record whose header is unknown. It is left "
                   "as it is; restore it from a copy or choose another file. " + DamageAdvice(path);
        return false;
    }
    return true;
}

int CallHistory::Impl::Migrate(int64_t from) {
    // A step that rebuilds a table must not have the rows it copies
    // checked against, or deleted with, the tables they refer to. The
    // program never turns foreign keys on; this holds whatever the
    // library's default is. (Inside a transaction the pragma does
    // nothing, hence before the first step's.)
    Exec(db, "PRAGMA foreign_keys=OFF");
    sqlite3_create_function_v2(db, "caller_number_of", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, CallerNumberOf,
                               nullptr, nullptr, nullptr);
    for (int64_t v = from; v < kSchemaVersion; ++v) {
        int rc = Exec(db, "BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) return rc;
        int64_t now = 0;
        // Another process may have migrated while this one waited.
        rc = QueryInt(db, "PRAGMA user_version", &now);
        if (rc == SQLITE_OK && now == v) {
            rc = Exec(db, kMigrations[v]);
            std::string pragmas = "PRAGMA user_version=" + std::to_string(v + 1) +
                                  "; PRAGMA application_id=" + std::to_string(kApplicationId);
            if (rc == SQLITE_OK) rc = Exec(db, pragmas.c_str());
        }
        if (rc != SQLITE_OK) {
            Exec(db, "ROLLBACK");
            return rc;
        }
        if ((rc = Exec(db, "COMMIT")) != SQLITE_OK) {
            Exec(db, "ROLLBACK");
            return rc;
        }
        v = now > v ? now - 1 : v;
    }
    return SQLITE_OK;
}

}  // namespace dialscope::history
