#include "statusitem/StatusIcon.h"

#include "ui/Symbols.h"

#include <QColorSpace>
#include <QFile>
#include <QPalette>
#include <QSvgRenderer>

#include <cmath>
#include <map>
#include <memory>

namespace Kestrune {

namespace {

constexpr qreal mainPointSize = 15;
constexpr qreal badgePointSize = 8;
constexpr qreal badgeExtraWidth = 5;
constexpr qreal ringWidth = 1.5;

// The tinted form of a glyph: its shape filled with one colour, alpha kept.
QImage tinted(const Symbol& symbol, const QColor& colour) {
    return srgbImage(symbol.size, [&](QPainter& p, const QRectF& rect) {
        symbol.draw(p, rect);
        p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        p.fillRect(rect, colour);
    });
}

} // namespace

Appearance appearanceOf(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128 ? Appearance::dark : Appearance::light;
}

void Symbol::draw(QPainter& painter, const QRectF& rect) const {
    if (auto* r = symbolRenderer(name))
        r->render(&painter, rect);
}

std::optional<Symbol> loadSymbol(const QString& name, qreal pointSize) {
    auto* r = symbolRenderer(name);
    if (!r || !(pointSize > 0))
        return std::nullopt;
    QSizeF box = r->viewBoxF().size();
    if (!(box.width() > 0) || !(box.height() > 0))
        return std::nullopt;
    return Symbol{name, QSizeF(box.width() * pointSize / box.height(), pointSize)};
}

QImage srgbImage(QSizeF size, const std::function<void(QPainter&, const QRectF&)>& draw) {
    int w = std::isfinite(size.width()) ? int(size.width() * 2) : 0;
    int h = std::isfinite(size.height()) ? int(size.height() * 2) : 0;
    QImage image(std::max(w, 1), std::max(h, 1), QImage::Format_ARGB32_Premultiplied);
    image.setColorSpace(QColorSpace::SRgb);
    image.setDevicePixelRatio(2);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    draw(p, QRectF(QPointF(0, 0), size));
    return image;
}

QColor tintColor(IconState state, Appearance appearance) {
    bool dark = appearance == Appearance::dark;
    switch (state) {
    case IconState::healthy:
        // White vanishes on a light panel, so the healthy glyph turns near-black there.
        return dark ? QColor(255, 255, 255) : QColor(0x1d, 0x1d, 0x1f);
    case IconState::orange:
        return dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xff, 0x95, 0x00);
    case IconState::red:
        return dark ? QColor(0xff, 0x45, 0x3a) : QColor(0xff, 0x3b, 0x30);
    case IconState::off:
        break;
    }
    return {};
}

double iconAlpha(IconState) {
    return 1.0;
}

bool iconAppearsDisabled(IconState state) {
    return state == IconState::off;
}

std::optional<StatusPicture> statusIcon(IconState state, Appearance appearance, bool) {
    auto symbol = loadSymbol("dog.fill", mainPointSize);
    if (!symbol)
        symbol = loadSymbol("pawprint.fill", mainPointSize);
    if (!symbol)
        return std::nullopt;
    if (state == IconState::off)
        return StatusPicture{
            srgbImage(symbol->size, [&](QPainter& p, const QRectF& r) { symbol->draw(p, r); }),
            true};

    auto badge = loadSymbol("exclamationmark.triangle.fill", badgePointSize);
    bool badged = state == IconState::orange || state == IconState::red;
    QSizeF canvas = symbol->size;
    if (badged)
        canvas.rwidth() += badgeExtraWidth;
    QColor tint = tintColor(state, appearance);
    tint.setAlphaF(iconAlpha(state));

    QImage image = srgbImage(canvas, [&](QPainter& p, const QRectF& rect) {
        p.drawImage(QRectF(QPointF(0, 0), symbol->size), tinted(*symbol, tint));
        if (!badged || !badge)
            return;
        // The badge sits in the bottom-right corner, parted from the glyph by a
        // transparent ring.
        QRectF at(rect.width() - badge->size.width(), rect.height() - badge->size.height(),
                  badge->size.width(), badge->size.height());
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawEllipse(at.adjusted(-ringWidth, -ringWidth, ringWidth, ringWidth));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        QColor full = tint;
        full.setAlphaF(1.0);
        p.drawImage(at, tinted(*badge, full));
    });
    return StatusPicture{image, false};
}

QImage shownImage(const StatusPicture& picture, Appearance appearance, bool appearsDisabled) {
    QImage image = picture.image;
    if (picture.isTemplate) {
        QColor text = appearance == Appearance::dark ? QColor(255, 255, 255) : QColor(0, 0, 0);
        QPainter p(&image);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(image.rect(), text);
    }
    if (appearsDisabled) {
        QImage faded(image.size(), QImage::Format_ARGB32_Premultiplied);
        faded.setColorSpace(image.colorSpace());
        faded.setDevicePixelRatio(image.devicePixelRatio());
        faded.fill(Qt::transparent);
        QPainter p(&faded);
        p.setOpacity(0.5);
        p.drawImage(0, 0, image);
        p.end();
        image = faded;
    }
    return image;
}

} // namespace Kestrune
