// Real history files in a temporary folder, and records to store in them.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

inline RecordFields Record(const std::string& label, const std::string& text, std::array<int16_t, 5> dt,
                           bool damaged = false) {
    RecordFields f;
    for (size_t i = 0; i < 8; ++i) f.label[i] = i < label.size() ? static_cast<uint8_t>(label[i]) : ' ';
    f.letterCode = 1;
    f.dateTime = dt;
    f.text = text;
    f.hasText = !text.empty();
    f.damaged = damaged;
    f.rendered = " 1. " + label + "\r\n      " + text + "\r\n";
    return f;
}

// One value from the file, read by SQLite directly.
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
