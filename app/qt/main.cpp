// Program entry: the application object, the main window, the core behind it
// and the message loop. The program takes no command line options, Qt's own
// included.

#include <cstdlib>
#include <exception>

#include <QApplication>
#include <QFile>
#include <QTimer>

#include "app/core.h"
#include "app/qt/main_window.h"
#include "app/qt/message_boxes.h"
#include "protocol/link_state.h"

namespace {

// The link's state and fixed buffers live for the whole run.
dialscope::Link sharedLink;

}  // namespace

int main(int argc, char* argv[]) {
    using namespace dialscope;
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);

    try {
        qt::TForm1 form;
        Core core(sharedLink, form,
                  SystemPlatform(nullptr, [](const char*, const char*) { ShowPortAlreadyOpenedBox(); }));
        form.Attach(core);
#if defined(DIALSCOPE_TEST_ENTRIES)
        // The end-to-end tests' build only: save each finished download into
        // the named file and quit, after the tick that ended it has returned.
        // The shipped program has no such entry.
        const QString testSaveTo = qEnvironmentVariable("DIALSCOPE_TEST_SAVE_TO");
        if (!testSaveTo.isEmpty()) {
            core.OnDownloadEnded([&](DownloadEnd how) {
                if (how != DownloadEnd::Completed) return;
                QTimer::singleShot(0, &form, [&] {
                    Guard([&] { core.Save(QFile::encodeName(testSaveTo).toStdString()); });
                    form.close();
                });
            });
        }
#endif
        core.Start();
        form.show();
        app.exec();
    } catch (const std::exception& e) {
        ShowErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorBox(QString());
    }
    return 0;
}
