// REGEDIT4 registry text: the files that stand in for the registry where there
// is none. Text is 8-bit in the system code page and kept byte for byte.
#include <fstream>
#include <sstream>
#include <utility>

#include "tests/support/registry_memory.h"

namespace dialscope {

RegFileError::RegFileError(int line, const std::string& what)
    : std::runtime_error(line > 0 ? "line " + std::to_string(line) + ": " + what : what),
      line_(line) {}

namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (IsSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

// One logical line: physical lines joined where a line ends in '\'. Each piece
// remembers the physical line it came from, so an error names the line the
// user has to look at.
class LogicalLine {
public:
    void Append(std::string_view piece, int physicalLine) {
        starts_.push_back({text_.size(), physicalLine});
        text_.append(piece);
    }
    const std::string& text() const { return text_; }
    int LineAt(size_t pos) const {
        int line = starts_.empty() ? 0 : starts_.front().second;
        for (const auto& [offset, l] : starts_) {
            if (offset > pos) break;
            line = l;
        }
        return line;
    }

private:
    std::string text_;
    std::vector<std::pair<size_t, int>> starts_;
};

class Cursor {
public:
    explicit Cursor(const LogicalLine& line) : line_(line), s_(line.text()) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw RegFileError(line_.LineAt(pos_), what);
    }
    bool AtEnd() const { return pos_ >= s_.size(); }
    char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
    void SkipSpace() {
        while (!AtEnd() && IsSpace(s_[pos_])) ++pos_;
    }
    bool Accept(std::string_view word) {
        if (!StartsWithNoCase(std::string_view(s_).substr(pos_), word)) return false;
        pos_ += word.size();
        return true;
    }
    void Expect(char c, const char* what) {
        if (Peek() != c || AtEnd()) Fail(what);
        ++pos_;
    }
    void ExpectEnd() {
        SkipSpace();
        if (!AtEnd()) Fail("unexpected text after the value");
    }

    // A "quoted" text with \\ and \" escapes; the cursor is on the opening quote.
    std::string Quoted() {
        ++pos_;
        std::string out;
        while (true) {
            if (AtEnd()) Fail("missing closing quote");
            char c = s_[pos_++];
            if (c == '"') return out;
            if (c == '\\') {
                if (AtEnd()) Fail("missing closing quote");
                char e = s_[pos_++];
                if (e != '\\' && e != '"') Fail(std::string("unknown escape '\\") + e + "'");
                c = e;
            }
            out.push_back(c);
        }
    }

    // Up to `maxDigits` hex digits, at least one.
    uint32_t HexNumber(size_t maxDigits, const char* what) {
        uint32_t v = 0;
        size_t n = 0;
        while (!AtEnd() && HexDigit(s_[pos_]) >= 0) {
            if (++n > maxDigits) Fail(what);
            v = (v << 4) | static_cast<uint32_t>(HexDigit(s_[pos_++]));
        }
        if (n == 0) Fail(what);
        return v;
    }

    // Comma-separated bytes of one or two hex digits; a trailing comma (left by
    // the writer before a line break) is allowed.
    std::string HexBytes() {
        std::string out;
        SkipSpace();
        while (!AtEnd()) {
            out.push_back(static_cast<char>(HexNumber(2, "expected a hex byte")));
            SkipSpace();
            if (AtEnd()) break;
            Expect(',', "expected ',' between hex bytes");
            SkipSpace();
        }
        return out;
    }

private:
    const LogicalLine& line_;
    const std::string& s_;
    size_t pos_ = 0;
};

class RegTextParser {
public:
    explicit RegTextParser(std::string_view text) : tree_(std::make_shared<MemoryRegistry>()) {
        SplitLines(text);
    }

