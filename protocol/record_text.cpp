#include <algorithm>
#include <cstring>

#include "protocol/protocol.h"

namespace dialscope {

namespace {

constexpr uint8_t kUnknown = '?';  // shown for values the device gave that cannot be rendered

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
    record_.text.clear();  // keeps its room
    s_.recordBegun = 0;
    s_.recordDamaged = 0;
    s_.damagePending = 0;
}

void Protocol::AppendPayload() {
    s_.recordBegun = 1;
    const char* payload = reinterpret_cast<const char*>(FrameBuffer + 2);
    // Past the limit the rest of the record is dropped; the record is still
    // output, cut short, when its boundary frame arrives.
    const size_t room = kMaxRecordText - record_.text.size();
    record_.text.append(payload, std::min(static_cast<size_t>(FrameBuffer[1]), room));
}

void Protocol::OutputRecord() {
    // A boundary frame shorter than six payload bytes leaves its missing
    // fields unknown instead of reading the CRC and older bytes as dates.
    const uint8_t* b = FrameBuffer + 2;
    const int carried = FrameBuffer[1];  // at least 1 here
    const int k = b[0] & 0x0F;
    record_.headerKnown = true;
    if (k < 8) {
        std::memcpy(record_.label.data(), LabelTable + 8 * k, record_.label.size());
    } else {
        record_.label.fill(kUnknown);  // the device has only eight labels
    }
    record_.labelIndex = static_cast<uint8_t>(k);
    record_.letterCode = static_cast<uint8_t>((b[0] >> 4) & 3);
    for (int i = 0; i < 5; ++i) record_.dateTime[i] = static_cast<int16_t>(i + 1 < carried ? b[i + 1] : -1);
    EmitRecord();
}

void Protocol::OutputHeaderlessRecord(const char* why) {
    window_.AppendStatusLine(why);
    record_.headerKnown = false;
    record_.label.fill(kUnknown);
    record_.labelIndex = 0;
    record_.letterCode = 0;
    record_.dateTime.fill(-1);
    s_.recordDamaged = 1;
    EmitRecord();
}

// A record with no data frame is "Tone only"; one marked damaged with none is
// not (the call may have had text), and RenderRecord shows it so. Every
// record of a download whose header was lost, or after a header's image in
// damaged bytes, is marked: its labels may not be its own.
void Protocol::EmitRecord() {
    record_.hasText = s_.recordBegun != 0;
    if (s_.headerLost || s_.labelsInDoubt) s_.recordDamaged = 1;
    record_.damaged = s_.recordDamaged != 0;
    if (record_.damaged) s_.damageFound = 1;
    RenderRecord(record_, ++s_.recordNumber, rendered_);
    window_.AppendToCallLog(reinterpret_cast<const uint8_t*>(rendered_.data()), rendered_.size());
    window_.RecordOutput(record_, rendered_);
    ClearRecordText();
}

}  // namespace dialscope
