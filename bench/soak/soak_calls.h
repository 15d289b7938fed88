// What both soaks make up and count: a call the box has not had before, and
// the history's identity of a call shown.
#pragma once

#include <cstdint>
#include <string>

#include "tools/devsim.h"

namespace dialscope::soak {

// Any label and letter, date and time fields of two digits, texts of every
// byte value (the framing bytes, XON and XOFF, zero bytes), tone-only now
// and then.
inline devsim::CallRecord NewCall(devsim::Rng& rng) {
    devsim::CallRecord r;
    r.label = static_cast<uint8_t>(rng.Below(8));
    r.letter = static_cast<uint8_t>(rng.Below(4));
    for (auto& b : r.date) b = static_cast<uint8_t>(rng.Below(100));
    for (auto& b : r.time) b = static_cast<uint8_t>(rng.Below(100));
    if (rng.Below(6) != 0) {
        const uint32_t n = rng.Between(1, 160);
        static const uint8_t kOdd[] = {0x7E, 0x00, 0x11, 0x13, 0x0D, 0x0A, 'P', 0xFF};
        for (uint32_t i = 0; i < n; ++i)
            r.text += static_cast<char>(rng.Below(5) == 0 ? kOdd[rng.Below(sizeof kOdd)] : rng.Between(0x20, 0xFE));
    }
    return r;
}

// The history's identity of a call: label bytes, letter, the five date and
// time bytes, tone-only, text, and which intact copy of it in its download.
inline std::string CallKey(const devsim::Prediction::ShownCall& c, int occurrence) {
    std::string key(c.label.begin(), c.label.end());
    key += static_cast<char>(c.record.letter);
    for (uint8_t b : c.record.date) key += static_cast<char>(b);
    for (uint8_t b : c.record.time) key += static_cast<char>(b);
    key += c.hasText ? '\1' : '\0';
    key += c.record.text;
    key += '\0' + std::to_string(occurrence);
    return key;
}

}  // namespace dialscope::soak
