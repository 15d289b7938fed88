// Text between UTF-8, which the program speaks everywhere, and the wide
// strings of the Windows API (Windows only: win32_text.cpp).
#pragma once

#include <string>
#include <vector>

namespace dialscope::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* wide);  // up to its NUL
// The system's own words for an error code, without the line end and the
// closing full stop; "error N" when it has none.
std::string SystemWords(unsigned long code);
// The program's command line as UTF-8 words, its own name first, whatever
// the system's code page.
std::vector<std::string> CommandLineWords();

}  // namespace dialscope::win32
