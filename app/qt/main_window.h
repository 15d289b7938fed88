// The main window of the Qt program: the fixed layout, the three buttons,
// the view operations and one timer that wakes Core when it asks. It holds
// no program logic: the wake-ups, the clicks and the device events go to the
// Core it is attached to, and Core tells it what to show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include <QString>
#include <QWidget>

#include "app/view.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace dialscope {

class Core;

namespace qt {

class ConnectIndicator;
class LogView;

// The save-file dialog: returns the chosen file name, or an empty string when
// the user cancels. lastName is the name chosen the previous time.
using SaveDialogFn = std::function<QString(QWidget* parent, const QString& lastName)>;

// The system's save dialog with the "*.txt" filter and default suffix, no
// overwrite question (the log is appended), opening at lastName.
QString RunSaveDialog(QWidget* parent, const QString& lastName);

// name with ".txt" added when its file part has no extension.
QString WithDefaultSuffix(const QString& name);

class TForm1 : public QWidget, public View {
    Q_OBJECT

public:
    // The window is 617 x 452 with its frame; its contents, which the window
    // is sized to, end at the log boxes' right edge (609) and the status
    // box's bottom (352 + 73). The window system adds the frame.
    static constexpr int kClientWidth = 609;
    static constexpr int kClientHeight = 425;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // From now on the window's wake-ups, clicks and device events go to
    // core, which must outlive the window.
    void Attach(Core& core);

    // View
    void ShowStatusLine(std::string_view line) override;
    void SetIndicator(bool on) override;
    void HideAnimation() override;
    void ShowAnimationFrame(AnimationFrame frame) override;
    void WakeAt(std::optional<std::chrono::steady_clock::time_point> when) override;
    void ShowLogAppended(const CallLog& log, size_t count) override;
    void ShowLogCleared() override;

    void SetSaveDialog(SaveDialogFn dialog) { saveDialog_ = std::move(dialog); }
    // Every status line also goes to stderr, one a line, as it is shown
    // (--status-to-stderr: for a script watching the window).
    void EchoStatusLines(bool on) { echoStatus_ = on; }

public slots:
    void clear_infoClick();
    void ExitClick();
    void InfoSaveClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void CentreOnScreen();
    void ReadDeviceEvents();

    Core* core_ = nullptr;
    SaveDialogFn saveDialog_;
    QString lastSaveName_;
    bool centred_ = false;
    bool echoStatus_ = false;

    QLabel* Label2 = nullptr;
    ConnectIndicator* connect_show = nullptr;
    QLabel* LblTransferring[6] = {};
    LogView* memo_display = nullptr;
    QPlainTextEdit* memo_info = nullptr;
    QPushButton* clear_info = nullptr;
    QPushButton* Exit = nullptr;
    QPushButton* InfoSave = nullptr;
    // Fires when Core's next timer is due.
    QTimer* wake_ = nullptr;
};

}  // namespace qt
}  // namespace dialscope
