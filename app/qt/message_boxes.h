// The program's two kinds of modal box: the error box that shows an exception
// which escaped an event handler or start-up, and the serial port's
// "Port Is Already Opened!" warning. Tests replace the boxes through
// MessageBoxOverride() so that nothing blocks.
#pragma once

#include <exception>
#include <functional>

#include <QString>

namespace dialscope {

enum class BoxKind { Error, Warning };

// When set, called instead of showing a box.
using MessageBoxHook =
    std::function<void(BoxKind kind, const QString& caption, const QString& text)>;
MessageBoxHook& MessageBoxOverride();

// Modal error box with the message of an exception (empty for an exception of
// unknown type), captioned with the program's name.
void ShowErrorBox(const QString& message);

// Modal warning box, no owner window: "Port Is Already Opened!", caption
// "Warning", OK button. The serial port shows it when asked to open a second
// port while one is open.
void ShowPortAlreadyOpenedBox();

// Runs body and shows any exception escaping it in the error box; the program
// then goes on. Qt does not let exceptions travel through its event loop, so
// every slot runs its body through this.
template <class Body>
void Guard(Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        ShowErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorBox(QString());
    }
}

}  // namespace dialscope
