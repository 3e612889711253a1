#include "settings/Card.h"

#include "settings/Style.h"

#include <QPainter>

namespace Kestrune {

namespace {
constexpr qreal cornerRadius = 10;
}

Card::Card(QWidget* parent) : QWidget(parent) {}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(cardColour(palette()));
    p.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

} // namespace Kestrune
