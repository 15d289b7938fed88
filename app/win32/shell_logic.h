// The window shell's decisions that need no window: what goes into the
// status box for a line, what the log box shows of the log's bytes, which
// button a mnemonic presses. Kept apart so that
// they can be checked without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/interfaces.h"

namespace dialscope {

// The text to add at the end of the status box, which holds boxText, so that
// line becomes a line of its own: CR LF in front of it unless the box is
// empty or already ends with a line break (the user may type in the box).
std::string StatusBoxAddition(std::string_view boxText, std::string_view line);

// The text the log box shows for bytes of the call log. The log box takes
// zero-terminated text, so a zero byte (which the record text never holds;
// it shows the device's zeros as spaces) would cut it short: it is shown as
// a space as well. The log itself keeps the bytes as they are.
std::string LogViewText(const uint8_t* bytes, size_t count);

// The lower-case mnemonic of a caption ("&Save" -> 's'), 0 when it has none;
// "&&" is a literal ampersand.
char MnemonicOf(std::string_view caption);

}  // namespace dialscope
