#include "app/qt/log_view.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

namespace dialscope::qt {

namespace {

// Space between the box's edge and its text, as a text box leaves it.
constexpr int kMargin = 4;

bool IsBreak(char c) { return c == '\r' || c == '\n'; }

}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
}

size_t LogView::LineEnd(size_t line) const {
    if (line + 1 == starts_.size()) return scanned_;
    const size_t next = starts_[line + 1];
    const std::string& b = *log_;
    return next >= 2 && b[next - 1] == '\n' && b[next - 2] == '\r' ? next - 2 : next - 1;
}

size_t LogView::lineCount() const {
    const size_t open = starts_.size() - 1;
    return open + (openRows_ > 0 ? 1 : 0);
}

size_t LogView::rowCount() const { return RowsBefore(starts_.size() - 1) + static_cast<size_t>(openRows_); }

QString LogView::lineText(size_t line) const {
    if (!log_ || line >= starts_.size()) return {};
    return QString::fromLatin1(log_->data() + LineStart(line), static_cast<qsizetype>(LineEnd(line) - LineStart(line)));
}

size_t LogView::LineAtRow(size_t row) const {
    return static_cast<size_t>(std::upper_bound(rowEnds_.begin(), rowEnds_.end(), row) - rowEnds_.begin());
}

int LogView::RowHeight() const { return std::max(1, QFontMetrics(font()).height()); }

int LogView::VisibleRows() const { return std::max(1, (viewport()->height() - 2 * kMargin) / RowHeight()); }

void LogView::LayOut(QTextLayout& layout, size_t line) const {
    layout.setText(lineText(line));
    layout.setFont(font());
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const int height = RowHeight();
    layout.beginLayout();
    for (int row = 0;; ++row) {
        QTextLine l = layout.createLine();
        if (!l.isValid()) break;
        l.setLineWidth(std::max(1, layoutWidth_));
        l.setPosition(QPointF(0, row * height));
    }
    layout.endLayout();
}

// An open line with nothing in it yet is not shown: the log ends in a line
// break, and the box in its last line of text.
int LogView::OpenRows() const {
    const size_t open = starts_.size() - 1;
    return LineStart(open) == LineEnd(open) ? 0 : RowsOf(open);
}

size_t LogView::ShownEnd() const { return lineCount() == 0 ? 0 : LineEnd(lineCount() - 1); }

bool LogView::AtEnd() const { return verticalScrollBar()->value() >= verticalScrollBar()->maximum(); }

int LogView::RowsOf(size_t line) const {
    QTextLayout layout;
    LayOut(layout, line);
    return std::max(1, layout.lineCount());
}

void LogView::ShowAppended(const std::string& log) {
    if (log_ != &log || log.size() < scanned_) {
        ShowCleared();
        log_ = &log;
    }
    const bool following = AtEnd();
    if (layoutWidth_ < 0) layoutWidth_ = viewport()->width() - 2 * kMargin;
    size_t end = log.size();
    if (end > scanned_ && log[end - 1] == '\r') --end;  // its LF may come with the next append
    for (size_t i = scanned_; i < end; ++i) {
        if (!IsBreak(log[i])) continue;
        const size_t next = log[i] == '\r' && log[i + 1] == '\n' ? i + 2 : i + 1;
        starts_.push_back(next);
        const size_t closed = starts_.size() - 2;
        rowEnds_.push_back(static_cast<uint32_t>(RowsBefore(closed) + static_cast<size_t>(RowsOf(closed))));
        i = next - 1;
    }
    scanned_ = end;
    openRows_ = OpenRows();
    UpdateScrollRange(following);
    viewport()->update();
}

void LogView::ShowCleared() {
    scanned_ = 0;
    starts_.assign(1, 0);
    std::vector<uint32_t>().swap(rowEnds_);
    openRows_ = 0;
    anchor_ = cursor_ = 0;
    selecting_ = false;
    UpdateScrollRange(true);
    viewport()->update();
}

void LogView::UpdateScrollRange(bool followEnd) {
    QScrollBar* bar = verticalScrollBar();
    const int visible = VisibleRows();
    const size_t rows = rowCount();
    const int most = static_cast<int>(std::min<size_t>(rows > static_cast<size_t>(visible) ? rows - visible : 0,
                                                       static_cast<size_t>(INT32_MAX)));
    bar->setPageStep(visible);
    bar->setRange(0, most);
    if (followEnd) bar->setValue(most);
}

void LogView::Relayout() {
    const bool following = AtEnd();
    layoutWidth_ = viewport()->width() - 2 * kMargin;
    if (log_) {
        uint32_t rows = 0;
        for (size_t line = 0; line < rowEnds_.size(); ++line) rowEnds_[line] = rows += RowsOf(line);
        openRows_ = OpenRows();
    }
    UpdateScrollRange(following);
    viewport()->update();
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    if (viewport()->width() - 2 * kMargin != layoutWidth_) Relayout();
    else UpdateScrollRange(AtEnd());
}

void LogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) Relayout();
}

void LogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const size_t rows = rowCount();
    const size_t first = static_cast<size_t>(verticalScrollBar()->value());
    if (!log_ || first >= rows) return;
    painter.setPen(palette().color(QPalette::Text));
    const size_t from = std::min(anchor_, cursor_), to = std::max(anchor_, cursor_);
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::HighlightedText));

    const int height = RowHeight();
    size_t line = LineAtRow(first);
    int y = kMargin - static_cast<int>(first - RowsBefore(line)) * height;
    for (; line < lineCount() && y < viewport()->height(); ++line) {
        QTextLayout layout;
        LayOut(layout, line);
        QList<QTextLayout::FormatRange> selection;
        const size_t start = LineStart(line), end = LineEnd(line);
        if (to > from && to > start && from <= end) {
            const size_t a = std::max(from, start), b = std::min(to, end);
            if (b > a) selection.append({static_cast<int>(a - start), static_cast<int>(b - a), selected});
        }
        layout.draw(&painter, QPointF(kMargin, y), selection);
        y += std::max(1, layout.lineCount()) * height;
    }
}

size_t LogView::PositionAt(QPoint point) const {
    const size_t rows = rowCount();
    if (!log_ || rows == 0) return 0;
    const long offset = point.y() < kMargin ? -1 : (point.y() - kMargin) / RowHeight();
    const long row = static_cast<long>(verticalScrollBar()->value()) + offset;
    if (row < 0) return 0;
    if (static_cast<size_t>(row) >= rows) return ShownEnd();
    const size_t line = LineAtRow(static_cast<size_t>(row));
    QTextLayout layout;
    LayOut(layout, line);
    const int inLine = std::min(static_cast<int>(static_cast<size_t>(row) - RowsBefore(line)), layout.lineCount() - 1);
    if (inLine < 0) return LineStart(line);
    const int at = layout.lineAt(inLine).xToCursor(point.x() - kMargin);
    return std::min(LineStart(line) + static_cast<size_t>(std::max(at, 0)), LineEnd(line));
}

QString LogView::Shown(size_t from, size_t to) const {
    if (!log_ || to <= from) return {};
    QString text = QString::fromLatin1(log_->data() + from, static_cast<qsizetype>(to - from));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QString LogView::toPlainText() const {
    return Shown(0, ShownEnd());
}

QString LogView::selectedText() const {
    const size_t end = ShownEnd();
    return Shown(std::min({anchor_, cursor_, end}), std::min(std::max(anchor_, cursor_), end));
}

void LogView::selectAll() {
    anchor_ = 0;
    cursor_ = ShownEnd();
    viewport()->update();
}

void LogView::copy() const {
    const QString text = selectedText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    anchor_ = cursor_ = PositionAt(event->position().toPoint());
    selecting_ = true;
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!selecting_) return QAbstractScrollArea::mouseMoveEvent(event);
    QPoint at = event->position().toPoint();
    // Dragged past the top or bottom: the view scrolls along.
    QScrollBar* bar = verticalScrollBar();
    if (at.y() < 0) bar->setValue(bar->value() - 1);
    if (at.y() >= viewport()->height()) bar->setValue(bar->value() + 1);
    at.setY(std::clamp(at.y(), 0, viewport()->height() - 1));
    cursor_ = PositionAt(at);
    viewport()->update();
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !selecting_) return QAbstractScrollArea::mouseReleaseEvent(event);
    selecting_ = false;
    QClipboard* clipboard = QApplication::clipboard();
    const QString text = selectedText();
    if (clipboard->supportsSelection() && !text.isEmpty()) clipboard->setText(text, QClipboard::Selection);
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !log_) return QAbstractScrollArea::mouseDoubleClickEvent(event);
    // The word under the pointer: up to the spaces or line ends around it.
    const std::string& b = *log_;
    const size_t at = PositionAt(event->position().toPoint());
    const size_t end = ShownEnd();
    size_t from = at, to = at;
    while (from > 0 && b[from - 1] != ' ' && !IsBreak(b[from - 1])) --from;
    while (to < end && b[to] != ' ' && !IsBreak(b[to])) ++to;
    anchor_ = from;
    cursor_ = to;
    viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->key() == Qt::Key_Home) {
        bar->setValue(bar->minimum());
    } else if (event->key() == Qt::Key_End) {
        bar->setValue(bar->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copyAction = menu.addAction(tr("&Copy"), [this] { copy(); });
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(anchor_ != cursor_);
    menu.addSeparator();
    QAction* all = menu.addAction(tr("Select All"), [this] { selectAll(); });
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(lineCount() > 0);
    menu.exec(event->globalPos());
}

}  // namespace dialscope::qt
