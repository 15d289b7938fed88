#include "tools/devsim_log.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/devsim_wire.h"

namespace dialscope::devsim {

uint64_t Rng::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// ---------------------------------------------------------------- generator

namespace {

Label MakeLabel(std::string_view s) {
    Label l{};
    for (size_t i = 0; i < s.size() && i < l.size(); ++i) l[i] = static_cast<uint8_t>(s[i]);
    return l;
}

// Text the way the device stores it: mostly caller numbers and names, with the
// odd line break, zero padding and bytes from the upper half of the table.
std::string RandomText(Rng& rng, size_t length) {
    static constexpr std::string_view kWords[] = {
        "CALL",  "FROM", "J SMITH", "OFFICE", "PRIVATE", "UNKNOWN", "OUT OF AREA",
        "MARIA", "LEE",  "0800",    "EXT",    "PLEASE",  "RING",    "BACK",
        "acme",  "ltd",  "n/a",     "#12",    "(555)",   "--",      "re:"};
    std::string t;
    while (t.size() < length) {
        uint32_t pick = rng.Below(100);
        if (pick < 4) {
            t += "\r\n";
        } else if (pick < 6) {
            t += '\0';
        } else if (pick < 7) {
            t += static_cast<char>(rng.Between(0x80, 0xFF));
        } else if (pick < 8) {
            t += '~';                          // 0x7E: the sync byte as data
        } else if (pick < 40) {
            for (int i = rng.Between(3, 11); i > 0; --i) t += static_cast<char>('0' + rng.Below(10));
        } else {
            t += kWords[rng.Below(std::size(kWords))];
        }
        if (t.size() < length) t += ' ';
    }
    t.resize(length);
    return t;
}

enum class TextKind { kShort, kTone, kLong, kMedium };

std::string MakeText(Rng& rng, TextKind kind) {
    switch (kind) {
    case TextKind::kTone:
        return {};
    case TextKind::kShort: {
        std::string t;
        for (int i = rng.Between(7, 11); i > 0; --i) t += static_cast<char>('0' + rng.Below(10));
        if (rng.Below(2)) t += "\r\n" + RandomText(rng, rng.Between(3, 40));
        if (rng.Below(4) == 0) t.append(rng.Between(1, 6), '\0');  // zero padded like a fixed field
        return t;
    }
    case TextKind::kMedium:
        return RandomText(rng, rng.Between(77, 600));
    case TextKind::kLong: {
        // More than 15 full data frames, so the letters wrap from '^' to 'P'.
        std::string t = RandomText(rng, rng.Between(1141, 1500));
        // Make sure the awkward bytes are there whatever the draw gave.
        t.replace(10, 2, "\r\n");
        t[20] = '\0';
        t.replace(30, 3, "~~P");             // sync, sync, a data letter: still data
        t[40] = static_cast<char>(0xFF);
        t[50] = 0x11;                        // XON, XOFF and a lone CR: data too
        t[51] = 0x13;
        t[52] = '\r';
        return t;
    }
    }
    return {};
}

// True when the checksum of one of the record's frames with this command,
// as the simulator sends them at the default frame size, holds `byte`.
bool CrcHolds(const CallRecord& record, uint8_t command, uint8_t byte) {
    CallLog one;
    one.records.push_back(record);
    for (const DownloadFrame& f : BuildDownloadFrames(one)) {
        if (f.frame.command != command) continue;
        const std::vector<uint8_t> wire = EncodeFrame(f.frame);
        if (wire[wire.size() - 2] == byte || wire.back() == byte) return true;
    }
    return false;
}

// Puts 0x11 and 0x13 (XON and XOFF to a tty left with software flow
// control) where a real log has them: a call at 17:xx on day 17, one at
// 19:xx on day 19, text bytes, and checksum bytes of a data frame and of
// both boundary frames. The minute and year, and one filler byte at the end
// of the first text, are searched for in a fixed order, so the log stays the
// same for the same seed.
void AddFlowControlBytes(CallLog* log) {
    auto boundaryCrc = [](CallRecord* r, uint8_t byte) {
        const uint8_t firstYear = r->date[2];
        for (int y = 0; y < 100; ++y) {
            r->date[2] = static_cast<uint8_t>((firstYear + y) % 100);
            for (int minute = 0; minute < 60; ++minute) {
                r->time[1] = static_cast<uint8_t>(minute);
                if (CrcHolds(*r, 'B', byte)) return;
            }
        }
    };
    std::vector<CallRecord>& records = log->records;
    if (!records.empty()) {
        CallRecord& r = records[0];   // a short text: one data frame at the default size
        r.date[1] = 17;
        r.time[0] = 17;
        r.text += "\x11\x13";
        r.text += '\0';
        for (int filler = 0; filler < 256; ++filler) {
            r.text.back() = static_cast<char>(filler);
            if (CrcHolds(r, 'P', 0x13)) break;
        }
        boundaryCrc(&r, 0x11);
    }
    if (records.size() > 1) {
        CallRecord& r = records[1];
        r.date[1] = 19;
        r.time[0] = 19;
        boundaryCrc(&r, 0x13);
    }
}

}  // namespace

CallLog GenerateCallLog(int recordCount, uint64_t seed) {
    static constexpr std::string_view kLabelPool[] = {
        "OFFICE", "DESK", "HOME", "LOBBY", "SALES", "FAX LINE", "RECEPTN",
        "MOBILE", "LINE 7", "ANNEX", "SHOP", "GARAGE"};
    Rng rng(seed);
    CallLog log;
    std::vector<std::string_view> pool(std::begin(kLabelPool), std::end(kLabelPool));
    for (size_t i = 0; i < 7; ++i) {
        size_t j = i + rng.Below(static_cast<uint32_t>(pool.size() - i));
        std::swap(pool[i], pool[j]);
        log.labels[i] = MakeLabel(pool[i]);
    }
    log.labels[7] = Label{};                 // an unnamed line shows eight spaces

    for (int i = 0; i < recordCount; ++i) {
        CallRecord r;
        r.label = static_cast<uint8_t>(rng.Below(8));
        r.letter = static_cast<uint8_t>(rng.Below(4));
        r.date = {static_cast<uint8_t>(rng.Between(1, 12)), static_cast<uint8_t>(rng.Between(1, 28)),
                  static_cast<uint8_t>(rng.Below(100))};
        r.time = {static_cast<uint8_t>(rng.Below(24)), static_cast<uint8_t>(rng.Below(60))};
        TextKind kind;
        if (i < 4) {
            kind = static_cast<TextKind>(i);
        } else {
            uint32_t p = rng.Below(100);
            kind = p < 15 ? TextKind::kTone : p < 60 ? TextKind::kShort : p < 90 ? TextKind::kMedium
                                                                                 : TextKind::kLong;
        }
        r.text = MakeText(rng, kind);
        log.records.push_back(std::move(r));
    }
    AddFlowControlBytes(&log);
    return log;
}

// ---------------------------------------------------------------- text file

namespace {

bool Unescape(std::string_view in, std::string* out, std::string* why) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= in.size()) {
            *why = "backslash at end of line";
            return false;
        }
        switch (in[i]) {
        case '\\': *out += '\\'; break;
        case 'r': *out += '\r'; break;
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case '0': *out += '\0'; break;
        case 's': *out += ' '; break;
        case 'x': {
            unsigned v = 0;
            if (i + 2 >= in.size() ||
                std::from_chars(in.data() + i + 1, in.data() + i + 3, v, 16).ptr != in.data() + i + 3) {
                *why = "\\x needs two hex digits";
                return false;
            }
            *out += static_cast<char>(v);
            i += 2;
            break;
        }
        default:
            *why = std::string("unknown escape \\") + in[i];
            return false;
        }
    }
    return true;
}

