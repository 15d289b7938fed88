#include "history/contacts_import.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>

#include "history/latin1.h"
#include "history/phone_number.h"

namespace dialscope::history {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// UTF-8 as it stands; other bytes read as Latin-1 (the older exports'
// Windows code page differs only in characters names rarely hold).
std::string AsUtf8(std::string_view bytes) { return IsUtf8(bytes) ? std::string(bytes) : Latin1ToUtf8(bytes); }

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// Collects the numbers, each once: a number given again (to the same name
// or another) is skipped, with the line that gave it first.
struct Collector {
    AddressBookFile* out;
    std::set<std::string> seen;

    void Skip(int line, std::string why) { out->skipped.push_back({line, std::move(why)}); }
    // One entry (a card or a row): its name and the numbers as written.
    void Entry(int line, const std::string& rawName, const std::vector<std::string>& written) {
        bool cut = false;
        const std::string name = CutName(CleanName(rawName), &cut);
        if (cut) out->cutLines.push_back(line);
        const std::string who = name.empty() ? std::string() : " (" + Quoted(name) + ")";
        if (written.empty()) return Skip(line, "no phone number" + who);
        if (name.empty()) return Skip(line, "no name for " + written.front());
        for (const std::string& w : written) {
            const auto number = ReadWrittenNumber(w);
            if (!number) {
                Skip(line, Quoted(CleanName(w)) + " is not a phone number" + who);
            } else if (!seen.insert(*number).second) {
                Skip(line, *number + " is given earlier in the file; the first name is kept" + who);
            } else {
                out->numbers.push_back({*number, name, line});
            }
        }
    }
};

// ------------------------------------------------------------------ vCard

struct PhysicalLine {
    std::string_view text;
    int number;
};

std::vector<PhysicalLine> SplitLines(std::string_view bytes) {
    std::vector<PhysicalLine> lines;
    int n = 0;
    while (!bytes.empty()) {
        size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({line, ++n});
        if (end == std::string_view::npos) break;
        bytes.remove_prefix(end + 1);
    }
    return lines;
}

std::string DecodeQuotedPrintable(std::string_view s) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '=' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// A text value's backslash escapes (3.0, 4.0): "\," "\;" "\\", and "\n"
// as a blank (a name is one line).
std::string Unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char c = s[++i];
            out.push_back(c == 'n' || c == 'N' ? ' ' : c);
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Splits at the separators that no backslash escapes.
std::vector<std::string_view> SplitUnescaped(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') ++i;
        else if (s[i] == separator) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

struct Property {
    std::string name;  // upper case, without its group ("item1.TEL" is TEL)
    std::string value; // decoded, UTF-8, escapes left for the caller
};

// "group.NAME;PARAM=X;BARE:value" with its encoding and charset applied.
bool ParseProperty(std::string_view line, Property* p) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view head = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    const size_t semi = head.find(';');
    std::string_view name = head.substr(0, semi);
    if (size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    if (name.empty()) return false;
    p->name.clear();
    for (char ch : name) p->name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    const std::string params = semi == std::string_view::npos ? std::string() : Lower(head.substr(semi));
    std::string raw(value);
    if (params.find("quoted-printable") != std::string::npos) raw = DecodeQuotedPrintable(value);
    else if (params.find("encoding=b") != std::string::npos) return true;  // a photo and the like: not read
    const size_t charset = params.find("charset=");
    const bool latin = charset != std::string::npos &&
                       (params.compare(charset + 8, 10, "iso-8859-1") == 0 || params.compare(charset + 8, 7, "windows") == 0 ||
                        params.compare(charset + 8, 6, "latin1") == 0);
    p->value = latin ? Latin1ToUtf8(raw) : AsUtf8(raw);
    return true;
}

void ReadVCards(std::string_view bytes, Collector& c) {
    const auto lines = SplitLines(bytes);
    bool inCard = false;
    int cardLine = 0;
    std::string fn, n, org;
    std::vector<std::string> tels;
    auto endCard = [&] {
        std::string name = Trim(Unescape(fn)).empty() ? std::string() : Unescape(fn);
        if (CleanName(name).empty() && !n.empty()) {
            // N: family; given; additional; prefixes; suffixes.
            const auto parts = SplitUnescaped(n, ';');
            auto part = [&](size_t i) { return i < parts.size() ? Unescape(parts[i]) : std::string(); };
            name = part(3) + " " + part(1) + " " + part(2) + " " + part(0) + " " + part(4);
        }
        if (CleanName(name).empty()) name = Unescape(SplitUnescaped(org, ';').front());
        c.Entry(cardLine, name, tels);
        inCard = false;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        const int at = lines[i].number;
        std::string logical(lines[i].text);
        // Folded lines (a blank first), and quoted-printable soft breaks
        // ("=" last) of 2.1.
        for (;;) {
            const bool qp = Lower(logical.substr(0, logical.find(':'))).find("quoted-printable") != std::string::npos;
            if (i + 1 < lines.size() && !lines[i + 1].text.empty() &&
                (lines[i + 1].text[0] == ' ' || lines[i + 1].text[0] == '\t')) {
                logical += lines[++i].text.substr(1);
            } else if (qp && !logical.empty() && logical.back() == '=' && i + 1 < lines.size()) {
                logical.pop_back();
                logical += lines[++i].text;
            } else {
                break;
            }
        }
        if (Trim(logical).empty()) continue;
        Property p;
        if (!ParseProperty(logical, &p)) {
            c.Skip(at, "unreadable line");
            continue;
        }
        const std::string value = Lower(Trim(p.value));
        if (p.name == "BEGIN" && value == "vcard") {
            if (inCard) endCard();  // an END:VCARD missing
            inCard = true;
            cardLine = at;
            fn.clear(), n.clear(), org.clear(), tels.clear();
        } else if (!inCard) {
            c.Skip(at, "unreadable line (outside a card)");
        } else if (p.name == "END") {
            endCard();
        } else if (p.name == "FN") {
            fn = p.value;
        } else if (p.name == "N") {
            n = p.value;
        } else if (p.name == "ORG") {
            org = p.value;
        } else if (p.name == "TEL") {
            tels.push_back(Unescape(Trim(p.value)));
        }
    }
    if (inCard) endCard();
}

// -------------------------------------------------------------------- CSV

// RFC 4180 records, each with the line it starts on; false (with the line)
// when a quoted field is never closed.
bool SplitCsv(std::string_view s, char delimiter, std::vector<std::pair<int, std::vector<std::string>>>* rows,
              int* badLine) {
    int line = 1;
    size_t i = 0;
    while (i < s.size()) {
        const int start = line;
        std::vector<std::string> cells(1);
        bool quotedOpen = false;
        int quoteLine = line;
        for (; i < s.size(); ++i) {
            const char ch = s[i];
            if (quotedOpen) {
                if (ch == '"' && i + 1 < s.size() && s[i + 1] == '"') {
                    cells.back().push_back('"');
                    ++i;
                } else if (ch == '"') {
                    quotedOpen = false;
                } else {
                    if (ch == '\n') ++line;
                    cells.back().push_back(ch);
                }
            } else if (ch == '"' && Trim(cells.back()).empty()) {
                cells.back().clear();
                quotedOpen = true;
                quoteLine = line;
            } else if (ch == delimiter) {
                cells.emplace_back();
            } else if (ch == '\n') {
                ++line;
                ++i;
                break;
            } else if (ch != '\r') {
                cells.back().push_back(ch);
            }
        }
        if (quotedOpen) {
            *badLine = quoteLine;
            return false;
        }
        rows->emplace_back(start, std::move(cells));
    }
    return true;
}

bool Has(const std::string& header, std::string_view word) { return header.find(word) != std::string::npos; }

// The columns of a header row that name a contact and hold its numbers.
struct CsvColumns {
    std::vector<size_t> whole;               // "Name", "Display Name", "Full Name"
    std::vector<size_t> given, middle, family;
    std::vector<size_t> company;
    std::vector<size_t> phones;
};

CsvColumns ReadHeader(const std::vector<std::string>& header) {
    CsvColumns c;
    for (size_t i = 0; i < header.size(); ++i) {
        const std::string h = Lower(Trim(header[i]));
        // Google's "Phone 1 - Type" beside "Phone 1 - Value" says what kind.
        const bool label = h.size() > 7 && (h.ends_with(" - type") || h.ends_with(" - label"));
        if (h == "name" || h == "display name" || h == "full name" || h == "formatted name") c.whole.push_back(i);
        else if (h == "given name" || h == "first name") c.given.push_back(i);
        else if (h == "additional name" || h == "middle name") c.middle.push_back(i);
        else if (h == "family name" || h == "last name" || h == "surname") c.family.push_back(i);
        else if (h == "company" || h == "organization" || h == "organization 1 - name") c.company.push_back(i);
        else if (!label && (Has(h, "phone") || Has(h, "mobile") || Has(h, "fax") || h == "tel" ||
                            h == "telephone" || h == "number" || Has(h, "pager") || h == "callback"))
            c.phones.push_back(i);
    }
    return c;
}

void ReadCsvBook(std::string_view bytes, AddressBookFile* out, Collector& c) {
    // The delimiter is the one the header row uses most: a comma, or the
    // semicolon of exports made where the comma is the decimal mark.
    const std::string_view first = bytes.substr(0, bytes.find('\n'));
    const auto count = [&](char d) { return std::count(first.begin(), first.end(), d); };
    const char delimiter = count(';') > count(',') ? ';' : count('\t') > count(',') ? '\t' : ',';
    std::vector<std::pair<int, std::vector<std::string>>> rows;
    int badLine = 0;
    const bool whole = SplitCsv(bytes, delimiter, &rows, &badLine);
    if (rows.empty()) {
        out->problem = "it holds no header row";
        return;
    }
    const CsvColumns cols = ReadHeader(rows.front().second);
    if (cols.phones.empty()) {
        out->problem = "it is neither a vCard file nor a CSV file with a column of phone numbers (such as "
                       "\"Phone 1 - Value\" or \"Mobile Phone\")";
        return;
    }
    if (cols.whole.empty() && cols.given.empty() && cols.family.empty() && cols.company.empty()) {
        out->problem = "its header row has no column of names (such as \"Name\" or \"First Name\" and \"Last Name\")";
        return;
    }
    out->kind = AddressBookFile::Kind::Csv;
    for (size_t r = 1; r < rows.size(); ++r) {
        const int line = rows[r].first;
        const std::vector<std::string>& cells = rows[r].second;
        auto cell = [&](size_t i) { return i < cells.size() ? AsUtf8(Trim(cells[i])) : std::string(); };
        auto firstOf = [&](const std::vector<size_t>& columns) {
            for (size_t i : columns)
                if (!cell(i).empty()) return cell(i);
            return std::string();
        };
        if (std::all_of(cells.begin(), cells.end(), [](const std::string& s) { return Trim(s).empty(); })) continue;
        std::string name = firstOf(cols.whole);
        if (CleanName(name).empty()) name = firstOf(cols.given) + " " + firstOf(cols.middle) + " " + firstOf(cols.family);
        if (CleanName(name).empty()) name = firstOf(cols.company);
        std::vector<std::string> written;
        for (size_t i : cols.phones) {
            // Google puts several numbers of one kind in one cell: "a ::: b".
            std::string_view rest = cells.size() > i ? std::string_view(cells[i]) : std::string_view();
            for (;;) {
                const size_t sep = rest.find(":::");
                const std::string_view one = Trim(rest.substr(0, sep));
                if (!one.empty()) written.push_back(AsUtf8(one));
                if (sep == std::string_view::npos) break;
                rest.remove_prefix(sep + 3);
            }
        }
        c.Entry(line, name, written);
    }
    if (!whole) c.Skip(badLine, "unreadable line: a quoted field is never closed; the rest of the file is not read");
}

}  // namespace

std::string CleanName(std::string_view text) {
    const std::string utf8 = AsUtf8(text);
    std::string out;
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        const bool blank = c < 0x20 || c == 0x7F || c == ' ';
        if (blank) {
            if (!out.empty() && out.back() != ' ') out.push_back(' ');
        } else {
            out.push_back(ch);
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

size_t Characters(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

std::string CutName(const std::string& name, bool* cut) {
    size_t characters = 0, end = 0;
    for (; end < name.size(); ++end)
        if ((static_cast<unsigned char>(name[end]) & 0xC0) != 0x80 && ++characters > kLongestName) break;
    *cut = end < name.size();
    std::string kept = name.substr(0, end);
    while (!kept.empty() && kept.back() == ' ') kept.pop_back();
    return kept;
}

AddressBookFile ReadAddressBook(const std::string& bytes) {
    AddressBookFile out;
    std::string_view s = bytes;
    if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
    Collector c{&out, {}};
    if (Lower(Trim(s).substr(0, 11)) == "begin:vcard") {
        out.kind = AddressBookFile::Kind::VCard;
        ReadVCards(s, c);
        return out;
    }
    ReadCsvBook(s, &out, c);
    return out;
}

}  // namespace dialscope::history
