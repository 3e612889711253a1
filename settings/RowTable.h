// The one-column list of a card: fixed-height row views stacked in a scroll area,
// with single selection by mouse or arrow keys. Every row view is an ordinary child
// widget, so assistive technology reaches each row's labels and switch. The scroller
// floats over the rows' right margin and shows only while the list is scrolled or the
// pointer is over it, so rows keep their full width whatever their number.
#pragma once

#include <QScrollArea>

#include <vector>

class QScrollBar;
class QTimer;

namespace Kestrune {

class RowTable : public QScrollArea {
    Q_OBJECT
public:
    explicit RowTable(int rowHeight, QWidget* parent = nullptr);
    ~RowTable() override;

    // Replaces every row view. `selectable` is false for the empty-state row. The
    // selection is kept when its row still exists and may be selected. The old rows
    // are deleted now, or with `deferDeletion` on the next turn of the event loop
    // (when a control inside a row caused this and is still running).
    void setRows(const std::vector<QWidget*>& rowViews, bool selectable,
                 bool deferDeletion = false);
    int rowCount() const { return int(rows_.size()); }
    QWidget* rowView(int row) const;
    int rowHeight() const { return rowHeight_; }

    // -1 when nothing is selected.
    int selectedRow() const { return selected_; }
    // Selects a row (or clears the selection with -1); rows that may not be selected
    // are ignored.
    void selectRow(int row);
    // The row under a point of the viewport, -1 outside every row.
    int rowAt(const QPoint& viewportPos) const;
    // The scroller drawn over the rows (the area's own one never takes room).
    QScrollBar* overlayScroller() const { return overlay_; }

signals:
    void selectionChanged();
    // A right click (or the menu key) on a row: the row (-1 outside) and where.
    void contextMenuRequested(int row, const QPoint& globalPos);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    int rowOf(QObject* watched) const;
    void revealScroller();
    void hideScrollerUnlessInUse();

    int rowHeight_;
    bool selectable_ = false;
    int selected_ = -1;
    std::vector<QWidget*> rows_;
    QWidget* body_;
    QScrollBar* overlay_;
    QTimer* hideTimer_;
};

} // namespace Kestrune
