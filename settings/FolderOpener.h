// Opening a folder in the user's file manager, for a row's "Open Folder".
#pragma once

#include <functional>
#include <string>

namespace KestruneCore {

// Replaceable (tests record the calls); the default is openFolderInFileManager.
extern std::function<void(const std::string& folder)> folderOpener;

// Asks the file manager over the session bus (org.freedesktop.FileManager1
// ShowFolders) without waiting for it; when no file manager answers, the folder is
// opened through `opener` as a file URL.
void openFolderInFileManager(const std::string& folder);

} // namespace KestruneCore
