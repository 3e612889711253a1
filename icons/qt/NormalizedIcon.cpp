#include "icons/qt/NormalizedIcon.h"

#include "icons/IconGrid.h"
#include "icons/qt/ImageSampling.h"
#include "ui/Symbols.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <mutex>
#include <vector>

namespace KestruneCore {

namespace {

// How far along each edge a corner's curve extends, as a multiple of its radius; the
// curve is longer than a circular arc, which is what makes the curvature continuous.
constexpr double cornerExtent = 1.52866;
constexpr int cornerSegments = 32;

// The superellipse exponent whose diagonal point lies where a circular arc's would:
// extent · (1 − 2^(−1/n)) = radius · (1 − 1/√2).
double cornerExponent() {
    const double depth = (1 - 1 / std::sqrt(2.0)) / cornerExtent;
    return -1 / std::log2(1 - depth);
}

} // namespace

QPainterPath squirclePath(const QRectF& rect, double radius) {
    QPainterPath path;
    const double extent = std::min({radius * cornerExtent, rect.width() / 2, rect.height() / 2});
    if (extent <= 0) {
        path.addRect(rect);
        return path;
    }
    const double n = cornerExponent();
    // Corner centres and the directions from them towards their corners.
    const struct {
        QPointF corner;
        double sx, sy;
    } corners[] = {
        {rect.topRight(), 1, -1},
        {rect.bottomRight(), 1, 1},
        {rect.bottomLeft(), -1, 1},
        {rect.topLeft(), -1, -1},
    };
    bool first = true;
    for (const auto& c : corners) {
        const QPointF centre(c.corner.x() - c.sx * extent, c.corner.y() - c.sy * extent);
        // Clockwise on screen through each corner: from the edge before it to the next.
        for (int i = 0; i <= cornerSegments; ++i) {
            double t = M_PI / 2 * i / cornerSegments;
            // Top-right runs from the top edge (t = 0) to the right edge (t = π/2); the
            // other corners are the same quadrant turned by a quarter each.
            double u = std::pow(std::sin(t), 2 / n), v = std::pow(std::cos(t), 2 / n);
            double dx = 0, dy = 0;
            if (c.sx > 0 && c.sy < 0) {
                dx = u, dy = -v;
            } else if (c.sx > 0) {
                dx = v, dy = u;
            } else if (c.sy > 0) {
                dx = -u, dy = v;
            } else {
                dx = -v, dy = -u;
            }
            QPointF point(centre.x() + dx * extent, centre.y() + dy * extent);
            if (first) {
                path.moveTo(point);
                first = false;
            } else {
                path.lineTo(point);
            }
        }
    }
    path.closeSubpath();
    return path;
}

namespace {

// Anti-aliased cover (0…255) of `path` on each pixel of a `canvas` square.
QImage coverOf(const QPainterPath& path, int canvas) {
    QImage cover(canvas, canvas, QImage::Format_Alpha8);
    if (cover.isNull())
        return cover;
    cover.fill(0);
    QPainter p(&cover);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(path, Qt::black);
    return cover;
}

// How much of each pixel of a tile drawn at `tile` stays once its corners are cut to
// the squircle: the squircle's cover over the tile's own cover (the tile's edges already
// carry their partial cover, which must not be taken away twice). Rows of one size share a
// few tiles, so small masks are kept: building the curve costs more than all the pixel
// work of a row picture.
QImage tileMask(int canvas, const QRectF& tile) {
    static std::mutex lock;
    static std::map<std::array<double, 5>, QImage> kept;
    const std::array<double, 5> key{double(canvas), tile.x(), tile.y(), tile.width(),
                                    tile.height()};
    const bool keep = canvas <= 256;
    if (keep) {
        std::lock_guard guard(lock);
        if (auto it = kept.find(key); it != kept.end())
            return it->second;
    }
    QPainterPath square;
    square.addRect(tile);
    const QImage within = coverOf(square, canvas);
    const QImage squircle = coverOf(squirclePath(tile, squircleRadius(tile.width())), canvas);
    QImage mask(canvas, canvas, QImage::Format_ARGB32_Premultiplied);
    if (within.isNull() || squircle.isNull() || mask.isNull())
        return {};
    for (int y = 0; y < canvas; ++y) {
        const uchar* w = within.constScanLine(y);
        const uchar* s = squircle.constScanLine(y);
        QRgb* m = reinterpret_cast<QRgb*>(mask.scanLine(y));
        for (int x = 0; x < canvas; ++x) {
            const int keepOf = w[x] == 0 ? 0 : std::min(255, (s[x] * 255 + w[x] / 2) / w[x]);
            m[x] = qRgba(0, 0, 0, keepOf);
        }
    }
    if (keep) {
        std::lock_guard guard(lock);
        if (kept.size() >= 16)
            kept.clear();
        kept.emplace(key, mask);
    }
    return mask;
}

// The redraw at `side` pixels; side 0 is the full canvas, where an image that already
// follows the grid is given back as it is.
QImage normalized(const QImage& image, int side) {
    if (Kestrune::isTemplateImage(image) || image.isNull())
        return image;
    const QSizeF points = image.deviceIndependentSize();
    if (points.width() <= 0 || points.height() <= 0)
        return image;

    // The analysis raster is read through its alpha alone (the shape decides, not the
    // colours), and only at the pixels the bounds and tile tests ask for.
    const int rasterWidth = iconAnalysisWidth;
    const int rasterHeight =
        static_cast<int>(std::trunc(points.height() * rasterWidth / points.width()));
    if (rasterHeight <= 0 || rasterHeight > 64 * rasterWidth)
        return image; // too wide or too tall to analyse
    const SampledAlpha raster(image, {rasterWidth, rasterHeight});
    if (!raster.valid())
        return image;
    const auto alphaAt = [&raster](int x, int y) { return raster(x, y) * (1 / 255.0); };
    const auto visible = visibleBoundsOf(rasterWidth, rasterHeight, alphaAt,
                                         [&raster](int y) { return raster.mayShow(y); });
    const bool onGrid = visible && gridCompliant(rasterWidth, rasterHeight, *visible);
    if (onGrid && side == 0)
        return image;
    const bool tile =
        !onGrid && rasterWidth == rasterHeight && isOpaqueTile(rasterWidth, rasterHeight, alphaAt);

    const double canvas = side == 0 ? iconCanvas : side;
    const int pixels = static_cast<int>(canvas);
    // Already on the grid: the whole image is the canvas; otherwise it is fitted to the
    // content square.
    const IconRect place = onGrid ? IconRect{0, 0, canvas, canvas}
                                  : gridPlacement(points.width(), points.height(), canvas);
    const QRectF target(place.x, place.y, place.width, place.height);
    // At row size a large source is first sampled down to twice the drawn size (the row
    // shows a small fraction of its pixels), then averaged onto the row's pixels; the
    // full canvas, and a source no larger than drawn, are drawn smoothly as they are.
    QImage out;
    const QSize twice(std::max(1, int(2 * target.width())), std::max(1, int(2 * target.height())));
    if (side != 0 && (image.width() > target.width() || image.height() > target.height())) {
        out = averagedOnto(image.width() > twice.width() || image.height() > twice.height()
                               ? sampledImage(image, twice)
                               : image,
                           target, pixels);
    } else {
        out = QImage(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        if (!out.isNull()) {
            out.fill(Qt::transparent);
            QPainter p(&out);
            p.setRenderHint(QPainter::Antialiasing); // edges off the pixel grid: partial cover
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.drawImage(target, image);
        }
    }
    if (out.isNull())
        return image;
    if (tile) {
        // Cut the corners away with anti-aliased cover (a clip path would leave jagged
        // edges).
        QPainter p(&out);
        p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        p.drawImage(0, 0, tileMask(pixels, target));
    }
    return out;
}

} // namespace

QImage normalizedIcon(const QImage& image) {
    return normalized(image, 0);
}

QImage normalizedIcon(const QImage& image, int side) {
    return side > 0 ? normalized(image, side) : image;
}

} // namespace KestruneCore
