#include "icons/IconGrid.h"

#include <gtest/gtest.h>

using namespace KestruneCore;

namespace {

// Alpha 1 inside [x0, x1] × [y0, y1], else 0.
AlphaAt block(int x0, int y0, int x1, int y1) {
    return [=](int x, int y) { return x >= x0 && x <= x1 && y >= y0 && y <= y1 ? 1.0 : 0.0; };
}

} // namespace

TEST(IconGrid, VisibleBoundsSampleLargeRastersInSteps) {
    EXPECT_EQ(visibleBounds(256, 256, block(30, 40, 200, 100)), (PixelRect{30, 40, 171, 61}));
    // 1024 wide: every 4th pixel, the far edges widened by the step, capped at the raster.
    EXPECT_EQ(visibleBounds(1024, 1024, block(100, 101, 923, 1023)),
              (PixelRect{100, 104, 824, 920}));
    EXPECT_EQ(visibleBounds(256, 256, [](int, int) { return 0.5; }), std::nullopt);
    EXPECT_EQ(visibleBounds(256, 0, block(0, 0, 9, 9)), std::nullopt);
}

TEST(IconGrid, GridMarginPlacementAndTiles) {
    // Side 256: margin 25 less 2 % of the side = 19.88.
    EXPECT_TRUE(gridCompliant(256, 256, {20, 20, 216, 216}));
    EXPECT_FALSE(gridCompliant(256, 256, {19, 20, 217, 216}));
    EXPECT_FALSE(gridCompliant(256, 256, {20, 20, 217, 216}));
    EXPECT_FALSE(gridCompliant(256, 200, {40, 40, 100, 100}));

    EXPECT_EQ(gridPlacement(600, 300), (IconRect{100, 306, 824, 412}));
    EXPECT_EQ(gridPlacement(10, 40, 512), (IconRect{204.5, 50, 103, 412}));
    EXPECT_NEAR(squircleRadius(824), 184.3, 0.05);

    EXPECT_TRUE(isOpaqueTile(256, 256, block(5, 5, 250, 250)));
    EXPECT_FALSE(isOpaqueTile(256, 256, block(5, 5, 250, 249)));
    EXPECT_FALSE(isOpaqueTile(256, 256, [](int, int) { return 0.99; }));
}
