#include "app/qt/message_boxes.h"

#include <QApplication>
#include <QMessageBox>

namespace dialscope {

MessageBoxHook& MessageBoxOverride() {
    static MessageBoxHook hook;
    return hook;
}

void ShowErrorBox(const QString& message) {
    const QString caption = QStringLiteral("Dialscope");
    if (MessageBoxOverride()) {
        MessageBoxOverride()(BoxKind::Error, caption, message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), caption, message, QMessageBox::Ok);
}

void ShowPortAlreadyOpenedBox() {
    const QString caption = QStringLiteral("Warning");
    const QString text = QStringLiteral("Port Is Already Opened!");
    if (MessageBoxOverride()) {
        MessageBoxOverride()(BoxKind::Warning, caption, text);
        return;
    }
    QMessageBox::warning(nullptr, caption, text, QMessageBox::Ok);
}

}  // namespace dialscope
