// Every row icon redrawn onto one square canvas, so icons of all shapes line up.
#pragma once

#include <QImage>
#include <QPainterPath>
#include <QRectF>

namespace KestruneCore {

// The same image when it already follows the icon grid or is a template glyph;
// otherwise a new 1024 × 1024 image: the artwork scaled to fit the central 824 square,
// and a full-bleed opaque square tile cut to the squircle.
QImage normalizedIcon(const QImage& image);

// The same redraw made directly at the size it is shown, `side` × `side` pixels (a
// row's size times the screen's pixel ratio): the same grid, squircle and word-mark
// rules, scaled, without a 1024 canvas in between. An image already on the grid is
// scaled to the side; a template glyph (and a side of 0 or less) is given back as it is.
QImage normalizedIcon(const QImage& image, int side);

// A rounded square with continuous-curvature corners of nominal radius `radius`: each
// corner is a superellipse quadrant that leaves the straight edges with no jump in
// curvature, reaching as deep into the corner as a circular arc of that radius would.
QPainterPath squirclePath(const QRectF& rect, double radius);

} // namespace KestruneCore
