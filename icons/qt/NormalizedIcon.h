// Every row icon redrawn onto one square canvas, so icons of all shapes line up.
#pragma once

#include <QImage>

namespace KestruneCore {

// The same image when it already follows the icon grid or is a template glyph;
// otherwise a new 1024 × 1024 image.
QImage normalizedIcon(const QImage& image);

} // namespace KestruneCore
