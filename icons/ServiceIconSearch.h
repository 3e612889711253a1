// Finding a service folder's icon among the files web, desktop and app projects
// conventionally use, cached per folder for the life of the process.
#pragma once

#include "icons/IconSource.h"
#include "services/ServiceConfig.h"

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// The folder fetched site icons are stored in; live fetching is off while unset. Set
// once at launch; main thread only.
inline std::optional<std::string> liveIconDir;

// Icon files larger than this are not pictures anyone draws in a list row; they are
// passed over rather than read.
inline constexpr std::size_t maxIconFileBytes = 16u * 1024u * 1024u;

// Whether the path has an image extension (svg, one of iconImageExts, or one the image
// library reads; compared in lower case) and is a non-empty regular file (after links)
// of at most maxIconFileBytes. Asked with stat only: a FIFO or a device is never opened.
bool isImageFile(const std::string& path);

// The bytes of an icon file, none unless it is such a regular file. Never blocks.
std::optional<std::string> readIconFile(const std::string& path);

// Build, tool and year folders (1990–2100) that hold no project web assets.
bool skippable(std::string_view name);

// The folders that may hold web assets, in search order and existing only: the
// project, its public, static and favicon folders, then <child>/public for each child
// in name order (hidden and skippable children left out).
std::vector<std::string> webFolders(const std::string& dir);

// The parsed JSON of a file, none when it is unreadable or not JSON.
std::optional<nlohmann::json> json(const std::string& path);

// The largest size a manifest icon's "sizes" text declares ("16x16 32x32" is 32);
// 0 when it declares none ("any", absent).
std::int64_t declaredIconSize(const nlohmann::json& icon);

// `component` appended to `dir` as one path component (a leading "/" does not make it
// absolute).
std::string joinedPath(const std::string& dir, std::string_view component);

// Where the fetched icon of a project folder is stored: liveDir/<service key>.img.
std::string liveIconPath(const std::string& liveDir, const std::string& dir);

// The uncached search through the folder. When nothing is found and the declaration
// names an address while live fetching is on, it starts one background fetch of the
// site's icon and answers generic at once.
IconSource resolveServiceIcon(const std::string& dir, const std::optional<ServiceConfig>& config);

// The cached search. A generic answer is not cached while live fetching is on, so a
// site icon saved later is found on the next lookup.
IconSource serviceIconSource(const std::string& dir, const std::optional<ServiceConfig>& config);

// Forgets every cached icon, so edits to a project's icons show up (on a rescan of
// services and whenever the Settings window opens). Main thread only.
void clearIconCache();

} // namespace KestruneCore
