// The picture of a service folder's icon, found without help from the user and cached
// per folder for the life of the process.
#pragma once

#include "services/ServiceConfig.h"

#include <QImage>

#include <optional>
#include <string>

namespace KestruneCore {

// The image for the folder's icon: a loaded image file, or a template glyph
// (ui/Symbols.h) for a declared symbol or for the generic service symbol, which also
// carries the accessibility description "Service" as its text "description". None
// when an icon file cannot be loaded.
std::optional<QImage> serviceIcon(const std::string& dir,
                                  const std::optional<ServiceConfig>& config);

// Forgets every cached icon, so edits to a project's icons show up (on a rescan of
// services and whenever the Settings window opens).
void clearIconCache();

} // namespace KestruneCore