std::string Escape(std::string_view in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        auto b = static_cast<unsigned char>(in[i]);
        bool edge = i == 0 || i + 1 == in.size();
        switch (b) {
        case '\\': out += "\\\\"; continue;
        case '\r': out += "\\r"; continue;
        case '\n': out += "\\n"; continue;
        case '\t': out += "\\t"; continue;
        case 0: out += "\\0"; continue;
        case ' ':
            out += edge ? "\\s" : " ";       // editors eat spaces at either end
            continue;
        default:
            break;
        }
        if (b < 0x20 || b >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

// Splits off the next space-separated word; *rest keeps what follows it,
// starting with the separating space.
std::string_view NextWord(std::string_view* rest) {
    size_t b = rest->find_first_not_of(' ');
    if (b == std::string_view::npos) {
        *rest = {};
        return {};
    }
    size_t e = rest->find(' ', b);
    if (e == std::string_view::npos) e = rest->size();
    std::string_view w = rest->substr(b, e - b);
    rest->remove_prefix(e);
    return w;
}

bool Number(std::string_view w, int lo, int hi, int* v) {
    if (w.empty()) return false;
    auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), *v);
    return ec == std::errc() && p == w.data() + w.size() && *v >= lo && *v <= hi;
}

}  // namespace

bool ParseCallLog(std::string_view text, CallLog* log, std::string* error) {
    CallLog result;
    int lineNo = 0;
    auto fail = [&](const std::string& what) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + what;
        return false;
    };
    while (!text.empty()) {
        ++lineNo;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view rest = line;
        std::string_view keyword = NextWord(&rest);
        if (keyword.empty() || keyword[0] == '#') continue;

        if (keyword == "label") {
            int k;
            if (!Number(NextWord(&rest), 0, 7, &k)) return fail("label index must be 0 to 7");
            std::string bytes, why;
            if (!rest.empty()) rest.remove_prefix(1);
            if (!Unescape(rest, &bytes, &why)) return fail(why);
            if (bytes.size() > 8) return fail("a label has at most 8 bytes");
            result.labels[k] = MakeLabel(bytes);
        } else if (keyword == "record") {
            CallRecord r;
            int v;
            if (!Number(NextWord(&rest), 0, 7, &v)) return fail("label index must be 0 to 7");
            r.label = static_cast<uint8_t>(v);
            std::string_view letter = NextWord(&rest);
            if (letter.size() == 1 && letter[0] >= 'A' && letter[0] <= 'D') {
                r.letter = static_cast<uint8_t>(letter[0] - 'A');
            } else if (Number(letter, 0, 3, &v)) {
                r.letter = static_cast<uint8_t>(v);
            } else {
                return fail("letter code must be 0 to 3 or A to D");
            }
            for (auto* field : {&r.date[0], &r.date[1], &r.date[2], &r.time[0], &r.time[1]}) {
                if (!Number(NextWord(&rest), 0, 99, &v)) return fail("date and time fields must be 0 to 99");
                *field = static_cast<uint8_t>(v);
            }
            std::string why;
            if (!rest.empty()) rest.remove_prefix(1);  // the one space before the text
            if (!Unescape(rest, &r.text, &why)) return fail(why);
            result.records.push_back(std::move(r));
        } else {
            return fail("unknown keyword '" + std::string(keyword) + "'");
        }
    }
    *log = std::move(result);
    return true;
}

