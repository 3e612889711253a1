#include "statusitem/StatusIcon.h"
#include "statusitem/IconRenderer.h"

#include <QColorSpace>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

using namespace Kestrune;

namespace {

// The pixel at a point given in points (the pictures are 2x).
QColor at(const QImage& image, qreal x, qreal y) {
    return image.pixelColor(int(x * 2), int(y * 2));
}

bool opaque(const QColor& c) {
    return c.alpha() == 255;
}

} // namespace

TEST(StatusIcon, SizesAndBadgeWidth) {
    auto healthy = statusIcon(IconState::healthy, Appearance::dark, false);
    auto orange = statusIcon(IconState::orange, Appearance::dark, false);
    auto red = statusIcon(IconState::red, Appearance::dark, true);
    auto off = statusIcon(IconState::off, Appearance::dark, false);
    ASSERT_TRUE(healthy && orange && red && off);
    EXPECT_EQ(healthy->image.size(), QSize(32, 30)); // 16 x 15 points at 2x
    EXPECT_EQ(healthy->image.devicePixelRatio(), 2.0);
    EXPECT_EQ(healthy->image.colorSpace(), QColorSpace(QColorSpace::SRgb));
    EXPECT_EQ(orange->image.size(), QSize(42, 30)); // 5 points wider
    EXPECT_EQ(red->image.size(), QSize(42, 30));
    EXPECT_EQ(off->image.size(), QSize(32, 30));
    // The highlight does not change the picture.
    EXPECT_EQ(red->image, statusIcon(IconState::red, Appearance::dark, false)->image);
}

TEST(StatusIcon, TemplateAndDisabledOnlyWhenOff) {
    for (auto s : {IconState::healthy, IconState::orange, IconState::red}) {
        EXPECT_FALSE(statusIcon(s, Appearance::light, false)->isTemplate);
        EXPECT_FALSE(iconAppearsDisabled(s));
        EXPECT_EQ(iconAlpha(s), 1.0);
    }
    auto off = statusIcon(IconState::off, Appearance::light, false);
    EXPECT_TRUE(off->isTemplate);
    EXPECT_TRUE(iconAppearsDisabled(IconState::off));

    // A template takes the text colour of the panel, and a disabled look halves it.
    QImage onDark = shownImage(*off, Appearance::dark, true);
    QImage onLight = shownImage(*off, Appearance::light, false);
    QColor pad = at(onDark, 8, 11);
    EXPECT_EQ(pad.red(), 255);
    EXPECT_NEAR(pad.alpha(), 128, 2);
    EXPECT_EQ(at(onLight, 8, 11), QColor(0, 0, 0));
}

TEST(StatusIcon, TintsByStateAndAppearance) {
    // The middle of the paw's pad is solid glyph in every state.
    EXPECT_EQ(at(statusIcon(IconState::healthy, Appearance::dark, false)->image, 8, 11),
              QColor(255, 255, 255));
    // On a light panel the healthy glyph is near-black, not white.
    QColor lightHealthy =
        at(statusIcon(IconState::healthy, Appearance::light, false)->image, 8, 11);
    EXPECT_LT(lightHealthy.lightness(), 40);
    EXPECT_TRUE(opaque(lightHealthy));
    EXPECT_EQ(at(statusIcon(IconState::orange, Appearance::dark, false)->image, 8, 11),
              tintColor(IconState::orange, Appearance::dark));
    EXPECT_EQ(at(statusIcon(IconState::red, Appearance::light, false)->image, 8, 11),
              tintColor(IconState::red, Appearance::light));
    EXPECT_EQ(tintColor(IconState::orange, Appearance::light), QColor(0xff, 0x95, 0x00));
    EXPECT_FALSE(tintColor(IconState::off, Appearance::dark).isValid());
}

