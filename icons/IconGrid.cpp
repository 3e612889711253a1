#include "icons/IconGrid.h"

#include <algorithm>

namespace KestruneCore {

std::optional<PixelRect> visibleBounds(int width, int height, const AlphaAt& alpha) {
    return visibleBoundsOf(width, height, alpha);
}

bool gridCompliant(int width, int height, const PixelRect& visible) {
    if (width <= 0 || width != height)
        return false;
    const double side = width;
    const double margin = side * 100 / 1024 - side * 0.02;
    return visible.x >= margin && visible.y >= margin &&
           side - (visible.x + visible.width) >= margin &&
           side - (visible.y + visible.height) >= margin;
}

IconRect gridPlacement(double width, double height, double canvas) {
    const double content = canvas * iconContent / iconCanvas;
    const double longest = std::max(width, height);
    const double f = longest > 0 ? content / longest : 0;
    return {(canvas - width * f) / 2, (canvas - height * f) / 2, width * f, height * f};
}

bool isOpaqueTile(int width, int height, const AlphaAt& alpha) {
    if (width <= 0 || height <= 0)
        return false;
    const int e = std::min(width, height) / 50;
    const int far = width - e - 1, low = height - e - 1;
    return alpha(e, e) > 0.99 && alpha(far, e) > 0.99 && alpha(e, low) > 0.99 &&
           alpha(far, low) > 0.99;
}

} // namespace KestruneCore
