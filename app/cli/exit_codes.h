// The console program's exit status. The README lists them; scripts and the
// service manager go by them.
#pragma once

namespace dialscope::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;      // anything else that went wrong (said on stderr)
constexpr int kExitUsage = 2;        // a bad option or argument
constexpr int kExitNoAdapter = 3;    // no adapter found
constexpr int kExitCannotOpen = 4;   // the port cannot be opened (permission, busy, missing)
constexpr int kExitNoAnswer = 5;     // the box did not answer, or sent no log in time
constexpr int kExitDamaged = 6;      // the download was cut short or arrived damaged
constexpr int kExitHistory = 7;      // the call history cannot be opened or written
constexpr int kExitOutput = 8;       // the output cannot be written
constexpr int kExitInterrupted = 9;  // stopped by SIGINT or SIGTERM before the download finished

}  // namespace dialscope::cli