    std::shared_ptr<MemoryRegistry> Parse() {
        size_t i = ReadHeader();
        while (i < lines_.size()) {
            int first = static_cast<int>(i) + 1;
            std::string_view l = TrimLeft(TrimRight(lines_[i]));
            if (l.empty() || l.front() == ';') {
                ++i;
                continue;
            }
            LogicalLine logical;
            while (true) {
                bool continued = !l.empty() && l.back() == '\\';
                if (continued) l.remove_suffix(1);
                logical.Append(l, static_cast<int>(i) + 1);
                ++i;
                if (!continued || i >= lines_.size()) break;
                l = TrimLeft(TrimRight(lines_[i]));
            }
            if (logical.text().empty()) continue;  // a lone '\' continued into nothing
            if (logical.text().front() == '[')
                KeyLine(logical);
            else if (logical.text().front() == '"' || logical.text().front() == '@')
                ValueLine(logical);
            else
                throw RegFileError(first, "expected a [key] or a value line");
        }
        return tree_;
    }

private:
    void SplitLines(std::string_view text) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    size_t ReadHeader() {
        for (size_t i = 0; i < lines_.size(); ++i) {
            std::string_view l = TrimLeft(TrimRight(lines_[i]));
            if (l.empty()) continue;
            if (l != "REGEDIT4")
                throw RegFileError(static_cast<int>(i) + 1, "expected the REGEDIT4 header");
            return i + 1;
        }
        throw RegFileError(1, "expected the REGEDIT4 header");
    }

    void KeyLine(const LogicalLine& logical) {
        std::string_view s = logical.text();
        int line = logical.LineAt(0);
        if (s.back() != ']') throw RegFileError(line, "missing ']' at the end of the key line");
        s = s.substr(1, s.size() - 2);
        bool remove = !s.empty() && s.front() == '-';
        if (remove) s.remove_prefix(1);
        size_t slash = s.find('\\');
        std::string_view root = s.substr(0, slash);
        std::string_view path = slash == std::string_view::npos ? std::string_view() : s.substr(slash + 1);
        if (!NamesEqual(root, kRoot))
            throw RegFileError(line, "only HKEY_LOCAL_MACHINE keys can be loaded, not '" +
                                         std::string(root) + "'");
        if (slash != std::string_view::npos && path.empty())
            throw RegFileError(line, "empty key name");
        try {
            if (remove) {
                if (path.empty()) throw RegFileError(line, "the root key cannot be deleted");
                tree_->DeleteKey(path);
                currentKey_.reset();
            } else {
                tree_->AddKey(path);
                currentKey_ = std::string(path);
            }
        } catch (const std::invalid_argument& e) {
            throw RegFileError(line, e.what());
        }
    }

    void ValueLine(const LogicalLine& logical) {
        Cursor c(logical);
        if (!currentKey_) c.Fail("value outside a key");
        std::string name;
        if (c.Peek() == '@')
            c.Accept("@");
        else
            name = c.Quoted();
        if (name.size() > kMaxValueNameLength) c.Fail("value name too long");
        c.SkipSpace();
        c.Expect('=', "expected '=' after the value name");
        c.SkipSpace();

        if (c.Peek() == '"') {
            std::string text = c.Quoted();
            c.ExpectEnd();
            tree_->SetString(*currentKey_, name, text);
        } else if (c.Peek() == '-') {
            c.Accept("-");
            c.ExpectEnd();
            tree_->DeleteValue(*currentKey_, name);
        } else if (c.Accept("dword:")) {
            uint32_t v = c.HexNumber(8, "expected up to 8 hex digits after 'dword:'");
            c.ExpectEnd();
            tree_->SetDword(*currentKey_, name, v);
        } else if (c.Accept("hex:")) {
            tree_->SetValue(*currentKey_, name, kRegBinary, c.HexBytes());
        } else if (c.Accept("hex(")) {
            uint32_t type = c.HexNumber(8, "expected a hex type number in 'hex(...)'");
            c.Expect(')', "expected ')' after the type number");
            c.Expect(':', "expected ':' after 'hex(...)'");
            tree_->SetValue(*currentKey_, name, type, c.HexBytes());
        } else {
            c.Fail("unrecognised value data");
        }
    }

    std::shared_ptr<MemoryRegistry> tree_;
    std::vector<std::string_view> lines_;
    std::optional<std::string> currentKey_;
};

}  // namespace

std::shared_ptr<MemoryRegistry> ParseRegText(std::string_view text) {
    return RegTextParser(text).Parse();
}

std::shared_ptr<MemoryRegistry> LoadRegFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw RegFileError(0, path + ": cannot open the file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw RegFileError(0, path + ": cannot read the file");
    return ParseRegText(text.str());
}

}  // namespace dialscope
