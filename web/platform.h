// What the web server needs from the system, kept apart so that the rest of
// web/ builds for Windows too (platform_posix.cpp here; a Windows one later).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dialscope::web {

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

// The secret token kept at path: read when the file is there, else 32
// random bytes as 64 hex digits written to a new file only this user may
// read (0600). A file another user owns, or others may read, is refused:
// *problem says so in plain words, and false.
bool LoadOrMakeToken(const std::string& path, std::string* token, std::string* problem);
// A new token in place of the one kept at path (serve --new-token).
bool MakeNewToken(const std::string& path, std::string* token, std::string* problem);

// A small file of secrets (what: its name in messages, "the web password").
// Read: Found with *text; Missing when there is no file; Refused with
// *problem when it cannot be read, or belongs to another user, or others
// may read it.
enum class SecretFile { Found, Missing, Refused };
SecretFile ReadSecretFile(const std::string& path, const std::string& what, std::string* text, std::string* problem);
// Written whole or not at all: a new file only this user may read (0600),
// flushed, then renamed over path.
bool WriteSecretFile(const std::string& path, const std::string& what, const std::string& text, std::string* problem);

// The names and addresses this machine is reached by: its host name and
// the addresses of its interfaces (IPv6 ones in brackets).
std::vector<std::string> MachineNames();

// Every connection the pages hold is a descriptor, and the system's usual
// soft limit (1024) is far below what a crowd of connections takes: it is
// raised as far as the hard limit allows. The limit then in force; 0 when
// the system sets none of its own on sockets.
size_t RaiseOpenFileLimit();

}  // namespace dialscope::web
