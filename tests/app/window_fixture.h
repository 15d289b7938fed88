// Builds a main window for a test, with the modal boxes recorded instead of
// shown.
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

#include "app/main_window.h"
#include "app/message_boxes.h"
#include "protocol/link_state.h"

namespace dialscope::testing {

struct RecordedBox {
    BoxKind kind;
    QString caption;
    QString text;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        MessageBoxOverride() = [this](BoxKind kind, const QString& caption, const QString& text) {
            boxes.push_back({kind, caption, text});
        };
    }
    void TearDown() override { MessageBoxOverride() = nullptr; }

    TForm1& Make(CoreHooks hooks = {}) {
        form = std::make_unique<TForm1>(link, std::move(hooks));
        form->show();
        return *form;
    }

    template <class T>
    T* Child(const char* name) {
        T* child = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    QPlainTextEdit* Display() { return Child<QPlainTextEdit>("memo_display"); }
    QPlainTextEdit* Info() { return Child<QPlainTextEdit>("memo_info"); }
    QTimer* TimerNamed(const char* name) { return Child<QTimer>(name); }

    void AppendRecord(const std::string& bytes) {
        static_cast<WindowOps&>(*form).AppendToCallLog(
            reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }

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

    Link link;
    std::unique_ptr<TForm1> form;
    std::vector<RecordedBox> boxes;
};

}  // namespace dialscope::testing
