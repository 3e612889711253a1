// Showing a file or a folder in the desktop's file manager over the session bus
// (org.freedesktop.FileManager1), never waiting for it on the main thread.
#pragma once

#include <QDBusConnection>

#include <functional>
#include <string>

namespace KestruneCore {

enum class FileManagerShow {
    item,   // the file selected in its folder (ShowItems)
    folder, // the folder itself (ShowFolders)
};

// Asks the file manager on `bus` to show `path` and returns at once. `fallback` runs
// later on the main thread when no file manager shows it: no bus, an error answer, or
// none within 5 seconds (one started by the bus may take a while).
void showInFileManager(const QDBusConnection& bus, const std::string& path, FileManagerShow how,
                       std::function<void()> fallback);

} // namespace KestruneCore
