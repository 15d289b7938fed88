#include "app/win32/message_boxes.h"

namespace dialscope {

MessageBoxHook& MessageBoxOverride() {
    static MessageBoxHook hook;
    return hook;
}

void ShowErrorBox(HWND owner, const std::string& message) {
    static const char caption[] = "Dialscope";
    if (MessageBoxOverride()) {
        MessageBoxOverride()(BoxKind::Error, caption, message);
        return;
    }
    MessageBoxA(owner && IsWindow(owner) ? owner : nullptr, message.c_str(), caption,
                MB_OK | MB_ICONERROR);
}

void ShowWarningBox(const char* text, const char* caption) {
    if (MessageBoxOverride()) {
        MessageBoxOverride()(BoxKind::Warning, caption ? caption : "", text ? text : "");
        return;
    }
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

}  // namespace dialscope