TEST(StatusIcon, BadgeSitsBottomRightBehindATransparentRing) {
    auto healthy = statusIcon(IconState::healthy, Appearance::dark, false)->image;
    auto orange = statusIcon(IconState::orange, Appearance::dark, false)->image;
    QColor tint = tintColor(IconState::orange, Appearance::dark);
    // The pad's right edge lies inside the ring: solid when healthy, erased in orange.
    EXPECT_TRUE(opaque(at(healthy, 11.6, 12)));
    EXPECT_EQ(at(orange, 11.6, 12).alpha(), 0);
    // The badge's solid lower-left area, in the glyph's colour.
    EXPECT_EQ(at(orange, 21 - 9 + 2.5, 15 - 1), tint);
    // Nothing above the badge on the widened strip.
    EXPECT_EQ(at(orange, 19.5, 2).alpha(), 0);
}

TEST(StatusIcon, SrgbImageHandsPointsToTheDrawing) {
    QRectF seen;
    QImage image = srgbImage(QSizeF(10.7, 3), [&](QPainter& p, const QRectF& r) {
        seen = r;
        p.fillRect(QRectF(0, 0, 1, 1), Qt::red);
    });
    EXPECT_EQ(seen, QRectF(0, 0, 10.7, 3));
    EXPECT_EQ(image.size(), QSize(21, 6)); // truncated
    EXPECT_EQ(image.pixelColor(1, 1), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(2, 2).alpha(), 0);
}

TEST(IconRenderer, DrawsOnChangesAndOnEveryHighlightOrAppearance) {
    IconRenderer r;
    std::vector<std::optional<StatusPicture>> drawn;
    r.setOnDraw([&](const std::optional<StatusPicture>& p) { drawn.push_back(p); });
    EXPECT_EQ(r.lastAppearance(), Appearance::dark);
    r.setState(IconState::healthy); // unchanged: no drawing
    EXPECT_TRUE(drawn.empty());
    r.setHighlighted(true);
    r.setHighlighted(true);
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(drawn[0]->image, drawn[1]->image);
    r.assignHighlighted(false); // stores only
    EXPECT_EQ(drawn.size(), 2u);
    r.setState(IconState::orange);
    ASSERT_EQ(drawn.size(), 3u);
    EXPECT_EQ(drawn[2]->image.width(), 42);
    r.appearanceDidChange(Appearance::light);
    ASSERT_EQ(drawn.size(), 4u);
    EXPECT_EQ(at(drawn[3]->image, 8, 11), tintColor(IconState::orange, Appearance::light));
}

namespace {

double luminance(const QColor& c) {
    auto ch = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The picture laid over a panel of one colour.
QImage onPanel(const QImage& picture, const QColor& panel) {
    QImage out(picture.size(), QImage::Format_RGB32);
    out.fill(panel);
    QPainter p(&out);
    p.drawImage(0, 0, picture);
    return out;
}

// 4-connected pieces of the glyphs' light fill (not their dark outline) and their sizes.
std::vector<int> pieceSizes(const QImage& image) {
    auto fill = [&](QPoint p) {
        QColor c = image.pixelColor(p); // over black, as the outline is: fill at least half
        return c.red() * c.alpha() >= 128 * 255;
    };
    int w = image.width(), h = image.height();
    std::vector<int> seen(std::size_t(w) * h, 0), sizes;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (seen[std::size_t(y) * w + x] || !fill({x, y}))
                continue;
            int n = 0;
            std::vector<QPoint> stack{{x, y}};
            seen[std::size_t(y) * w + x] = 1;
            while (!stack.empty()) {
                QPoint q = stack.back();
                stack.pop_back();
                ++n;
                for (QPoint d : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)}) {
                    QPoint r = q + d;
                    if (r.x() < 0 || r.y() < 0 || r.x() >= w || r.y() >= h ||
                        seen[std::size_t(r.y()) * w + r.x()] || !fill(r))
                        continue;
                    seen[std::size_t(r.y()) * w + r.x()] = 1;
                    stack.push_back(r);
                }
            }
            sizes.push_back(n);
        }
    return sizes;
}

// Rows spanned by what is drawn in the columns [from, to), faint edges aside (relative
// to the picture's opacity, so a faded picture measures the same).
std::pair<int, int> rowsIn(const QImage& image, int from, int to) {
    int top = image.height(), bottom = -1, most = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            most = std::max(most, qAlpha(image.pixel(x, y)));
    for (int y = 0; y < image.height(); ++y)
        for (int x = from; x < to; ++x)
            if (qAlpha(image.pixel(x, y)) * 4 >= most) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    return {top, bottom};
}

} // namespace

