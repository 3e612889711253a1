// Keeps a dialog without a parent window floating on tiling compositors. On X11 its
// dialog window type does that. Under Wayland xdg-shell carries no window type, and
// sway and its kind float a parentless window only when its size hints fix a side
// (minimum and maximum width equal), so there the width is fixed.
#pragma once

#include <QGuiApplication>
#include <QString>
#include <QWidget>

namespace Kestrune {

// Fixes `window`'s width at `width` when the platform is Wayland; else leaves it.
void keepFloating(QWidget* window, int width,
                  const QString& platform = QGuiApplication::platformName());

} // namespace Kestrune
