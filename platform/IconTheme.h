// Where the desktop's icon theme keeps the picture of an icon name (a desktop entry's
// Icon=), found by reading the themes' folders directly: nothing here draws, so it can
// run on any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace KestruneCore {

struct IconThemeSearch {
    std::vector<std::string> bases; // folders holding themes (…/icons), searched in order
    std::string theme;              // the desktop's theme; "hicolor" is always searched last
};

// Where icon themes are looked for when the toolkit names no folder: ~/.icons, then
// "icons" in each of the XDG data folders.
std::vector<std::string> iconThemeFolders();

// The file of icon `name` in the theme, the themes it inherits from, then "hicolor",
// of the size closest to `pixels` (a size it is drawn at exactly wins at once), else
// the name as a file directly in a base folder or /usr/share/pixmaps. PNG, SVG and XPM
// pictures count; a name given with one of those extensions is taken without it. None
// when no theme has the name, or the name is not a plain file name.
std::optional<std::string> themeIconFile(const IconThemeSearch& search, const std::string& name,
                                         int pixels);

} // namespace KestruneCore
