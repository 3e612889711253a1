// The status icon's picture: the paw glyph tinted by state, with a warning badge
// knocked out of its bottom-right corner in the orange and red states.
#pragma once

#include "health/StatusSummary.h"

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>

namespace Kestrune {

using KestruneCore::IconState;

// The look of the panel the icon sits on.
enum class Appearance { dark, light };

// Dark when the palette's window colour is darker than middle grey.
Appearance appearanceOf(const QPalette& palette);

// A drawn picture. A template picture carries only a shape; whoever shows it colours
// it for the panel (see templateTinted).
struct StatusPicture {
    QImage image;
    bool isTemplate = false;
};

// A glyph from resources/symbols at a point size: its height in points is the point
// size, its width follows the glyph's proportions. None when the glyph is missing.
struct Symbol {
    QString name;
    QSizeF size; // points
    void draw(QPainter& painter, const QRectF& rect) const;
};
std::optional<Symbol> loadSymbol(const QString& name, qreal pointSize);

// A 2x bitmap (device pixel ratio 2) of `size` points, tagged sRGB, transparent,
// handed to `draw` with a painter in points and the rectangle at (0, 0) of `size`.
QImage srgbImage(QSizeF size, const std::function<void(QPainter&, const QRectF&)>& draw);

// The tint of a state on an appearance; invalid for off (a template picture).
QColor tintColor(IconState state, Appearance appearance);

double iconAlpha(IconState state);
bool iconAppearsDisabled(IconState state);

// The picture for a state. The highlight does not change it.
std::optional<StatusPicture> statusIcon(IconState state, Appearance appearance, bool highlighted);

// What a panel shows for a picture: a template is coloured like text on the
// appearance; a disabled-looking picture is drawn at half opacity.
QImage shownImage(const StatusPicture& picture, Appearance appearance, bool appearsDisabled);

// The tray sizes a panel is likely to ask for, in pixels (square slots).
inline constexpr int traySizes[] = {16, 20, 22, 24, 32, 48, 64};

// The picture of a state as a panel shows it, drawn for a square tray slot of
// `pixels`: the same layout as statusIcon (the badge in a strip beside the glyph), so
// the paw has one size and place in every state; the glyphs' colour follows the
// appearance, and a thin outline of the opposite lightness keeps them readable on a
// panel of the other kind; off is a light grey, told from the panel and from healthy by
// its whole body on light, dark and mid-tone panels. Glyph parts cut off by the
// badge's clear ring are removed rather than left floating.
QImage trayImage(IconState state, Appearance appearance, int pixels);

// trayImage at every tray size.
QIcon trayIcon(IconState state, Appearance appearance);

} // namespace Kestrune
