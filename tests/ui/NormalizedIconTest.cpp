#include "icons/qt/NormalizedIcon.h"
#include "ui/Symbols.h"

#include <QPainter>

#include <gtest/gtest.h>

using KestruneCore::normalizedIcon;

namespace {

QImage filled(int w, int h, QColor colour) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

int alphaAt(const QImage& image, int x, int y) {
    return qAlpha(image.pixel(x, y));
}

// Checks (x, y, expected alpha band) on a 1024 result: "clear" below 128, "solid" 255.
struct Probe {
    int x, y;
    bool solid;
};

void expectProbes(const QImage& out, const std::vector<Probe>& probes, const char* what) {
    ASSERT_EQ(out.size(), QSize(1024, 1024)) << what;
    for (const auto& p : probes) {
        const int a = alphaAt(out, p.x, p.y);
        if (p.solid)
            EXPECT_EQ(a, 255) << what << " at " << p.x << "," << p.y;
        else
            EXPECT_LT(a, 128) << what << " at " << p.x << "," << p.y;
    }
}

} // namespace

TEST(NormalizedIcon, FinishedIconsAndGlyphsPassThrough) {
    // Artwork inset 100/1024 on every side, as a finished app icon is.
    QImage finished(512, 512, QImage::Format_ARGB32);
    finished.fill(Qt::transparent);
    QPainter(&finished).fillRect(QRect(50, 50, 412, 412), Qt::blue);
    EXPECT_EQ(normalizedIcon(finished).cacheKey(), finished.cacheKey());

    QImage glyph = Kestrune::symbolImage("terminal", {64, 64});
    ASSERT_FALSE(glyph.isNull());
    EXPECT_EQ(normalizedIcon(glyph).cacheKey(), glyph.cacheKey());
    EXPECT_TRUE(normalizedIcon(QImage()).isNull());
}

TEST(NormalizedIcon, OpaqueSquareBecomesASquircleTile) {
    const QImage out = normalizedIcon(filled(300, 300, Qt::red));
    // 824 tile at 100…924; a circular corner of radius 184.3 reaches 54 px in along the
    // diagonal, and the continuous corner also bends the edge before the arc would.
    expectProbes(out,
                 {{512, 512, true},
                  {100, 512, true},
                  {923, 512, true},
                  {512, 923, true},
                  {99, 512, false},
                  {512, 924, false},
                  {100, 100, false},
                  {923, 923, false},
                  {145, 145, false},
                  {163, 163, true},
                  {880, 880, false},
                  {860, 860, true},
                  {284, 100, false},
                  {512, 100, true},
                  {100, 740, false}},
                 "tile");
    EXPECT_EQ(QColor(out.pixel(512, 512)), QColor(Qt::red));
    int partial = 0; // anti-aliased edge
    for (int y = 100; y < 200; ++y)
        for (int x = 100; x < 200; ++x)
            partial += alphaAt(out, x, y) > 0 && alphaAt(out, x, y) < 255;
    EXPECT_GT(partial, 50);
}

TEST(NormalizedIcon, OtherShapesAreScaledAndCentredWithoutMask) {
    // A square logo with one transparent corner is no tile: its other corners stay square.
    QImage notched = filled(400, 400, Qt::green);
    {
        QPainter p(&notched);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.fillRect(QRect(0, 0, 20, 20), Qt::transparent);
    }
    expectProbes(normalizedIcon(notched),
                 {{923, 100, true}, {100, 923, true}, {923, 923, true}, {101, 101, false}},
                 "notched");

    // A 2:1 word mark: 824 × 412 at y 306.
    expectProbes(normalizedIcon(filled(600, 300, Qt::black)),
                 {{100, 306, true},
                  {923, 717, true},
                  {99, 512, false},
                  {924, 512, false},
                  {512, 305, false},
                  {512, 718, false}},
                 "word mark");

    // Transparent stays transparent.
    const QImage clear = normalizedIcon(filled(200, 200, Qt::transparent));
    ASSERT_EQ(clear.size(), QSize(1024, 1024));
    bool anyVisible = false;
    for (int y = 0; y < 1024 && !anyVisible; y += 7)
        for (int x = 0; x < 1024 && !anyVisible; x += 7)
            anyVisible = alphaAt(clear, x, y) != 0;
    EXPECT_FALSE(anyVisible);
}

TEST(NormalizedIcon, AtRowSizeMatchesTheCanvasScaledDown) {
    QImage finished(512, 512, QImage::Format_ARGB32);
    finished.fill(Qt::transparent);
    QPainter(&finished).fillRect(QRect(50, 50, 412, 412), Qt::blue);
    QImage badge(300, 300, QImage::Format_ARGB32);
    badge.fill(Qt::transparent);
    {
        QPainter p(&badge);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(Qt::darkGreen);
        p.drawEllipse(QRectF(0, 0, 300, 300));
    }
    QImage striped = filled(1024, 1024, Qt::yellow); // a large logo, averaged down first
    {
        QPainter p(&striped);
        for (int x = 0; x < 1024; x += 512)
            p.fillRect(x, 0, 256, 1024, Qt::darkMagenta);
    }
    const struct {
        const char* what;
        QImage image;
    } cases[] = {{"finished icon", finished},
                 {"opaque tile", filled(300, 300, Qt::red)},
                 {"large striped tile", striped},
                 {"round badge", badge},
                 {"word mark", filled(600, 300, Qt::black)},
                 {"tall mark", filled(100, 400, Qt::black)},
                 {"transparent", filled(200, 200, Qt::transparent)}};
    for (const auto& c : cases)
        for (int side : {32, 64}) {
            SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(side));
            const QImage small =
                normalizedIcon(c.image, side).convertToFormat(QImage::Format_ARGB32_Premultiplied);
            const QImage reference =
                normalizedIcon(c.image)
                    .scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            ASSERT_EQ(small.size(), QSize(side, side));
            // Edges may differ by a fraction of a pixel's coverage, nothing more: an edge
            // one pixel off, or a corner of another curve, differs by far more.
            int worst = 0;
            long total = 0;
            for (int y = 0; y < side; ++y)
                for (int x = 0; x < side; ++x) {
                    const QRgb a = small.pixel(x, y), b = reference.pixel(x, y);
                    const int diff =
                        std::max({std::abs(qAlpha(a) - qAlpha(b)), std::abs(qRed(a) - qRed(b)),
                                  std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
                    worst = std::max(worst, diff);
                    total += diff;
                }
            EXPECT_LE(worst, 110);
            EXPECT_LE(double(total) / (side * side), 6.0);
        }
    const QImage glyph = Kestrune::symbolImage("terminal", {64, 64});
    EXPECT_EQ(normalizedIcon(glyph, 32).cacheKey(), glyph.cacheKey());
}
