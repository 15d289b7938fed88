#include "history/phone_number.h"

#include <cctype>

namespace dialscope::history {
namespace {

constexpr size_t kMinDigits = 3;
constexpr size_t kMaxDigits = 15;  // the longest an international number may be
constexpr size_t kCrossDigits = 9;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSeparator(char c) { return IsBlank(c) || c == '-' || c == '.' || c == '(' || c == ')'; }

// The normalised number written in `run`, which holds nothing but an
// optional leading "+", digits and separators ('/' too when `slash`).
std::optional<std::string> Normalise(std::string_view run, bool slash) {
    size_t i = 0;
    while (i < run.size() && IsBlank(run[i])) ++i;
    bool international = i < run.size() && run[i] == '+';
    if (international) ++i;
    // 'T' stands for a "(0)" after the first digits: the trunk digit of an
    // international number, a plain 0 of a national one.
    std::string digits;
    for (; i < run.size(); ++i) {
        const char c = run[i];
        if (IsDigit(c)) {
            digits.push_back(c);
        } else if (c == '(' && !digits.empty() && run.substr(i, 3) == "(0)") {
            digits.push_back('T');
            i += 2;
        } else if (!IsSeparator(c) && !(slash && c == '/')) {
            return std::nullopt;
        }
    }
    if (!international && digits.rfind("00", 0) == 0) {
        international = true;
        digits.erase(0, 2);
    }
    std::string out = international ? "+" : "";
    for (char c : digits)
        if (c != 'T') out.push_back(c);
        else if (!international) out.push_back('0');
    const size_t count = out.size() - (international ? 1 : 0);
    if (count < kMinDigits || count > kMaxDigits) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::string> CallerNumber(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x20 && text[end] != 0x7F) ++end;
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t i = 0;
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size() || !(IsDigit(line[i]) || line[i] == '+' || line[i] == '(')) continue;
        size_t j = i + 1, afterDigit = IsDigit(line[i]) ? i + 1 : i;
        for (; j < line.size() && (IsDigit(line[j]) || IsSeparator(line[j])); ++j)
            if (IsDigit(line[j])) afterDigit = j + 1;
        if (afterDigit == i) continue;  // "(HOME)", "+ ..."
        // The first line that starts with a number decides.
        // A word right after the last digit ("0800EXT", "12/31") makes it no number.
        if (afterDigit == j && j < line.size()) return std::nullopt;
        return Normalise(line.substr(i, afterDigit - i), false);
    }
    return std::nullopt;
}

std::optional<std::string> ReadWrittenNumber(std::string_view written) {
    auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    auto startsWith = [&](std::string_view s, std::string_view prefix) {
        if (s.size() < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i)
            if (lower(s[i]) != prefix[i]) return false;
        return true;
    };
    while (!written.empty() && IsBlank(written.front())) written.remove_prefix(1);
    if (startsWith(written, "tel:")) written.remove_prefix(4);
    // A URI's parameters (";ext=12"), a list's next number.
    written = written.substr(0, written.find_first_of(";,"));
    // An extension: "x12", "ext. 12", "extension 12".
    for (size_t i = 0; i < written.size(); ++i) {
        if (!std::isalpha(static_cast<unsigned char>(written[i]))) continue;
        if (startsWith(written.substr(i), "x") || startsWith(written.substr(i), "ext")) written = written.substr(0, i);
        break;
    }
    return Normalise(written, true);
}

std::string CrossKey(const std::string& number) {
    const bool international = !number.empty() && number[0] == '+';
    if (!international && (number.empty() || number[0] != '0')) return {};
    const size_t digits = number.size() - (international ? 1 : 0);
    if (digits < kCrossDigits) return {};
    return number.substr(number.size() - kCrossDigits);
}

bool SameLine(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::string key = CrossKey(a);
    return !key.empty() && key == CrossKey(b) && (a[0] == '+') != (b[0] == '+');
}

}  // namespace dialscope::history
