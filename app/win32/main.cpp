// Program entry of the Windows program: the main window, the core behind it
// and the message loop. The only command line option is --version.

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <exception>
#include <string>

#include "app/core.h"
#include "app/version.h"
#include "app/win32/main_window.h"
#include "app/win32/message_boxes.h"

namespace {

// --version: the program's name and version on the standard output it was
// given (a pipe, a file), else on the console of the program that started it;
// a window program has no console of its own.
bool PrintVersionIfAsked() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool asked = false;
    for (int i = 1; argv != nullptr && i < argc; ++i) asked = asked || std::wcscmp(argv[i], L"--version") == 0;
    LocalFree(argv);
    if (!asked) return false;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
        out = GetStdHandle(STD_OUTPUT_HANDLE);
    static const char kText[] = "dialscope " DIALSCOPE_VERSION "\n";
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE) WriteFile(out, kText, sizeof kText - 1, &written, nullptr);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    using namespace dialscope;
    if (PrintVersionIfAsked()) return 0;
    try {
        win32::TForm1 form(instance);
        Core core(form, SystemPlatform(form.hwnd(), ShowWarningBox));
        form.Attach(core);
#if defined(DIALSCOPE_TEST_ENTRIES)
        // The end-to-end tests' build only: save each finished download into
        // the named file, then close once the tick that ended it is over. The
        // shipped program has no such entry.
        const char* testSaveTo = std::getenv("DIALSCOPE_TEST_SAVE_TO");
        if (testSaveTo != nullptr && testSaveTo[0] != '\0') {
            const std::string target = testSaveTo;
            core.Subscribe(Listen([&core, &form, target](const event::DownloadEnded& ended) {
                if (ended.how != DownloadEnd::Completed) return;
                core.Save(target);
                PostMessageA(form.hwnd(), WM_CLOSE, 0, 0);
            }));
        }
#endif
        core.Start();
        form.Show(showCommand);
        win32::RunMessageLoop(form);
    } catch (const std::exception& e) {
        // A registry error while the port list is first read ends start-up.
        ShowErrorBox(nullptr, e.what());
    } catch (...) {
        ShowErrorBox(nullptr, std::string());
    }
    return 0;
}
