#include "history/latin1.h"

namespace dialscope::history {

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes) {
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

std::optional<std::string> Utf8ToLatin1(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        auto cont = [&](size_t k) {
            return i + k < utf8.size() && (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        };
        if ((c & 0xE0) == 0xC0 && c >= 0xC2 && cont(1)) {
            unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            if (code > 0xFF) return std::nullopt;
            out.push_back(static_cast<char>(code));
            ++i;
        } else if ((c & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            return std::nullopt;  // U+0800 and above
        } else if ((c & 0xF8) == 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
            return std::nullopt;
        } else {
            out.push_back(static_cast<char>(c));  // not UTF-8: a Latin-1 byte as typed
        }
    }
    return out;
}

bool IsUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2 : (c & 0xF0) == 0xE0 ? 3
                       : (c & 0xF8) == 0xF0 && c <= 0xF4                 ? 4
                                                                         : 0;
        if (n == 0 || i + n > bytes.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::string Utf8ToLatin1Lossy(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (auto one = Utf8ToLatin1(utf8.substr(i, n)); n > 1 && one && one->size() == 1) out += *one;
        else out.push_back(n == 1 ? static_cast<char>(c) : '?');
        i += n;
    }
    return out;
}

std::string FoldLatin1(std::string_view bytes) {
    std::string out(bytes);
    for (char& ch : out) {
        auto c = static_cast<unsigned char>(ch);
        if (c == 0) {
            ch = ' ';
        } else if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
            ch = static_cast<char>(c + 0x20);
        }
    }
    return out;
}

std::string_view TrimTrailingBlanks(std::string_view bytes) {
    while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\0')) bytes.remove_suffix(1);
    return bytes;
}

}  // namespace dialscope::history
