#include "app/qt/main_window.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>

#include "app/core.h"
#include "app/qt/connect_indicator.h"
#include "app/qt/log_view.h"
#include "app/qt/message_boxes.h"

#include "app/qt/dialscope.xpm"

namespace dialscope::qt {

namespace {

// The form was laid out for "MS Sans Serif"; where it is missing, a sans
// face of about the same width keeps the captions inside their controls.
QFont FormFont(int pixelSize, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, QRect geometry,
                  const QFont& font) {
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The labels size themselves to their caption: never clip the dots when
    // the fallback face runs a little wider than the face the layout was
    // drawn for.
    geometry.setWidth(std::max(geometry.width(), label->sizeHint().width()));
    label->setGeometry(geometry);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption,
                        QRect geometry) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name, QRect geometry) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setObjectName(QString::fromLatin1(name));
    memo->setGeometry(geometry);
    memo->setFont(FormFont(13));
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setTabChangesFocus(true);
    return memo;
}

}  // namespace

QString WithDefaultSuffix(const QString& name) {
    if (name.isEmpty() || !QFileInfo(name).suffix().isEmpty()) return name;
    return name + QStringLiteral(".txt");
}

QString RunSaveDialog(QWidget* parent, const QString& lastName) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("*.txt"));
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    // The log is appended to an existing file, so there is nothing to confirm.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!lastName.isEmpty()) dialog.selectFile(lastName);
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      saveDialog_(RunSaveDialog) {
    CreateControls();
}

TForm1::~TForm1() = default;

void TForm1::Attach(Core& core) {
    core_ = &core;
    const int fd = core.deviceEventFd();
    if (fd < 0) return;
    // Device events arrive on the main thread, between timer ticks.
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TForm1::ReadDeviceEvents);
}

void TForm1::ReadDeviceEvents() {
    if (!core_) return;
    for (const DeviceEvent& event : core_->ReadDeviceEvents())
        Guard([&] { core_->DeviceChange(event); });
}

void TForm1::CreateControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Dialscope"));
    setWindowIcon(QIcon(QPixmap(dialscope_xpm)));
    setFont(FormFont(11));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
    setFixedSize(kClientWidth, kClientHeight);
    CentreOnScreen();

    Label2 = MakeLabel(this, "Label2", "Connect state:", QRect(6, 3, 84, 16), FormFont(13));

    connect_show = new ConnectIndicator(this);
    connect_show->setObjectName(QStringLiteral("connect_show"));
    connect_show->setGeometry(96, 3, 25, 17);

    // Six labels on top of one another, six dots down to one: one is shown at
    // a time and together they make the "Transferring" animation.
    const QFont transferring = FormFont(16, true);
    static const char* const captions[kAnimationFrames] = {
        "Transferring .",    "Transferring ..",    "Transferring ...",
        "Transferring ....", "Transferring .....", "Transferring ......"};
    for (int i = kAnimationFrames - 1; i >= 0; --i) {
        const QByteArray name = "LblTransferring" + QByteArray::number(i);
        QLabel* label = MakeLabel(this, name.constData(), captions[i],
                                  QRect(208, 0, 108 + 5 * i, 20), transferring);
        QPalette lp = label->palette();
        lp.setColor(QPalette::WindowText, QColor(255, 0, 0));
        label->setPalette(lp);
        LblTransferring[i] = label;
    }

    memo_display = new LogView(this);
    memo_display->setObjectName(QStringLiteral("memo_display"));
    memo_display->setGeometry(QRect(0, 24, 609, 321));
    memo_display->setFont(FormFont(13));
    memo_display->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_display->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    memo_info = MakeMemo(this, "memo_info", QRect(0, 352, 609, 73));
    QPalette ip = memo_info->palette();
    ip.setColor(QPalette::Text, QColor(255, 0, 0));
    memo_info->setPalette(ip);
    // The user may edit the status box, but the program's own lines are no
    // edits to undo: with undo on, every line appended would be kept a
    // second time, for as long as the program runs.
    memo_info->setUndoRedoEnabled(false);

    clear_info = MakeButton(this, "clear_info", "&Clear", QRect(358, 0, 65, 25));
    Exit = MakeButton(this, "Exit", "&Exit", QRect(526, 0, 65, 25));
    InfoSave = MakeButton(this, "InfoSave", "&Save", QRect(448, 0, 57, 25));

    setTabOrder(memo_display, memo_info);
    setTabOrder(memo_info, clear_info);
    setTabOrder(clear_info, Exit);
    setTabOrder(Exit, InfoSave);
    memo_display->setFocus();

    wake_ = new QTimer(this);
    wake_->setObjectName(QStringLiteral("wake"));
    wake_->setSingleShot(true);
    // A coarse timer may fire a little early, and the tick would wait for
    // the next wake-up.
    wake_->setTimerType(Qt::PreciseTimer);

    connect(clear_info, &QPushButton::clicked, this, &TForm1::clear_infoClick);
    connect(Exit, &QPushButton::clicked, this, &TForm1::ExitClick);
    connect(InfoSave, &QPushButton::clicked, this, &TForm1::InfoSaveClick);
    // Until a core is attached there is nothing to wake.
    connect(wake_, &QTimer::timeout, this, [this] { Guard([&] { if (core_) core_->RunDue(); }); });
}

