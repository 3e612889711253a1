#include "statusitem/StatusIcon.h"
#include "statusitem/IconRenderer.h"

#include <QColorSpace>

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
