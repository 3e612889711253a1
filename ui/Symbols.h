// Our own SVG glyphs (resources/symbols/), looked up by symbol name: "dog.fill",
// "terminal", "arrow.clockwise", ... They stand for the system symbols the windows
// and the tray show, so everything looks the same with or without an icon theme.
#pragma once

#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>

class QSvgRenderer;

namespace Kestrune {

// The glyph's renderer, or null when there is no glyph of that name. Kept for the
// life of the process.
QSvgRenderer* symbolRenderer(const QString& name);

// The glyph drawn into `pixelSize` (aspect kept, centred) as a template image: its
// shape in black with alpha, marked so that `isTemplateImage` knows it. A null image
// when there is no glyph of that name.
QImage symbolImage(const QString& name, QSize pixelSize);

// Whether an image is a template (a glyph meant to be tinted), not a picture.
bool isTemplateImage(const QImage& image);

// A template image's shape filled with one colour, alpha and template mark kept.
QImage tintedTemplate(const QImage& image, const QColor& colour);

} // namespace Kestrune
