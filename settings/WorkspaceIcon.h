// The picture the desktop shows for a file: what an app row displays.
#pragma once

#include "icons/qt/IconPictures.h"
#include "platform/IconTheme.h"

#include <QImage>

#include <string>

namespace KestruneCore {

// A .desktop file's Icon= (an absolute path, else a name in the icon theme), an .app
// bundle's CFBundleIconFile from Contents/Resources, otherwise the theme's generic
// program icon, looked for at `pixels`. Null when nothing can be drawn. Files are read
// as icon files (regular, of an icon's size) and no Qt icon or pixmap is used, so it
// runs on a worker.
QImage workspaceIcon(const std::string& path, const IconThemeSearch& themes, int pixels);

// The icon theme Qt follows and the folders it looks in (asked on the main thread).
IconThemeSearch desktopIconThemes();

// Pictures of apps' files made on workers: workspaceIcon, normalised at the row's side.
IconPictures::Maker workspacePictureMaker();

} // namespace KestruneCore
