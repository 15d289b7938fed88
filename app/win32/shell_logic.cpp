#include "app/win32/shell_logic.h"

#include <cctype>

namespace dialscope {

std::string StatusBoxAddition(std::string_view boxText, std::string_view line) {
    const bool atLineStart = boxText.empty() || boxText.back() == '\n';
    std::string text;
    text.reserve(line.size() + 2);
    if (!atLineStart) text += "\r\n";
    text += line;
    return text;
}

std::string LogViewText(const uint8_t* bytes, size_t count) {
    std::string text(reinterpret_cast<const char*>(bytes), count);
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    return text;
}

unsigned TimerId(Timer timer) {
    switch (timer) {
    case Timer::time_com: return 1;
    case Timer::watch_serial: return 2;
    case Timer::AutoDisp: return 3;
    }
    return 1;
}

unsigned TimerInterval(Timer timer) {
    // The protocol tick and the animation run at 100 ms; the supervisor's
    // open-and-ask cycle at 500 ms.
    return timer == Timer::watch_serial ? 500 : 100;
}

bool TimerFromId(uintptr_t id, Timer& timer) {
    for (Timer t : {Timer::time_com, Timer::watch_serial, Timer::AutoDisp}) {
        if (TimerId(t) == id) {
            timer = t;
            return true;
        }
    }
    return false;
}

char MnemonicOf(std::string_view caption) {
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {
            ++i;  // a literal ampersand
            continue;
        }
        return static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i + 1])));
    }
    return 0;
}

}  // namespace dialscope