TEST(TrayImage, PawKeepsSizeAndPlaceAndTheRingLeavesNoFragments) {
    for (int size : traySizes) {
        QImage healthy = trayImage(IconState::healthy, Appearance::dark, size);
        ASSERT_EQ(healthy.size(), QSize(size, size));
        int left = size / 3; // the left toe and pad, away from the badge
        for (auto state : {IconState::orange, IconState::red, IconState::off}) {
            QImage other = trayImage(state, Appearance::dark, size);
            EXPECT_EQ(rowsIn(other, 0, left), rowsIn(healthy, 0, left)) << size;
            EXPECT_EQ(rowsIn(other, 0, 1), rowsIn(healthy, 0, 1)) << size;
        }
        // Healthy: four toes and a pad. Badged: what is left of them and the badge,
        // each piece no smaller than a third of the smallest toe.
        auto whole = pieceSizes(trayImage(IconState::healthy, Appearance::dark, size));
        auto cut = pieceSizes(trayImage(IconState::orange, Appearance::dark, size));
        if (size >= 22) {
            EXPECT_EQ(whole.size(), 5u) << size;
        }
        EXPECT_LE(cut.size(), whole.size() + 1) << size;
        int smallest = *std::min_element(whole.begin(), whole.end());
        for (int n : cut)
            EXPECT_GE(n * 3, smallest) << size;
    }
    EXPECT_EQ(trayIcon(IconState::red, Appearance::light).availableSizes().size(),
              int(std::size(traySizes)));
}

TEST(TrayImage, ReadableOnLightAndDarkPanelsWhateverTheGuess) {
    // Panels: ours, the stock dark ones (Xfce, LXQt without a compositor), and white.
    const std::vector<QColor> darkPanels{QColor(0x1f, 0x1f, 0x1f), QColor(0x35, 0x35, 0x35),
                                         QColor(0, 0, 0)};
    const std::vector<QColor> lightPanels{QColor(0xdc, 0xda, 0xd5), QColor(255, 255, 255)};
    for (auto guess : {Appearance::dark, Appearance::light})
        for (const auto* panels : {&darkPanels, &lightPanels})
            for (const QColor& panel : *panels) {
                QImage healthy = onPanel(trayImage(IconState::healthy, guess, 22), panel);
                QImage off = onPanel(trayImage(IconState::off, guess, 22), panel);
                QColor healthyPad = healthy.pixelColor(7, 14), offPad = off.pixelColor(7, 14);
                double best = 0;
                for (int y = 0; y < 22; ++y)
                    for (int x = 0; x < 22; ++x)
                        best = std::max(best, contrast(healthy.pixelColor(x, y), panel));
                bool rightGuess = (guess == Appearance::dark) == (panels == &darkPanels);
                SCOPED_TRACE(testing::Message()
                             << "guess " << int(guess) << " panel " << panel.name().toStdString());
                // Right guess: the healthy glyph itself stands out; wrong: its outline.
                if (rightGuess) {
                    EXPECT_GE(contrast(healthyPad, panel), 3.0);
                }
                EXPECT_GE(best, 4.5);
                // Off is told from the panel and from healthy by its body, not its edge.
                EXPECT_GE(contrast(offPad, panel), 1.5);
                EXPECT_GE(contrast(offPad, healthyPad), 1.5);
            }
    // waybar's stock tray is a mid-tone blue, taken for dark: no colour reaches 4.5:1
    // on it but black, so the bodies are held to the lower marks.
    const QColor blue(0x29, 0x80, 0xb9);
    QColor healthyPad =
        onPanel(trayImage(IconState::healthy, Appearance::dark, 22), blue).pixelColor(7, 14);
    QColor offPad =
        onPanel(trayImage(IconState::off, Appearance::dark, 22), blue).pixelColor(7, 14);
    EXPECT_GE(contrast(healthyPad, blue), 3.0);
    EXPECT_GE(contrast(offPad, blue), 1.5);
    EXPECT_GE(contrast(offPad, healthyPad), 1.5);
}
