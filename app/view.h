// What a face of the program shows: the window's controls, or a console's
// lines. Core decides what to show and when; a view only shows it. All calls
// come on the main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

#include "app/animation.h"
#include "protocol/call_log.h"
#include "protocol/interfaces.h"

namespace dialscope {

class View {
public:
    virtual ~View() = default;
    // One line at the end of the status box. Program texts are ASCII; a file
    // name in a line is in the system's encoding.
    virtual void ShowStatusLine(std::string_view line) = 0;
    // The connection indicator: red when on, white when off.
    virtual void SetIndicator(bool on) = 0;
    // No "Transferring" label shown.
    virtual void HideAnimation() = 0;
    // One step of the "Transferring" cycle.
    virtual void ShowAnimationFrame(AnimationFrame frame) = 0;
    // When Core next needs its RunDue called, replacing the time said
    // before; none when no timer runs. Said whenever it changes, and at the
    // end of every RunDue. A time already past means at once.
    virtual void WakeAt(std::optional<std::chrono::steady_clock::time_point> when) = 0;
    // The call log grew by its last `count` bytes (one rendered record).
    virtual void ShowLogAppended(const CallLog& log, size_t count) = 0;
    // The call log was emptied.
    virtual void ShowLogCleared() = 0;
};

}  // namespace dialscope