bool LoadCallLog(const std::string& path, CallLog* log, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::string why;
    if (!ParseCallLog(ss.str(), log, &why)) {
        if (error) *error = path + ": " + why;
        return false;
    }
    return true;
}

std::string FormatCallLog(const CallLog& log) {
    std::string out = "# dialscope-devsim call log\n";
    for (int k = 0; k < 8; ++k) {
        const Label& l = log.labels[k];
        size_t n = l.size();
        while (n > 0 && l[n - 1] == 0) --n;     // trailing zeros are implied
        out += "label " + std::to_string(k);
        if (n > 0) out += " " + Escape(std::string(l.begin(), l.begin() + n));
        out += '\n';
    }
    char fields[64];
    for (const CallRecord& r : log.records) {
        std::snprintf(fields, sizeof fields, "record %d %c %02d %02d %02d %02d %02d", r.label,
                      'A' + r.letter, r.date[0], r.date[1], r.date[2], r.time[0], r.time[1]);
        out += fields;
        if (!r.text.empty()) out += " " + Escape(r.text);
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- rendering

namespace {

void TwoDigits(std::string* out, unsigned v) {
    *out += static_cast<char>('0' + v / 10 % 10);
    *out += static_cast<char>('0' + v % 10);
}

char Shown(char c) { return c == '\0' ? ' ' : c; }

}  // namespace

std::string NumberField(int number) {
    char field[8];
    if (number >= 1 && number <= 99) std::snprintf(field, sizeof field, "%2d. ", number);
    else if (number >= 100 && number <= 999) std::snprintf(field, sizeof field, "%d.", number);
    else return "***.";
    return field;
}

std::string RenderRecord(int number, const LabelSet& labels, const CallRecord& record,
                         bool hasText, std::string_view text) {
    std::string out = NumberField(number);
    for (uint8_t b : labels[record.label & 7]) out += Shown(static_cast<char>(b));
    out += static_cast<char>('A' + (record.letter & 3));
    out += ' ';
    TwoDigits(&out, record.date[0]);
    out += '/';
    TwoDigits(&out, record.date[1]);
    out += '/';
    TwoDigits(&out, record.date[2]);
    out += ' ';
    TwoDigits(&out, record.time[0]);
    out += ':';
    TwoDigits(&out, record.time[1]);
    out += "\r\n";
    if (hasText) {
        out += "      ";
        text = text.substr(0, kMaxShownText);
        for (char c : text) out += Shown(c);
    } else {
        out += "     Tone only    ";
    }
    out += "\r\n";
    return out;
}

std::string RenderDownload(const CallLog& log) {
    std::string out;
    int n = 0;
    for (const CallRecord& r : log.records) out += RenderRecord(++n, log.labels, r);
    return out;
}

}  // namespace dialscope::devsim
