#include "settings/RowTable.h"

#include <QContextMenuEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace Kestrune {

namespace {

// Stacks the rows at fixed heights; cheaper than a box layout when every row is
// replaced on each reload.
class RowBody : public QWidget {
public:
    RowBody(const std::vector<QWidget*>& rows, int rowHeight)
        : rows_(rows), rowHeight_(rowHeight) {}

    void place() {
        setMinimumHeight(int(rows_.size()) * rowHeight_);
        for (size_t i = 0; i < rows_.size(); ++i)
            rows_[i]->setGeometry(0, int(i) * rowHeight_, width(), rowHeight_);
    }

protected:
    void resizeEvent(QResizeEvent*) override { place(); }

private:
    const std::vector<QWidget*>& rows_;
    int rowHeight_;
};

} // namespace

RowTable::RowTable(int rowHeight, QWidget* parent) : QScrollArea(parent), rowHeight_(rowHeight) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    body_ = new RowBody(rows_, rowHeight_);
    setWidget(body_);
    body_->setAutoFillBackground(false); // setWidget turned it on; the card shows through
}

RowTable::~RowTable() {
    // The rows' holder reads rows_; it goes while rows_ still exists.
    delete takeWidget();
}

void RowTable::setRows(const std::vector<QWidget*>& rowViews, bool selectable, bool deferDeletion) {
    for (QWidget* old : rows_) {
        if (deferDeletion) {
            old->hide();
            old->removeEventFilter(this);
            old->deleteLater();
        } else {
            delete old;
        }
    }
    rows_ = rowViews;
    selectable_ = selectable;
    for (size_t i = 0; i < rows_.size(); ++i) {
        QWidget* row = rows_[i];
        row->setParent(body_);
        row->installEventFilter(this);
        row->show(); // now, not one event later, so a reload never shows an empty list
    }
    static_cast<RowBody*>(body_)->place();
    int keep = selected_;
    selected_ = -1;
    if (selectable_ && keep >= 0 && keep < rowCount())
        selected_ = keep;
    for (int i = 0; i < rowCount(); ++i)
        rows_[size_t(i)]->setProperty("selected", i == selected_);
}

QWidget* RowTable::rowView(int row) const {
    return row >= 0 && row < rowCount() ? rows_[size_t(row)] : nullptr;
}

void RowTable::selectRow(int row) {
    if (row >= rowCount() || (row >= 0 && !selectable_))
        return;
    if (row < 0)
        row = -1;
    if (row == selected_)
        return;
    selected_ = row;
    for (int i = 0; i < rowCount(); ++i) {
        rows_[size_t(i)]->setProperty("selected", i == selected_);
        rows_[size_t(i)]->update();
    }
    if (selected_ >= 0)
        ensureWidgetVisible(rows_[size_t(selected_)], 0, 0);
    emit selectionChanged();
}

int RowTable::rowAt(const QPoint& viewportPos) const {
    QPoint inBody = body_->mapFrom(viewport(), viewportPos);
    for (int i = 0; i < rowCount(); ++i)
        if (rows_[size_t(i)]->geometry().contains(inBody))
            return i;
    return -1;
}

int RowTable::rowOf(QObject* watched) const {
    for (int i = 0; i < rowCount(); ++i)
        if (rows_[size_t(i)] == watched)
            return i;
    return -1;
}

bool RowTable::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        int row = rowOf(watched);
        if (row >= 0) {
            selectRow(row);
            setFocus(Qt::MouseFocusReason);
            return true; // handled here; passed on it would reach the list and clear it
        }
    } else if (event->type() == QEvent::ContextMenu) {
        int row = rowOf(watched);
        if (row >= 0) {
            emit contextMenuRequested(row, static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}

void RowTable::mousePressEvent(QMouseEvent* event) {
    // A click below the rows clears the selection.
    selectRow(-1);
    QScrollArea::mousePressEvent(event);
}

void RowTable::keyPressEvent(QKeyEvent* event) {
    if (!selectable_ || rowCount() == 0)
        return QScrollArea::keyPressEvent(event);
    switch (event->key()) {
    case Qt::Key_Up:
        selectRow(selected_ <= 0 ? 0 : selected_ - 1);
        return;
    case Qt::Key_Down:
        selectRow(std::min(rowCount() - 1, selected_ + 1));
        return;
    case Qt::Key_Menu:
        if (selected_ >= 0) {
            QWidget* row = rows_[size_t(selected_)];
            emit contextMenuRequested(selected_, row->mapToGlobal(row->rect().center()));
        }
        return;
    default:
        QScrollArea::keyPressEvent(event);
    }
}

} // namespace Kestrune
