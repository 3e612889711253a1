#include "icons/qt/ImageSampling.h"

#include <algorithm>
#include <cstring>

namespace KestruneCore {

namespace {

using Tap = SampledAlpha::Tap;

// The bilinear taps of the pixel centres of `to` pixels mapped onto `from`.
std::vector<Tap> taps(int from, int to) {
    std::vector<Tap> out(to);
    const double scale = double(from) / to;
    for (int i = 0; i < to; ++i) {
        const double at = std::clamp((i + 0.5) * scale - 0.5, 0.0, double(from - 1));
        const int first = int(at);
        out[i] = {first, std::min(first + 1, from - 1), unsigned((at - first) * 256)};
    }
    return out;
}

// a·(256 − w) + b·w, over 256, per 8-bit channel of two premultiplied pixels.
inline QRgb mixPixels(QRgb a, QRgb b, unsigned w) {
    const unsigned v = 256 - w;
    const unsigned rb = (((a & 0xff00ff) * v + (b & 0xff00ff) * w) >> 8) & 0xff00ff;
    const unsigned ag = (((a >> 8) & 0xff00ff) * v + ((b >> 8) & 0xff00ff) * w) & 0xff00ff00;
    return rb | ag;
}

// The source as one of the 32-bit formats read directly.
QImage readable(const QImage& image) {
    switch (image.format()) {
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_ARGB32:
    case QImage::Format_RGB32:
        return image;
    default:
        return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
}

// Fills `out` (rows of `stride` pixels) with the source sampled at `size`, each source
// pixel premultiplied by `read` (a function object, so that the loop has it inlined).
template <class Read>
void sample(const QImage& source, QSize size, QRgb* out, qsizetype stride, Read read) {
    const std::vector<Tap> columns = taps(source.width(), size.width());
    const std::vector<Tap> rows = taps(source.height(), size.height());
    const Tap* __restrict across = columns.data();
    const int width = size.width();
    for (int y = 0; y < size.height(); ++y, out += stride) {
        const Tap down = rows[y];
        const QRgb* __restrict upper =
            reinterpret_cast<const QRgb*>(source.constScanLine(down.first));
        const QRgb* __restrict lower =
            reinterpret_cast<const QRgb*>(source.constScanLine(down.second));
        QRgb* __restrict to = out;
        for (int x = 0; x < width; ++x) {
            const Tap t = across[x];
            to[x] = mixPixels(mixPixels(read(upper[t.first]), read(upper[t.second]), t.weight),
                              mixPixels(read(lower[t.first]), read(lower[t.second]), t.weight),
                              down.weight);
        }
    }
}

// How much of each source pixel (along one axis) falls into each output pixel, for
// `from` source pixels laid over [start, start + length) of `to` output pixels.
struct Footprint {
    int first = 0;              // first source pixel under this output pixel
    std::vector<float> weights; // of source pixels first, first + 1, …
};

std::vector<Footprint> footprints(int from, double start, double length, int to) {
    std::vector<Footprint> out(to);
    const double perOutput = from / length; // source pixels per output pixel
    for (int i = 0; i < to; ++i) {
        const double begin = std::max(0.0, (i - start) * perOutput);
        const double end = std::min(double(from), (i + 1 - start) * perOutput);
        if (end <= begin)
            continue;
        Footprint& f = out[i];
        f.first = int(begin);
        for (int s = f.first; s < end; ++s)
            f.weights.push_back(
                float((std::min(end, s + 1.0) - std::max(begin, double(s))) / perOutput));
    }
    return out;
}

} // namespace

QImage averagedOnto(const QImage& image, const QRectF& target, int canvas) {
    QImage out(canvas, canvas, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull() || image.isNull())
        return out;
    out.fill(Qt::transparent);
    const QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const std::vector<Footprint> columns =
        footprints(source.width(), target.x(), target.width(), canvas);
    const std::vector<Footprint> rows =
        footprints(source.height(), target.y(), target.height(), canvas);
    // Only the columns under the target hold anything.
    int left = 0, right = canvas;
    while (left < right && columns[left].weights.empty())
        ++left;
    while (right > left && columns[right - 1].weights.empty())
        --right;
    // Across first, into rows of float channels (b, g, r, a), then down.
    const int height = source.height();
    std::vector<float> across(std::size_t(height) * canvas * 4, 0.0f);
    for (int y = 0; y < height; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        float* to = &across[std::size_t(y) * canvas * 4];
        for (int x = left; x < right; ++x) {
            const Footprint& f = columns[x];
            float b = 0, g = 0, r = 0, a = 0;
            for (std::size_t k = 0; k < f.weights.size(); ++k) {
                const QRgb p = line[f.first + int(k)];
                const float w = f.weights[k];
                b += w * qBlue(p), g += w * qGreen(p), r += w * qRed(p), a += w * qAlpha(p);
            }
            to[4 * x] = b, to[4 * x + 1] = g, to[4 * x + 2] = r, to[4 * x + 3] = a;
        }
    }
    for (int y = 0; y < canvas; ++y) {
        const Footprint& f = rows[y];
        if (f.weights.empty())
            continue;
        QRgb* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = left; x < right; ++x) {
            float c[4] = {0, 0, 0, 0};
            for (std::size_t k = 0; k < f.weights.size(); ++k) {
                const float* from = &across[(std::size_t(f.first + int(k)) * canvas + x) * 4];
                for (int i = 0; i < 4; ++i)
                    c[i] += f.weights[k] * from[i];
            }
            const auto channel = [](float v) { return int(std::clamp(v + 0.5f, 0.0f, 255.0f)); };
            const int alpha = channel(c[3]);
            line[x] = qRgba(std::min(channel(c[2]), alpha), std::min(channel(c[1]), alpha),
                            std::min(channel(c[0]), alpha), alpha);
        }
    }
    return out;
}

QImage sampledImage(const QImage& image, QSize size) {
    if (image.isNull() || size.isEmpty())
        return {};
    const QImage source = readable(image);
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return out;
    auto* bits = reinterpret_cast<QRgb*>(out.bits());
    const qsizetype stride = out.bytesPerLine() / qsizetype(sizeof(QRgb));
    if (source.format() == QImage::Format_ARGB32)
        sample(source, size, bits, stride, [](QRgb p) { return qPremultiply(p); });
    else
        sample(source, size, bits, stride, [](QRgb p) { return p; });
    return out;
}

SampledAlpha::SampledAlpha(const QImage& image, QSize size) {
    if (image.isNull() || size.isEmpty())
        return;
    source_ = readable(image);
    opaque_ = source_.format() == QImage::Format_RGB32; // no alpha channel
    sameSize_ = source_.size() == size;
    bits_ = source_.constBits();
    stride_ = source_.bytesPerLine();
    columns_ = taps(source_.width(), size.width());
    rows_ = taps(source_.height(), size.height());
}

bool SampledAlpha::mayShow(int y) const {
    if (opaque_)
        return true;
    const Tap& down = rows_[std::size_t(y)];
    // Alpha is the top byte of each pixel, so an alpha of 128 or more is its top bit.
    // Read eight bytes (two pixels) at a time.
    quint64 any = 0;
    const int width = source_.width();
    for (int row : {down.first, down.second}) {
        const uchar* line = bits_ + row * stride_;
        int x = 0;
        for (; x + 2 <= width; x += 2) {
            quint64 two;
            std::memcpy(&two, line + 4 * x, sizeof two);
            any |= two;
        }
        if (x < width)
            any |= reinterpret_cast<const QRgb*>(line)[x];
    }
    return (any & 0x8000000080000000ull) != 0;
}

} // namespace KestruneCore
