#include "record/render_record.h"

namespace dialscope {

namespace {

constexpr char kUnknown = '?';

char Shown(uint8_t byte) { return byte == 0 ? ' ' : static_cast<char>(byte); }

// Two decimal digits, or "??" for a value that does not fit: a date or time
// field above 99 is not a date or a time, and "1:" or ":0" would pass for one.
void TwoDigits(std::string& out, int value) {
    if (value < 0 || value > 99) {
        out.append(2, kUnknown);
        return;
    }
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
}

// The number takes the first four positions of the header line, so the
// label, letter, date and time stand in the same columns on every line:
// " 7. " and "42. ", "100." to "999." (no room for the space), and "***."
// for a number that does not fit. The call history keeps every call of a
// download in its order, so stars here lose nothing there.
void Number(std::string& out, int32_t number) {
    if (number < 1 || number > 999) {
        out += "***.";
        return;
    }
    if (number >= 100) out += static_cast<char>('0' + number / 100);
    if (number >= 10) out += static_cast<char>('0' + number / 10 % 10);
    else out += ' ';
    out += static_cast<char>('0' + number % 10);
    out += number >= 100 ? "." : ". ";
}

}  // namespace

void RenderRecord(const CallRecord& record, int32_t number, std::string& out) {
    out.clear();
    Number(out, number);
    for (uint8_t b : record.label) out += record.headerKnown ? Shown(b) : kUnknown;
    out += record.headerKnown ? static_cast<char>('A' + (record.letterCode & 3)) : kUnknown;
    out += ' ';
    TwoDigits(out, record.dateTime[0]);
    out += '/';
    TwoDigits(out, record.dateTime[1]);
    out += '/';
    TwoDigits(out, record.dateTime[2]);
    out += ' ';
    TwoDigits(out, record.dateTime[3]);
    out += ':';
    TwoDigits(out, record.dateTime[4]);
    out += "\r\n";
    if (record.hasText) {
        out += "      ";
        for (char c : record.text) out += Shown(static_cast<uint8_t>(c));
        out += "\r\n";
    } else if (!record.damaged) {
        out += "     Tone only    \r\n";
    }
    if (record.damaged) out += kDamagedTextLine;
}

std::string RenderRecord(const CallRecord& record, int32_t number) {
    std::string out;
    out.reserve(RenderedSizeLimit(record.text.size()));
    RenderRecord(record, number, out);
    return out;
}

}  // namespace dialscope
