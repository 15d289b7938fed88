// The program's modal boxes: the error box that shows an exception which
// escaped a message handler or start-up, and the serial port's "Port Is
// Already Opened!" warning. Tests replace the boxes through
// MessageBoxOverride() so that nothing waits for a click.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <string>

namespace dialscope {

enum class BoxKind { Error, Warning };

// When set, called instead of showing a box.
using MessageBoxHook =
    std::function<void(BoxKind kind, const std::string& caption, const std::string& text)>;
MessageBoxHook& MessageBoxOverride();

// Modal error box, captioned with the program's name, showing message (an
// exception's text; empty for an exception of unknown type). owner may be
// null.
void ShowErrorBox(HWND owner, const std::string& message);

// Modal warning box without an owner window; the serial port shows
// "Port Is Already Opened!" / "Warning" with it.
void ShowWarningBox(const char* text, const char* caption);

// Runs body and shows any exception escaping it in the error box; the
// program then goes on. No exception may travel out of a window procedure
// through the system's code, so every handler runs through this.
template <class Body>
void Guard(HWND owner, Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        ShowErrorBox(owner, e.what());
    } catch (...) {
        ShowErrorBox(owner, std::string());
    }
}

}  // namespace dialscope
