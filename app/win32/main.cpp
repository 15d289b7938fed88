// Program entry of the Windows program: the main window, the core behind it
// and the message loop. The program takes no command line options.

#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "app/core.h"
#include "app/win32/main_window.h"
#include "app/win32/message_boxes.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    using namespace dialscope;
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
