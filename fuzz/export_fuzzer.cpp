// The CSV and JSON writers on any call a history may hold: every byte value in
// the label and the text, raw date bytes 0 to 255 or missing (-1), any ids.
// Each output is read back by a real parser here, and every field must come
// back as it went in:
//  - JSON: nlohmann::json::parse must take the line; text_hex decodes to the
//    exact raw text bytes, text and label are the bytes read as Latin-1 in
//    UTF-8 (NUL shown as a space, the label without its trailing blanks).
//  - CSV: a strict RFC 4180 reader (below): quoted fields with doubled
//    quotes, rows ending in CRLF, as many fields as the header. No cell may
//    start with = + - @ TAB or CR (a spreadsheet would take it for a formula)
//    unless it is only a phone number, which the writer leaves as it is.
//  - A record whose header is unknown (its boundary frame was lost) has no
//    label, letter, date or time, whatever its fields hold: null in JSON,
//    empty cells in CSV.
//
// Input layout:
//   byte 0      bit 0 has text, bit 1 damaged, bits 2-3 date order (3: MDY),
//               bits 4-5 letter code, bit 6 header unknown
//   bytes 1-8   label
//   bytes 9-18  five raw date/time fields, two bytes each: bit 0 of the
//               first set means missing (-1), else the second is the value
//   bytes 19-42 received (ms since 1970, up to the year 9000), id, download id
//   rest        text
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "history/export.h"

#include "fuzz/fuzz_check.h"

