// The few colours and fonts the Settings window draws with, taken from the palette so
// that light and dark themes both stay legible.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QWidget>

namespace Kestrune {

// Text that ranks below the main text: the window text at reduced opacity.
QColor secondaryLabelColour(const QPalette& palette);
// Hairlines between rows and under lists.
QColor separatorColour(const QPalette& palette);
// The background of a card: a faint darkening of whatever is behind it, or on a dark
// palette, where darkening would not show, a faint lightening.
QColor cardColour(const QPalette& palette);

// The regular font scaled to the small size (11 of 13).
QFont smallFont(const QFont& regular);
// The regular font in bold.
QFont boldFont(const QFont& regular);

// Gives a label the secondary text colour.
void makeSecondary(QWidget* label);

} // namespace Kestrune
