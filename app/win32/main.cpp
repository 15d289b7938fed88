// Program entry of the Windows program: the main window, the core behind it
// and the message loop. The program takes no command line options.

#include <windows.h>

#include <cstdlib>
#include <exception>
#include <memory>

#include "app/core.h"
#include "app/win32/main_window.h"
#include "app/win32/message_boxes.h"
#include "ports/device_events_win32.h"
#include "protocol/link_state.h"

namespace {

// The link's state and fixed buffers live for the whole run.
dialscope::Link sharedLink;

// The core is made in the window's constructor, where port discovery
// starts with the window's handle; `core` must outlive the window.
dialscope::CoreHooks MakeProgramHooks(dialscope::Link& link,
                                      std::unique_ptr<dialscope::Core>& core) {
    using namespace dialscope;
    CoreHooks hooks;
    hooks.onStart = [&link, &core](TForm1& window) {
        core = std::make_unique<Core>(link, window, ShowWarningBox, RegistryFactory{},
                                      Win32PlatformHooks(window.hwnd()));
        core->StartPortDiscovery();
    };
    hooks.onComTick = [&core] { core->ComTick(); };
    hooks.onWatchSerialTick = [&core] { core->WatchSerialTick(); };
    // Messages arrive before the core exists (while the window is created).
    hooks.onDeviceChange = [&core](const DeviceEvent& event) {
        if (core) core->DeviceChange(event);
    };
    return hooks;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    try {
        // Declared before the window, so that it outlives it.
        std::unique_ptr<dialscope::Core> core;
        dialscope::TForm1 form(instance, sharedLink, MakeProgramHooks(sharedLink, core));
#if defined(DIALSCOPE_TEST_ENTRIES)
        // The end-to-end tests' build only: save each finished download into
        // the named file and quit. The shipped program has no such entry.
        form.SetSaveOnDownloadEnd(
            dialscope::SaveOnDownloadEnd(std::getenv("DIALSCOPE_TEST_SAVE_TO")));
#endif
        form.Show(showCommand);
        dialscope::RunMessageLoop(form);
    } catch (const std::exception& e) {
        // A registry error while the port list is first read ends start-up.
        dialscope::ShowErrorBox(nullptr, e.what());
    } catch (...) {
        dialscope::ShowErrorBox(nullptr, std::string());
    }
    return 0;
}