namespace {

using namespace dialscope::history;

// Written out here rather than taken from the code under test.
std::string Latin1(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        if (c == 0) {
            out.push_back(' ');
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// An optional '+', then only digits, spaces, hyphens, dots and parentheses,
// with at least one digit.
bool IsPhoneNumber(const std::string& s) {
    size_t i = !s.empty() && s[0] == '+' ? 1 : 0;
    bool digit = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') digit = true;
        else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') return false;
    }
    return digit;
}

bool StartsLikeFormula(const std::string& cell) {
    return !cell.empty() && std::strchr("=+-@\t\r", cell[0]) != nullptr && cell[0] != '\0';
}

// The cell a value must come back as: neutralised with a leading apostrophe
// when it would start a formula.
std::string Neutralised(const std::string& v) { return StartsLikeFormula(v) && !IsPhoneNumber(v) ? "'" + v : v; }

// Strict RFC 4180: reads whole rows, each ending in CRLF; a field is either
// plain (no comma, quote, CR or LF) or quoted, with quotes doubled inside.
// Returns false on anything else.
bool ReadCsv(const std::string& in, std::vector<std::vector<std::string>>* rows) {
    size_t i = 0;
    while (i < in.size()) {
        std::vector<std::string> row;
        for (;;) {
            std::string field;
            if (i < in.size() && in[i] == '"') {
                ++i;
                for (;;) {
                    if (i >= in.size()) return false;  // unclosed quote
                    if (in[i] == '"') {
                        if (i + 1 < in.size() && in[i + 1] == '"') {
                            field.push_back('"');
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    field.push_back(in[i++]);
                }
            } else {
                while (i < in.size() && in[i] != ',' && in[i] != '\r' && in[i] != '\n') {
                    if (in[i] == '"') return false;  // a quote inside a plain field
                    field.push_back(in[i++]);
                }
            }
            row.push_back(field);
            if (i < in.size() && in[i] == ',') {
                ++i;
                continue;
            }
            if (i + 1 < in.size() && in[i] == '\r' && in[i + 1] == '\n') {
                i += 2;
                break;
            }
            return false;  // a field must end in a comma or CRLF
        }
        rows->push_back(std::move(row));
    }
    return true;
}

std::string Hex(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

std::optional<std::string> Unhex(const std::string& hex) {
    if (hex.size() % 2) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

bool IsDate(const std::string& s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return false;
    const int month = (s[5] - '0') * 10 + (s[6] - '0'), day = (s[8] - '0') * 10 + (s[9] - '0');
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool IsTime(const std::string& s) {
    if (s.size() != 5 || s[2] != ':') return false;
    for (int i : {0, 1, 3, 4})
        if (s[i] < '0' || s[i] > '9') return false;
    return (s[0] - '0') * 10 + (s[1] - '0') <= 23 && (s[3] - '0') * 10 + (s[4] - '0') <= 59;
}

int64_t Int64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return static_cast<int64_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kFixed = 43;
    if (size < kFixed) return 0;
    StoredCall call;
    dialscope::CallRecord& f = call.fields;
    f.hasText = (data[0] & 1) != 0;
    call.damaged = (data[0] & 2) != 0;
    f.damaged = call.damaged;
    const int orderBits = (data[0] >> 2) & 3;
    const DateOrder order = orderBits == 1 ? DateOrder::DMY : orderBits == 2 ? DateOrder::YMD : DateOrder::MDY;
    f.letterCode = static_cast<uint8_t>((data[0] >> 4) & 3);
    f.headerKnown = (data[0] & 0x40) == 0;
    std::memcpy(f.label.data(), data + 1, 8);
    for (int i = 0; i < 5; ++i)
        f.dateTime[i] = static_cast<int16_t>((data[9 + 2 * i] & 1) ? -1 : data[10 + 2 * i]);
    // From 1970 to the year 9000: a clock past that would give a call from
    // the year 10000 a five-digit year, which is no concern of these writers.
    constexpr uint64_t kYear9000Ms = 221845392000000ull;
    call.receivedAt = static_cast<int64_t>(static_cast<uint64_t>(Int64(data + 19)) % kYear9000Ms);
    call.id = Int64(data + 27);
    call.downloadId = Int64(data + 35);
    f.text.assign(reinterpret_cast<const char*>(data + kFixed), size - kFixed);

    // What each field must read back as.
    size_t labelLength = 8;
    while (labelLength > 0 && (f.label[labelLength - 1] == ' ' || f.label[labelLength - 1] == 0)) --labelLength;
    // An unknown header's placeholder bytes never come out.
    const bool known = f.headerKnown;
    const std::string label = Latin1(f.label.data(), labelLength);
    const std::string text = Latin1(data + kFixed, size - kFixed);
    const std::string letter(1, static_cast<char>('A' + f.letterCode));
    const std::string received = IsoUtc(call.receivedAt);

    // JSON.
    const std::string line = JsonLine(call, order);
    CHECK(!line.empty() && line.back() == '\n');
    CHECK(line.find('\n') == line.size() - 1);  // one line
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(line);
    } catch (...) {
        CHECK(false);
    }
    CHECK(j.is_object());
    // A record not (yet) in a history has no ids: null.
    CHECK(call.id ? j.at("id") == call.id : j.at("id").is_null());
    CHECK(call.downloadId ? j.at("download") == call.downloadId : j.at("download").is_null());
    CHECK(j.at("received") == received);
    CHECK(known ? j.at("label") == label : j.at("label").is_null());
    CHECK(known ? j.at("letter") == letter : j.at("letter").is_null());
    CHECK(j.at("text") == text);
    const auto bytes = Unhex(j.at("text_hex").get<std::string>());
    CHECK(bytes && *bytes == f.text);
    CHECK(j.at("tone_only") == !f.hasText);
    CHECK(j.at("damaged") == call.damaged);
    const auto& dateRaw = j.at("date_raw");
    const auto& timeRaw = j.at("time_raw");
    CHECK(dateRaw.size() == 3 && timeRaw.size() == 2);
    for (int i = 0; i < 5; ++i) {
        const auto& v = i < 3 ? dateRaw[i] : timeRaw[i - 3];
        if (f.dateTime[i] < 0 || !known) CHECK(v.is_null());
        else CHECK(v == f.dateTime[i]);
    }
    const auto& date = j.at("date");
    const auto& time = j.at("time");
    CHECK(date.is_null() || (known && date.is_string() && IsDate(date.get<std::string>())));
    CHECK(time.is_null() || (known && time.is_string() && IsTime(time.get<std::string>())));

    // CSV: the header and the row, read back together.
    const std::string header = CsvHeader();
    const std::string row = CsvRow(call, order);
    std::vector<std::vector<std::string>> rows;
    CHECK(ReadCsv(header + row, &rows));
    CHECK(rows.size() == 2);
    const auto& names = rows[0];
    const auto& cells = rows[1];
    CHECK(cells.size() == names.size());
    for (const auto& cell : cells) CHECK(!StartsLikeFormula(cell) || IsPhoneNumber(cell));
    auto cell = [&](const char* name) -> const std::string& {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return cells[i];
        __builtin_trap();
    };
    CHECK(cell("id") == (call.id ? Neutralised(std::to_string(call.id)) : std::string()));
    CHECK(cell("download") == (call.downloadId ? Neutralised(std::to_string(call.downloadId)) : std::string()));
    CHECK(cell("received") == received);
    CHECK(cell("label") == (known ? Neutralised(label) : std::string()));
    CHECK(cell("letter") == (known ? letter : std::string()));
    CHECK(cell("text") == Neutralised(text));
    CHECK(cell("text_hex") == Hex(f.text));
    CHECK(cell("tone_only") == (f.hasText ? "false" : "true"));
    CHECK(cell("damaged") == (call.damaged ? "true" : "false"));
    const char* rawNames[5] = {"date_raw_1", "date_raw_2", "date_raw_3", "time_raw_1", "time_raw_2"};
    for (int i = 0; i < 5; ++i)
        CHECK(cell(rawNames[i]) == (f.dateTime[i] < 0 || !known ? std::string() : std::to_string(f.dateTime[i])));
    // The shown date and time are the JSON's.
    CHECK(cell("date") == (date.is_null() ? std::string() : date.get<std::string>()));
    CHECK(cell("time") == (time.is_null() ? std::string() : time.get<std::string>()));
    return 0;
}
