#include <cstring>

#include "protocol/protocol.h"

namespace dialscope {

namespace {

constexpr int kHeaderArea = 36;     // header line and indentation in front of the text
constexpr int kHeaderLine = 30;     // the header line with its CR LF
constexpr int kTextLimit = kTextBufferSize - 5;  // room for CR LF and the terminator
constexpr uint8_t kUnknown = '?';   // shown for values the device gave that cannot be rendered
const uint8_t kNoLabel[8] = {kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown};

// Two decimal digits, or "??" for a value that does not fit: a date or time
// field above 99 is not a date or a time, and "1:" or ":0" would pass for one.
void PutTwoDigits(uint8_t* at, int value) {
    if (value < 0 || value > 99) {
        at[0] = kUnknown;
        at[1] = kUnknown;
        return;
    }
    at[0] = static_cast<uint8_t>('0' + value / 10);
    at[1] = static_cast<uint8_t>('0' + value % 10);
}

}  // namespace

void Protocol::SaveLabelTable() {
    // Labels are payload bytes 8 to 71. A header frame too short to carry
    // them all leaves '?' in the missing places rather than stale bytes from
    // the frame buffer.
    const uint8_t* payload = FrameBuffer + 2;
    int carried = FrameBuffer[1];
    for (int i = 0; i < kLabelTableSize; ++i) {
        int at = 8 + i;
        LabelTable[i] = at < carried ? payload[at] : kUnknown;
    }
}

void Protocol::ClearRecordText() {
    // Everything past textLength is zero already (nothing writes beyond the
    // text it counts), so only the text itself needs clearing.
    std::memset(TextBuffer, 0, static_cast<size_t>(s_.textLength));
    s_.textLength = 0;
    s_.recordDamaged = 0;
    s_.damagePending = 0;
}

void Protocol::AppendPayload() {
    if (s_.textLength == 0) s_.textLength = kHeaderArea;
    const uint8_t* payload = FrameBuffer + 2;
    int count = FrameBuffer[1];
    for (int i = 0; i < count; ++i) {
        // Past this the rest of the record is dropped; the record is still
        // output, cut short, when its boundary frame arrives.
        if (s_.textLength >= kTextLimit) break;
        TextBuffer[s_.textLength++] = payload[i];
    }
}

void Protocol::OutputRecord() {
    // The record's raw fields go out beside its rendering: the text as it
    // arrived, before zero bytes are shown as spaces.
    RecordFields record;
    const uint8_t* b = FrameBuffer + 2;
    const int carried = FrameBuffer[1];  // at least 1 here
    const int k = b[0] & 0x0F;
    record.label = k < 8 ? LabelTable + 8 * k : kNoLabel;
    record.labelIndex = static_cast<uint8_t>(k);
    record.letterCode = static_cast<uint8_t>((b[0] >> 4) & 3);
    for (int i = 0; i < 5; ++i) record.dateTime[i] = static_cast<int16_t>(i + 1 < carried ? b[i + 1] : -1);
    const int32_t collected = s_.textLength;
    BuildRecordHeader(b, carried);
    EmitRecord(record, collected);
}

void Protocol::OutputHeaderlessRecord(const char* why) {
    window_.AppendStatusLine(why);
    RecordFields record;
    record.headerKnown = false;
    record.label = kNoLabel;
    s_.recordDamaged = 1;
    const int32_t collected = s_.textLength;
    BuildRecordHeader(nullptr, 0);
    EmitRecord(record, collected);
}

// The text, the rendering and the record handed out; the record text is
// empty again afterwards. BuildRecordHeader has run; `collected` is the
// record text's length before it did (0: no data frame came).
void Protocol::EmitRecord(RecordFields& record, int32_t collected) {
    record.hasText = collected != 0;
    if (record.hasText) {
        record.textLength = static_cast<size_t>(collected - kHeaderArea);
        std::memcpy(rawText_, TextBuffer + kHeaderArea, record.textLength);
        record.text = rawText_;
    }
    record.damaged = s_.recordDamaged != 0;
    AppendRecordToLog();
    record.rendered = rendered_;
    record.renderedLength = renderedLength_;
    window_.RecordOutput(record);
    ClearRecordText();
}

void Protocol::BuildRecordHeader(const uint8_t* b, int carried) {
    uint8_t* t = TextBuffer;
    // A boundary frame shorter than six payload bytes leaves its missing
    // fields unknown instead of reading the CRC and older bytes as dates; a
    // lost one leaves all of them unknown.
    auto field = [&](int i) { return i < carried ? static_cast<int>(b[i]) : -1; };

    int n = ++s_.recordNumber;
    // From 100 on the number does not fit the two places; AppendRecordToLog
    // writes it in full in front of the rest of the line.
    if (n <= 9) {
        t[0] = ' ';
        t[1] = static_cast<uint8_t>('0' + n);
    } else {
        PutTwoDigits(t, n % 100);
    }
    t[2] = '.';
    t[3] = ' ';

    const int k = b ? b[0] & 0x0F : 8;
    if (k < 8) {
        std::memcpy(t + 4, LabelTable + 8 * k, 8);
    } else {
        std::memset(t + 4, kUnknown, 8);  // the device has only eight labels
    }
    t[12] = b ? static_cast<uint8_t>('A' + ((b[0] >> 4) & 3)) : kUnknown;
    t[13] = ' ';

    PutTwoDigits(t + 14, field(1));
    t[16] = '/';
    PutTwoDigits(t + 17, field(2));
    t[19] = '/';
    PutTwoDigits(t + 20, field(3));
    t[22] = ' ';
    PutTwoDigits(t + 23, field(4));
    t[25] = ':';
    PutTwoDigits(t + 26, field(5));
    t[28] = '\r';
    t[29] = '\n';
    t[30] = ' ';
    t[31] = ' ';

    if (s_.textLength == 0) {
        if (s_.recordDamaged) {
            // No text arrived, but a frame was lost: the call may have had
            // text, so it is not passed off as "Tone only". The header line
            // alone; AppendRecordToLog adds the damaged-text line. The two
            // spaces after it go, so that clearing leaves the buffer zero.
            t[30] = t[31] = 0;
            s_.textLength = kHeaderLine;
            return;
        }
        t[32] = t[33] = t[34] = ' ';
        std::memcpy(t + 35, "Tone only", 9);
        s_.textLength = 48;
    }
}

void Protocol::AppendRecordToLog() {
    uint8_t* t = TextBuffer;
    if (s_.textLength > kHeaderLine) {
        t[s_.textLength] = '\r';
        t[s_.textLength + 1] = '\n';
        s_.textLength += 2;
    }
    for (int i = 0; i < s_.textLength; ++i)
        if (t[i] == 0) t[i] = ' ';

    const bool marked = s_.recordDamaged != 0;
    if (s_.recordNumber < 100 && !marked) {
        rendered_ = t;
        renderedLength_ = static_cast<size_t>(s_.textLength);
        window_.AppendToCallLog(rendered_, renderedLength_);
        return;
    }
    // A wide record number (its digits, then the record from the full stop
    // on) or the damaged-text line after the text: put together in
    // wideRecord_, and appended to the log in one piece.
    uint8_t* out = wideRecord_;
    size_t n = 0;
    if (s_.recordNumber < 100) {
        std::memcpy(out, t, static_cast<size_t>(s_.textLength));
        n = static_cast<size_t>(s_.textLength);
    } else {
        char digits[12];
        int d = 0;
        for (int32_t v = s_.recordNumber; v > 0; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
        for (int i = 0; i < d; ++i) out[n++] = static_cast<uint8_t>(digits[d - 1 - i]);
        std::memcpy(out + n, t + 2, static_cast<size_t>(s_.textLength - 2));
        n += static_cast<size_t>(s_.textLength - 2);
    }
    if (marked) {
        const size_t m = std::strlen(kDamagedTextLine);
        std::memcpy(out + n, kDamagedTextLine, m);
        n += m;
    }
    rendered_ = out;
    renderedLength_ = n;
    window_.AppendToCallLog(out, n);
}

}  // namespace dialscope
