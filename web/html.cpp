#include "web/html.h"

#include <cstdint>

namespace dialscope::web {

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

constexpr uint32_t kReplacement = 0xFFFD;
// Line ends and tabs as marks every font of the pages has (the control
// pictures U+2400.. are missing from the fonts browsers fall back to, and
// show as empty boxes): a line end as a return arrow, a tab as an arrow.
constexpr uint32_t kLineEnd = 0x21B5, kTab = 0x2192;

// One character of either source, escaped.
void AppendEscaped(std::string& out, uint32_t cp) {
    switch (cp) {
    case '&': out += "&amp;"; return;
    case '<': out += "&lt;"; return;
    case '>': out += "&gt;"; return;
    case '"': out += "&quot;"; return;
    case '\'': out += "&#39;"; return;
    default: AppendUtf8(out, cp);
    }
}

bool IsDirectionControl(uint32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// Decodes one UTF-8 character at s[i] and steps past it; 0xFFFFFFFF for an
// invalid sequence, of which one byte is then consumed.
uint32_t DecodeUtf8(std::string_view s, size_t& i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) {
        ++i;
        return c;
    }
    const int extra = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : -1;
    if (extra < 0) {
        ++i;
        return 0xFFFFFFFF;
    }
    uint32_t cp = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size() || (b(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFFFFFF;
        }
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no characters.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFFFFFF;
    }
    i += static_cast<size_t>(extra) + 1;
    return cp;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string UrlDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out.push_back(' ');
        } else if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace

std::string HtmlFromLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == 0) AppendUtf8(out, ' ');
        else if (c == '\r' || c == '\n') {
            AppendUtf8(out, kLineEnd);
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;  // one mark for CR LF
        } else if (c == '\t') AppendUtf8(out, kTab);
        else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) AppendUtf8(out, kReplacement);
        else AppendEscaped(out, c);
    }
    return out;
}

std::string HtmlFromUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = DecodeUtf8(utf8, i);
        if (cp == 0xFFFFFFFF || cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || IsDirectionControl(cp))
            cp = kReplacement;
        AppendEscaped(out, cp);
    }
    return out;
}

std::map<std::string, std::string> ParseQuery(std::string_view query) {
    std::map<std::string, std::string> out;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        out[UrlDecode(pair.substr(0, eq))] = eq == std::string_view::npos ? std::string() : UrlDecode(pair.substr(eq + 1));
    }
    return out;
}

std::string UrlEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out;
}

}  // namespace dialscope::web
