// Program entry: the application object, the main window and the message
// loop. The program takes no command line options, Qt's own included.

#include <exception>
#include <memory>

#include <QApplication>

#include "app/main_window.h"
#include "app/message_boxes.h"
#include "protocol/interfaces.h"
#include "protocol/link_state.h"
#include "protocol/protocol.h"

namespace {

// Until the serial layer is wired in, no port ever opens.
class NoSerialPort : public dialscope::SerialOps {
public:
    bool openPort(const char*, uint32_t, bool, uint8_t, uint8_t) override { return false; }
    bool writePort(const uint8_t*, uint32_t) override { return false; }
    bool closePort() override { return true; }
};

// The link's state and fixed buffers live for the whole run.
dialscope::Link sharedLink;

}  // namespace

int main(int argc, char* argv[]) {
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);

    try {
        NoSerialPort serial;
        std::unique_ptr<dialscope::Protocol> protocol;

        dialscope::CoreHooks hooks;
        hooks.onStart = [&](dialscope::TForm1& window) {
            protocol = std::make_unique<dialscope::Protocol>(sharedLink, window, serial);
        };
        hooks.onComTick = [&] { protocol->ComTick(); };

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
