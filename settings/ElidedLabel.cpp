#include "settings/ElidedLabel.h"

#include "settings/Style.h"

#include <QPainter>
#include <QStyle>

namespace Kestrune {

ElidedLabel::ElidedLabel(const QString& text, Qt::TextElideMode mode, QWidget* parent)
    : QLabel(text, parent), mode_(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

QString ElidedLabel::shownText() const {
    return fontMetrics().elidedText(text(), mode_, contentsRect().width());
}

void ElidedLabel::setSecondary(bool on) {
    secondary_ = on;
    update();
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QPalette pal = palette();
    if (secondary_)
        pal.setColor(foregroundRole(), secondaryLabelColour(pal));
    style()->drawItemText(&p, contentsRect(), int(alignment()) | Qt::TextSingleLine, pal,
                          isEnabled(), shownText(), foregroundRole());
}

} // namespace Kestrune
