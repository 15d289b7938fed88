#include "ports/open_failure.h"

#include <cstring>
#include <system_error>

namespace dialscope {

OpenFailure OpenFailureOf(int error) {
    switch (static_cast<std::errc>(error)) {
    case std::errc::permission_denied:
    case std::errc::operation_not_permitted: return OpenFailure::permission;
    case std::errc::device_or_resource_busy:
    case std::errc::resource_unavailable_try_again: return OpenFailure::busy;
    case std::errc::no_such_file_or_directory: return OpenFailure::missing;
    case std::errc::inappropriate_io_control_operation: return OpenFailure::not_tty;
    default: break;
    }
    // EWOULDBLOCK is EAGAIN where both exist; not everywhere.
    if (error == static_cast<int>(std::errc::operation_would_block)) return OpenFailure::busy;
    return OpenFailure::other;
}

std::string CannotOpenWords(const std::string& port, int error) {
    const std::string head = "Cannot open " + port + ": ";
    switch (OpenFailureOf(error)) {
    case OpenFailure::permission:
        return head + "permission denied. Add your user to the dialout group (then log in again) or "
                      "install the udev rule shipped with Dialscope.";
    case OpenFailure::busy:
        return head + "another program is using it. Close the program that holds the port.";
    case OpenFailure::missing: return head + "there is no such port. Check the name.";
    case OpenFailure::not_tty: return head + "it is not a serial port.";
    case OpenFailure::other: break;
    }
    return head + std::strerror(error) + ".";
}

}  // namespace dialscope
