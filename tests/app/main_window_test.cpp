#include <stdexcept>

#include <unistd.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>

#include "app/qt/connect_indicator.h"
#include "tests/support/registry_memory.h"
#include "tests/app/window_fixture.h"

namespace dialscope {
namespace {

using testing::WindowTest;

const std::string kRecord1 = "001 HOME     A 12/31 23:59\r\n    5551234\r\n";
const std::string kRecord2 = "002 OFFICE   B 01/01 00:01\r\n    Tone only\r\n";

using qt::TForm1;
using qt::ConnectIndicator;

QStringList VisibleTransferringLabels(TForm1& form) {
    QStringList shown;
    for (int i = 0; i < 6; ++i) {
        auto* label = form.findChild<QLabel*>(QStringLiteral("LblTransferring%1").arg(i));
        if (label && label->isVisible()) shown << label->text();
    }
    return shown;
}

TEST_F(WindowTest, StartUpState) {
    TForm1& f = Make();

    EXPECT_EQ(Info()->toPlainText(), QStringLiteral("Dialscope V1.3"));
    EXPECT_EQ(Info()->document()->blockCount(), 1);
    EXPECT_TRUE(Display()->toPlainText().isEmpty());
    EXPECT_TRUE(callLog().Empty());
    EXPECT_TRUE(VisibleTransferringLabels(f).isEmpty());

    EXPECT_TRUE(core->timerRunning(Timer::time_com));
    EXPECT_TRUE(core->timerRunning(Timer::watch_serial));
    EXPECT_FALSE(core->timerRunning(Timer::AutoDisp));
    // The window wakes for the first protocol tick.
    EXPECT_TRUE(TimerNamed("wake")->isActive());
    EXPECT_LE(TimerNamed("wake")->remainingTime(), 100);

    EXPECT_EQ(f.windowTitle(), QStringLiteral("Dialscope"));
    // Fixed, and sized to its contents: no strip beside or below the boxes.
    EXPECT_EQ(f.size(), QSize(609, 425));
    EXPECT_EQ(f.minimumSize(), QSize(609, 425));
    EXPECT_EQ(f.maximumSize(), QSize(609, 425));
    EXPECT_EQ(f.findChild<QWidget*>(QStringLiteral("memo_info"))->geometry().bottomRight(),
              QPoint(608, 424));
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowSystemMenuHint);
    const QRect desktop = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((f.frameGeometry().center() - desktop.center()).manhattanLength(), 2);
    EXPECT_FALSE(f.windowIcon().isNull());

    EXPECT_EQ(Display()->geometry(), QRect(0, 24, 609, 321));
    EXPECT_EQ(Info()->geometry(), QRect(0, 352, 609, 73));
    EXPECT_EQ(Child<QPushButton>("clear_info")->geometry(), QRect(358, 0, 65, 25));
    EXPECT_EQ(Child<QPushButton>("Exit")->geometry(), QRect(526, 0, 65, 25));
    EXPECT_EQ(Child<QPushButton>("InfoSave")->geometry(), QRect(448, 0, 57, 25));
    EXPECT_EQ(Child<QPushButton>("InfoSave")->text(), QStringLiteral("&Save"));
    EXPECT_EQ(Child<QWidget>("connect_show")->geometry(), QRect(96, 3, 25, 17));
    EXPECT_EQ(Child<QLabel>("Label2")->text(), QStringLiteral("Connect state:"));
    EXPECT_EQ(Child<QLabel>("Label2")->pos(), QPoint(6, 3));

    for (int i = 0; i < 6; ++i) {
        auto* label = Child<QLabel>(QStringLiteral("LblTransferring%1").arg(i).toLatin1());
        EXPECT_EQ(label->pos(), QPoint(208, 0));
        EXPECT_EQ(label->height(), 20);
        EXPECT_EQ(label->text(), QStringLiteral("Transferring ") + QString(i + 1, QLatin1Char('.')));
        EXPECT_TRUE(label->font().bold());
        EXPECT_EQ(label->font().pixelSize(), 16);
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        // The whole caption fits: no dot is clipped.
        EXPECT_GE(label->width(), label->sizeHint().width());
    }
    EXPECT_EQ(f.font().pixelSize(), 11);
    EXPECT_EQ(Display()->font().pixelSize(), 13);
    EXPECT_EQ(Info()->font().pixelSize(), 13);
    EXPECT_EQ(Info()->palette().color(QPalette::Text), QColor(255, 0, 0));
    EXPECT_TRUE(Display()->isReadOnly());
    EXPECT_FALSE(Info()->isReadOnly());

