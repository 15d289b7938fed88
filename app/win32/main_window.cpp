#include "app/win32/main_window.h"

#include <commdlg.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "app/animation.h"
#include "app/save_log.h"
#include "app/win32/message_boxes.h"
#include "app/core.h"
#include "ports/device_events.h"
#include "protocol/protocol.h"

namespace dialscope::win32 {

namespace {

constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);
// The icon in dialscope.rc.
constexpr int kIconId = 1;

// The form was laid out for "MS Sans Serif". Where the system has no face of
// that name (newer systems substitute "Microsoft Sans Serif"; Wine has
// neither unless its own fonts are installed) a sans face of about the same
// width keeps the captions inside their controls; the font mapper's own pick
// is often much wider. Heights are character heights (negative), as the
// form's pixel sizes are.
HFONT FormFont(int pixels, bool bold = false) {
    static const char* const faces[] = {"MS Sans Serif", "Microsoft Sans Serif", "Arial",
                                        "Liberation Sans", "Arimo", "Nimbus Sans"};
    const auto make = [&](const char* face) {
        return CreateFontA(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, face);
    };
    HDC screen = GetDC(nullptr);
    for (const char* face : faces) {
        HFONT font = make(face);
        if (!font) continue;
        char actual[LF_FACESIZE] = {};
        HGDIOBJ old = SelectObject(screen, font);
        GetTextFaceA(screen, LF_FACESIZE, actual);
        SelectObject(screen, old);
        if (lstrcmpiA(actual, face) == 0) {
            ReleaseDC(nullptr, screen);
            return font;
        }
        DeleteObject(font);
    }
    ReleaseDC(nullptr, screen);
    return make(faces[0]);
}

RECT Geometry(int left, int top, int width, int height) {
    return RECT{left, top, left + width, top + height};
}

// Text goes in at the end of an edit box, without re-setting what is there:
// a long log is never copied back and forth. Positions beyond the end are
// clamped by the box, so the text length (in bytes under a multi-byte code
// page) does for "the end".
void AppendToEdit(HWND edit, const std::string& text) {
    if (!edit || text.empty()) return;
    const int end = GetWindowTextLengthA(edit);
    SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

// The labels size themselves to their caption: a substitute face a little
// wider than the form's must not clip the caption's end.
void FitToCaption(HWND label) {
    const int width = CaptionWidth(label);
    RECT r{};
    GetClientRect(label, &r);
    if (width > r.right)
        SetWindowPos(label, nullptr, 0, 0, width, r.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window's outer rectangle for the fixed client area, centred on the
// desktop's work area.
RECT CentredWindowRect() {
    RECT outer = Geometry(0, 0, TForm1::kClientWidth, TForm1::kClientHeight);
    AdjustWindowRectEx(&outer, kWindowStyle, FALSE, 0);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    RECT desktop{};
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &desktop, 0))
        desktop = Geometry(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    const int left = desktop.left + (desktop.right - desktop.left - width) / 2;
    const int top = desktop.top + (desktop.bottom - desktop.top - height) / 2;
    return Geometry(left, top, width, height);
}

}  // namespace

std::string WindowText(HWND window) {
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

int CaptionWidth(HWND control) {
    const std::string caption = WindowText(control);
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32A(dc, caption.c_str(), static_cast<int>(caption.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return extent.cx;
}

std::string RunSaveDialog(HWND owner, const std::string& lastName) {
    char file[1024] = {};
    if (lastName.size() < sizeof file) std::memcpy(file, lastName.data(), lastName.size());

    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    // One entry whose description and pattern are both "*.txt"; the literal's
    // own terminating zero ends the list.
    ofn.lpstrFilter = "*.txt\0*.txt\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrDefExt = "txt";
    // No overwrite prompt: the log is appended to a file chosen again.
    ofn.Flags = OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_EXPLORER | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameA(&ofn)) return {};  // cancelled (or a name too long)
    return file;
}

void TForm1::RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSEXA wc{};
    if (GetClassInfoExA(instance, kClassName, &wc)) return;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kIconId), IMAGE_ICON,
                                             32, 32, LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kIconId), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (!wc.hIcon) wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassExA(&wc)) throw std::runtime_error("The main window's class was refused.");
}

