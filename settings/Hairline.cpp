#include "settings/Hairline.h"

#include "settings/Style.h"

#include <QPainter>

namespace Kestrune {

Hairline::Hairline(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Hairline::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), separatorColour(palette()));
}

} // namespace Kestrune