void TForm1::CentreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The frame is known only once the window is on the screen; until then
    // the client area stands in for it.
    const QSize outer = frameGeometry().size().expandedTo(size());
    const QRect desktop = screen->availableGeometry();
    move(desktop.x() + (desktop.width() - outer.width()) / 2,
         desktop.y() + (desktop.height() - outer.height()) / 2);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!centred_) {
        centred_ = true;
        CentreOnScreen();
    }
}

// ---- window operations ----------------------------------------------------

void TForm1::ShowStatusLine(std::string_view line) {
    if (echoStatus_) {
        std::string echoed(line);
        echoed += '\n';
        std::fwrite(echoed.data(), 1, echoed.size(), stderr);
        std::fflush(stderr);
    }
    memo_info->appendPlainText(
        QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())));
}

void TForm1::SetIndicator(bool on) {
    connect_show->SetOn(on);
}

void TForm1::HideAnimation() {
    for (QLabel* label : LblTransferring) label->hide();
}

void TForm1::ShowAnimationFrame(AnimationFrame frame) {
    LblTransferring[frame.show]->show();
    LblTransferring[frame.hide]->hide();
}

void TForm1::WakeAt(std::optional<std::chrono::steady_clock::time_point> when) {
    if (!when) {
        wake_->stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*when - std::chrono::steady_clock::now());
    wake_->start(static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 60000)));
}

void TForm1::ShowLogCleared() {
    memo_display->ShowCleared();
}

// The box shows the log's own bytes (8-bit text in the system code page;
// Latin-1 stands in for it here) and keeps no copy of them.
void TForm1::ShowLogAppended(const CallLog& log, size_t) {
    memo_display->ShowAppended(log.Bytes());
}

// ---- event handlers ---------------------------------------------------------

void TForm1::clear_infoClick() {
    Guard([&] { if (core_) core_->Clear(); });
}

void TForm1::ExitClick() {
    Guard([&] { close(); });
}

void TForm1::InfoSaveClick() {
    Guard([&] {
        // The file gets the log as it stands now; records that arrive while
        // the dialog is open (the timers keep running) are not in it.
        if (!core_ || core_->callLog().Empty()) return;
        const std::string text = core_->callLog().Bytes();

        QString name = saveDialog_ ? saveDialog_(this, lastSaveName_) : QString();
        if (name.isEmpty()) return;
        name = WithDefaultSuffix(name);
        lastSaveName_ = name;

        core_->Save(QFile::encodeName(name).toStdString(), text);
    });
}

}  // namespace dialscope::qt
