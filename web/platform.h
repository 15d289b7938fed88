// What the web server needs from the system, kept apart so that the rest of
// web/ builds for Windows too (platform_posix.cpp here; a Windows one later).
#pragma once

#include <string>

namespace dialscope::web {

// The secret token kept at path: read when the file is there, else 32
// random bytes as 64 hex digits written to a new file only this user may
// read (0600). A file another user owns, or others may read, is refused:
// *problem says so in plain words, and false.
bool LoadOrMakeToken(const std::string& path, std::string* token, std::string* problem);

}  // namespace dialscope::web
