#include "history/export.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "history/latin1.h"

namespace dialscope::history {

// A record whose boundary frame was lost has no label, letter, date or
// time: CSV leaves those cells empty and JSON gives null, as for a date
// field the box did not carry, whatever placeholder the fields hold.

Shown ShowCall(const StoredCall& call, DateOrder order) {
    const CallRecord& f = call.fields;
    Shown s;
    s.headerKnown = f.headerKnown;
    if (f.headerKnown) {
        std::string_view label(reinterpret_cast<const char*>(f.label.data()), f.label.size());
        s.label = Latin1ToUtf8(TrimTrailingBlanks(label));
        s.letter.assign(1, static_cast<char>('A' + (f.letterCode & 3)));
        s.raw = f.dateTime;
    } else {
        s.raw.fill(-1);
    }
    s.text = Latin1ToUtf8(f.text);
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned char c : f.text) {
        s.textHex.push_back(kHex[c >> 4]);
        s.textHex.push_back(kHex[c & 15]);
    }
    s.dt = ReadBoxDateTime(s.raw, order, call.receivedAt);
    char buf[16];
    if (s.dt.year) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", *s.dt.year, *s.dt.month, *s.dt.day);
        s.date = buf;
    }
    if (s.dt.hour) {
        std::snprintf(buf, sizeof buf, "%02d:%02d", *s.dt.hour, *s.dt.minute);
        s.time = buf;
    }
    return s;
}

namespace {

// A cell that is only a phone number: an optional leading '+', then digits,
// spaces, hyphens, dots and parentheses, with at least one digit. A
// spreadsheet reads such a cell at most as a number or a sum of numbers; it
// cannot call a function, so it stays as the box sent it ("+1 555 0100").
bool IsPhoneNumber(const std::string& s) {
    size_t i = !s.empty() && s[0] == '+' ? 1 : 0;
    bool digit = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9') digit = true;
        else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') return false;
    }
    return digit;
}

}  // namespace

// The caller's name as UTF-8; a name that is not (written into the file by
// another program) is read as Latin-1.
std::string NameText(const StoredCall& call) {
    if (!call.name) return {};
    return IsUtf8(*call.name) ? *call.name : Latin1ToUtf8(*call.name);
}

// Formula injection: a spreadsheet takes a cell that starts with =, +, -, @,
// a tab or a CR for a formula (or strips the tab/CR and then does), and the
// caller's name is text anyone can send down the line. Such a cell gets a
// leading apostrophe, which spreadsheets show as text, unless it is only a
// phone number (IsPhoneNumber). Then RFC 4180: a cell with a comma, a double
// quote, CR or LF is quoted, and its quotes are doubled.
std::string CsvCell(const std::string& utf8) {
    std::string cell = utf8;
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell[0]) != std::string_view::npos &&
        !IsPhoneNumber(cell))
        cell.insert(cell.begin(), '\'');
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string quoted = "\"";
    for (char c : cell) {
        quoted.push_back(c);
        if (c == '"') quoted.push_back('"');
    }
    quoted.push_back('"');
    return quoted;
}

std::string IsoUtc(int64_t unixMs) {
    std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(unixMs % 1000));
    return buf;
}

std::string CsvHeader(bool withInstance) {
    return std::string("id,download,received,label,letter,date,time,date_raw_1,date_raw_2,date_raw_3,time_raw_1,"
                       "time_raw_2,text,text_hex,tone_only,damaged,name") +
           (withInstance ? ",instance" : "") + "\r\n";
}

std::string CsvRow(const StoredCall& call, DateOrder order, bool withInstance) {
    Shown s = ShowCall(call, order);
    const CallRecord& f = call.fields;
    std::string row;
    auto add = [&](const std::string& cell) {
        if (!row.empty()) row.push_back(',');
        row += CsvCell(cell);
    };
    // The id is the first cell: an empty row never starts the line. A record
    // not (yet) in a history has no ids: empty cells.
    row = call.id ? CsvCell(std::to_string(call.id)) : std::string();
    row.push_back(',');
    row += call.downloadId ? CsvCell(std::to_string(call.downloadId)) : std::string();
    add(IsoUtc(call.receivedAt));
    add(s.label);
    add(s.letter);
    add(s.date);
    add(s.time);
    for (int16_t raw : s.raw) add(raw < 0 ? std::string() : std::to_string(raw));
    add(s.text);
    add(s.textHex);
    add(f.hasText ? "false" : "true");
    add(call.damaged ? "true" : "false");
    add(NameText(call));  // later columns after the older ones: those keep their places
    if (withInstance) add(call.instance);
    return row + "\r\n";
}

std::string JsonLine(const StoredCall& call, DateOrder order) {
    Shown s = ShowCall(call, order);
    const CallRecord& f = call.fields;
    auto raw = [](int16_t v) { return v < 0 ? nlohmann::json(nullptr) : nlohmann::json(v); };
    nlohmann::ordered_json j;
    // A record not (yet) in a history has no ids: null.
    j["id"] = call.id ? nlohmann::json(call.id) : nlohmann::json(nullptr);
    j["download"] = call.downloadId ? nlohmann::json(call.downloadId) : nlohmann::json(nullptr);
    j["received"] = IsoUtc(call.receivedAt);
    j["label"] = s.headerKnown ? nlohmann::json(s.label) : nlohmann::json(nullptr);
    j["letter"] = s.headerKnown ? nlohmann::json(s.letter) : nlohmann::json(nullptr);
    j["date_raw"] = {raw(s.raw[0]), raw(s.raw[1]), raw(s.raw[2])};
    j["time_raw"] = {raw(s.raw[3]), raw(s.raw[4])};
    j["date"] = s.date.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.date);
    j["time"] = s.time.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.time);
    j["text"] = s.text;
    j["text_hex"] = s.textHex;
    j["tone_only"] = !f.hasText;
    j["damaged"] = call.damaged;
    j["name"] = call.name ? nlohmann::json(NameText(call)) : nlohmann::json(nullptr);
    // A call collected from another machine's watcher says which one.
    if (!call.instance.empty()) j["instance"] = call.instance;
    return j.dump() + "\n";
}

}  // namespace dialscope::history
