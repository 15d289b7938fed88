// How a call record reads in the call log: the bytes the log box shows, Save
// writes and the history keeps beside the record. One rendering for every
// part that shows a record.
#pragma once

#include <cstdint>
#include <string>

#include "record/call_record.h"

namespace dialscope {

// The line after the text of a record that may be incomplete, and its words.
inline constexpr const char* kDamagedTextMarker = "(text damaged in transfer)";
inline constexpr const char* kDamagedTextLine = "      (text damaged in transfer)\r\n";

// The most bytes RenderRecord gives for a record whose text is textLength
// bytes long: what a caller reserves to render without allocating.
constexpr size_t RenderedSizeLimit(size_t textLength) { return textLength + 96; }

// Replaces out with the bytes of record numbered `number` (from 1):
//
//   " 7. LABEL   A 12/31/99 23:59\r\n"   the header line; "?"/"??" for what
//                                        is unknown or not a two-digit value
//   "      TEXT\r\n"                     six spaces and the text (zero bytes
//                                        as spaces), or "     Tone only    \r\n"
//   "      (text damaged in transfer)\r\n"   after a damaged record
//
// The number always takes four positions, so every later field keeps its
// column: " 7. ", "42. ", then "100." to "999." without the space, and
// "***." from 1000 on (and for 0 or below, which no record has).
//
// A damaged record with no text shows the header line alone before the
// damage line: the call may have had text. Zero label bytes show as spaces.
// Allocates only when out has less room than RenderedSizeLimit(text size).
void RenderRecord(const CallRecord& record, int32_t number, std::string& out);
std::string RenderRecord(const CallRecord& record, int32_t number);

}  // namespace dialscope
