// Program entry of the Windows program: the main window, the core behind it,
// the call history and the message loop. The options are those of the Linux
// window: --history FILE, --no-history and --version.

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/core.h"
#include "app/version.h"
#include "app/win32/main_window.h"
#include "app/win32/message_boxes.h"
#include "history/call_history.h"
#include "history/history_store.h"
#include "history/win32_text.h"

namespace {

// --version: the program's name and version on the standard output it was
// given (a pipe, a file), else on the console of the program that started it;
// a window program has no console of its own.
bool PrintVersionIfAsked(const std::vector<std::string>& words) {
    if (std::find(words.begin(), words.end(), "--version") == words.end()) return false;
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
    std::string historyPath;
    bool noHistory = false;
    CLI::App options{"Dialscope: downloads the call log of a caller-ID box and shows it."};
    options.add_option("--history", historyPath,
                       "The call history file (default: " + history::CallHistory::DefaultPath() + ")");
    options.add_flag("--no-history", noHistory, "Keep no call history: show the log only");
    bool versionAsked = false;  // seen before the options are parsed (PrintVersionIfAsked)
    options.add_flag("--version", versionAsked, "Print the program's name and version, and exit");
    try {
        std::vector<std::string> words = win32::CommandLineWords();
        if (!words.empty()) words.erase(words.begin());
        if (PrintVersionIfAsked(words)) return 0;
        std::reverse(words.begin(), words.end());  // CLI11 takes them last first
        options.parse(words);
    } catch (const CLI::CallForHelp&) {
        MessageBoxA(nullptr, options.help().c_str(), "Dialscope", MB_OK | MB_ICONINFORMATION);
        return 0;
    } catch (const CLI::ParseError& e) {
        ShowErrorBox(nullptr, std::string(e.what()) + "\n\n" + options.help());
        return 2;
    }
    try {
        win32::TForm1 form(instance);
        Core core(form, SystemPlatform(form.hwnd(), ShowWarningBox));
        form.Attach(core);
        // Every call the window shows is also kept in the call history. A
        // history that cannot be opened is said once in the status box, and
        // the window goes on without it.
        std::unique_ptr<history::HistoryStore> store;
        std::string historyProblem, historyWarning;
        if (!noHistory) {
            // The window shows its calls in its log; it takes no new-call list.
            history::OpenOptions historyOptions;
            historyOptions.collectNewCalls = false;
            const std::string path =
                historyPath.empty() ? history::CallHistory::DefaultPath(&historyProblem) : historyPath;
            auto opened = historyProblem.empty() ? history::CallHistory::Open(path, &historyProblem, historyOptions)
                                                 : nullptr;
            if (opened) {
                historyWarning = opened->TakeWarning().value_or("");
                store = std::make_unique<history::HistoryStore>(std::move(opened));
            }
        }
        core.AttachStore(store.get());
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
        if (!historyProblem.empty()) form.ShowStatusLine(historyProblem);
        if (!historyWarning.empty()) form.ShowStatusLine(historyWarning);
        form.Show(showCommand);
        win32::RunMessageLoop(form);
        core.AttachStore(nullptr);
        // What the history could not take goes to the pending file beside
        // it; what could not go even there is said before the program ends.
        if (store)
            if (auto leftOut = store->history().Close(3000)) ShowErrorBox(nullptr, *leftOut);
    } catch (const std::exception& e) {
        // A registry error while the port list is first read ends start-up.
        ShowErrorBox(nullptr, e.what());
    } catch (...) {
        ShowErrorBox(nullptr, std::string());
    }
    return 0;
}
