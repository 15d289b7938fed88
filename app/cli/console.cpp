#include "app/cli/console.h"

namespace dialscope::cli {

void ConsoleView::ShowStatusLine(std::string_view line) {
    if (onStatus) onStatus(line);
}

std::string ShownOnTerminal(std::string_view bytes, TextEncoding encoding) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    auto escape = [&](unsigned char c) {
        out += encoding == TextEncoding::Latin1 ? "\\x" : "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        // A line ends in LF after any number of CRs (the window's Save writes
        // CR CR LF after a line the box ended with CR LF).
        const size_t notCr = bytes.find_first_not_of('\r', i);
        const bool lineEnd = c == '\n' || (c == '\r' && notCr != std::string_view::npos && bytes[notCr] == '\n');
        if ((c < 0x20 && !lineEnd) || c == 0x7f) {
            escape(c);
        } else if (encoding == TextEncoding::Latin1 && c >= 0x80 && c <= 0x9f) {
            escape(c);
        } else if (encoding == TextEncoding::Utf8 && c == 0xc2 && i + 1 < bytes.size() &&
                   static_cast<unsigned char>(bytes[i + 1]) >= 0x80 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9f) {
            // U+0080 to U+009F, two bytes in UTF-8.
            escape(static_cast<unsigned char>(bytes[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace dialscope::cli
