// Calls as CSV rows (RFC 4180) and JSON lines, for spreadsheets and for other
// programs. Both carry the box's 8-bit bytes as UTF-8, read as Latin-1 the way
// the window shows them, beside the raw fields.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "history/call_history.h"

namespace dialscope::history {

// A call's fields as CSV, JSON and the --exec environment show them: label,
// letter and text as UTF-8 (the box's bytes read as Latin-1), the date and time
// in the history's order, empty where not known.
struct Shown {
    bool headerKnown = true;
    std::string label, letter, text, textHex, date, time;  // date/time empty when invalid
    std::array<int16_t, 5> raw{};                          // -1: not carried (or header unknown)
    BoxDateTime dt;
};
Shown ShowCall(const StoredCall& call, DateOrder order);

// The caller's name as UTF-8; empty when none is known.
std::string NameText(const StoredCall& call);

// The header row, CRLF-terminated. withInstance: a last column "instance", the
// watcher a collected call came from (the pages' export; a file the console
// program appends to keeps the columns it always had).
std::string CsvHeader(bool withInstance = false);
// One call as a CSV row, CRLF-terminated.
std::string CsvRow(const StoredCall& call, DateOrder order, bool withInstance = false);
// One call as one JSON object on one line, LF-terminated.
std::string JsonLine(const StoredCall& call, DateOrder order);

// A CSV cell: neutralised against formula injection, then quoted when needed.
std::string CsvCell(const std::string& utf8);

// "2026-12-08T10:16:00.123Z".
std::string IsoUtc(int64_t unixMs);

}  // namespace dialscope::history
