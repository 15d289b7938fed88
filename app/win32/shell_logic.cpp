#include "app/win32/shell_logic.h"

#include <cctype>

namespace dialscope {

std::string StatusBoxAddition(std::string_view boxText, std::string_view line) {
    const bool atLineStart = boxText.empty() || boxText.back() == '\n';
    std::string text;
    text.reserve(line.size() + 2);
    if (!atLineStart) text += "\r\n";
    text += line;
    return text;
}

std::string LogViewText(const uint8_t* bytes, size_t count) {
    std::string text(reinterpret_cast<const char*>(bytes), count);
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    return text;
}

char MnemonicOf(std::string_view caption) {
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {
            ++i;  // a literal ampersand
            continue;
        }
        return static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i + 1])));
    }
    return 0;
}

}  // namespace dialscope
