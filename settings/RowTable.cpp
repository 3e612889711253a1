#include "settings/RowTable.h"

#include <QContextMenuEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

namespace Kestrune {

namespace {

constexpr int scrollerWidth = 8;
// How long the scroller stays after the list stopped moving and the pointer left.
constexpr int scrollerLingerMs = 1200;

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
    // The area's own scroller stays hidden (it still tracks the range and takes the
    // wheel); a slim one of ours floats over the rows instead of narrowing them.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    body_ = new RowBody(rows_, rowHeight_);
    setWidget(body_);
    body_->setAutoFillBackground(false); // setWidget turned it on; the card shows through

    overlay_ = new QScrollBar(Qt::Vertical, this);
    overlay_->setObjectName("overlayScroller");
    overlay_->setFocusPolicy(Qt::NoFocus);
    overlay_->setStyleSheet(
        "QScrollBar:vertical { width: 7px; background: transparent; margin: 2px 1px 2px 0; }"
        "QScrollBar::handle:vertical { background: rgba(128, 128, 128, 130); border-radius: 3px;"
        " min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
    overlay_->hide();
    hideTimer_ = new QTimer(this);
    hideTimer_->setSingleShot(true);
    hideTimer_->setInterval(scrollerLingerMs);
    connect(hideTimer_, &QTimer::timeout, this, &RowTable::hideScrollerUnlessInUse);

    QScrollBar* own = verticalScrollBar();
    overlay_->setRange(own->minimum(), own->maximum());
    connect(own, &QScrollBar::rangeChanged, this, [this, own](int min, int max) {
        overlay_->setRange(min, max);
        overlay_->setPageStep(own->pageStep());
        if (max <= min)
            overlay_->hide();
    });
    connect(own, &QScrollBar::valueChanged, this, [this](int value) {
        overlay_->setValue(value);
        revealScroller();
    });
    connect(overlay_, &QScrollBar::valueChanged, own, &QScrollBar::setValue);
    connect(overlay_, &QScrollBar::sliderReleased, hideTimer_, qOverload<>(&QTimer::start));
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

void RowTable::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    overlay_->setGeometry(width() - scrollerWidth, 0, scrollerWidth, height());
    overlay_->raise();
}

void RowTable::enterEvent(QEnterEvent* event) {
    QScrollArea::enterEvent(event);
    revealScroller();
}

void RowTable::leaveEvent(QEvent* event) {
    QScrollArea::leaveEvent(event);
    hideTimer_->start();
}

void RowTable::revealScroller() {
    if (overlay_->maximum() <= overlay_->minimum())
        return; // everything fits: nothing to scroll
    overlay_->show();
    overlay_->raise();
    hideTimer_->start();
}

void RowTable::hideScrollerUnlessInUse() {
    if (underMouse() || overlay_->isSliderDown())
        return; // leaving starts the timer again
    overlay_->hide();
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
