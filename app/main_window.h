// The main window: the call log box, the status box, the connection indicator
// and the "Transferring" labels at fixed places in a window of fixed size,
// the three timers, the three buttons, and the window operations the core
// uses. It holds no
// protocol logic: the protocol tick, the connection supervisor's tick and the
// start of port discovery come in as hooks, so that whoever builds the window
// decides what drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include <QString>
#include <QWidget>

#include "protocol/call_log.h"
#include "protocol/interfaces.h"
#include "protocol/link_state.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace dialscope {

class ConnectIndicator;
class TForm1;

// The core the window drives. Any hook may be left empty.
struct CoreHooks {
    // Runs inside the constructor, where port discovery starts: after the
    // controls exist and before any timer is enabled. An exception escaping
    // it ends start-up and reaches the caller of the constructor.
    std::function<void(TForm1& window)> onStart;
    // The whole body of time_comTimer. It stops and restarts time_com itself
    // through EnableTimer, because the end of a download disables the timer
    // from inside the tick.
    std::function<void()> onComTick;
    // The whole body of watch_serialTimer. It stops watch_serial on entry and
    // re-enables it on exit itself (through EnableTimer), because only the
    // supervisor knows when to stay stopped.
    std::function<void()> onWatchSerialTick;
};

// The save-file dialog: returns the chosen file name, or an empty string when
// the user cancels. lastName is the name chosen the previous time.
using SaveDialogFn = std::function<QString(QWidget* parent, const QString& lastName)>;

// The system's save dialog with the "*.txt" filter and default suffix, no
// overwrite question (the log is appended), opening at lastName.
QString RunSaveDialog(QWidget* parent, const QString& lastName);

// name with ".txt" added when its file part has no extension.
QString WithDefaultSuffix(const QString& name);

class TForm1 : public QWidget, public WindowOps {
    Q_OBJECT

public:
    // The window is 617 x 452 with its frame; its contents, which the window
    // is sized to, end at the log boxes' right edge (609) and the status
    // box's bottom (352 + 73). The window system adds the frame.
    static constexpr int kClientWidth = 609;
    static constexpr int kClientHeight = 425;

    TForm1(Link& link, CoreHooks hooks, QWidget* parent = nullptr);
    ~TForm1() override;

    // WindowOps
    void AppendStatusLine(std::string_view line) override;
    void SetIndicator(bool on) override;
    void HideAnimation() override;
    void EnableTimer(Timer timer, bool enabled) override;
    void AppendToCallLog(const uint8_t* bytes, size_t count) override;

    // Shows the next label of the "Transferring" cycle.
    void AdvanceAnimation();

    const CallLog& callLog() const { return log_; }
    Link& link() { return link_; }
    void SetSaveDialog(SaveDialogFn dialog) { saveDialog_ = std::move(dialog); }
    // For end-to-end tests only: each finished download is saved into `file`
    // the way "&Save" does, and the window then closes. Only the test build
    // of the program (dialscope-test-entry) calls this.
    void SetSaveOnDownloadEnd(QString file) { testSaveTo_ = std::move(file); }

public slots:
    void time_comTimer();
    void watch_serialTimer();
    void AutoDispTimer();
    void clear_infoClick();
    void ExitClick();
    void InfoSaveClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The "&Save" steps after the dialog: status lines and the append.
    void SaveLogTo(const QString& name, const std::string& text);
    void CreateControls();
    void CentreOnScreen();
    QTimer* TimerFor(Timer timer) const;
    void AppendStatusText(const QString& line);
    void ShowNewLogText();

    Link& link_;
    CoreHooks hooks_;
    CallLog log_;
    // How much of log_ the log box shows; a trailing CR LF is held back until
    // text follows it, so the box never ends in an empty line.
    size_t shownBytes_ = 0;
    SaveDialogFn saveDialog_;
    QString lastSaveName_;
    // Where end-to-end tests have each finished download saved, after which
    // the window closes. Empty in the shipped program.
    QString testSaveTo_;
    bool centred_ = false;

    QLabel* Label2 = nullptr;
    ConnectIndicator* connect_show = nullptr;
    QLabel* LblTransferring[6] = {};
    QPlainTextEdit* memo_display = nullptr;
    QPlainTextEdit* memo_info = nullptr;
    QPushButton* clear_info = nullptr;
    QPushButton* Exit = nullptr;
    QPushButton* InfoSave = nullptr;
    QTimer* time_com = nullptr;
    QTimer* watch_serial = nullptr;
    QTimer* AutoDisp = nullptr;
};

}  // namespace dialscope