TForm1::TForm1(HINSTANCE instance) : saveDialog_(RunSaveDialog) {
    windowFont_ = FormFont(11);
    memoFont_ = FormFont(13);
    transferringFont_ = FormFont(16, true);
    RegisterWindowClass(instance);
    const RECT outer = CentredWindowRect();
    CreateWindowExA(0, kClassName, "Dialscope", kWindowStyle, outer.left, outer.top,
                    outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                    instance, this);
    if (!hwnd_) {
        Destroy();
        throw std::runtime_error("The main window could not be created.");
    }
    try {
        CreateControls();
    } catch (...) {
        Destroy();
        throw;
    }
}

TForm1::~TForm1() { Destroy(); }

void TForm1::Destroy() {
    quitOnDestroy_ = false;  // a window that failed or is dropped ends no loop
    if (hwnd_) DestroyWindow(hwnd_);
    for (HFONT* font : {&windowFont_, &memoFont_, &transferringFont_}) {
        if (*font) DeleteObject(*font);
        *font = nullptr;
    }
}

HWND TForm1::CreateChild(DWORD exStyle, const char* windowClass, const char* caption,
                         DWORD style, RECT geometry, ControlId id, HFONT font) {
    HWND child = CreateWindowExA(exStyle, windowClass, caption, kChildStyle | style,
                                 geometry.left, geometry.top, geometry.right - geometry.left,
                                 geometry.bottom - geometry.top, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hwnd_, GWLP_HINSTANCE)),
                                 nullptr);
    if (!child) throw std::runtime_error("A control of the main window could not be created.");
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

void TForm1::CreateControls() {
    // Children are created in the form's order; each new one goes below the
    // others, so the order of creation is also the tab order.
    FitToCaption(CreateChild(0, "STATIC", "Connect state:", SS_LEFTNOWORDWRAP | SS_NOPREFIX,
                             Geometry(6, 3, 84, 16), kLabel2, memoFont_));
    CreateChild(0, "STATIC", "", SS_OWNERDRAW, Geometry(96, 3, 25, 17), kConnectShow,
                windowFont_);

    // Six labels on top of one another, six dots down to one: one is shown at
    // a time and together they make the "Transferring" animation.
    static const char* const captions[kAnimationFrames] = {
        "Transferring .",    "Transferring ..",    "Transferring ...",
        "Transferring ....", "Transferring .....", "Transferring ......"};
    for (int i = kAnimationFrames - 1; i >= 0; --i) {
        LblTransferring[i] = CreateChild(0, "STATIC", captions[i], SS_LEFTNOWORDWRAP | SS_NOPREFIX,
                                         Geometry(208, 0, 108 + 5 * i, 20),
                                         static_cast<ControlId>(kLblTransferring0 + i),
                                         transferringFont_);
        FitToCaption(LblTransferring[i]);
    }

    // Both boxes wrap long lines at their width and scroll vertically.
    constexpr DWORD memoStyle =
        ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL | WS_VSCROLL | WS_TABSTOP;
    memo_display = CreateChild(WS_EX_CLIENTEDGE, "EDIT", "", memoStyle | ES_READONLY,
                               Geometry(0, 24, 609, 321), kMemoDisplay, memoFont_);
    memo_info = CreateChild(WS_EX_CLIENTEDGE, "EDIT", "", memoStyle, Geometry(0, 352, 609, 73),
                            kMemoInfo, memoFont_);
    // A box holds 30000 characters unless told otherwise; a day's log of a
    // busy line is far more. 0 lifts the limit to the most the box can take.
    SendMessageA(memo_display, EM_SETLIMITTEXT, 0, 0);
    SendMessageA(memo_info, EM_SETLIMITTEXT, 0, 0);

    CreateChild(0, "BUTTON", "&Clear", BS_PUSHBUTTON | WS_TABSTOP, Geometry(358, 0, 65, 25),
                kClearInfo, windowFont_);
    CreateChild(0, "BUTTON", "&Exit", BS_PUSHBUTTON | WS_TABSTOP, Geometry(526, 0, 65, 25),
                kExit, windowFont_);
    CreateChild(0, "BUTTON", "&Save", BS_PUSHBUTTON | WS_TABSTOP, Geometry(448, 0, 57, 25),
                kInfoSave, windowFont_);
    lastFocus_ = memo_display;
}

