#include "app/qt/connect_indicator.h"

#include <algorithm>

#include <QPainter>

namespace dialscope::qt {

ConnectIndicator::ConnectIndicator(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
}

void ConnectIndicator::SetOn(bool on) {
    if (on_ == on) return;
    on_ = on;
    update();
}

QColor ConnectIndicator::FillColor() const {
    return on_ ? QColor(255, 0, 0) : QColor(255, 255, 255);
}

void ConnectIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    // A circle as large as the shorter side, centred in the control, with a
    // one-pixel black pen like the shape control it stands in for.
    const int d = std::min(width(), height()) - 1;
    const QRectF circle((width() - 1 - d) / 2.0 + 0.5, (height() - 1 - d) / 2.0 + 0.5, d, d);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(FillColor());
    p.drawEllipse(circle);
}

}  // namespace dialscope::qt
