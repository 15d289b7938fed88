// Program entry: the application object, the main window, the core behind it,
// the call history, and the message loop. The options are the program's own
// (--history FILE, --no-history, --status-to-stderr); Qt's are not taken.

#include <cstdio>
#include <cstdlib>
#include <exception>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QFile>
#include <QTimer>

#include "app/core.h"
#include "app/qt/main_window.h"
#include "app/qt/message_boxes.h"
#include "app/version.h"
#include "history/call_history.h"
#include "history/history_store.h"

int main(int argc, char* argv[]) {
    using namespace dialscope;
    std::string historyPath;
    bool noHistory = false;
    bool statusToStderr = false;
    CLI::App options{"Dialscope: downloads the call log of a caller-ID box and shows it."};
    options.add_option("--history", historyPath,
                       "The call history file (default: " + history::CallHistory::DefaultPath() + ")");
    options.add_flag("--no-history", noHistory, "Keep no call history: show the log only");
    options.add_flag("--status-to-stderr", statusToStderr,
                     "Also write every status line to stderr as it is shown");
    options.set_version_flag("--version", "dialscope " DIALSCOPE_VERSION, "Print the program's version and exit");
    try {
        options.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return options.exit(e) == 0 ? 0 : 2;
    }

    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);

    try {
        qt::TForm1 form;
        form.EchoStatusLines(statusToStderr);
        Core core(form,
                  SystemPlatform(nullptr, [](const char*, const char*) { ShowPortAlreadyOpenedBox(); }));
        form.Attach(core);
        // Every call the window shows is also kept in the call history. A
        // history that cannot be opened is said once in the status box, and
        // the window goes on without it.
        std::unique_ptr<history::HistoryStore> store;
        std::string historyProblem, historyWarning;
        if (!noHistory) {
            // The window shows its calls in its log; it takes no new-call list.
            history::OpenOptions options;
            options.collectNewCalls = false;
            const std::string path =
                historyPath.empty() ? history::CallHistory::DefaultPath(&historyProblem) : historyPath;
            auto opened = historyProblem.empty() ? history::CallHistory::Open(path, &historyProblem, options)
                                                 : nullptr;
            if (opened) {
                historyWarning = opened->TakeWarning().value_or("");
                store = std::make_unique<history::HistoryStore>(std::move(opened));
            }
        }
        core.AttachStore(store.get());
#if defined(DIALSCOPE_TEST_ENTRIES)
        // The end-to-end tests' build only: save each finished download into
        // the named file and quit, after the tick that ended it has returned.
        // The shipped program has no such entry.
        const QString testSaveTo = qEnvironmentVariable("DIALSCOPE_TEST_SAVE_TO");
        if (!testSaveTo.isEmpty()) {
            core.Subscribe(Listen([&](const event::DownloadEnded& ended) {
                if (ended.how != DownloadEnd::Completed) return;
                QTimer::singleShot(0, &form, [&] {
                    Guard([&] { core.Save(QFile::encodeName(testSaveTo).toStdString()); });
                    form.close();
                });
            }));
        }
#endif
        core.Start();
        if (!historyProblem.empty()) form.ShowStatusLine(historyProblem);
        if (!historyWarning.empty()) form.ShowStatusLine(historyWarning);
        form.show();
        app.exec();
        core.AttachStore(nullptr);
        // What the history could not take goes to the pending file beside it.
        if (store)
            if (auto leftOut = store->history().Close(3000))
                std::fprintf(stderr, "dialscope: %s\n", leftOut->c_str());
    } catch (const std::exception& e) {
        ShowErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorBox(QString());
    }
    return 0;
}