void TForm1::Show(int showCommand) {
    quitOnDestroy_ = true;
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    SetFocus(lastFocus_);
}

// ---- window operations ----------------------------------------------------

void TForm1::ShowStatusLine(std::string_view line) {
    AppendToEdit(memo_info, StatusBoxAddition(WindowText(memo_info), line));
}

void TForm1::SetIndicator(bool on) {
    indicatorOn_ = on;
    if (HWND indicator = control(kConnectShow)) InvalidateRect(indicator, nullptr, TRUE);
}

void TForm1::HideAnimation() {
    for (HWND label : LblTransferring) {
        if (label) ShowWindow(label, SW_HIDE);
    }
}

void TForm1::ShowAnimationFrame(AnimationFrame frame) {
    ShowWindow(LblTransferring[frame.show], SW_SHOW);
    ShowWindow(LblTransferring[frame.hide], SW_HIDE);
}

void TForm1::WakeAt(std::optional<std::chrono::steady_clock::time_point> when) {
    if (!hwnd_) return;  // a null window would make SetTimer a thread timer
    if (!when) {
        if (waking_) KillTimer(hwnd_, kWakeTimer);
        waking_ = false;
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*when - std::chrono::steady_clock::now());
    // Setting the timer again replaces its time; the system rounds a short
    // wait up to its shortest.
    waking_ = SetTimer(hwnd_, kWakeTimer, static_cast<UINT>(std::clamp<int64_t>(wait.count(), 0, 60000)),
                       nullptr) != 0;
}

void TForm1::ShowLogAppended(const CallLog& log, size_t count) {
    const std::string& bytes = log.Bytes();
    const size_t from = bytes.size() - std::min(count, bytes.size());
    AppendToEdit(memo_display,
                 LogViewText(reinterpret_cast<const uint8_t*>(bytes.data()) + from, bytes.size() - from));
}

void TForm1::ShowLogCleared() {
    if (memo_display) SetWindowTextA(memo_display, "");
}

// ---- handlers ---------------------------------------------------------------

void TForm1::clear_infoClick() {
    if (core_) core_->Clear();
}

void TForm1::ExitClick() {
    // At once, even in the middle of a download: the port and its receive
    // thread end with the process.
    if (hwnd_) SendMessageA(hwnd_, WM_CLOSE, 0, 0);
}

void TForm1::InfoSaveClick() {
    // The file gets the log as it stands now; records that arrive while the
    // dialog is open (the timers keep running) are not in it.
    if (!core_ || core_->callLog().Empty()) return;
    const std::string text = core_->callLog().Bytes();

    const std::string name = saveDialog_ ? saveDialog_(hwnd_, lastSaveName_) : std::string();
    if (name.empty()) return;
    lastSaveName_ = name;
    core_->Save(name, text);
}

// ---- message dispatch -------------------------------------------------------

LRESULT CALLBACK TForm1::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        // The window learns its object from CreateWindowExA's last argument.
        form = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        form->hwnd_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    if (!form) return DefWindowProcA(hwnd, message, wParam, lParam);
    LRESULT result = 0;
    // Nothing may unwind through the system's code that called us.
    Guard(hwnd, [&] { result = form->HandleMessage(message, wParam, lParam); });
    return result;
}

LRESULT TForm1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // Device-change handling comes before the default handling of every
    // message.
    if (const auto event = DecodeWindowMessage(message, wParam, lParam)) {
        Guard(hwnd_, [&] {
            if (core_) core_->DeviceChange(*event);
        });
    }

    switch (message) {
    case WM_TIMER:
        Guard(hwnd_, [&] { OnTimer(wParam); });
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && lParam != 0) {
            Guard(hwnd_, [&] { OnButton(LOWORD(wParam)); });
            return 0;
        }
        break;
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (wParam == kConnectShow && item) {
            DrawIndicator(*item);
            return TRUE;
        }
        break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        if (HBRUSH brush = ColourControl(reinterpret_cast<HWND>(lParam),
                                         reinterpret_cast<HDC>(wParam)))
            return reinterpret_cast<LRESULT>(brush);
        break;
    case WM_ACTIVATE:
        // Give the focus back to the control that had it.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(hwnd_, focus)) lastFocus_ = focus;
        }
        break;
    case WM_SETFOCUS:
        if (lastFocus_ && IsWindow(lastFocus_)) SetFocus(lastFocus_);
        return 0;
    case WM_DESTROY:
        if (quitOnDestroy_) PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        // The last message: from here on the window operations do nothing.
        HWND window = hwnd_;
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        hwnd_ = nullptr;
        memo_display = memo_info = nullptr;
        std::fill(std::begin(LblTransferring), std::end(LblTransferring), nullptr);
        waking_ = false;
        lastFocus_ = nullptr;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    }
    return DefWindowProcA(hwnd_, message, wParam, lParam);
}

