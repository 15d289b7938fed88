// The Windows main window on a real, hidden window, attached to a real Core
// on an empty in-memory registry: no adapter and no port. Timer ticks and
// button presses are sent as the window's own messages, so nothing here
// waits for a clock.
#include "app/win32/main_window.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <dbt.h>
#include <gtest/gtest.h>

#include "app/core.h"
#include "app/save_log.h"
#include "app/win32/message_boxes.h"
#include "tests/support/registry_memory.h"

namespace dialscope {
namespace {

using namespace win32;

namespace fs = std::filesystem;

const std::string kRecord1 = "001 HOME     A 12/31 23:59\r\n    5551234\r\n";
const std::string kRecord2 = "002 OFFICE   B 01/01 00:01\r\n    Tone only\r\n";

struct Box {
    BoxKind kind;
    std::string caption;
    std::string text;
};

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("dialscope-window-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

std::string ReadBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

RECT RectInParent(HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LOGFONTA FontOf(HWND window) {
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font;
}

bool HasStyle(HWND window, LONG style) {
    return (GetWindowLongA(window, GWL_STYLE) & style) == style;
}

// Handles whatever the window has posted to itself (a close, for one).
void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

class Win32WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        MessageBoxOverride() = [this](BoxKind kind, const std::string& caption,
                                      const std::string& text) {
            boxes.push_back({kind, caption, text});
        };
    }
    void TearDown() override {
        core.reset();
        form.reset();
        Pump();
        MessageBoxOverride() = nullptr;
    }

    // The window with a core attached and started, as the program makes it.
    TForm1& Make() {
        form = std::make_unique<TForm1>(GetModuleHandleA(nullptr));
        Platform platform;
        platform.registry = [this]() -> std::unique_ptr<RegistryReader> {
            if (registryFails) throw std::runtime_error("registry gone");
            return MakeMemoryRegistryFactory(registry)();
        };
        platform.deviceEvents = MakeDeviceEventSource(form->hwnd());
        platform.warningBox = ShowWarningBox;
        platform.clock = [this] { return now; };
        core = std::make_unique<Core>(*form, std::move(platform));
        form->Attach(*core);
        core->Start();
        return *form;
    }
    HWND Control(ControlId id) const { return form->control(id); }
    std::string Info() const { return WindowText(Control(kMemoInfo)); }
    std::string Display() const { return WindowText(Control(kMemoDisplay)); }
    void Click(ControlId id) { SendMessageA(Control(id), BM_CLICK, 0, 0); }
    // 100 ms on Core's clock, and the window's wake-up.
    void Tick() {
        now += std::chrono::milliseconds(100);
        SendMessageA(form->hwnd(), WM_TIMER, TForm1::kWakeTimer, 0);
    }
    bool Running(Timer timer) const { return core->timerRunning(timer); }
    void Enable(Timer timer, bool on) { core->programOps().EnableTimer(timer, on); }
    // What the protocol does when a record is output, and a status line.
    void Append(const std::string& bytes) {
        core->programOps().AppendToCallLog(reinterpret_cast<const uint8_t*>(bytes.data()),
                                           bytes.size());
    }
    void Status(const char* line) { core->programOps().AppendStatusLine(line); }
    const CallLog& Log() const { return core->callLog(); }
    std::vector<int> VisibleLabels() const {
        std::vector<int> shown;
        for (int i = 0; i < 6; ++i) {
            if (HasStyle(Control(static_cast<ControlId>(kLblTransferring0 + i)), WS_VISIBLE))
                shown.push_back(i);
        }
        return shown;
    }

    std::shared_ptr<MemoryRegistry> registry = std::make_shared<MemoryRegistry>();
    bool registryFails = false;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<Core> core;
    // Core's clock: it moves only with Tick().
    TimerTable::TimePoint now = std::chrono::steady_clock::now();
    std::vector<Box> boxes;
};

TEST_F(Win32WindowTest, LayoutFontsAndTabOrder) {
    TForm1& f = Make();
    HWND w = f.hwnd();

    char className[32] = {};
    GetClassNameA(w, className, sizeof className);
    EXPECT_STREQ(className, "TForm1");
    EXPECT_EQ(WindowText(w), "Dialscope");
    EXPECT_TRUE(HasStyle(w, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_FALSE(HasStyle(w, WS_MAXIMIZEBOX));
    EXPECT_FALSE(HasStyle(w, WS_THICKFRAME));
    RECT client{};
    GetClientRect(w, &client);
    EXPECT_EQ(client.right, 609);
    EXPECT_EQ(client.bottom, 425);
    RECT outer{}, desktop{};
    GetWindowRect(w, &outer);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &desktop, 0);
    EXPECT_LE(std::abs((outer.left + outer.right) - (desktop.left + desktop.right)), 2);
    EXPECT_LE(std::abs((outer.top + outer.bottom) - (desktop.top + desktop.bottom)), 2);
    EXPECT_NE(GetClassLongPtrA(w, GCLP_HICON), 0);

    struct Expected {
        int id;
        const char* windowClass;
        const char* caption;
        RECT geometry;  // left, top, right, bottom
    };
    const Expected expected[] = {
        {kLabel2, "Static", "Connect state:", {6, 3, 90, 19}},
        {kConnectShow, "Static", "", {96, 3, 121, 20}},
        {kLblTransferring0 + 5, "Static", "Transferring ......", {208, 0, 341, 20}},
        {kLblTransferring0 + 4, "Static", "Transferring .....", {208, 0, 336, 20}},
        {kLblTransferring0 + 3, "Static", "Transferring ....", {208, 0, 331, 20}},
        {kLblTransferring0 + 2, "Static", "Transferring ...", {208, 0, 326, 20}},
        {kLblTransferring0 + 1, "Static", "Transferring ..", {208, 0, 321, 20}},
        {kLblTransferring0 + 0, "Static", "Transferring .", {208, 0, 316, 20}},
        {kMemoDisplay, "Edit", "", {0, 24, 609, 345}},
        {kMemoInfo, "Edit", "Dialscope V1.3", {0, 352, 609, 425}},
        {kClearInfo, "Button", "&Clear", {358, 0, 423, 25}},
        {kExit, "Button", "&Exit", {526, 0, 591, 25}},
        {kInfoSave, "Button", "&Save", {448, 0, 505, 25}},
    };
    // Creation order: each child was put below the ones before it.
    HWND child = GetWindow(w, GW_CHILD);
    for (const Expected& e : expected) {
        ASSERT_NE(child, nullptr) << e.id;
        EXPECT_EQ(GetDlgCtrlID(child), e.id);
        GetClassNameA(child, className, sizeof className);
        EXPECT_STRCASEEQ(className, e.windowClass) << e.id;
        EXPECT_EQ(WindowText(child), e.caption) << e.id;
        const RECT r = RectInParent(child);
        EXPECT_EQ(r.left, e.geometry.left) << e.id;
        EXPECT_EQ(r.top, e.geometry.top) << e.id;
        EXPECT_EQ(r.bottom, e.geometry.bottom) << e.id;
        // Labels grow to their caption when the face is wider than the
        // form's; everything else is exactly where the form has it.
        const bool label = e.id == kLabel2 || (e.id >= kLblTransferring0 && e.id < kMemoDisplay);
        if (label)
            EXPECT_GE(r.right, e.geometry.right) << e.id;
        else
            EXPECT_EQ(r.right, e.geometry.right) << e.id;
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);

    // The captions fit their labels in the face the system gave us.
    for (int id : {int(kLabel2), int(kLblTransferring0), kLblTransferring0 + 5}) {
        HWND label = Control(static_cast<ControlId>(id));
        RECT r{};
        GetClientRect(label, &r);
        EXPECT_LE(CaptionWidth(label), r.right) << WindowText(label);
    }

    for (int id : {kClearInfo, kExit, kInfoSave}) {
        EXPECT_EQ(FontOf(Control(static_cast<ControlId>(id))).lfHeight, -11);
        EXPECT_STREQ(FontOf(Control(static_cast<ControlId>(id))).lfFaceName, FontOf(Control(kLabel2)).lfFaceName);
    }
    EXPECT_EQ(FontOf(Control(kLabel2)).lfHeight, -13);
    EXPECT_EQ(FontOf(Control(kMemoDisplay)).lfHeight, -13);
    EXPECT_EQ(FontOf(Control(kMemoInfo)).lfHeight, -13);
    for (int i = 0; i < 6; ++i) {
        const LOGFONTA font = FontOf(Control(static_cast<ControlId>(kLblTransferring0 + i)));
        EXPECT_EQ(font.lfHeight, -16);
        EXPECT_EQ(font.lfWeight, FW_BOLD);
    }

    EXPECT_TRUE(HasStyle(Control(kMemoDisplay), ES_MULTILINE | ES_READONLY | WS_VSCROLL));
    EXPECT_TRUE(HasStyle(Control(kMemoInfo), ES_MULTILINE | WS_VSCROLL));
    EXPECT_FALSE(HasStyle(Control(kMemoInfo), ES_READONLY));

    // Tab order, round and back.
    std::vector<int> order;
    HWND at = Control(kMemoDisplay);
    for (int i = 0; i < 5; ++i) {
        at = GetNextDlgTabItem(w, at, FALSE);
        order.push_back(GetDlgCtrlID(at));
    }
    EXPECT_EQ(order, (std::vector<int>{kMemoInfo, kClearInfo, kExit, kInfoSave, kMemoDisplay}));
    EXPECT_EQ(GetNextDlgTabItem(w, Control(kMemoDisplay), TRUE), Control(kInfoSave));
}

TEST_F(Win32WindowTest, StartUpState) {
    TForm1& f = Make();
    EXPECT_EQ(Info(), "Dialscope V1.3");
    EXPECT_EQ(Display(), "");
    EXPECT_TRUE(Log().Empty());
    EXPECT_TRUE(VisibleLabels().empty());
    EXPECT_FALSE(f.indicatorOn());
    EXPECT_TRUE(Running(Timer::time_com));
    EXPECT_TRUE(Running(Timer::watch_serial));
    EXPECT_FALSE(Running(Timer::AutoDisp));
    EXPECT_TRUE(f.waking());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Win32WindowTest, AnErrorInPortDiscoveryEndsStartUpAndLeavesNoWindow) {
    registryFails = true;
    try {
        Make();
        FAIL() << "start-up went on";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "registry gone");
    }
    // Nothing was started: the program entry shows the error and returns.
    EXPECT_FALSE(form->waking());
    EXPECT_EQ(Info(), "");
    core.reset();
    form.reset();
    EXPECT_EQ(FindWindowA(TForm1::kClassName, nullptr), nullptr);
}

// The indicator as it is painted: the centre of its circle.
COLORREF IndicatorCentre(HWND indicator) {
    RECT r{};
    GetClientRect(indicator, &r);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, r.right, r.bottom);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageA(indicator, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    const COLORREF centre = GetPixel(dc, r.right / 2, r.bottom / 2);
    const COLORREF corner = GetPixel(dc, 0, 0);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    // Outside the circle: the button face.
    EXPECT_EQ(corner, GetSysColor(COLOR_BTNFACE));
    return centre;
}

TEST_F(Win32WindowTest, IndicatorIsPaintedWhiteOrRed) {
    TForm1& f = Make();
    EXPECT_EQ(IndicatorCentre(Control(kConnectShow)), RGB(255, 255, 255));
    f.SetIndicator(true);
    EXPECT_EQ(IndicatorCentre(Control(kConnectShow)), RGB(255, 0, 0));
    f.SetIndicator(false);
    EXPECT_EQ(IndicatorCentre(Control(kConnectShow)), RGB(255, 255, 255));
}

TEST_F(Win32WindowTest, RecordsAreAppendedToTheLogAndTheBox) {
    TForm1& f = Make();
    // 8-bit text in the system code page, and a zero byte from the device.
    const std::string accented = "003 CAF\xC9    C 02/02 10:10\r\n    Ren\xE9 \xA3\xFF\r\n";
    Append(kRecord1);
    Append(accented);
    EXPECT_EQ(Log().Bytes(), kRecord1 + accented);
    EXPECT_EQ(Display(), kRecord1 + accented);

    const std::string withZero("004 X\0Y\r\n", 9);
    Append(withZero);
    EXPECT_EQ(Log().Bytes(), kRecord1 + accented + withZero);
    EXPECT_EQ(Display(), kRecord1 + accented + "004 X Y\r\n");
    EXPECT_EQ(Info(), "Dialscope V1.3");

    // Far beyond a box's default 30000 characters.
    std::string big;
    for (int i = 0; i < 3000; ++i) big += kRecord2;
    Append(big);
    EXPECT_EQ(GetWindowTextLengthA(Control(kMemoDisplay)),
              static_cast<int>(Log().Bytes().size()));
    EXPECT_EQ(Display().substr(Display().size() - kRecord2.size()), kRecord2);
}

TEST_F(Win32WindowTest, StatusLinesEachOnALine) {
    TForm1& f = Make();
    Status("Device Remove.");
    Status("Message read OK.");
    EXPECT_EQ(Info(), "Dialscope V1.3\r\nDevice Remove.\r\nMessage read OK.");
}

TEST_F(Win32WindowTest, ClearEmptiesTheLogOnly) {
    TForm1& f = Make();
    Status("Device Remove.");
    Append(kRecord1);
    Click(kClearInfo);
    EXPECT_TRUE(Log().Empty());
    EXPECT_EQ(Display(), "");
    EXPECT_EQ(Info(), "Dialscope V1.3\r\nDevice Remove.");
    Append(kRecord2);
    EXPECT_EQ(Log().Bytes(), kRecord2);
    EXPECT_EQ(Display(), kRecord2);
}

TEST_F(Win32WindowTest, AnimationCyclesThroughTheLabels) {
    TForm1& f = Make();
    Enable(Timer::AutoDisp, true);
    std::vector<int> frames;
    for (int i = 0; i < 8; ++i) {
        Tick();
        const std::vector<int> shown = VisibleLabels();
        ASSERT_EQ(shown.size(), 1u) << "tick " << i;
        frames.push_back(shown[0]);
    }
    EXPECT_EQ(frames, (std::vector<int>{0, 1, 2, 3, 4, 5, 0, 1}));
    EXPECT_TRUE(Running(Timer::AutoDisp));

    // Hidden, then started again: the cycle goes on where it stopped.
    Enable(Timer::AutoDisp, false);
    f.HideAnimation();
    EXPECT_TRUE(VisibleLabels().empty());
    Tick();  // a stopped animation shows nothing
    EXPECT_TRUE(VisibleLabels().empty());
    Enable(Timer::AutoDisp, true);
    Tick();
    EXPECT_EQ(VisibleLabels(), std::vector<int>{2});
}

TEST_F(Win32WindowTest, TicksAndDeviceChangesReachTheCoreAndErrorsAreShown) {
    TForm1& f = Make();
    // The protocol tick polls after 41 silent ticks; with no port open the
    // poll is lost, and the tick goes on.
    for (int i = 0; i < 41; ++i) Tick();
    EXPECT_EQ(core->NextDue(), now + std::chrono::milliseconds(100));  // the last tick ran
    EXPECT_TRUE(Running(Timer::time_com));
    // The supervisor (every 500 ms) has found no adapter and stopped its timer.
    EXPECT_FALSE(Running(Timer::watch_serial));

    // A device change that brings nothing new changes nothing.
    DEV_BROADCAST_HDR header{};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SendMessageA(f.hwnd(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
    EXPECT_FALSE(Running(Timer::watch_serial));
    EXPECT_TRUE(boxes.empty());

    // A registry that cannot be read: shown, and the program goes on.
    registryFails = true;
    SendMessageA(f.hwnd(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(boxes[0].caption, "Dialscope");
    EXPECT_EQ(boxes[0].text, "registry gone");
    EXPECT_TRUE(IsWindow(f.hwnd()));
}

TEST_F(Win32WindowTest, TheWakeUpFollowsCoresTimers) {
    TForm1& f = Make();
    Enable(Timer::watch_serial, false);
    Enable(Timer::time_com, false);
    EXPECT_FALSE(f.waking());
    // The protocol tick restarts its own timer.
    Enable(Timer::time_com, true);
    EXPECT_TRUE(f.waking());
    Tick();
    EXPECT_TRUE(Running(Timer::time_com));
    EXPECT_TRUE(f.waking());
}

TEST_F(Win32WindowTest, SaveAppendsTheLogWithItsFileLineEnds) {
    TempDir dir;
    const std::string file = dir.File("calls.txt");
    TForm1& f = Make();
    std::vector<std::string> offered;
    std::string answer = file;
    f.SetSaveDialog([&](HWND owner, const std::string& lastName) {
        EXPECT_EQ(owner, f.hwnd());
        offered.push_back(lastName);
        return answer;
    });

    // An empty log: no dialog, no status line.
    Click(kInfoSave);
    EXPECT_TRUE(offered.empty());
    EXPECT_EQ(Info(), "Dialscope V1.3");

    Append(kRecord1);
    Click(kInfoSave);
    const std::string once = "001 HOME     A 12/31 23:59\r\r\n    5551234\r\r\n";
    EXPECT_EQ(ReadBytes(file), once);
    EXPECT_EQ(Info(), "Dialscope V1.3\r\nSave info to: " + file + "\r\nSave info OK.");

    // Again: the whole log once more behind what is there; the dialog opens
    // with the name chosen before.
    Click(kInfoSave);
    EXPECT_EQ(ReadBytes(file), once + once);
    EXPECT_EQ(offered, (std::vector<std::string>{"", file}));

    // Cancelled: nothing.
    const std::string before = Info();
    answer.clear();
    Click(kInfoSave);
    EXPECT_EQ(Info(), before);
    EXPECT_EQ(ReadBytes(file), once + once);

    // A directory by the chosen name: reported, and left alone.
    answer = dir.File("folder.txt");
    fs::create_directory(answer);
    Click(kInfoSave);
    EXPECT_EQ(Info(), before + "\r\nSave info to: " + answer + "\r\nsave info error.");
    EXPECT_TRUE(fs::is_directory(answer));
}

TEST_F(Win32WindowTest, AppendTextToFileKeepsEarlierContentAndReportsFailures) {
    TempDir dir;
    const std::string other = dir.File("other.txt");
    WriteBytes(other, "earlier notes\r\n");
    ASSERT_TRUE(AppendTextToFile(kRecord1, other));
    EXPECT_EQ(ReadBytes(other), "earlier notes\r\n" + ToFileLineEnds(kRecord1));

    std::string big;
    for (int i = 0; i < 20000; ++i) big += kRecord2;
    ASSERT_TRUE(AppendTextToFile(big, dir.File("big.txt")));
    EXPECT_EQ(ReadBytes(dir.File("big.txt")), ToFileLineEnds(big));

    EXPECT_FALSE(AppendTextToFile(kRecord1, dir.File("missing\\calls.txt")));
    EXPECT_FALSE(fs::exists(dir.File("missing")));
    WriteBytes(dir.File("plain"), "keep");
    EXPECT_FALSE(AppendTextToFile(kRecord1, dir.File("plain") + "\\calls.txt"));
    EXPECT_EQ(ReadBytes(dir.File("plain")), "keep");
}

TEST_F(Win32WindowTest, ExitClosesTheWindowAtOnce) {
    TForm1& f = Make();
    HWND w = f.hwnd();
    Append(kRecord1);
    const auto due = core->NextDue();
    Click(kExit);
    EXPECT_FALSE(IsWindow(w));
    now += std::chrono::milliseconds(100);
    Pump();
    EXPECT_EQ(core->NextDue(), due);  // no tick ran after the close
    // The view operations are harmless now.
    f.WakeAt(now);
    Status("Message read OK.");
    EXPECT_FALSE(f.waking());
}

TEST_F(Win32WindowTest, KeyboardMovesThroughTheTabOrderAndPressesButtons) {
    TForm1& f = Make();
    f.Show(SW_SHOWNORMAL);
    SetFocus(Control(kMemoDisplay));
    if (GetFocus() != Control(kMemoDisplay)) GTEST_SKIP() << "no keyboard focus here";

    auto key = [&](UINT message, WPARAM code) {
        MSG msg{};
        msg.hwnd = GetFocus();
        msg.message = message;
        msg.wParam = code;
        return f.PreTranslateKey(msg);
    };
    EXPECT_TRUE(key(WM_KEYDOWN, VK_TAB));
    EXPECT_EQ(GetFocus(), Control(kMemoInfo));
    EXPECT_TRUE(key(WM_KEYDOWN, VK_TAB));
    EXPECT_EQ(GetFocus(), Control(kClearInfo));
    // Letters go to the boxes as usual.
    EXPECT_FALSE(key(WM_KEYDOWN, 'A'));

    Append(kRecord1);
    EXPECT_TRUE(key(WM_SYSCHAR, 'C'));  // Alt+C
    EXPECT_TRUE(Log().Empty());
    Append(kRecord1);
    SetFocus(Control(kClearInfo));
    EXPECT_TRUE(key(WM_KEYDOWN, VK_RETURN));
    EXPECT_TRUE(Log().Empty());
    EXPECT_FALSE(key(WM_SYSCHAR, 'q'));  // no such button: the system's
}

}  // namespace
}  // namespace dialscope
