// The call log box: a read-only view of the call log's bytes. It keeps no
// copy of the text, only where each line starts and how many rows it wraps
// to, and lays out just the lines on screen when it paints. A text box that
// holds the text itself costs some thirty times the log's bytes; this costs
// about a fifth, so a window left running for months stays small.
//
// Lines end at CR LF, a lone CR or a lone LF; bytes show as Latin-1. A final
// line break shows no empty line after it. The user can scroll, select with
// the mouse or Ctrl+A, and copy (Ctrl+C, the context menu, and the X11
// selection).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <QAbstractScrollArea>
#include <QString>

class QTextLayout;

namespace dialscope::qt {

class LogView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit LogView(QWidget* parent = nullptr);

    // The log grew; `log` is its whole text, which stays with its owner and
    // must outlive the view (or be replaced by the next call).
    void ShowAppended(const std::string& log);
    void ShowCleared();

    // The text as shown, lines joined by '\n'.
    QString toPlainText() const;
    QString selectedText() const;
    void selectAll();
    void copy() const;
    bool isReadOnly() const { return true; }

    // Lines (between line breaks) and rows (lines as wrapped on screen)
    // shown; the text of one line.
    size_t lineCount() const;
    size_t rowCount() const;
    QString lineText(size_t line) const;

    // The byte of the log under a point of the viewport.
    size_t PositionAt(QPoint point) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    size_t LineStart(size_t line) const { return starts_[line]; }
    size_t LineEnd(size_t line) const;
    size_t RowsBefore(size_t line) const { return line == 0 ? 0 : rowEnds_[line - 1]; }
    size_t LineAtRow(size_t row) const;
    int RowsOf(size_t line) const;
    int OpenRows() const;
    bool AtEnd() const;
    // Where the shown text ends (a final line break is not shown).
    size_t ShownEnd() const;
    void LayOut(QTextLayout& layout, size_t line) const;
    QString Shown(size_t from, size_t to) const;
    int RowHeight() const;
    int VisibleRows() const;
    void UpdateScrollRange(bool followEnd);
    void Relayout();

    const std::string* log_ = nullptr;
    // Bytes looked at so far: a final lone CR waits for a possible LF.
    size_t scanned_ = 0;
    // Start of every line; the last one is open (text may still join it).
    std::vector<size_t> starts_{0};
    // Rows of the closed lines, added up: rowEnds_[i] is the first row after
    // line i. The open line's rows are openRows_.
    std::vector<uint32_t> rowEnds_;
    int openRows_ = 0;
    int layoutWidth_ = -1;
    // The selection, as byte positions in the log.
    size_t anchor_ = 0, cursor_ = 0;
    bool selecting_ = false;
};

}  // namespace dialscope::qt