void TForm1::OnTimer(WPARAM id) {
    // Until a core is attached there is nothing to wake. A wake-up already
    // queued when the timer was killed finds nothing due, which is harmless.
    if (id != kWakeTimer || !core_) return;
    core_->RunDue();
}

void TForm1::OnButton(int id) {
    switch (id) {
    case kClearInfo: clear_infoClick(); break;
    case kExit: ExitClick(); break;
    case kInfoSave: InfoSaveClick(); break;
    default: break;
    }
}

void TForm1::DrawIndicator(const DRAWITEMSTRUCT& item) const {
    // A circle as large as the shorter side, centred in the control, with a
    // one-pixel black outline like the shape it stands for.
    const RECT& r = item.rcItem;
    FillRect(item.hDC, &r, GetSysColorBrush(COLOR_BTNFACE));
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    const int d = std::min(width, height);
    const int left = r.left + (width - d) / 2;
    const int top = r.top + (height - d) / 2;
    HBRUSH fill = CreateSolidBrush(indicatorOn_ ? kRed : kWhite);
    HGDIOBJ oldBrush = SelectObject(item.hDC, fill);
    HGDIOBJ oldPen = SelectObject(item.hDC, GetStockObject(BLACK_PEN));
    Ellipse(item.hDC, left, top, left + d, top + d);
    SelectObject(item.hDC, oldPen);
    SelectObject(item.hDC, oldBrush);
    DeleteObject(fill);
}

HBRUSH TForm1::ColourControl(HWND control, HDC dc) {
    if (control == memo_info) {
        SetTextColor(dc, kRed);
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return GetSysColorBrush(COLOR_WINDOW);
    }
    if (control == memo_display) {
        // Read-only, yet a white page like any text box, not the grey of a
        // disabled one.
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return GetSysColorBrush(COLOR_WINDOW);
    }
    for (HWND label : LblTransferring) {
        if (control == label) {
            SetTextColor(dc, kRed);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return GetSysColorBrush(COLOR_BTNFACE);
        }
    }
    return nullptr;
}

// ---- keyboard ---------------------------------------------------------------

bool TForm1::PreTranslateKey(const MSG& msg) {
    if (!hwnd_ || !(msg.hwnd == hwnd_ || IsChild(hwnd_, msg.hwnd))) return false;
    const bool ctrl = GetKeyState(VK_CONTROL) < 0;

    if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB && !ctrl) {
        const bool back = GetKeyState(VK_SHIFT) < 0;
        HWND focus = GetFocus();
        if (!focus || !IsChild(hwnd_, focus)) focus = nullptr;
        if (HWND next = GetNextDlgTabItem(hwnd_, focus, back)) SetFocus(next);
        return true;
    }

    const auto button = [this](int id) { return control(static_cast<ControlId>(id)); };
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN) {
        for (int id : {kClearInfo, kExit, kInfoSave}) {
            if (msg.hwnd == button(id)) {
                SendMessageA(msg.hwnd, BM_CLICK, 0, 0);
                return true;
            }
        }
        return false;
    }

    if (msg.message == WM_SYSCHAR) {
        // The caption's "&" letter with Alt, from wherever the focus is.
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(msg.wParam)));
        for (int id : {kClearInfo, kExit, kInfoSave}) {
            HWND b = button(id);
            if (key != 0 && MnemonicOf(WindowText(b)) == key) {
                SetFocus(b);
                SendMessageA(b, BM_CLICK, 0, 0);
                return true;
            }
        }
    }
    return false;
}

int RunMessageLoop(TForm1& form) {
    MSG msg{};
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(msg.wParam);  // WM_QUIT
        if (got < 0) return 0;
        if (form.PreTranslateKey(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace dialscope::win32
