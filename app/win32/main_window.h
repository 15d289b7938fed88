// The main window of the Windows program: the fixed layout of the form, the
// three buttons, the view operations and one timer that wakes Core when it
// asks. It holds no program logic: the wake-ups, the clicks and the
// device-change messages go to the Core it is attached to, and Core tells it
// what to show.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/view.h"
#include "app/win32/shell_logic.h"

namespace dialscope {

class Core;

namespace win32 {

// The save-file dialog: the chosen full file name, or an empty string when
// the user cancels. lastName is the name chosen the previous time.
using SaveDialogFn = std::function<std::string(HWND owner, const std::string& lastName)>;

// The system's save dialog: filter "*.txt", default extension "txt", no
// overwrite question (the log is appended), opening at lastName.
std::string RunSaveDialog(HWND owner, const std::string& lastName);

// A window's text, whole.
std::string WindowText(HWND window);
// The width in pixels of a control's caption in the control's own font.
int CaptionWidth(HWND control);

// The controls' ids, in creation order. The six labels are created from
// six dots down to one: LblTransferring<n> has id kLblTransferring0 + n.
enum ControlId : int {
    kLabel2 = 100,
    kConnectShow = 101,
    kLblTransferring0 = 110,
    kMemoDisplay = 120,
    kMemoInfo = 121,
    kClearInfo = 122,
    kExit = 123,
    kInfoSave = 124,
};

class TForm1 : public View {
public:
    // The client area, which the window is sized to: its contents end at the
    // log boxes' right edge (609) and the status box's bottom (352 + 73).
    static constexpr int kClientWidth = 609;
    static constexpr int kClientHeight = 425;
    static constexpr char kClassName[] = "TForm1";

    // Creates the window (hidden) and its controls.
    explicit TForm1(HINSTANCE instance);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // From now on the window's wake-ups, clicks and device-change messages
    // go to core, which must outlive the window.
    void Attach(Core& core) { core_ = &core; }

    // Shows the window; from then on closing it ends the message loop.
    void Show(int showCommand);
    // Keyboard handling a dialog would give the controls: Tab and Shift+Tab
    // through the tab order, Alt+mnemonic and Enter press a button. True when
    // msg has been handled and must not be dispatched.
    bool PreTranslateKey(const MSG& msg);

    // View
    void ShowStatusLine(std::string_view line) override;
    void SetIndicator(bool on) override;
    void HideAnimation() override;
    void ShowAnimationFrame(AnimationFrame frame) override;
    void WakeAt(std::optional<std::chrono::steady_clock::time_point> when) override;
    void ShowLogAppended(const CallLog& log, size_t count) override;
    void ShowLogCleared() override;

    // The handlers.
    void clear_infoClick();
    void ExitClick();
    void InfoSaveClick();

    HWND hwnd() const { return hwnd_; }
    HWND control(ControlId id) const { return hwnd_ ? GetDlgItem(hwnd_, id) : nullptr; }
    bool indicatorOn() const { return indicatorOn_; }
    // Whether the wake-up timer is set.
    bool waking() const { return waking_; }
    // SetTimer's id of the wake-up (0 is no id).
    static constexpr UINT_PTR kWakeTimer = 1;
    void SetSaveDialog(SaveDialogFn dialog) { saveDialog_ = std::move(dialog); }

private:
    static void RegisterWindowClass(HINSTANCE instance);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HWND CreateChild(DWORD exStyle, const char* windowClass, const char* caption, DWORD style,
                     RECT geometry, ControlId id, HFONT font);
    void OnTimer(WPARAM id);
    void OnButton(int id);
    void DrawIndicator(const DRAWITEMSTRUCT& item) const;
    HBRUSH ColourControl(HWND control, HDC dc);
    void Destroy();

    Core* core_ = nullptr;
    SaveDialogFn saveDialog_;
    std::string lastSaveName_;
    bool indicatorOn_ = false;
    bool waking_ = false;
    bool quitOnDestroy_ = false;
    HWND lastFocus_ = nullptr;

    // The fonts outlive the window and its controls, which use them.
    HFONT windowFont_ = nullptr;   // "MS Sans Serif", 11 pixels
    HFONT memoFont_ = nullptr;     // 13 pixels: Label2 and the two boxes
    HFONT transferringFont_ = nullptr;  // 16 pixels, bold
    HWND hwnd_ = nullptr;
    HWND memo_display = nullptr;
    HWND memo_info = nullptr;
    HWND LblTransferring[6] = {};
};

// Runs the message loop until the window closes; returns the quit code.
int RunMessageLoop(TForm1& form);

}  // namespace win32
}  // namespace dialscope
