// What the web server needs from the system, kept apart so that the rest of
// web/ builds for Windows too (platform_posix.cpp here; a Windows one later).
#pragma once

#include <cstddef>
#include <string>

namespace dialscope::web {

// The secret token kept at path: read when the file is there, else 32
// random bytes as 64 hex digits written to a new file only this user may
// read (0600). A file another user owns, or others may read, is refused:
// *problem says so in plain words, and false.
// Whether the adapter is plugged in, as the system tells.
struct AdapterState {
    bool known = false;    // false: this system cannot tell
    bool present = false;
    std::string port;      // where it is: "ttyUSB0"
};
AdapterState FindAdapter();

// `bytes` random bytes as hex digits; false and *problem in plain words
// when the system gives none.
bool RandomHex(size_t bytes, std::string* hex, std::string* problem);

bool LoadOrMakeToken(const std::string& path, std::string* token, std::string* problem);

}  // namespace dialscope::web
