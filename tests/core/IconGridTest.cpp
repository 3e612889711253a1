#include "icons/IconGrid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

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

TEST(IconGrid, VisibleBoundsFindShapesWidestAwayFromTheirEnds) {
    // The search skips samples that cannot widen the bounds; every shape here is widest
    // somewhere other than its first and last rows, checked against a plain full scan.
    const auto fullScan = [](int w, int h, const AlphaAt& alpha) -> std::optional<PixelRect> {
        const int step = std::max(std::min(w, h) / 256, 1);
        int x0 = w, y0 = h, x1 = -1, y1 = -1;
        for (int y = 0; y < h; y += step)
            for (int x = 0; x < w; x += step)
                if (alpha(x, y) > 0.5)
                    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = y;
        if (x1 < 0)
            return std::nullopt;
        return PixelRect{x0, y0, std::min(x1 + step - 1, w - 1) - x0 + 1,
                         std::min(y1 + step - 1, h - 1) - y0 + 1};
    };
    const struct {
        const char* what;
        AlphaAt alpha;
    } shapes[] = {
        {"diamond",
         [](int x, int y) { return std::abs(x - 300) + std::abs(y - 280) < 200 ? 1.0 : 0.0; }},
        {"two blobs",
         [](int x, int y) {
             return (x > 400 && y > 20 && y < 60) || (x < 30 && y > 200 && y < 210) ? 1.0 : 0.0;
         }},
        {"ring",
         [](int x, int y) {
             const int d = (x - 250) * (x - 250) + (y - 260) * (y - 260);
             return d < 150 * 150 && d > 100 * 100 ? 1.0 : 0.0;
         }},
        {"one far pixel", [](int x, int y) { return x == 511 && y == 300 ? 1.0 : 0.0; }},
        {"single row", [](int x, int y) { return y == 9 && x > 40 && x < 90 ? 1.0 : 0.0; }},
    };
    for (const auto& shape : shapes)
        for (const auto& [w, h] :
             {std::pair{512, 512}, std::pair{512, 333}, std::pair{1024, 1024}}) {
            SCOPED_TRACE(std::string(shape.what) + " on " + std::to_string(w) + "×" +
                         std::to_string(h));
            EXPECT_EQ(visibleBounds(w, h, shape.alpha), fullScan(w, h, shape.alpha));
        }
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
