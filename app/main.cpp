// Program entry: the application object, the main window and the message
// loop. The program takes no command line options, Qt's own included.

#include <exception>
#include <memory>

#include <QApplication>
#include <QSocketNotifier>

#include "app/core.h"
#include "app/main_window.h"
#include "app/message_boxes.h"
#include "protocol/link_state.h"

namespace {

// The link's state and fixed buffers live for the whole run.
dialscope::Link sharedLink;

}  // namespace

int main(int argc, char* argv[]) {
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);

    try {
        std::unique_ptr<dialscope::Core> core;

        dialscope::CoreHooks hooks;
        hooks.onStart = [&](dialscope::TForm1& window) {
            core = std::make_unique<dialscope::Core>(
                sharedLink, window, [](const char*, const char*) { dialscope::ShowPortAlreadyOpenedBox(); });
            core->StartPortDiscovery();
            int fd = core->hotplugFd();
            if (fd >= 0) {
                // Device events arrive on the main thread, between timer ticks.
                auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &window);
                QObject::connect(notifier, &QSocketNotifier::activated, &window, [&core] {
                    for (const dialscope::DeviceEvent& event : core->ReadDeviceEvents())
                        dialscope::Guard([&] { core->DeviceChange(event); });
                });
            }
        };
        hooks.onComTick = [&] { core->ComTick(); };
        hooks.onWatchSerialTick = [&] { core->WatchSerialTick(); };

        dialscope::TForm1 form(sharedLink, std::move(hooks));
        form.show();
        app.exec();
    } catch (const std::exception& e) {
        dialscope::ShowErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        dialscope::ShowErrorBox(QString());
    }
    return 0;
}
