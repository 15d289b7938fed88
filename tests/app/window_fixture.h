// Builds a main window for a test, attached to a real Core on a fake
// platform (an empty in-memory registry, a device-event source that hears of
// nothing), with the modal boxes recorded instead of shown.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTimer>

#include "app/core.h"
#include "app/qt/log_view.h"
#include "app/qt/main_window.h"
#include "app/qt/message_boxes.h"
#include "tests/support/registry_memory.h"
#include "tests/support/fakes.h"

namespace dialscope::testing {

using qt::TForm1;

struct RecordedBox {
    BoxKind kind;
    QString caption;
    QString text;
};

// An empty registry and a quiet device-event source; `events`, when given,
// is told of the source so a test can reach it after Core took it.
inline Platform FakePlatform(FakeDeviceEvents** events = nullptr,
                             RegistryFactory registry = MakeMemoryRegistryFactory(
                                 std::make_shared<MemoryRegistry>())) {
    Platform p;
    p.registry = std::move(registry);
    auto source = std::make_unique<FakeDeviceEvents>();
    if (events) *events = source.get();
    p.deviceEvents = std::move(source);
    p.warningBox = [](const char*, const char*) { ShowPortAlreadyOpenedBox(); };
    return p;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        MessageBoxOverride() = [this](BoxKind kind, const QString& caption, const QString& text) {
            boxes.push_back({kind, caption, text});
        };
    }
    void TearDown() override {
        form.reset();
        core.reset();
        MessageBoxOverride() = nullptr;
    }

    // The window and its Core, started and shown as the program entry does.
    TForm1& Make(Platform platform = FakePlatform()) {
        form = std::make_unique<TForm1>();
        core = std::make_unique<Core>(*form, std::move(platform));
        form->Attach(*core);
        core->Start();
        form->show();
        return *form;
    }

    template <class T>
    T* Child(const char* name) {
        T* child = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    qt::LogView* Display() { return Child<qt::LogView>("memo_display"); }
    QPlainTextEdit* Info() { return Child<QPlainTextEdit>("memo_info"); }
    QTimer* TimerNamed(const char* name) { return Child<QTimer>(name); }

    // A record as the protocol hands it to Core.
    void AppendRecord(const std::string& bytes) {
        core->programOps().AppendToCallLog(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    const CallLog& callLog() const { return core->callLog(); }

    // Runs the event loop until done() holds or five seconds have passed.
    static bool WaitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            QEventLoop loop;
            QTimer::singleShot(10, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }

    std::unique_ptr<TForm1> form;
    std::unique_ptr<Core> core;
    std::vector<RecordedBox> boxes;
};

}  // namespace dialscope::testing
