// The picture the desktop shows for a file: what an app row displays.
#pragma once

#include <QImage>

#include <optional>
#include <string>

namespace KestruneCore {

// A .desktop file's Icon= (a theme name or an absolute path), an .app bundle's
// CFBundleIconFile from Contents/Resources, otherwise the icon of the file's type.
// None when nothing can be drawn.
std::optional<QImage> workspaceIcon(const std::string& path);

} // namespace KestruneCore
