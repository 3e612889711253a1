// The geometry of the common icon grid every row icon is redrawn onto: a 1024 canvas
// with an 824 content square, and the tests that decide how an image is redrawn.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>

namespace KestruneCore {

inline constexpr double iconCanvas = 1024;
inline constexpr double iconContent = 824;
// Corner radius of the tile mask as a fraction of the tile's side.
inline constexpr double squircleRatio = 0.2237;

// Width of the raster an image is analysed on.
inline constexpr int iconAnalysisWidth = 256;

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;
};

struct IconRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const IconRect&) const = default;
};

// Alpha (0…1) at integer pixel coordinates.
using AlphaAt = std::function<double(int x, int y)>;

// The smallest rectangle holding every visible sample (alpha above 0.5), sampling
// every s-th pixel on rasters larger than 256 (s = min side / 256); none when nothing
// is visible or the raster is empty.
std::optional<PixelRect> visibleBounds(int width, int height, const AlphaAt& alpha);

// The same with any callable for the alpha, so a drawing loop can read its raster
// directly (it is asked at most once per sample, only inside the raster). `mayShow(y)`
// may tell cheaply that row y holds nothing visible (false), sparing its samples.
template <class Alpha, class MayShow>
std::optional<PixelRect> visibleBoundsOf(int width, int height, const Alpha& alpha,
                                         const MayShow& mayShow) {
    if (height < 1 || width < 1)
        return std::nullopt;
    const int step = std::max(std::min(width, height) / iconAnalysisWidth, 1);
    // Searched from the outside in, each sample only where it could still widen the
    // bounds: the first and last rows holding anything are found whole, and the rows
    // between are searched from each end only up to the bounds found so far. A solid
    // artwork costs a few samples per row rather than the whole raster.
    const int lastX = (width - 1) / step * step;
    const int lastY = (height - 1) / step * step;
    const auto visibleAt = [&alpha](int x, int y) { return alpha(x, y) > 0.5; };
    int minX = width, minY = height, maxX = -1, maxY = -1;
    // Widens the bounds by row y's visible samples left of `left` and right of `right`;
    // whether it found any.
    const auto widen = [&](int y, int left, int right) {
        int first = 0;
        while (first < left && !visibleAt(first, y))
            first += step;
        const bool found = first < left;
        if (found)
            minX = std::min(minX, first);
        // Samples left of `first` are known to be clear; `first` itself, if found, not.
        for (int x = lastX; x > std::max(right, found ? first : first - step); x -= step)
            if (visibleAt(x, y)) {
                maxX = std::max(maxX, x);
                return true;
            }
        if (found)
            maxX = std::max(maxX, first);
        return found;
    };
    for (int y = 0; y <= lastY && minY == height; y += step)
        if (mayShow(y) && widen(y, width, -1))
            minY = maxY = y;
    if (minY == height)
        return std::nullopt;
    for (int y = lastY; y > minY && maxY == minY; y -= step)
        if (mayShow(y) && widen(y, width, -1))
            maxY = y;
    for (int y = minY + step; y < maxY; y += step)
        widen(y, minX, maxX);
    if (maxX < 0)
        return std::nullopt;
    const int right = std::min(maxX + step - 1, width - 1);
    const int bottom = std::min(maxY + step - 1, height - 1);
    return PixelRect{minX, minY, right - minX + 1, bottom - minY + 1};
}

template <class Alpha>
std::optional<PixelRect> visibleBoundsOf(int width, int height, const Alpha& alpha) {
    return visibleBoundsOf(width, height, alpha, [](int) { return true; });
}

// Whether a square raster's artwork already keeps the grid's margin of 100/1024 of the
// side on every side (less two percent of the side for tolerance).
bool gridCompliant(int width, int height, const PixelRect& visible);

// Where an image of that size is drawn on a canvas of side `canvas`: scaled to fit the
// content square, aspect kept, centred.
IconRect gridPlacement(double width, double height, double canvas = iconCanvas);

// Whether the four points just inside the corners (inset min side / 50) are opaque
// (alpha above 0.99): a full-bleed square tile that gets the squircle mask.
bool isOpaqueTile(int width, int height, const AlphaAt& alpha);

inline double squircleRadius(double side) {
    return side * squircleRatio;
}

} // namespace KestruneCore
