// One call record as the box sent it, handed out when the record is output:
// the raw fields beside the bytes the program rendered for it. The pointers
// are valid only during the call that hands them out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dialscope {

struct RecordFields {
    // False for text whose boundary frame was lost on the line: the label,
    // letter, date and time are unknown (shown as "?" and "??"; the label
    // points at eight '?', the index and letter are 0, dateTime all -1), and
    // the record is always damaged.
    bool headerKnown = true;
    const uint8_t* label = nullptr;  // the 8 label bytes the index selects ('?' x 8 for none)
    uint8_t labelIndex = 0;          // 0..15 as sent
    uint8_t letterCode = 0;          // 0..3, shown 'A'..'D'
    int16_t dateTime[5] = {-1, -1, -1, -1, -1};  // raw bytes; -1 when the frame did not carry one
    const uint8_t* text = nullptr;   // the text bytes as received (zero bytes kept)
    size_t textLength = 0;
    bool hasText = false;            // false: shown as "Tone only"
    bool damaged = false;            // shown with the damage marker
    const uint8_t* rendered = nullptr;  // the bytes appended to the call log
    size_t renderedLength = 0;
};

}  // namespace dialscope