    // Tab order among the controls that take focus.
    QStringList order;
    QWidget* w = Display();
    do {
        if (w->focusPolicy() & Qt::TabFocus) order << w->objectName();
        w = w->nextInFocusChain();
    } while (w != Display() && order.size() < 10);
    EXPECT_EQ(order, (QStringList{"memo_display", "memo_info", "clear_info", "Exit", "InfoSave"}));
}

TEST_F(WindowTest, PortDiscoveryRunsBeforeTheTimersAndItsErrorEndsStartUp) {
    bool ran = false;
    testing::FakeDeviceEvents* events = nullptr;
    Platform platform = testing::FakePlatform(&events);
    events->onRegister = [&] {
        ran = true;
        EXPECT_TRUE(Info()->toPlainText().isEmpty());
        EXPECT_FALSE(TimerNamed("wake")->isActive());
    };
    Make(std::move(platform));
    EXPECT_TRUE(ran);

    TForm1 broken;
    Platform failing = testing::FakePlatform(
        nullptr, [] () -> std::unique_ptr<RegistryReader> { throw RegistryError("registry scan failed"); });
    Core brokenCore(broken, std::move(failing));
    broken.Attach(brokenCore);
    try {
        brokenCore.Start();
        ADD_FAILURE() << "start-up went on after the error";
    } catch (const RegistryError& e) {
        EXPECT_STREQ(e.what(), "registry scan failed");
    }
    EXPECT_TRUE(broken.findChild<QPlainTextEdit*>("memo_info")->toPlainText().isEmpty());
    EXPECT_FALSE(broken.findChild<QTimer*>("wake")->isActive());
    EXPECT_TRUE(boxes.empty());  // shown by the program entry, not the window
}

TEST_F(WindowTest, CallLogViewFollowsTheModel) {
    Make();
    AppendRecord(kRecord1);
    EXPECT_EQ(Display()->toPlainText(), QStringLiteral("001 HOME     A 12/31 23:59\n    5551234"));
    AppendRecord(kRecord2);
    EXPECT_EQ(Display()->toPlainText(),
              QStringLiteral("001 HOME     A 12/31 23:59\n    5551234\n"
                             "002 OFFICE   B 01/01 00:01\n    Tone only"));
    EXPECT_EQ(static_cast<int>(Display()->lineCount()), 4);
    EXPECT_EQ(callLog().Bytes(), kRecord1 + kRecord2);

    // 8-bit text decodes as Latin-1; a CR LF split over two appends is one
    // line break.
    AppendRecord("003 Z\xE9LIE\r");
    AppendRecord("\n    \xB0\xFF\r\n");
    EXPECT_TRUE(Display()->toPlainText().endsWith(QString::fromUtf8("\n003 Z\u00E9LIE\n    \u00B0\u00FF")));
    EXPECT_EQ(static_cast<int>(Display()->lineCount()), 6);
    EXPECT_EQ(callLog().Bytes(), kRecord1 + kRecord2 + "003 Z\xE9LIE\r\n    \xB0\xFF\r\n");
}

TEST_F(WindowTest, ClearDuringADownloadEmptiesTheLogOnly) {
    TForm1& f = Make();
    f.SetIndicator(true);
    core->programOps().EnableTimer(Timer::AutoDisp, true);
    core->AnimationTick();
    AppendRecord(kRecord1);
    f.ShowStatusLine("Device Remove.");

    f.clear_infoClick();
    EXPECT_TRUE(callLog().Empty());
    EXPECT_TRUE(Display()->toPlainText().isEmpty());
    EXPECT_EQ(Info()->toPlainText(), QStringLiteral("Dialscope V1.3\nDevice Remove."));
    EXPECT_TRUE(core->timerRunning(Timer::AutoDisp));
    EXPECT_EQ(VisibleTransferringLabels(f), QStringList{"Transferring ."});

    AppendRecord(kRecord2);
    EXPECT_EQ(Display()->toPlainText(), QStringLiteral("002 OFFICE   B 01/01 00:01\n    Tone only"));
    EXPECT_EQ(callLog().Bytes(), kRecord2);
}

// The box follows the end of a growing log, unless the reader scrolled
// back; long lines wrap and every byte is shown once.
TEST_F(WindowTest, LogBoxFollowsTheEndAndWrapsLongLines) {
    Make();
    const int kRecords = 2000;
    for (int i = 0; i < kRecords; ++i) AppendRecord(kRecord1);
    EXPECT_EQ(Display()->lineCount(), 2u * kRecords);
    EXPECT_EQ(Display()->rowCount(), 2u * kRecords);
    EXPECT_EQ(Display()->lineText(2 * kRecords - 1), QStringLiteral("    5551234"));
    QScrollBar* bar = Display()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GT(bar->maximum(), 0);

    // A reader who scrolled back keeps the place.
    bar->setValue(10);
    AppendRecord(kRecord2);
    EXPECT_EQ(bar->value(), 10);

    // A record text far wider than the box: several rows, nothing lost.
    std::string words;
    for (int i = 0; i < 60; ++i) words += "word" + std::to_string(i) + ' ';
    const std::string unbroken(700, 'x');
    AppendRecord("    " + words + "\r\n    " + unbroken + "\r\n");
    const size_t lines = Display()->lineCount();
    EXPECT_EQ(Display()->lineText(lines - 2), QString::fromStdString("    " + words));
    EXPECT_EQ(Display()->lineText(lines - 1), QString::fromStdString("    " + unbroken));
    EXPECT_GE(Display()->rowCount(), lines + 4);
    bar->setValue(bar->maximum());
    Display()->selectAll();
    EXPECT_EQ(Display()->selectedText(), Display()->toPlainText());
    EXPECT_TRUE(Display()->toPlainText().endsWith(QString::fromStdString(words + "\n    " + unbroken)));
}

// Every way a line can end, whole or split over two appends; and a
// selection made with the mouse is the text under it.
TEST(LogBox, LineBreaksAndMouseSelection) {
    struct Case {
        std::vector<std::string> appends;
        QStringList lines;
    } cases[] = {
        {{"a\r\nb\r\n"}, {"a", "b"}},
        {{"a\rb\nc"}, {"a", "b", "c"}},           // a lone CR or LF ends a line too
        {{"a\r", "\nb\r", "\r\n"}, {"a", "b", ""}},  // CR LF split; CR then CR LF
        {{"\r\n\r\nx"}, {"", "", "x"}},
        {{std::string("\xE9\x00\t", 3)}, {QString::fromLatin1("\xE9\x00\t", 3)}},
        {{""}, {}},
    };
    for (const Case& c : cases) {
        qt::LogView view;
        view.setGeometry(0, 0, 300, 200);
        std::string log;
        for (const std::string& a : c.appends) {
            log += a;
            view.ShowAppended(log);
        }
        QStringList lines;
        for (size_t i = 0; i < view.lineCount(); ++i) lines << view.lineText(i);
        EXPECT_EQ(lines, c.lines) << log;
        EXPECT_EQ(view.toPlainText(), c.lines.join('\n')) << log;
        view.ShowCleared();
        EXPECT_EQ(view.lineCount(), 0u);
    }

    qt::LogView view;
    view.setGeometry(0, 0, 300, 200);
    view.show();
    const std::string log = "first line\r\nsecond line\r\n";
    view.ShowAppended(log);
    const int row = QFontMetrics(view.font()).height();
    auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent e(type, at, view.viewport()->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(view.viewport(), &e);
    };
    mouse(QEvent::MouseButtonPress, QPoint(1, row / 2 + 4), Qt::LeftButton);
    mouse(QEvent::MouseMove, QPoint(1, row + row / 2 + 4), Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, QPoint(1, row + row / 2 + 4), Qt::NoButton);
    EXPECT_EQ(view.selectedText(), QStringLiteral("first line\n"));
    EXPECT_EQ(view.PositionAt(QPoint(299, row + row / 2 + 4)), log.size() - 2);
    EXPECT_EQ(view.PositionAt(QPoint(1, 199)), log.size() - 2);
}

TEST_F(WindowTest, TransferringAnimationCycles) {
    TForm1& f = Make();
    core->programOps().EnableTimer(Timer::AutoDisp, true);
    for (int dots = 1; dots <= 6; ++dots) {
        core->AnimationTick();
        EXPECT_EQ(VisibleTransferringLabels(f),
                  QStringList{QStringLiteral("Transferring ") + QString(dots, QLatin1Char('.'))});
    }
    core->AnimationTick();
    EXPECT_EQ(VisibleTransferringLabels(f), QStringList{"Transferring ."});
    core->AnimationTick();
    core->AnimationTick();
    EXPECT_EQ(VisibleTransferringLabels(f), QStringList{"Transferring ..."});
    EXPECT_TRUE(core->timerRunning(Timer::AutoDisp));

    // Hidden at the end of a download; the next download goes on from there.
    core->programOps().EnableTimer(Timer::AutoDisp, false);
    f.HideAnimation();
    EXPECT_TRUE(VisibleTransferringLabels(f).isEmpty());
    core->programOps().EnableTimer(Timer::AutoDisp, true);
    core->AnimationTick();
    EXPECT_EQ(VisibleTransferringLabels(f), QStringList{"Transferring ...."});
}

TEST_F(WindowTest, IndicatorColours) {
    TForm1& f = Make();
    auto* indicator = Child<ConnectIndicator>("connect_show");
    auto centre = [&] { return indicator->grab().toImage().pixelColor(12, 8); };
    EXPECT_EQ(centre(), QColor(255, 255, 255));
    const QImage image = indicator->grab().toImage();
    EXPECT_LT(qGray(image.pixel(12, 0)), 100);   // dark outline at the top
    EXPECT_LT(qGray(image.pixel(4, 8)), 140);    // and at the left

    f.SetIndicator(true);
    EXPECT_EQ(centre(), QColor(255, 0, 0));
    f.SetIndicator(false);
    EXPECT_EQ(centre(), QColor(255, 255, 255));
}

TEST_F(WindowTest, TheWakeUpDrivesTheCoreTimers) {
    const auto start = std::chrono::steady_clock::now();
    Make();
    // The protocol tick runs on (each run sets it 100 ms on); the
    // supervisor, finding no adapter, stops its timer after one pass until a
    // device change.
    EXPECT_TRUE(WaitUntil([&] {
        return !core->timerRunning(Timer::watch_serial) && core->NextDue() &&
               *core->NextDue() >= start + std::chrono::milliseconds(400);
    }));
    EXPECT_TRUE(core->timerRunning(Timer::time_com));
    EXPECT_TRUE(TimerNamed("wake")->isActive());
    EXPECT_LE(TimerNamed("wake")->remainingTime(), 100);
}

// Device events arrive through the source's descriptor, as the kernel's do.
class PipeDeviceEvents final : public testing::FakeDeviceEvents {
public:
    PipeDeviceEvents() {
        if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
    }
    ~PipeDeviceEvents() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int fd() const override { return fds_[0]; }
    void Send(const DeviceEvent& event) {
        Push(event);
        const char byte = 1;
        EXPECT_EQ(::write(fds_[1], &byte, 1), 1);
    }
    std::vector<DeviceEvent> ReadEvents() override {
        char byte;
        EXPECT_EQ(::read(fds_[0], &byte, 1), 1);
        return FakeDeviceEvents::ReadEvents();
    }

private:
    int fds_[2] = {-1, -1};
};

TEST_F(WindowTest, ExceptionInAHandlerIsShownAndTheProgramGoesOn) {
    // The registry fails from the first device change on: first with a
    // message, then with an exception of no known type.
    int scans = 0;
    Platform platform = testing::FakePlatform(nullptr, [&]() -> std::unique_ptr<RegistryReader> {
        ++scans;
        if (scans == 2) throw RegistryError("scan failed");
        if (scans > 2) throw 42;
        return std::make_unique<MemoryRegistryReader>(std::make_shared<MemoryRegistry>());
    });
    auto source = std::make_unique<PipeDeviceEvents>();
    PipeDeviceEvents& events = *source;
    platform.deviceEvents = std::move(source);
    TForm1& f = Make(std::move(platform));
    ASSERT_EQ(scans, 1);

    const DeviceEvent arrival{WM_DEVICECHANGE_ID, DBT_DEVICEARRIVAL_CODE, DBT_DEVTYP_DEVICEINTERFACE_TYPE};
    events.Send(arrival);
    ASSERT_TRUE(WaitUntil([&] { return boxes.size() >= 1; }));
    EXPECT_EQ(boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(boxes[0].text, QStringLiteral("scan failed"));

    events.Send(arrival);
    ASSERT_TRUE(WaitUntil([&] { return boxes.size() >= 2; }));
    EXPECT_EQ(boxes[1].kind, BoxKind::Error);
    EXPECT_TRUE(boxes[1].text.isEmpty());

    // The timers keep running and the rest of the window still works.
    const auto due = core->NextDue();
    EXPECT_TRUE(WaitUntil([&] { return core->NextDue() != due; }));
    AppendRecord(kRecord1);
    f.clear_infoClick();
    EXPECT_TRUE(callLog().Empty());
    EXPECT_TRUE(Display()->toPlainText().isEmpty());

    ShowPortAlreadyOpenedBox();
    EXPECT_EQ(boxes.back().kind, BoxKind::Warning);
    EXPECT_EQ(boxes.back().caption, QStringLiteral("Warning"));
    EXPECT_EQ(boxes.back().text, QStringLiteral("Port Is Already Opened!"));
}

TEST_F(WindowTest, ExitEndsTheMessageLoopDuringADownload) {
    TForm1& f = Make();
    core->programOps().EnableTimer(Timer::AutoDisp, true);
    f.SetIndicator(true);
    AppendRecord(kRecord1);

    bool watchdogFired = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { watchdogFired = true; qApp->quit(); });
    watchdog.start(5000);
    QTimer::singleShot(0, &f, [&] { Child<QPushButton>("Exit")->click(); });
    qApp->exec();
    EXPECT_FALSE(watchdogFired);
    EXPECT_FALSE(f.isVisible());
}

}  // namespace
}  // namespace dialscope
