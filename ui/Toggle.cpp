#include "ui/Toggle.h"

#include <QPainter>
#include <QPainterPath>

namespace Kestrune {

Toggle::Toggle(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize Toggle::sizeHint() const {
    return {26, 15};
}

void Toggle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    qreal radius = track.height() / 2;
    QColor on = palette().color(QPalette::Highlight);
    QColor off = palette().color(QPalette::Mid);
    QColor fill = isChecked() ? on : off;
    if (!isEnabled())
        fill.setAlphaF(0.4);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(track, radius, radius);
    qreal knob = track.height() - 2;
    qreal x = isChecked() ? track.right() - 1 - knob : track.left() + 1;
    p.setBrush(isEnabled() ? QColor(Qt::white) : QColor(235, 235, 235));
    p.drawEllipse(QRectF(x, track.top() + 1, knob, knob));
    if (hasFocus()) {
        // In the text colour, not the accent: an accent ring vanishes on a track that is
        // on, and the text colour stands out on either track in light and dark palettes.
        QRectF ring = QRectF(rect()).adjusted(1, 1, -1, -1);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette().color(QPalette::WindowText), 2));
        p.drawRoundedRect(ring, ring.height() / 2, ring.height() / 2);
    }
}

} // namespace Kestrune

namespace KestruneCore {

Kestrune::Toggle* makeToggle(bool enabled) {
    auto* toggle = new Kestrune::Toggle;
    toggle->setChecked(enabled);
    return toggle;
}

} // namespace KestruneCore
