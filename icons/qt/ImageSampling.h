// Fast reductions of a decoded image to a small size, sampled bilinearly at pixel
// centres as a smooth redraw would be: only the two source rows next to each output
// row are read, so a large source costs little more than a small one, and the common
// 32-bit formats are read as they are, with no converted copy of the whole image.
#pragma once

#include <QImage>
#include <QRectF>

#include <vector>

namespace KestruneCore {

// The image redrawn at `size`, premultiplied. Sampling only, so a reduction by much
// more than half aliases: reduce to about twice the size shown, and let the final
// draw average the rest.
QImage sampledImage(const QImage& image, QSize size);

// A `canvas` × `canvas` premultiplied image holding `image` averaged onto its pixels
// over `target`: each pixel is the area-weighted mean of the image's pixels under it, so
// edges off the pixel grid get their exact partial cover. Meant for reductions of up to
// a few times (after sampledImage); outside `target` the canvas is transparent.
QImage averagedOnto(const QImage& image, const QRectF& target, int canvas);

// The alpha (0…255) of the image as if redrawn at `size`, sampled as sampledImage
// samples, one pixel at a time: the shape of a large image can then be judged from the
// few pixels the judgement needs rather than from a whole reduced copy.
class SampledAlpha {
public:
    SampledAlpha(const QImage& image, QSize size);

    // Whether the image could be read.
    bool valid() const { return !source_.isNull(); }

    int operator()(int x, int y) const {
        if (opaque_)
            return 255;
        if (sameSize_)
            return alphaAt(bits_ + y * stride_, x);
        const Tap& across = columns_[std::size_t(x)];
        const Tap& down = rows_[std::size_t(y)];
        const uchar* upper = bits_ + down.first * stride_;
        const uchar* lower = bits_ + down.second * stride_;
        const auto mix = [](int a, int b, unsigned w) {
            return (a * int(256 - w) + b * int(w)) >> 8;
        };
        return mix(mix(alphaAt(upper, across.first), alphaAt(upper, across.second), across.weight),
                   mix(alphaAt(lower, across.first), alphaAt(lower, across.second), across.weight),
                   down.weight);
    }

    // False when row y is sure to be below half alpha throughout: no pixel of the two
    // source rows it is sampled from reaches half.
    bool mayShow(int y) const;

    // One bilinear tap along an axis: the two neighbouring source pixels and the weight
    // (of 256) of the second.
    struct Tap {
        int first, second;
        unsigned weight;
    };

private:
    static int alphaAt(const uchar* line, int x) {
        return qAlpha(reinterpret_cast<const QRgb*>(line)[x]);
    }

    QImage source_;
    const uchar* bits_ = nullptr;
    qsizetype stride_ = 0;
    bool opaque_ = false;
    bool sameSize_ = false; // sampled at its own size: each pixel as it is
    std::vector<Tap> columns_, rows_;
};

} // namespace KestruneCore
