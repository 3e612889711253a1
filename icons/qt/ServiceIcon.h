// The picture of a service folder's icon, found without help from the user and cached
// per folder for the life of the process.
#pragma once

#include "icons/IconSource.h"
#include "icons/ServiceIconSearch.h"
#include "services/ServiceConfig.h"

#include <QImage>

#include <cstdint>
#include <optional>
#include <string>

namespace KestruneCore {

// The image for the folder's icon: a loaded image file, or a template glyph
// (ui/Symbols.h) for a declared symbol or for the generic service symbol, which also
// carries the accessibility description "Service" as its text "description". None
// when an icon file cannot be loaded.
std::optional<QImage> serviceIcon(const std::string& dir,
                                  const std::optional<ServiceConfig>& config);

// The image of a source, as serviceIcon gives it.
std::optional<QImage> iconImage(const IconSource& source);

// An image file loaded for display: the largest picture of a multi-size file (.ico,
// .icns), an SVG drawn 512 pixels on its longer side. Null when it cannot be loaded or
// is no regular icon file (isImageFile); the file is read whole first, so the image
// library never opens the path itself.
QImage loadIconFile(const std::string& path);

// The same for bytes already read. `suffix` (the file's extension, else the first bytes)
// names the format, so the image library loads only that format's plugin; bytes that
// name none, or do not decode as the named format, are recognised by content.
QImage decodeIconBytes(const QByteArray& bytes, const QString& suffix);

// Pixels wide × pixels high of the file's image, 0 when none can be loaded.
std::int64_t pngArea(const std::string& path);

// Points the icon search at Qt's image readers (a fixed list of the formats they read;
// no plugin is loaded until a file is decoded) and our glyphs (ImageSupport), once per
// process. Done by serviceIcon on first use; call it at launch before any other lookup.
void installQtImageSupport();

// Forgets every cached icon, so edits to a project's icons show up (on a rescan of
// services and whenever the Settings window opens).
void clearIconCache();

} // namespace KestruneCore
