#include "icons/qt/NormalizedIcon.h"

#include "icons/IconGrid.h"
#include "ui/Symbols.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

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

double alphaOf(const QImage& raster, int x, int y) {
    if (x < 0 || y < 0 || x >= raster.width() || y >= raster.height())
        return 0;
    return qAlpha(reinterpret_cast<const QRgb*>(raster.constScanLine(y))[x]) / 255.0;
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

// The redraw at `side` pixels; side 0 is the full canvas, where an image that already
// follows the grid is given back as it is.
QImage normalized(const QImage& image, int side) {
    if (Kestrune::isTemplateImage(image) || image.isNull())
        return image;
    const QSizeF points = image.deviceIndependentSize();
    if (points.width() <= 0 || points.height() <= 0)
        return image;

    // Drawing from premultiplied pixels is the raster engine's fast path; converting
    // once costs far less than converting on each draw.
    const QImage source = image.format() == QImage::Format_ARGB32_Premultiplied
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);

    const int rasterWidth = iconAnalysisWidth;
    const int rasterHeight =
        static_cast<int>(std::trunc(points.height() * rasterWidth / points.width()));
    if (rasterHeight <= 0 || rasterHeight > 64 * rasterWidth)
        return image; // too wide or too tall to analyse
    QImage raster;
    if (source.size() == QSize(rasterWidth, rasterHeight)) {
        raster = source; // already the analysis size: nothing to redraw
    } else {
        raster = QImage(rasterWidth, rasterHeight, QImage::Format_ARGB32_Premultiplied);
        raster.fill(Qt::transparent);
        QPainter p(&raster);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(QRectF(0, 0, rasterWidth, rasterHeight), source);
    }
    const AlphaAt alpha = [&raster](int x, int y) { return alphaOf(raster, x, y); };
    // The scan reads the raster's rows directly: it is most of the work at row size.
    const uchar* bits = raster.constBits();
    const qsizetype stride = raster.bytesPerLine();
    const auto visible = visibleBoundsOf(rasterWidth, rasterHeight, [bits, stride](int x, int y) {
        return qAlpha(reinterpret_cast<const QRgb*>(bits + y * stride)[x]) / 255.0;
    });
    const bool onGrid = visible && gridCompliant(rasterWidth, rasterHeight, *visible);
    if (onGrid && side == 0)
        return image;

    const double canvas = side == 0 ? iconCanvas : side;
    const int pixels = static_cast<int>(canvas);
    QImage out(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return image;
    out.fill(Qt::transparent);
    // Already on the grid: the whole image is the canvas; otherwise it is fitted to the
    // content square.
    const IconRect place = onGrid ? IconRect{0, 0, canvas, canvas}
                                  : gridPlacement(points.width(), points.height(), canvas);
    const QRectF target(place.x, place.y, place.width, place.height);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    // At row size a source larger than the analysis raster is drawn from that raster: it
    // holds far more pixels than the row shows, and reading the whole source again
    // would cost more than everything else together.
    const QImage& artwork = side != 0 && source.width() > rasterWidth ? raster : source;
    if (side != 0 &&
        (artwork.width() > 2 * target.width() || artwork.height() > 2 * target.height())) {
        // Far smaller than the artwork: averaged down first, since drawing samples only a
        // few pixels per output pixel and would alias.
        const QSize reduced(std::max(1, int(std::ceil(target.width()))),
                            std::max(1, int(std::ceil(target.height()))));
        p.drawImage(target,
                    artwork.scaled(reduced, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    } else {
        p.drawImage(target, artwork);
    }
    if (!onGrid && rasterWidth == rasterHeight && isOpaqueTile(rasterWidth, rasterHeight, alpha)) {
        // Cut the corners away: the region between the tile's square and its squircle,
        // erased with anti-aliased coverage (a clip path would leave jagged edges).
        QPainterPath corners = squirclePath(target, squircleRadius(target.width()));
        corners.addRect(target);
        corners.setFillRule(Qt::OddEvenFill);
        p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        p.fillPath(corners, Qt::black);
    }
    p.end();
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
