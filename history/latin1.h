// The box's bytes are 8-bit characters, shown by the window as Latin-1. These
// helpers carry them to UTF-8 (CSV, JSON, search) the same way everywhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dialscope::history {

// Each byte is the Latin-1 character of that value; NUL becomes a space, as
// the log shows it.
std::string Latin1ToUtf8(std::string_view bytes);

// The Latin-1 bytes of a UTF-8 string; nullopt when a character lies beyond
// U+00FF (it cannot occur in the box's text). Bytes that are not valid UTF-8
// are taken as Latin-1 bytes as they stand.
std::optional<std::string> Utf8ToLatin1(std::string_view utf8);

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view bytes);

// The Latin-1 bytes of UTF-8 text for the 8-bit text output, each character
// beyond U+00FF as '?'.
std::string Utf8ToLatin1Lossy(std::string_view utf8);

// Case folding of Latin-1 bytes: A-Z and the Latin-1 capitals (0xC0-0xDE but
// the multiplication sign 0xD7) to their small letters; NUL to a space.
std::string FoldLatin1(std::string_view bytes);

// Removes trailing spaces and NULs (a label is padded to 8 bytes).
std::string_view TrimTrailingBlanks(std::string_view bytes);

}  // namespace dialscope::history
