// Program entry: the application object, the main window and the message
// loop. The program takes no command line options, Qt's own included.

#include <exception>
#include <memory>

#include <QApplication>

#include "app/core.h"
#include "app/main_window.h"
#include "app/message_boxes.h"
#include "app/program_hooks.h"
#include "protocol/link_state.h"

namespace {

// The link's state and fixed buffers live for the whole run.
dialscope::Link sharedLink;

}  // namespace

int main(int argc, char* argv[]) {
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);

    try {
        // Made by the window's constructor; outlives the window.
        std::unique_ptr<dialscope::Core> core;
        dialscope::TForm1 form(sharedLink, dialscope::MakeProgramHooks(sharedLink, core));
#if defined(DIALSCOPE_TEST_ENTRIES)
        // The end-to-end tests' build only: save each finished download into
        // the named file and quit. The shipped program has no such entry.
        form.SetSaveOnDownloadEnd(qEnvironmentVariable("DIALSCOPE_TEST_SAVE_TO"));
#endif
        form.show();
        app.exec();
    } catch (const std::exception& e) {
        dialscope::ShowErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        dialscope::ShowErrorBox(QString());
    }
    return 0;
}
