// connect_show: the connection indicator, a circle with a dark outline,
// filled red while a download is running and white otherwise.
#pragma once

#include <QColor>
#include <QWidget>

namespace dialscope::qt {

class ConnectIndicator : public QWidget {
public:
    explicit ConnectIndicator(QWidget* parent = nullptr);

    void SetOn(bool on);
    bool IsOn() const { return on_; }
    QColor FillColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool on_ = false;
};

}  // namespace dialscope::qt
