// Why the system refused to open a serial port, and the one place that
// words it for the user. The supervisor's status lines and the console's
// messages both come from here.
#pragma once

#include <cstdint>
#include <string>

namespace dialscope {

enum class OpenFailure : uint8_t {
    busy,        // another program holds the port
    permission,  // this user may not open it
    missing,     // there is no such port
    not_tty,     // the name is no serial port
    other,
};

// The reason behind the errno of a failed open.
OpenFailure OpenFailureOf(int error);

// "Cannot open <port>: <why and what to do>."
std::string CannotOpenWords(const std::string& port, int error);

}  // namespace dialscope
