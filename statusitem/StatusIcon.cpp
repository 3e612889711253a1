#include "statusitem/StatusIcon.h"

#include "ui/Symbols.h"

#include <QColorSpace>
#include <QFile>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

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

// WCAG relative luminance of an sRGB colour.
double luminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// The text colour of an appearance, which a template picture takes.
QColor textColour(Appearance appearance) {
    return appearance == Appearance::dark ? QColor(255, 255, 255) : QColor(0, 0, 0);
}

// Groups of 4-connected pixels whose alpha is at least half: the label of each pixel
// (-1 for none) and the size of each group.
struct Pieces {
    std::vector<int> label;
    std::vector<int> size;
};

Pieces piecesOf(const QImage& image) {
    int w = image.width(), h = image.height();
    Pieces out{std::vector<int>(std::size_t(w) * h, -1), {}};
    auto solid = [&](int x, int y) { return qAlpha(image.pixel(x, y)) >= 128; };
    std::vector<std::pair<int, int>> stack;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!solid(x, y) || out.label[std::size_t(y) * w + x] >= 0)
                continue;
            int id = int(out.size.size());
            out.size.push_back(0);
            stack.assign(1, {x, y});
            out.label[std::size_t(y) * w + x] = id;
            while (!stack.empty()) {
                auto [px, py] = stack.back();
                stack.pop_back();
                ++out.size[id];
                const int next[4][2] = {{px + 1, py}, {px - 1, py}, {px, py + 1}, {px, py - 1}};
                for (const auto& n : next) {
                    if (n[0] < 0 || n[1] < 0 || n[0] >= w || n[1] >= h || !solid(n[0], n[1]))
                        continue;
                    int& l = out.label[std::size_t(n[1]) * w + n[0]];
                    if (l < 0) {
                        l = id;
                        stack.push_back({n[0], n[1]});
                    }
                }
            }
        }
    return out;
}

// Erases what a cut left of the glyph's parts: of each part only its largest
// remaining piece stays, and only when it keeps at least half of the part. The
// faint edge pixels next to an erased piece go with it.
void removeFragments(QImage& cut, const QImage& whole) {
    Pieces before = piecesOf(whole), after = piecesOf(cut);
    int w = cut.width(), h = cut.height();
    // The part each piece came from, and each part's biggest piece.
    std::vector<int> partOf(after.size.size(), -1);
    for (std::size_t i = 0; i < after.label.size(); ++i)
        if (after.label[i] >= 0)
            partOf[after.label[i]] = before.label[i];
    std::vector<int> best(before.size.size(), -1);
    for (std::size_t p = 0; p < partOf.size(); ++p) {
        int part = partOf[p];
        if (part >= 0 && (best[part] < 0 || after.size[p] > after.size[best[part]]))
            best[part] = int(p);
    }
    std::vector<bool> keep(after.size.size(), false);
    for (std::size_t part = 0; part < best.size(); ++part)
        if (best[part] >= 0 && after.size[best[part]] * 2 >= before.size[part])
            keep[best[part]] = true;
    auto labelAt = [&](int x, int y) {
        return x < 0 || y < 0 || x >= w || y >= h ? -1 : after.label[std::size_t(y) * w + x];
    };
    QImage source = cut;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int l = labelAt(x, y);
            bool drop = l >= 0 && !keep[l];
            if (l < 0 && qAlpha(source.pixel(x, y)) > 0) {
                // An edge pixel: dropped when it touches only erased pieces.
                bool nearKept = false, nearDropped = false;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        int n = labelAt(x + dx, y + dy);
                        if (n >= 0)
                            (keep[n] ? nearKept : nearDropped) = true;
                    }
                drop = nearDropped && !nearKept;
            }
            if (drop)
                cut.setPixel(x, y, 0);
        }
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
        QPainter p(&image);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(image.rect(), textColour(appearance));
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

QImage trayImage(IconState state, Appearance appearance, int pixels) {
    auto symbol = loadSymbol("dog.fill", mainPointSize);
    if (!symbol)
        symbol = loadSymbol("pawprint.fill", mainPointSize);
    if (!symbol || pixels <= 0)
        return {};
    auto badge = loadSymbol("exclamationmark.triangle.fill", badgePointSize);
    bool badged = state == IconState::orange || state == IconState::red;

    // Every state is laid out on the badged canvas, glyph at its left, so the glyph
    // never moves or changes size when the badge comes and goes.
    qreal outline = std::max<qreal>(1, pixels / 22.0);
    QSizeF layout(symbol->size.width() + badgeExtraWidth, symbol->size.height());
    qreal scale =
        std::min((pixels - 2 * outline) / layout.width(), (pixels - 2 * outline) / layout.height());
    QPointF origin(outline, std::round((pixels - layout.height() * scale) / 2));

    auto canvas = [pixels] {
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        return image;
    };
    auto painterOn = [&](QImage& image) {
        auto p = std::make_unique<QPainter>(&image);
        p->setRenderHint(QPainter::Antialiasing);
        p->translate(origin);
        p->scale(scale, scale);
        return p;
    };

    // The shape: glyph, knocked-out ring, badge.
    QImage shape = canvas();
    {
        auto p = painterOn(shape);
        symbol->draw(*p, QRectF(QPointF(0, 0), symbol->size));
    }
    if (badged && badge) {
        QRectF at(layout.width() - badge->size.width(), layout.height() - badge->size.height(),
                  badge->size.width(), badge->size.height());
        QImage whole = shape;
        {
            auto p = painterOn(shape);
            p->setCompositionMode(QPainter::CompositionMode_Clear);
            p->setPen(Qt::NoPen);
            p->setBrush(Qt::black);
            p->drawEllipse(at.adjusted(-ringWidth, -ringWidth, ringWidth, ringWidth));
        }
        removeFragments(shape, whole);
        auto p = painterOn(shape);
        badge->draw(*p, at);
    }

    // Off is a light neutral grey that stands apart by its whole body from light, dark
    // and mid-tone panels such as waybar's blue tray, and from either healthy tint,
    // whatever the guess of the panel's look: #a0a0a0 (about 1.9:1 against #dcdad5,
    // 1.6:1 against #2980b9) beside the near-black paw, a shade lighter (2:1 against
    // #2980b9, 5.7:1 against #353535) beside the white one.
    QColor fill = state != IconState::off          ? tintColor(state, appearance)
                  : appearance == Appearance::dark ? QColor(0xb0, 0xb0, 0xb0)
                                                   : QColor(0xa0, 0xa0, 0xa0);
    // The outline is of the opposite lightness, so on a panel of the other kind the
    // shape still shows by its edge.
    QColor edge = luminance(fill) > 0.18 ? QColor(0, 0, 0) : QColor(255, 255, 255);
    auto filled = [&](const QColor& colour) {
        QImage image = shape;
        QPainter p(&image);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(image.rect(), colour);
        return image;
    };

    QImage out = canvas();
    {
        QPainter p(&out);
        QImage rim = filled(edge);
        constexpr int steps = 16;
        for (int i = 0; i < steps; ++i) {
            qreal a = 2 * M_PI * i / steps;
            p.drawImage(QPointF(outline * std::cos(a), outline * std::sin(a)), rim);
        }
        // The fill replaces the rim where they overlap.
        p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        p.drawImage(0, 0, shape);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.drawImage(0, 0, filled(fill));
    }
    out.setColorSpace(QColorSpace::SRgb);
    return out;
}

QIcon trayIcon(IconState state, Appearance appearance) {
    QIcon icon;
    for (int size : traySizes) {
        QImage image = trayImage(state, appearance, size);
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

} // namespace Kestrune
