#include "app/save_log.h"

namespace dialscope {

namespace {

size_t writeLimit = 0;

}  // namespace

void LimitWriteSizeForTesting(size_t bytes) { writeLimit = bytes; }

size_t WriteCallSize(size_t count) {
    return writeLimit != 0 && count > writeLimit ? writeLimit : count;
}

bool AppendTextToFile(const std::string& text, const std::string& fileName) {
    return AppendBytesToFile(ToFileLineEnds(text), fileName);
}

// Saved logs have always gone through a text-mode stream, which turns every
// LF into CR LF; the file calls on both systems write bytes as they are, so
// the conversion is done here, once for both.
std::string ToFileLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

}  // namespace dialscope
