// One call record as the box sent it, owning its bytes: what the protocol
// collects and hands out, the history keeps, the exporters write, and the
// publishers and --exec hand on. The bytes the log shows for it come from
// RenderRecord (render_record.h) and are kept beside it where they are
// needed (the history keeps them), not in it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace dialscope {

struct CallRecord {
    // False for a record whose boundary frame was lost on the line: label,
    // index, letter and date and time are unknown, and the record is damaged.
    bool headerKnown = true;
    std::array<uint8_t, 8> label{};     // label bytes as the box sent them (zero bytes kept)
    uint8_t labelIndex = 0;             // 0..15 as sent
    uint8_t letterCode = 0;             // 0..3 ('A'..'D')
    std::array<int16_t, 5> dateTime{-1, -1, -1, -1, -1};  // raw date/time bytes 0..255; -1 when not carried
    std::string text;                   // text bytes exactly as received
    bool hasText = false;               // false: a "Tone only" record
    bool damaged = false;               // shown with the damage marker
};

}  // namespace dialscope
